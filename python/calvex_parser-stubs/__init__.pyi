"""Front end, compiler, one-shot pipeline and native bindings of Calvex."""

from collections.abc import Callable, Sequence
from typing import Any, TypedDict, final, type_check_only

__all__ = [
    "PyParser",
    "lex",
    "parse_tokens",
    "compile",
    "compile_and_run",
    "set_native_binding",
    "clear_native_bindings",
]

@type_check_only
class TokenDict(TypedDict):
    """One token as `lex` returns it."""

    token_type: str
    value: str
    line: int
    column: int

# What the parser entry points read: `token_type` and `value` (both str) are
# required; `line` and `column` are optional ints.
_TokenInput = TokenDict | dict[str, Any]

# A syntax-tree node: {"type": "Program", "statements": [...]} and so on.
_Node = dict[str, Any]

@final
class PyParser:
    """Tokens converted once, parsed by `parse` as often as needed."""

    def __new__(cls, py_tokens: Sequence[_TokenInput]) -> PyParser: ...
    def parse(self) -> _Node:
        """Parse tokens into an AST"""

    @staticmethod
    def parse_tokens(py_tokens: Sequence[_TokenInput]) -> _Node:
        """Parse from a token list (static method)"""

def lex(source: str) -> list[TokenDict]:
    """The token list of `source`, ending with an `Eof` token; SyntaxError on a lexer error."""

def parse_tokens(py_tokens: Sequence[_TokenInput]) -> _Node:
    """Main parsing function"""

def compile(source: str) -> tuple[list[int], list[int]]:
    """One summary number per top-level instruction, and the constant pool as bytes."""

def compile_and_run(source: str) -> str:
    """Compile and execute source in one shot; the result's display text or "Runtime error: ..."."""

def set_native_binding(name: str, callback: Callable[..., Any]) -> None:
    """Register a Python callable as a native Calvex function.
    These are checked before user-defined functions and builtins."""

def clear_native_bindings() -> None:
    """Clear all registered native bindings."""
