"""PyParser: construction from odd token lists, parse() repeated (each call
parses its own copy, so every call gives the same outcome), the static
parse_tokens, and odd arguments to each."""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from driver import Data, Fault, expect, main  # noqa: E402
import tokens as tk  # noqa: E402

import calvex_parser as cp  # noqa: E402


def outcome(r):
    return ("ok", r) if isinstance(r, dict) else (type(r).__name__, str(r))


def one_input(raw):
    d = Data(raw)
    tokens, plain = tk.token_list(d)
    parser = expect(lambda: cp.PyParser(tokens), Exception)
    if isinstance(parser, Exception):
        return
    first = outcome(expect(parser.parse, Exception))
    for _ in range(d.int(0, 3)):
        k = d.int(0, 3)
        if k == 0:
            again = outcome(expect(parser.parse, Exception))
            if again != first:
                raise Fault(f"parse() changed its outcome: {first!r:.200} -> {again!r:.200}")
        elif k == 1:
            expect(lambda: parser.parse(tk.odd_value(d)), TypeError)
        elif k == 2:
            expect(lambda: cp.PyParser.parse_tokens(tokens), Exception)
        else:
            expect(lambda: cp.PyParser(*[tk.odd_value(d) for _ in range(d.int(0, 3))]), Exception)
    if plain and first[0] not in ("ok", "SyntaxError"):
        raise Fault(f"lexed tokens failed to parse with {first}")


if __name__ == "__main__":
    main(one_input)
