"""The Pygments lexer against the program files and the language's own lexer."""
import importlib.metadata
import importlib.util
import pathlib

import pytest

import calvex_parser as cp

pygments = pytest.importorskip("pygments", reason="Pygments is installed by `make venv`")
from pygments.token import Error, Keyword, Name, Operator, String  # noqa: E402

ROOT = pathlib.Path(__file__).resolve().parent.parent
SOURCE = ROOT / "python" / "calvex" / "pygments_lexer.py"


def load_lexer_module():
    # Loaded from the source file, so that the test does not depend on how the
    # package is installed; the entry point is checked separately.
    spec = importlib.util.spec_from_file_location("calvex_pygments_lexer", SOURCE)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


LEXER = load_lexer_module().CalvexLexer()


def lexes_cleanly(text):
    """True when the language's lexer accepts `text`."""
    try:
        cp.lex(text)
        return True
    except SyntaxError:
        return False


def program_files():
    files = sorted((ROOT / "examples").glob("*.cx")) + sorted((ROOT / "bench").glob("*.cx"))
    files += sorted((ROOT / "tests" / "programs").rglob("*.cx"))
    return [f for f in files if lexes_cleanly(f.read_text(encoding="utf-8"))]


FILES = program_files()


def test_every_program_highlights_without_errors():
    assert len(FILES) >= 20
    for path in FILES:
        text = path.read_text(encoding="utf-8")
        tokens = list(LEXER.get_tokens(text))
        errors = [v for t, v in tokens if t in Error]
        assert not errors, f"{path.relative_to(ROOT)}: {errors[:5]}"
        assert "".join(v for _, v in tokens).rstrip("\n") == text.rstrip("\n")


def kind_of(word):
    [(kind, text)] = [(t, v) for t, v in LEXER.get_tokens(word) if v.strip()]
    assert text == word
    return kind


WORDS = ["let", "const", "fn", "struct", "enum", "class", "scene", "if", "else", "while",
         "for", "in", "return", "break", "continue", "match", "case", "try", "catch",
         "finally", "throw", "yield", "async", "await", "and", "or", "not", "nil", "null",
         "true", "false", "is", "div", "int", "float", "bool", "string", "void", "on_start",
         "on_update", "on_draw", "on_exit", "_ready", "_update", "_draw",
         # ordinary names, some of them keywords elsewhere
         "self", "switch", "default", "import", "super", "node", "then", "x", "print",
         "len", "typeof", "on_other", "ready"]


@pytest.mark.parametrize("word", WORDS)
def test_keywords_agree_with_the_language_lexer(word):
    native = cp.lex(word)[0]["token_type"]
    is_keyword = native not in ("Ident",)
    kind = kind_of(word)
    assert (kind in Keyword or kind in Operator.Word) == is_keyword, (word, native, kind)


def test_fstring_parts_are_code_and_invalid_characters_are_errors():
    tokens = [(t, v) for t, v in LEXER.get_tokens('f"a{xs["k"] + 1}b {{c}}"') if v]
    assert (Name, "xs") in tokens
    assert (String.Interpol, "{") in tokens and (String.Escape, "{{") in tokens
    assert [v for t, v in LEXER.get_tokens("a ` b") if t in Error] == ["`"]
    assert [v for t, v in LEXER.get_tokens('"a\\qb"') if t in Error] == ["\\q"]


def test_entry_point_finds_the_lexer():
    try:
        dist = importlib.metadata.distribution("calvex")
    except importlib.metadata.PackageNotFoundError:
        pytest.skip("the project is not installed (development build)")
    points = [e for e in dist.entry_points if e.group == "pygments.lexers"]
    assert [e.value for e in points] == ["calvex.pygments_lexer:CalvexLexer"]
    from pygments.lexers import get_lexer_by_name, get_lexer_for_filename
    assert type(get_lexer_by_name("calvex")).__name__ == "CalvexLexer"
    assert type(get_lexer_for_filename("demo.cx")).__name__ == "CalvexLexer"
