"""Token dictionaries: what `lex` writes and how token lists are read back."""
import pytest

import calvex_parser as cp


def tok(token_type, value="", **pos):
    return {"token_type": token_type, "value": value, **pos}


EOF = tok("Eof")


# ---- lex -----------------------------------------------------------------------

def test_dictionary_shape():
    assert cp.lex("x = 1.0") == [
        {"token_type": "Ident", "value": "x", "line": 1, "column": 1},
        {"token_type": "Assign", "value": "=", "line": 1, "column": 3},
        {"token_type": "Float", "value": "1", "line": 1, "column": 5},
        {"token_type": "Eof", "value": "", "line": 1, "column": 8},
    ]
    for d in cp.lex("let s = 'a'"):
        assert list(d) == ["token_type", "value", "line", "column"]
        assert type(d) is dict and type(d["value"]) is str and type(d["line"]) is int


@pytest.mark.parametrize("source, expected", [
    ("true false", [("Bool", "true"), ("Bool", "false")]),
    ("x += 1", [("Ident", "x"), ("PlusEq", "+="), ("Int", "1")]),
    ("9223372036854775807", [("Int", "9223372036854775807")]),
    ("3.0 2.5 1e20 1e-7 1e400", [("Float", "3"), ("Float", "2.5"),
                                 ("Float", "100000000000000000000"), ("Float", "0.0000001"),
                                 ("Float", "inf")]),
    ("f'{{a}}' 'q'", [("FString", "\0{a}\0"), ("String", "q")]),
    ("(a) {b} [c]", [("LeftParen", ""), ("Ident", "a"), ("RightParen", ""), ("LeftBrace", ""),
                     ("Ident", "b"), ("RightBrace", ""), ("LeftBracket", ""), ("Ident", "c"),
                     ("RightBracket", "")]),
])
def test_kind_names_and_values(source, expected):
    assert [(d["token_type"], d["value"]) for d in cp.lex(source)] == expected + [("Eof", "")]


def test_lex_error_is_syntax_error_with_lexer_text():
    with pytest.raises(SyntaxError) as exc:
        cp.lex("a\n  'b")
    assert exc.value.args == ("Lexer error at 2:5: Unterminated string literal",)


# ---- reading token lists back: conversion errors -------------------------------

ENTRY_POINTS = [cp.parse_tokens, cp.PyParser, cp.PyParser.parse_tokens]


def convert(entry, tokens):
    """Runs the conversion; a parse that is not available yet counts as converted."""
    try:
        entry(tokens)
    except NotImplementedError:
        pass


@pytest.mark.parametrize("entry", ENTRY_POINTS)
@pytest.mark.parametrize("tokens, error, message", [
    ([5], TypeError, "'int' object cannot be converted to 'PyDict'"),
    ([EOF, [("token_type", "Eof")]], TypeError, "'list' object cannot be converted to 'PyDict'"),
    ([{}], ValueError, "Missing token_type"),
    ([{"token_type": "Eof"}], ValueError, "Missing value"),
    ([{"value": ""}], ValueError, "Missing token_type"),
    ([{"token_type": 1, "value": ""}], TypeError, "'int' object cannot be converted to 'PyString'"),
    ([{"token_type": "Eof", "value": None}], TypeError,
     "'NoneType' object cannot be converted to 'PyString'"),
    ([{"token_type": b"Eof", "value": 3}], TypeError,
     "'bytes' object cannot be converted to 'PyString'"),
    # The first bad item stops the conversion.
    ([EOF, {"value": ""}, 7], ValueError, "Missing token_type"),
])
def test_conversion_errors(entry, tokens, error, message):
    with pytest.raises(error) as exc:
        entry(tokens)
    assert exc.type is error
    assert exc.value.args == (message,)


def test_subclasses_of_dict_and_str_are_accepted():
    class D(dict):
        def __getitem__(self, key):  # must not be consulted
            raise AssertionError("lookup went through __getitem__")

    class S(str):
        pass

    convert(cp.parse_tokens, [D(token_type=S("Ident"), value=S("x")), D(token_type="Eof", value="")])
    convert(cp.parse_tokens, (tok("Eof"),))


@pytest.mark.parametrize("line, column", [
    (-1, 1), (1.5, 2), ("3", None), (2**64, 2**70), (None, -(2**80)),
])
def test_unusable_positions_are_no_error(line, column):
    convert(cp.parse_tokens, [tok("Ident", "x", line=line, column=column), EOF])


def test_any_iterable_sequence_and_length_only_a_hint():
    class Lying(list):
        def __len__(self):
            return 2**60

    class NoLen(list):
        def __len__(self):
            raise RuntimeError("no length")

    for seq in (Lying([EOF]), NoLen([EOF])):
        convert(cp.parse_tokens, seq)
    with pytest.raises(ValueError, match="^Missing value$"):
        cp.parse_tokens(NoLen([{"token_type": "Eof"}]))


def test_host_errors_propagate_unchanged():
    class Boom(Exception):
        pass

    class BadIter(list):
        def __iter__(self):
            yield EOF
            raise Boom("iteration")

    # Iteration fails after a bad item: collecting comes first, so the
    # iteration error wins.
    class BadAfterItem(list):
        def __iter__(self):
            yield 5
            raise Boom("late")

    class Key(str):
        # Same hash as the looked-up key, so the lookup has to compare.
        def __hash__(self):
            return hash(str(self))

        def __eq__(self, other):
            raise Boom("compare")

    with pytest.raises(Boom, match="iteration"):
        cp.parse_tokens(BadIter())
    with pytest.raises(Boom, match="late"):
        cp.parse_tokens(BadAfterItem())
    with pytest.raises(Boom, match="compare"):
        cp.parse_tokens([{Key("token_type"): "Eof", "value": ""}])
    with pytest.raises(Boom, match="compare"):
        cp.parse_tokens([{"token_type": "Eof", "value": "", Key("line"): 1}])
    with pytest.raises(UnicodeEncodeError):
        cp.parse_tokens([{"token_type": "Eof", "value": "\ud800"}])


class _NotIterable(list):
    __iter__ = None


class _IterTypeError(list):
    def __iter__(self):
        yield EOF
        raise TypeError("no more", 2)


class _IterTypeErrorSubclass(list):
    class Sub(TypeError):
        pass

    def __iter__(self):
        raise self.Sub("sub")


@pytest.mark.parametrize("entry", ENTRY_POINTS)
def test_type_errors_while_collecting_items_carry_the_argument_prefix(entry):
    # Collecting the items belongs to converting the argument; converting
    # each item into a token comes after, without the prefix.
    with pytest.raises(TypeError) as exc:
        entry(_NotIterable([EOF]))
    assert exc.type is TypeError
    assert exc.value.args == ("argument 'py_tokens': '_NotIterable' object is not iterable",)
    with pytest.raises(TypeError) as exc:
        entry(_IterTypeError())
    assert exc.value.args == ("argument 'py_tokens': ('no more', 2)",)
    # Only TypeError itself is prefixed; a subclass passes unchanged.
    with pytest.raises(_IterTypeErrorSubclass.Sub) as exc:
        entry(_IterTypeErrorSubclass())
    assert exc.value.args == ("sub",)


def test_index_method_errors_are_swallowed_for_positions():
    class Weird:
        def __index__(self):
            raise ZeroDivisionError

    convert(cp.parse_tokens, [tok("Eof", line=Weird(), column=Weird())])


# ---- reading token lists back: kinds and payloads (needs the parser) ------------

def parse(tokens):
    try:
        return cp.parse_tokens(tokens)
    except NotImplementedError:
        pytest.skip("parser not available yet")


def expression(token):
    program = parse([token, EOF])
    [stmt] = program["statements"]
    return stmt["expression"]


def literal(value):
    return {"type": "Literal", "value": value}


def ident(name):
    return {"type": "Identifier", "name": name}


@pytest.mark.parametrize("token, expected", [
    (tok("Int", "42"), literal(42)),
    (tok("Int", "+7"), literal(7)),
    (tok("Int", "-9223372036854775808"), literal(-2**63)),
    (tok("Int", "9223372036854775808"), literal(0)),
    (tok("Int", "12x"), literal(0)),
    (tok("Int", " 1"), literal(0)),
    (tok("Int", "-"), literal(0)),
    (tok("Int", "+-1"), literal(0)),
    (tok("Int", "1_000"), literal(0)),
    (tok("Float", "1e3"), literal(1000.0)),
    (tok("Float", "-.5"), literal(-0.5)),
    (tok("Float", "5."), literal(5.0)),
    (tok("Float", "+2.5E-1"), literal(0.25)),
    (tok("Float", "1e400"), literal(float("inf"))),
    (tok("Float", "-InFiNiTy"), literal(float("-inf"))),
    (tok("Float", "abc"), literal(0.0)),
    (tok("Float", "1e"), literal(0.0)),
    (tok("Float", "."), literal(0.0)),
    (tok("Float", " 1.0"), literal(0.0)),
    (tok("Float", "infinite"), literal(0.0)),
    (tok("String", "a\0b"), literal("a\0b")),
    (tok("True", "ignored"), literal(True)),
    (tok("False"), literal(False)),
    (tok("Nil"), literal(None)),
    (tok("Ident", "x"), ident("x")),
    # Names outside the read-back table become identifiers named by the value.
    (tok("Bool", "true"), ident("true")),
    (tok("LPAREN", "q"), ident("q")),
    (tok("Self", "self"), ident("self")),
    (tok("Identifier", "y"), ident("y")),
])
def test_read_back_payloads(token, expected):
    assert expression(token) == expected


def test_read_back_nan():
    value = expression(tok("Float", "nan"))["value"]
    assert value != value


@pytest.mark.parametrize("open_name, close_name", [
    ("LParen", "RParen"), ("LeftParen", "RightParen"), ("LParen", "RightParen"),
])
def test_bracket_aliases(open_name, close_name):
    program = parse([tok(open_name), tok("Int", "1"), tok(close_name), EOF])
    assert program["statements"][0]["expression"] == literal(1)


def test_lexed_bool_reads_back_as_identifier():
    # "Bool" is written by lex but is not a name that is read back.
    assert parse(cp.lex("true")) == {
        "type": "Program",
        "statements": [{"type": "ExprStatement", "expression": ident("true")}],
    }


def test_positions_reach_parse_messages():
    parse([EOF])  # skips while the parser is not available
    with pytest.raises(SyntaxError) as exc:
        cp.PyParser.parse_tokens([tok("RightParen", line=7, column=3), EOF])
    assert exc.value.args[0].startswith("ParseError at 7:3: ")
    with pytest.raises(SyntaxError) as exc:
        cp.PyParser.parse_tokens([tok("RightParen", line=-7, column="3"), EOF])
    assert exc.value.args[0].startswith("ParseError at 0:0: ")


# Debug text of token kinds, as the parser prints the token it did not expect.
@pytest.mark.parametrize("token, debug", [
    (tok("Ident", "b"), 'Identifier("b")'),
    (tok("Int", "-42"), "Int(-42)"),
    (tok("Float", "1"), "Float(1.0)"),
    (tok("Float", "0.5"), "Float(0.5)"),
    (tok("Float", "-0"), "Float(-0.0)"),
    (tok("Float", "1e16"), "Float(1e16)"),
    (tok("Float", "9999999999999998"), "Float(9999999999999998.0)"),
    (tok("Float", "1.5e-7"), "Float(1.5e-7)"),
    (tok("Float", "0.0001"), "Float(0.0001)"),
    (tok("Float", "0.00009"), "Float(9e-5)"),
    (tok("Float", "123456789012345678901"), "Float(1.2345678901234568e20)"),
    (tok("Float", "inf"), "Float(inf)"),
    (tok("True"), "Bool(true)"),
    (tok("False"), "Bool(false)"),
    (tok("Semicolon"), "Semicolon"),
    (tok("Let"), "Let"),
    (EOF, "Eof"),
    (tok("String", 'q"\\\n\r\t\0\a\x7f'), r'String("q\"\\\n\r\t\0\u{7}\u{7f}")'),
    (tok("String", "é\u00a0\u0301\u200b😀"), 'String("é\\u{a0}\\u{301}\\u{200b}😀")'),
])
def test_debug_text_in_parse_errors(token, debug):
    parse([EOF])
    with pytest.raises(SyntaxError) as exc:
        cp.parse_tokens([tok("LParen"), tok("Ident", "a"), token, EOF])
    assert exc.value.args[0].startswith(f"Parse error: ParseError at 0:0: Expected RightParen, found {debug}")


def test_debug_text_of_fstring():
    # FString tokens come only from the lexer.
    try:
        cp.compile("(a f'{{x}}')")
    except NotImplementedError:
        pytest.skip("compile not available yet")
    except SyntaxError as e:
        assert e.args[0].startswith('ParseError at 1:4: Expected RightParen, found FString("\\0{x}\\0")')
    else:
        pytest.fail("compiled")
