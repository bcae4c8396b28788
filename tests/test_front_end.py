"""The front end reads the source in one pass, the parser pulling tokens from
the lexer (compile, compile_and_run, calvex.compile, Runtime.exec and
Runtime.eval): the outcome must be the one of lexing the whole text first and
parsing the token list after, which `lex` shows for the lexer."""
import pytest
from hypothesis import given, settings, strategies as st

import calvex
import calvex_parser as cp


COMPILER_MESSAGES = ("'break' outside loop", "'continue' outside loop", "Invalid assignment target",
                     "Too many local variables")


def staged(source):
    """Error text of lexing everything first (`lex`) and parsing after, or
    None. A token list from Python does not carry every token (f-strings and
    several operators read back as names), so the parse error is
    calvex.compile's; the C++ front-end tests compare the one pass with the
    token list itself."""
    try:
        cp.lex(source)
    except SyntaxError as e:
        return "lex", e.args[0]
    try:
        calvex.compile(source)
    except calvex.CompileError as e:
        if e.msg in COMPILER_MESSAGES:
            return None
        return "parse", f"ParseError at {e.lineno or 0}:{e.offset or 0}: {e.msg}"
    return None


def lex_failure(source):
    """The CompileError fields a lexer failure of the token path becomes,
    for the messages that carry their position."""
    with pytest.raises(SyntaxError) as info:
        cp.lex(source)
    text = info.value.args[0]
    assert text.startswith("Lexer error at "), text
    where, msg = text.removeprefix("Lexer error at ").split(": ", 1)
    line, column = map(int, where.split(":"))
    return msg, line, column, source.split("\n")[line - 1]


def compile_failure(compile_fn, source):
    with pytest.raises(calvex.CompileError) as info:
        compile_fn(source)
    e = info.value
    return (e.msg, e.lineno, e.offset, e.text), e.filename


def one_pass(source):
    """Error text of compile, or None (also for the compiler's own errors);
    compile_and_run's prefix is checked too."""
    try:
        cp.compile(source)
    except SyntaxError as e:
        bare = e.args[0]
    else:
        return None
    with pytest.raises(SyntaxError) as prefixed:
        cp.compile_and_run(source)
    if prefixed.value.args[0] == "Compile error: " + bare:
        return None
    stage = "lex" if prefixed.value.args[0] == "Lex error: " + bare else "parse"
    assert prefixed.value.args[0] == {"lex": "Lex error: ", "parse": "Parse error: "}[stage] + bare
    return stage, bare


@pytest.mark.parametrize("source", [
    # The parser fails first, but a lexer error further on is the error.
    "x += 1\ny = 'open",
    ") ` x",
    "fn (\n\n/* never closed",
    "let = 1; 0x",
    "if a { b };  3else",
    "(" * 5000 + " 'open",
    # Or the lexer fails inside a construct the parser has not finished.
    "f(a, 'open",
    "let x = [1, 2, 1.",
    "class A { fn m() { \"\\q\" } }",
    # An interpolation is lexed to its end, also past the expression it holds.
    "f'{x 'y}'",
    "f'{x + }'",
    "f'{(x}' f'{1 `}'",
    # And a parse error with nothing wrong lexically after it stays.
    "x += 1 # comment\n'closed'",
    "(" * 5000 + "1",
    "f'{x +}'",
    "",
    "let x = 1",
])
def test_errors_match_lexing_first(source):
    assert one_pass(source) == staged(source)


@pytest.mark.parametrize("head, tail", [
    (") + ", "f'{a'"),                        # a brace takes the closing quote
    ("x = ]\n", "y = f'{1}\n"),               # a line break ends the text
    ("let = 1\nok = 2\n", "z = f'{ {k: 1}\n}'"),
    ("if a { b ]\n", "f\"{x} {f'{y}' + g(\""),
    (") ", "f'\\"),                           # an escape with nothing after it
    ("let a = 1\n" * 3000 + "let = (\n", "b = f'{c}'\n" * 3000 + "d = f'{e\n"),
])
def test_a_lexer_error_in_an_f_string_behind_a_parse_error(head, tail):
    """calvex.compile, Runtime.exec and Runtime.eval report the lexer's error
    at its place, also when the parser fails before reaching it."""
    source = head + tail
    cp.lex(head)
    (_, *parse_at, _), _ = compile_failure(calvex.compile, head)
    expected = lex_failure(source)
    assert parse_at < list(expected[1:3])
    assert compile_failure(lambda s: calvex.compile(s, filename="f.cx"), source) == (expected, "f.cx")
    rt = calvex.Runtime()
    assert compile_failure(lambda s: rt.exec(s, filename="e.cx"), source) == (expected, "e.cx")
    assert compile_failure(rt.eval, source) == (expected, "<eval>")


def test_late_error_in_a_long_file_keeps_its_position():
    lines = [f"let v{i} = f(v{i - 1}, 'text {i}', [1, 2.5, {{k: {i}}}])" for i in range(1, 20000)]
    body = "\n".join(lines)
    for tail, stage, expected in [
        ("\nlet bad = 'open", "lex", "Lexer error at 20000:16: Unterminated string literal"),
        ("\nlet bad = ] + 'open", "lex", "Lexer error at 20000:20: Unterminated string literal"),
        ("\nlet bad = ]", "parse", "ParseError at 20000:11: Unexpected token: RightBracket"),
    ]:
        assert one_pass(body + tail) == staged(body + tail) == (stage, expected)


def test_calvex_compile_reports_the_same_position():
    source = "let a = 1\n" * 5000 + "let b = (1 +\n"
    with pytest.raises(calvex.CompileError) as exc:
        calvex.compile(source)
    assert (exc.value.lineno, exc.value.offset) == (5002, 1)
    assert one_pass(source) == ("parse", "ParseError at 5002:1: Unexpected token: Eof")


def test_very_long_programs_compile_like_their_parts():
    """A long program's top-level code is its statements' code end to end."""
    unit = "x{i} = {i} + y * 2\nfn f{i}(a) {{ return a + {i} }}\n"
    ops, _ = cp.compile("".join(unit.format(i=i) for i in range(30000)))
    one_ops, _ = cp.compile(unit.format(i=7))
    assert len(ops) == 30000 * (len(one_ops) - 1) + 1
    assert ops[:len(one_ops) - 1] == one_ops[:-1] and ops[-1] == one_ops[-1] == 255


@pytest.mark.parametrize("source", [
    "(" * 5000 + "1" + ")" * 5000,
    "x = " + "[" * 5000,
    "if a {" * 5000,
    'f"{' * 2000 + "x" + '}"' * 2000,
])
def test_deep_nesting_is_a_syntax_error_on_every_road(source):
    expected = staged(source)
    assert expected is not None and expected[0] == "parse" and expected[1].endswith("Nesting too deep")
    assert one_pass(source) == expected
    with pytest.raises(calvex.CompileError, match="Nesting too deep"):
        calvex.compile(source)


source_chars = st.sampled_from(
    list("ab1 (){}[],.:;?=+-*/!<>&|\"'f{}$\\#\n`0x.e_") +
    ["fn ", "if ", "else ", "let ", "class ", "match ", "case ", "try ", "catch ", "return ",
     "yield ", "comptime ", "/*", "*/", "'''", "r'", "f'", "{{", "}}", "é", "1.", "3e"])


@settings(max_examples=500, deadline=None)
@given(st.lists(source_chars, max_size=60).map("".join))
def test_random_sources_fail_the_same_way(source):
    assert one_pass(source) == staged(source)
