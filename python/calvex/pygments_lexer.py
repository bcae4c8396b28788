"""Syntax highlighting of Calvex source for Pygments.

Registered under the ``pygments.lexers`` entry point, so ``pygmentize -l calvex``,
Sphinx and MkDocs pick it up for ``.cx`` files and ``calvex`` code blocks. It
follows the language's own lexer: the same keywords (the reserved hook words
and type words included), comments that nest, the string forms with their
escapes, and f-strings whose ``{...}`` parts are highlighted as code.
"""

from __future__ import annotations

from typing import Any, ClassVar

from pygments.lexer import RegexLexer, bygroups, include, words  # type: ignore[import-untyped]
from pygments.token import (  # type: ignore[import-untyped]
    Comment, Error, Keyword, Name, Number, Operator, Punctuation, String, Whitespace)

__all__ = ["CalvexLexer"]

_BUILTINS = ("print", "input", "str", "int", "float", "len", "typeof", "abs", "min", "max",
             "pow", "sqrt", "sin", "cos", "round", "range", "clock", "rand")


def _string_states(quote: str, name: str) -> dict[str, list[Any]]:
    """States for a plain string and an f-string closed by `quote`."""
    q = "\\" + quote
    return {
        f"str{name}": [
            (q, String, "#pop"),
            (r'\\[nrt0ab\\"\']', String.Escape),
            (r"\\.", Error),
            (r"\n", Error, "#pop"),
            (rf"[^{q}\\\n]+", String),
        ],
        f"fstr{name}": [
            (q, String, "#pop"),
            (r"\{\{|\}\}", String.Escape),
            (r"\{", String.Interpol, "interp"),
            (r"\\\n|\\.", String.Escape),
            (r"\n", Error, "#pop"),
            (rf"[^{q}\\{{}}\n]+", String),
            (r"\}", String),
        ],
    }


class CalvexLexer(RegexLexer):  # type: ignore[misc]  # Pygments has no type information
    """Lexer for the Calvex scripting language."""

    name = "Calvex"
    aliases: ClassVar[list[str]] = ["calvex", "cx"]
    filenames: ClassVar[list[str]] = ["*.cx"]
    mimetypes: ClassVar[list[str]] = ["text/x-calvex"]
    url = "docs/language.md"

    tokens = {
        "root": [
            (r"[ \t\r\n]+", Whitespace),
            (r"(#|///).*?$", Comment.Single),
            (r"/\*", Comment.Multiline, "comment"),
            # Declarations: the name after `fn` and after a class keyword.
            (r"(fn)(\s+)(\*?)(\s*)([A-Za-z_]\w*)",
             bygroups(Keyword.Declaration, Whitespace, Operator, Whitespace, Name.Function)),
            (r"(class|struct|scene|enum)(\s+)([A-Za-z_]\w*)",
             bygroups(Keyword.Declaration, Whitespace, Name.Class)),
            (r"(extends)\b", Keyword),
            include("expression"),
        ],
        "expression": [
            (r"[ \t\r\n]+", Whitespace),
            (r"(#|///).*?$", Comment.Single),
            (r"/\*", Comment.Multiline, "comment"),
            (words(("let", "const", "fn", "class", "struct", "scene", "enum"), suffix=r"\b"),
             Keyword.Declaration),
            (words(("if", "else", "while", "for", "in", "return", "break", "continue", "match",
                    "case", "try", "catch", "finally", "throw", "yield", "async", "await",
                    "is", "div"), suffix=r"\b"), Keyword),
            (words(("and", "or", "not"), suffix=r"\b"), Operator.Word),
            (words(("true", "false", "nil", "null"), suffix=r"\b"), Keyword.Constant),
            (words(("on_start", "on_update", "on_draw", "on_exit", "_ready", "_update",
                    "_draw"), suffix=r"\b"), Keyword.Reserved),
            # `int(x)` calls the built-in; `int` elsewhere is the type word.
            (words(_BUILTINS, suffix=r"\b(?=\s*\()"), Name.Builtin),
            (words(("int", "float", "bool", "string", "void"), suffix=r"\b"), Keyword.Type),
            (r"self\b", Name.Builtin.Pseudo),
            (r"__\w+__\b", Name.Variable.Magic),
            (r"0[xX][0-9a-fA-F_]+", Number.Hex),
            (r"0[bB][01_]+", Number.Bin),
            (r"0[oO][0-7_]+", Number.Oct),
            (r"[0-9][0-9_]*(\.(?!\.)[0-9_]+)?[eE][+-]?[0-9]+", Number.Float),
            (r"[0-9][0-9_]*\.(?!\.)[0-9_]+", Number.Float),
            (r"[0-9][0-9_]*", Number.Integer),
            (r'[fF$]"', String, "fstrdq"),
            (r"[fF$]'", String, "fstrsq"),
            (r'[rR]"[^"\n]*"', String),
            (r"[rR]'[^'\n]*'", String),
            (r'"""', String, "tripledq"),
            (r"'''", String, "triplesq"),
            (r'"', String, "strdq"),
            (r"'", String, "strsq"),
            (r"[A-Za-z_]\w*", Name),
            (r"\*\*=?|\?\?=?|\?\.|<<=?|>>=?|\.\.\.|\.\.=?|->|=>|::|\|>|&&|\|\||"
             r"[-+*/%=!<>&|^]=?|\+\+|[~?:]", Operator),
            (r"[()\[\]{},.;@]", Punctuation),
            (r"\$", Whitespace),  # a `$` not starting an f-string is skipped
            (r"[^\x00-\x7f]+", Whitespace),  # so are letters outside ASCII
            (r".", Error),
        ],
        "comment": [
            (r"/\*", Comment.Multiline, "#push"),
            (r"\*/", Comment.Multiline, "#pop"),
            (r"[^/*]+", Comment.Multiline),
            (r"[/*]", Comment.Multiline),
        ],
        "tripledq": [
            (r'"""', String, "#pop"),
            (r"\\(.|\n)", String.Escape),
            (r'[^"\\]+|"', String),
        ],
        "triplesq": [
            (r"'''", String, "#pop"),
            (r"\\(.|\n)", String.Escape),
            (r"[^'\\]+|'", String),
        ],
        # Inside `{...}` of an f-string: code, with nested braces.
        "interp": [
            (r"\}", String.Interpol, "#pop"),
            (r"\{", Punctuation, "interpbrace"),
            include("expression"),
        ],
        "interpbrace": [
            (r"\}", Punctuation, "#pop"),
            (r"\{", Punctuation, "#push"),
            include("expression"),
        ],
        **_string_states('"', "dq"),
        **_string_states("'", "sq"),
    }

