"""Token lists for the parse_tokens and PyParser harnesses: lexed from
generated programs, then (sometimes) rewritten with odd objects."""
import sys

import calvex_parser as cp
import gen


class LyingList(list):
    """A list whose length lies."""

    def __init__(self, items, length):
        super().__init__(items)
        self.length = length

    def __len__(self):
        return self.length


class RaisingIter(list):
    def __iter__(self):
        raise RuntimeError("iteration refused")


class RaisingItems(list):
    def __getitem__(self, i):
        raise IndexError("no items today")


class Seq:
    """A sequence that is not a list: __len__ and __getitem__ only."""

    def __init__(self, items, length=None):
        self.items = items
        self.length = len(items) if length is None else length

    def __len__(self):
        return self.length

    def __getitem__(self, i):
        return self.items[i]


class Str(str):
    pass


class Int(int):
    pass


class Dict(dict):
    pass


class RaisingDict(dict):
    def __getitem__(self, k):
        raise KeyError(k)

    def get(self, k, default=None):
        raise RuntimeError("get refused")


class BadStr:
    def __str__(self):
        raise ValueError("no text")

    __repr__ = __str__


KINDS = ["Int", "Float", "String", "Ident", "True", "False", "Let", "Fn", "If", "Else", "While",
         "For", "In", "Return", "LParen", "RParen", "LeftParen", "RightParen", "LBrace", "RBrace",
         "LBracket", "RBracket", "Plus", "Minus", "Star", "Slash", "Comma", "Colon", "Semicolon",
         "Assign", "Dot", "Eof", "Match", "Case", "Class", "FString", "Nonsense", ""]


def odd_value(d):
    return d.choice([
        lambda: None, lambda: 0, lambda: -1, lambda: 2 ** 64, lambda: -(2 ** 63) - 1, lambda: 10 ** 400,
        lambda: 1.5, lambda: float("nan"), lambda: Str("x"), lambda: Int(3), lambda: True,
        lambda: b"bytes", lambda: [], lambda: {}, lambda: BadStr(), lambda: "\udcff",
        lambda: "x" * d.int(0, 5000), lambda: d.text(20), lambda: object(),
    ])()


def odd_token(d, t):
    if not isinstance(t, dict):
        return odd_value(d)
    t = dict(t)
    k = d.int(0, 9)
    key = d.choice(["token_type", "value", "line", "column"])
    if k == 0:
        t.pop(key, None)
    elif k <= 3:
        t[key] = odd_value(d)
    elif k == 4:
        t["token_type"] = d.choice(KINDS)
    elif k == 5:
        t = Dict(t)
    elif k == 6:
        t = RaisingDict(t)
    elif k == 7:
        extra = odd_value(d) if d.bool() else Str(key)
        t[extra if extra.__hash__ else repr(type(extra))] = 1
    elif k == 8:
        return odd_value(d)
    else:
        t = list(t.items())
    return t


def token_list(d):
    """(tokens, plain): plain when the list is exactly what lex gave."""
    source = gen.Gen(d, max_depth=3).program()
    try:
        tokens = cp.lex(source)
    except (SyntaxError, UnicodeEncodeError):
        tokens = [{"token_type": "Eof", "value": "", "line": 1, "column": 1}]
    if not d.chance(50):
        return tokens, True
    for _ in range(d.int(0, 4)):
        op = d.int(0, 5)
        i = d.int(0, len(tokens) - 1) if tokens else 0
        if op <= 1 and tokens:
            tokens[i] = odd_token(d, tokens[i])
        elif op == 2 and tokens:
            del tokens[i]
        elif op == 3:
            tokens.insert(i, {"token_type": d.choice(KINDS), "value": d.text(6),
                              "line": d.int(-2, 2 ** 31), "column": d.int(-2, 2 ** 31)})
        elif op == 4 and tokens:
            tokens[i:i] = tokens[i:i + d.int(1, 20)] * d.int(1, 50)
        else:
            tokens.append(odd_token(d, tokens[-1] if tokens else {}))
    wrap = d.int(0, 9)
    if wrap == 0:
        tokens = LyingList(tokens, d.choice([0, 1, len(tokens) + 5, 2 ** 62, sys.maxsize]))
    elif wrap == 1:
        tokens = RaisingIter(tokens)
    elif wrap == 2:
        tokens = RaisingItems(tokens)
    elif wrap == 3:
        tokens = Seq(tokens, d.choice([None, 0, len(tokens) + 3, 2 ** 40]))
    elif wrap == 4:
        tokens = tuple(tokens)
    elif wrap == 5:
        tokens = d.choice([None, 5, "tokens", b"x", {"a": 1}, iter(tokens), (t for t in tokens)])
    return tokens, False
