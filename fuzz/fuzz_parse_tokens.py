"""parse_tokens(tokens) on token lists of generated programs, rewritten with
odd objects: a lying __len__, a raising __iter__ or __getitem__, subclasses of
str/int/dict, huge ints, missing keys. Any failure must be an ordinary host
exception; plain lists from lex parse as PyParser parses them."""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from driver import Data, Fault, expect, main  # noqa: E402
import tokens as tk  # noqa: E402

import calvex_parser as cp  # noqa: E402


def one_input(raw):
    d = Data(raw)
    tokens, plain = tk.token_list(d)
    tree = expect(lambda: cp.parse_tokens(tokens), Exception)
    if not isinstance(tree, (dict, Exception)):
        raise Fault(f"parse_tokens gave {type(tree)}")
    if plain:
        other = expect(lambda: cp.PyParser.parse_tokens(tokens), SyntaxError)
        if isinstance(tree, dict) != isinstance(other, dict):
            raise Fault(f"parse_tokens and PyParser disagree: {tree!r:.200} / {other!r:.200}")
        if isinstance(tree, dict) and tree != other:
            raise Fault("parse_tokens and PyParser build different trees")
        if isinstance(tree, SyntaxError) and str(tree) != "Parse error: " + str(other):
            raise Fault(f"messages differ: {tree} / {other}")


if __name__ == "__main__":
    main(one_input)
