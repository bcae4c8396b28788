"""compile_and_run on generated programs (nested expressions, functions,
classes, loops, recursion, strings, f-strings, match), each run bounded by an
interrupt. The outcome is a display text, "Runtime error: ...", a SyntaxError
of the front end, the interrupt, or MemoryError."""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from driver import Data, Fault, expect, main  # noqa: E402
import gen  # noqa: E402
from interrupt import Interrupt, run_bounded  # noqa: E402

import calvex_parser as cp  # noqa: E402

NEST = [("(", ")"), ("[", "]"), ("{k: ", "}"), ("f(", ")"), ("-", ""), ("fn() ", "")]


def source_of(d):
    src = gen.Gen(d, max_depth=d.int(2, 6)).program()
    if d.chance(3):
        # Deep nesting, around the front end's limit.
        opener, closer = d.choice(NEST)
        n = d.choice([10, 500, 999, 1000, 1001, 2000, 5000])
        src += "print(" + opener * n + "1" + closer * n + ")\n"
    return src


def one_input(raw):
    d = Data(raw)
    source = source_of(d)
    out = expect(lambda: run_bounded(lambda: cp.compile_and_run(source)),
                 SyntaxError, MemoryError, Interrupt)
    if isinstance(out, BaseException):
        return
    if not isinstance(out, str):
        raise Fault(f"compile_and_run gave {type(out)}")


if __name__ == "__main__":
    main(one_input)
