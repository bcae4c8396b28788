"""The lexer, seen through `lex`: token kinds, payloads, positions and errors."""
import math

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import calvex_parser as cp


def toks(source):
    """(token_type, value) pairs, Eof left out."""
    out = [(t["token_type"], t["value"]) for t in cp.lex(source)]
    assert out[-1] == ("Eof", "")
    return out[:-1]


def types(source):
    return [k for k, _ in toks(source)]


def positions(source):
    return [(t["token_type"], t["line"], t["column"]) for t in cp.lex(source)]


def lex_error(source):
    with pytest.raises(SyntaxError) as exc:
        cp.lex(source)
    assert exc.type is SyntaxError
    assert len(exc.value.args) == 1
    return exc.value.args[0]


# ---- whitespace, comments, positions -------------------------------------------


@pytest.mark.parametrize("source", ["", "   ", "\t\r\n\n", "# note", "/* a */", "/// doc\n",
                                    "/* a /* b */ c */", "#x\n#y\n", "$", "é ü 漢"])
def test_sources_without_tokens(source):
    assert toks(source) == []


@pytest.mark.parametrize("source, expected", [
    ("", [("Eof", 1, 1)]),
    ("a\nb", [("Ident", 1, 1), ("Ident", 2, 1), ("Eof", 2, 2)]),
    # Columns count code points: é is two bytes, 漢 three, 😀 four.
    ("é x", [("Ident", 1, 3), ("Eof", 1, 4)]),
    ("漢😀y", [("Ident", 1, 3), ("Eof", 1, 4)]),
    ("'é' x", [("String", 1, 1), ("Ident", 1, 5), ("Eof", 1, 6)]),
    # Tab and carriage return are one column each; only line feed starts a line.
    ("\tx\r\ny", [("Ident", 1, 2), ("Ident", 2, 1), ("Eof", 2, 2)]),
    ("f'a' $'b' r'c'", [("FString", 1, 1), ("FString", 1, 6), ("String", 1, 11), ("Eof", 1, 15)]),
    ("x # c\n  y", [("Ident", 1, 1), ("Ident", 2, 3), ("Eof", 2, 4)]),
    ("/* a\nb */ z", [("Ident", 2, 6), ("Eof", 2, 7)]),
    ("'''a\nb''' c", [("String", 1, 1), ("Ident", 2, 6), ("Eof", 2, 7)]),
    ("12.5e3 <<= ..", [("Float", 1, 1), ("LShiftEq", 1, 8), ("DotDot", 1, 12), ("Eof", 1, 14)]),
])
def test_positions(source, expected):
    assert positions(source) == expected


@pytest.mark.parametrize("source, expected", [
    ("x//y", ["Ident", "SlashSlash", "Ident"]),
    ("x///y", ["Ident"]),
    ("x/y/=z", ["Ident", "Slash", "Ident", "SlashEq", "Ident"]),
    ("/* a /* b */ c */ d", ["Ident"]),
    ("a /**/ b /*/ x */ c", ["Ident", "Ident", "Ident"]),
    ("a # b\nc", ["Ident", "Ident"]),
])
def test_comments_and_slashes(source, expected):
    assert types(source) == expected


# ---- identifiers and keywords --------------------------------------------------

KEYWORDS = {
    "nil": "Nil", "let": "Let", "const": "Const", "fn": "Fn", "struct": "Struct", "enum": "Enum",
    "class": "Class", "scene": "Class", "if": "If", "else": "Else", "while": "While",
    "for": "For", "in": "In", "return": "Return", "break": "Break", "continue": "Continue",
    "match": "Switch", "case": "Case", "try": "Try", "catch": "Catch", "finally": "Finally",
    "throw": "Throw", "yield": "Yield", "async": "Async", "await": "Await", "and": "And",
    "or": "Or", "not": "Not", "on_start": "OnStart", "on_update": "OnUpdate",
    "on_draw": "OnDraw", "on_exit": "OnExit", "_ready": "OnReady", "_update": "OnNodeUpdate",
    "_draw": "OnNodeDraw", "int": "IntType", "float": "FloatType", "bool": "BoolType",
    "string": "StringType", "void": "VoidType", "null": "Null", "is": "Is", "div": "Div",
}


@pytest.mark.parametrize("word, kind", sorted(KEYWORDS.items()))
def test_keywords(word, kind):
    assert toks(word) == [(kind, "")]


NOT_KEYWORDS = ("as pub get set from self then impl node with type super spawn defer until "
                "mixin import export select repeat static extends abstract override comptime "
                "operator interface implements switch default True Let IF _ _x x1 on_start_ "
                "classy").split()


@pytest.mark.parametrize("word", NOT_KEYWORDS)
def test_words_that_are_identifiers(word):
    assert toks(word) == [("Ident", word)]


def test_bool_literals_and_identifier_runs():
    assert toks("true false") == [("Bool", "true"), ("Bool", "false")]
    # Non-ASCII letters end an identifier and are then skipped.
    assert toks("abcé1_x") == [("Ident", "abc"), ("Int", "1"), ("Ident", "x")]
    assert toks("a $ b") == [("Ident", "a"), ("Ident", "b")]


# ---- operators -----------------------------------------------------------------

OPERATORS = {
    "!=": "Neq", "!": "Not", "%=": "PercentEq", "%": "Percent", "&&": "And", "&=": "AmpEq",
    "&": "BitwiseAnd", "**=": "PowerEq", "**": "Power", "*=": "StarEq", "*": "Star",
    "++": "PlusPlus", "+=": "PlusEq", "+": "Plus", "-=": "MinusEq", "->": "Arrow", "-": "Minus",
    "...": "Ellipsis", "..=": "DotDotEq", "..": "DotDot", ".": "Dot", "::": "DoubleColon",
    ":": "Colon", "<<=": "LShiftEq", "<<": "LeftShift", "<=": "Lte", "<": "Lt", "==": "Eq",
    "=>": "FatArrow", "=": "Assign", ">=": "Gte", ">>=": "RShiftEq", ">>": "RightShift",
    ">": "Gt", "?.": "QuestionDot", "??=": "NullishEq", "??": "Nullish", "?": "Question",
    "^=": "CaretEq", "^": "BitwiseXor", "|=": "PipeEq", "|>": "PipeGt", "||": "Or",
    "|": "BitwiseOr", "(": "LeftParen", ")": "RightParen", "{": "LeftBrace", "}": "RightBrace",
    "[": "LeftBracket", "]": "RightBracket", ",": "Comma", ";": "Semicolon", "@": "At",
    "~": "BitwiseNot", "/": "Slash", "//": "SlashSlash", "/=": "SlashEq",
}


# `lex` writes the operator text as value for these kinds, "" for the others.
SPELLED = {"PlusPlus", "SlashSlash", "PlusEq", "MinusEq", "StarEq", "SlashEq", "PercentEq",
           "PowerEq", "AmpEq", "PipeEq", "CaretEq", "LShiftEq", "RShiftEq", "Assign", "Arrow",
           "FatArrow", "QuestionDot", "Nullish", "NullishEq", "PipeGt", "DoubleColon", "At",
           "DotDot", "DotDotEq", "Ellipsis"}


@pytest.mark.parametrize("text, kind", sorted(OPERATORS.items()))
def test_each_operator_alone(text, kind):
    assert toks(text) == [(kind, text if kind in SPELLED else "")]


@pytest.mark.parametrize("source, expected", [
    ("a <<= b ??= c ..= d ... e",
     ["Ident", "LShiftEq", "Ident", "NullishEq", "Ident", "DotDotEq", "Ident", "Ellipsis", "Ident"]),
    ("--", ["Minus", "Minus"]),
    ("***=", ["Power", "StarEq"]),
    ("=>=", ["FatArrow", "Assign"]),
    (">>>=", ["RightShift", "Gte"]),
    ("|||", ["Or", "BitwiseOr"]),
    ("????", ["Nullish", "Nullish"]),
    ("?..", ["QuestionDot", "Dot"]),
    ("....", ["Ellipsis", "Dot"]),
    ("!!=", ["Not", "Neq"]),
    (":::", ["DoubleColon", "Colon"]),
])
def test_longest_match(source, expected):
    assert types(source) == expected


# ---- numbers -------------------------------------------------------------------

@pytest.mark.parametrize("source, expected", [
    ("0", [("Int", "0")]),
    ("007", [("Int", "7")]),
    ("1_000", [("Int", "1000")]),
    ("9223372036854775807", [("Int", "9223372036854775807")]),
    ("9223372036854775808", [("Int", "0")]),
    ("99999999999999999999999", [("Int", "0")]),
    ("0x_", [("Int", "0")]),
    ("0xFF_ff", [("Int", "65535")]),
    ("0X7fffffffffffffff", [("Int", "9223372036854775807")]),
    ("0x8000000000000000", [("Int", "0")]),
    ("0b1012", [("Int", "5"), ("Int", "2")]),
    ("0B__11", [("Int", "3")]),
    ("0o777 0O1_0", [("Int", "511"), ("Int", "8")]),
    ("1..3", [("Int", "1"), ("DotDot", ".."), ("Int", "3")]),
    ("1...3", [("Int", "1"), ("Ellipsis", "..."), ("Int", "3")]),
    ("1.5.x", [("Float", "1.5"), ("Dot", ""), ("Ident", "x")]),
    ("1e3", [("Float", "1000")]),
    ("2.5E-1", [("Float", "0.25")]),
    ("1_0.2_5e+0_1", [("Float", "10.25"), ("Ident", "_1")]),
    ("0e0", [("Float", "0")]),
    ("1e400", [("Float", "inf")]),
    ("1e-400", [("Float", "0")]),
    ("1e99999999999999999999", [("Float", "inf")]),
    ("-5", [("Minus", ""), ("Int", "5")]),
    (".5", [("Dot", ""), ("Int", "5")]),
])
def test_numbers(source, expected):
    assert toks(source) == expected


def test_float_payload_is_nearest_double():
    for text in ["0.1", "3.141592653589793", "2.2250738585072014e-308", "4.9e-324",
                 "1.7976931348623157e308", "123456789012345678901234567890.5"]:
        value = cp.lex(text)[0]["value"]
        assert float(value) == float(text)


# ---- strings -------------------------------------------------------------------

@pytest.mark.parametrize("source, payload", [
    (r"'a\nb\rc\td'", "a\nb\rc\td"),
    (r"'\0\a\b'", "\0\a\b"),
    (r"'\\ \" \''", "\\ \" '"),
    ('"it\'s"', "it's"),
    ("''", ""),
    ('""', ""),
    ("'é漢😀'", "é漢😀"),
    ("'''a''b'c'''", "a''b'c"),
    ("'''x\ny'''", "x\ny"),
    (r"'''\n\r\t\0'''", "\n\r\t\0"),
    (r"'''\a\b\q\é'''", "abqé"),
    ("'''\\\nz'''", "\nz"),
    (r'"""\"\"\""""', '"""'),
    (r"r'a\nb\'", "a\\nb\\"),
    (r'R"\d+"', "\\d+"),
])
def test_string_payloads(source, payload):
    assert toks(source) == [("String", payload)]


def test_triple_quote_closes_at_first_three_quotes():
    assert toks("'''a'''' '") == [("String", "a"), ("String", " ")]


@pytest.mark.parametrize("source, payload", [
    ("f'{{x}}'", "\0{x}\0"),
    ("f'{a['k']}'", "{a['k']}"),
    ('F"a{b}c"', "a{b}c"),
    ("$'x'", "x"),
    (r"f'\n\t\r\0\a\b\q'", "\n\t\r0abq"),
    # A backslash before a brace gives the bare brace with no marker.
    (r"f'\{x\}'", "{x}"),
    # Inside braces backslashes and quotes stay for the interpolation's lexer.
    (r"f'{g(\'a\n\')}'", r"{g(\'a\n\')}"),
    ("f'{ {} }}'", "{ {} }}"),
    ("f'}x'", "}x"),
    ("f'{{{a}}}'", "\0{{a}}\0"),
    ("f'a\\\nb'", "a\nb"),
])
def test_fstring_payloads(source, payload):
    assert toks(source) == [("FString", payload)]


# ---- errors --------------------------------------------------------------------

@pytest.mark.parametrize("source, message", [
    ("x = 'ab", "Lexer error at 1:8: Unterminated string literal"),
    ("'", "Lexer error at 1:2: Unterminated string literal"),
    ("x = 'ab\nc'", "Lexer error at 1:8: Unterminated string — newline inside string"),
    ("'\\", "Lexer error at 1:3: Unterminated escape sequence"),
    ("f'ab", "Lexer error at 1:5: Unterminated f-string"),
    ("$'{'}", "Lexer error at 1:6: Unterminated f-string"),
    ("f'{\n}'", "Lexer error at 1:4: Unterminated f-string — newline inside string"),
    ("f'\\", "Lexer error at 1:4: Unterminated escape in f-string"),
    ("r'ab", "Lexer error at 1:5: Unterminated raw string literal"),
    ("r'a\n'", "Lexer error at 1:4: Unterminated raw string — newline inside string"),
    ("'''", "Lexer error at 1:4: Unterminated triple-quoted string"),
    ("x\n'''a\nb''", "Lexer error at 3:4: Unterminated triple-quoted string"),
    ("'''\\", "Lexer error at 1:5: Unterminated escape in triple-quoted string"),
    ("0x", "Lexer error at 1:3: Expected hex digits after '0x'"),
    ("0X g", "Lexer error at 1:3: Expected hex digits after '0x'"),
    ("0b2", "Lexer error at 1:3: Expected binary digits after '0b'"),
    ("  0B", "Lexer error at 1:5: Expected binary digits after '0b'"),
    ("0o", "Lexer error at 1:3: Expected octal digits after '0o'"),
    ("0O9", "Lexer error at 1:3: Expected octal digits after '0o'"),
    ("1.", "Lexer error at 1:3: Expected digits after decimal point"),
    ("1.x", "Lexer error at 1:3: Expected digits after decimal point"),
    ("1._5", "Lexer error at 1:3: Expected digits after decimal point"),
    ("3else", "Lexer error at 1:3: Expected digits in scientific notation exponent"),
    ("1e+", "Lexer error at 1:4: Expected digits in scientific notation exponent"),
    ("é1E_1", "Lexer error at 1:4: Expected digits in scientific notation exponent"),
    ("'\\q'", "Unknown escape sequence: \\q"),
    ("'\\é'", "Unknown escape sequence: \\é"),
    ("'a\\\nb'", "Unknown escape sequence: \\\n"),
    ("a ` b", "Unexpected character: `"),
    ("a \\ b", "Unexpected character: \\"),
    ("\x7f", "Unexpected character: \x7f"),
    ("\x00", "Unexpected character: \x00"),
    ("\x0c", "Unexpected character: \x0c"),
    ("/* a /* b */", "Unterminated block comment at 1:1"),
    ("x\n  /*", "Unterminated block comment at 2:3"),
    ("/*/", "Unterminated block comment at 1:1"),
])
def test_error_messages(source, message):
    assert lex_error(source) == message


def test_first_error_wins():
    assert lex_error("` 'abc") == "Unexpected character: `"
    assert lex_error("'abc` ") == "Lexer error at 1:7: Unterminated string literal"


def test_source_by_keyword_and_str_subclass():
    class S(str):
        pass
    assert cp.lex(source=S("x")) == cp.lex("x")


# ---- robustness ----------------------------------------------------------------

# Biased towards the characters that drive the lexer's decisions.
LEXER_ALPHABET = st.sampled_from(list("'\"\\{}$fFrR/*#.0123456789eExXbBoO_ \n\t=<>!?|&+-`") +
                                 ["é", "\x00", "😀", "\r"])
ARBITRARY_TEXT = st.one_of(st.text(), st.text(LEXER_ALPHABET, max_size=40))


@settings(max_examples=400, deadline=None)
@given(ARBITRARY_TEXT)
def test_lex_never_crashes(source):
    try:
        tokens = cp.lex(source)
    except SyntaxError as e:
        assert isinstance(e.args[0], str) and e.args[0]
        return
    assert tokens[-1]["token_type"] == "Eof"
    assert all(t["token_type"] != "Eof" for t in tokens[:-1])
    lines = source.count("\n") + 1
    assert tokens[-1]["line"] == lines
    assert tokens[-1]["column"] == len(source) - (source.rfind("\n") + 1) + 1
    for t in tokens:
        assert list(t) == ["token_type", "value", "line", "column"]
        assert 1 <= t["line"] <= lines
        if t["token_type"] == "Int":
            assert 0 <= int(t["value"]) < 2**63
        elif t["token_type"] == "Float":
            assert not math.isnan(float(t["value"]))


def test_large_input_with_deep_comment_nesting():
    source = "/*" * 100_000 + "*/" * 100_000 + " x"
    assert toks(source) == [("Ident", "x")]
    assert len(cp.lex("a " * 100_000)) == 100_001
