"""lex(source): any text gives a token list ending in Eof, or SyntaxError;
the token list parses (a tree or SyntaxError)."""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from driver import Fault, expect, main  # noqa: E402

import calvex_parser as cp  # noqa: E402

KEYS = ["token_type", "value", "line", "column"]


def one_input(raw):
    source = raw.decode("utf-8", "surrogateescape")
    tokens = expect(lambda: cp.lex(source), SyntaxError, UnicodeEncodeError)
    if isinstance(tokens, BaseException):
        return
    if not tokens or tokens[-1]["token_type"] != "Eof":
        raise Fault("token list does not end in Eof")
    for t in tokens:
        if list(t) != KEYS or not isinstance(t["line"], int) or not isinstance(t["column"], int):
            raise Fault(f"malformed token {t!r}")
    tree = expect(lambda: cp.parse_tokens(tokens), SyntaxError)
    if not isinstance(tree, (dict, SyntaxError)):
        raise Fault(f"parse_tokens gave {type(tree)}")


if __name__ == "__main__":
    main(one_input)
