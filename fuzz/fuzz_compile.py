"""compile(source) on raw text and generated programs: two lists of small
integers, or SyntaxError; a front-end error of compile is the same error,
prefixed, from compile_and_run (which then runs nothing)."""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from driver import Data, Fault, expect, main  # noqa: E402
import gen  # noqa: E402

import calvex_parser as cp  # noqa: E402

PREFIXES = ("Lex error: ", "Parse error: ", "Compile error: ")


def source_of(d):
    k = d.int(0, 3)
    if k == 0:
        return d.rest_text()
    src = gen.Gen(d, max_depth=d.int(2, 6)).program()
    if k == 1 and src:
        # A generated program with some bytes changed: near-valid text.
        chars = list(src)
        for _ in range(d.int(1, 4)):
            chars[d.int(0, len(chars) - 1)] = d.choice("(){}[],;:=.\"'f#/*\n 0a")
        src = "".join(chars)
    return src


def one_input(raw):
    d = Data(raw)
    source = source_of(d)
    out = expect(lambda: cp.compile(source), SyntaxError, UnicodeEncodeError)
    if isinstance(out, UnicodeEncodeError):
        return
    if isinstance(out, SyntaxError):
        again = expect(lambda: cp.compile_and_run(source), SyntaxError)
        if not isinstance(again, SyntaxError) or str(again) not in [p + str(out) for p in PREFIXES]:
            raise Fault(f"compile: {out!r}, compile_and_run: {again!r}")
        return
    opcodes, constants = out
    if not all(isinstance(n, int) and 0 <= n <= 255 for n in opcodes + constants):
        raise Fault("compile gave numbers outside a byte")


if __name__ == "__main__":
    main(one_input)
