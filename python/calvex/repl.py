"""The interactive prompt of the ``calvex`` command.

One Runtime serves the whole session, so functions, classes and globals
persist from one input to the next (a top-level ``let`` stays local to its
input, as in a program file; the prompt says so). An input that leaves a bracket, a block
comment or a triple-quoted string open continues on the next line (an empty
line ends it anyway). The value of an expression is shown as ``=> value``.
Errors are shown and the session goes on. Ctrl-C cancels the line being
typed or interrupts a running program; Ctrl-D or ``:quit`` leaves. The input
history is kept across sessions in ``~/.calvex_history`` (or the file named
by ``CALVEX_HISTORY``).
"""

from __future__ import annotations

import math
import os
import sys
from typing import Any

import calvex_parser

from . import CompileError, Function, Interrupted, LimitExceeded, Runtime, ScriptError
from .cli import EXIT_OK, format_compile_error, format_script_error, run_interruptibly

__all__ = ["repl", "display", "needs_more"]

PROMPT, CONTINUE = "cx> ", "... "
HELP = """\
Type Calvex statements or expressions; an expression's value is shown as => value.
Functions, classes and globals (`x = 1`) stay defined for the session; a top-level
`let` is local to the input it is in. An open bracket, block comment or
triple-quoted string continues the input on the next line.
  :help        this text
  :quit        leave (also Ctrl-D)
  :reset       start again with a fresh runtime
Ctrl-C cancels the current line or stops a running program.
The language: docs/language.md"""


def _float_text(x: float) -> str:
    if math.isnan(x):
        return "NaN"
    if math.isinf(x):
        return "inf" if x > 0 else "-inf"
    if x == math.trunc(x):
        return f"{x:.1f}"
    text = repr(x)
    if "e" in text:  # the language never writes an exponent
        digits, exp = text.split("e")
        mantissa = digits.replace(".", "").lstrip("-")
        point = (digits.lstrip("-").find(".") if "." in digits else len(digits.lstrip("-")))
        shift = point + int(exp)
        sign = "-" if x < 0 else ""
        if shift <= 0:
            return f"{sign}0.{'0' * -shift}{mantissa}"
        return f"{sign}{mantissa[:shift]}.{mantissa[shift:]}"
    return text


def display(value: Any) -> str:
    """A value as the prompt shows it: strings quoted, containers with their contents."""
    if value is None:
        return "nil"
    if value is True:
        return "true"
    if value is False:
        return "false"
    if isinstance(value, int):
        return str(value)
    if isinstance(value, float):
        return _float_text(value)
    if isinstance(value, str):
        return '"' + value + '"'
    if isinstance(value, (list, tuple)):
        return "[" + ", ".join(display(v) for v in value) + "]"
    if isinstance(value, dict):
        return "{" + ", ".join(f"{k}: {display(v)}" for k, v in value.items()) + "}"
    if isinstance(value, Function):
        return f"<function {value.__name__}>"
    return str(value)


_OPEN_AT_END = ("found Eof", "Unexpected token: Eof", "Unterminated block comment",
                "Unterminated triple-quoted string", "Unterminated escape in triple-quoted")


def needs_more(source: str) -> bool:
    """True when `source` is incomplete: it fails only because the input ended."""
    try:
        calvex_parser.parse_tokens(calvex_parser.lex(source))
    except SyntaxError as e:
        return any(marker in str(e) for marker in _OPEN_AT_END)
    return False


def _statements(source: str) -> list[dict[str, Any]] | None:
    try:
        tree = calvex_parser.parse_tokens(calvex_parser.lex(source))
    except SyntaxError:
        return None
    statements: list[dict[str, Any]] = tree["statements"]
    return statements


def local_names(source: str) -> list[str]:
    """Names that `source` declares with a top-level `let` or `const`: those are
    locals of that one input and are gone by the next one."""
    return [s["name"] for s in _statements(source) or [] if s["type"] == "VarDecl" and s["name"]]


def _is_expression(source: str) -> bool:
    """True when `source` is one expression statement (its value is worth showing)."""
    statements = _statements(source)
    if statements is None:
        return False
    if len(statements) != 1 or statements[0]["type"] != "ExprStatement":
        return False
    expr = statements[0]["expression"]
    # An assignment or a call of print is run, not shown.
    if expr["type"] == "BinaryOp" and expr["op"] == "Assign":
        return False
    return not (expr["type"] == "Call" and expr["callee"] == {"type": "Identifier", "name": "print"})


class _History:
    def __init__(self) -> None:
        self.path = os.environ.get("CALVEX_HISTORY") or os.path.expanduser("~/.calvex_history")
        try:
            import readline
        except ImportError:  # no line editing on this build of Python
            self.readline = None
            return
        self.readline = readline
        readline.set_history_length(1000)
        try:
            readline.read_history_file(self.path)
        except OSError:
            pass

    def save(self) -> None:
        if self.readline is not None:
            try:
                self.readline.write_history_file(self.path)
            except OSError:
                pass


def _evaluate(rt: Runtime, source: str) -> None:
    try:
        if _is_expression(source):
            value = run_interruptibly(rt, lambda: rt.eval(source))
            sys.stdout.flush()
            print(f"=> {display(value)}")
        else:
            run_interruptibly(rt, lambda: rt.exec(source, filename="<stdin>"))
            for name in local_names(source):
                print(f"note: `let {name}` is local to this input; "
                      f"write `{name} = ...` to keep it for the next one", file=sys.stderr)
    except CompileError as e:
        print(format_compile_error(e), file=sys.stderr)
    except ScriptError as e:
        sys.stdout.flush()
        print(format_script_error(e), file=sys.stderr)
    except LimitExceeded as e:
        print(str(e), file=sys.stderr)
    except Interrupted:
        sys.stdout.flush()
        print("interrupted", file=sys.stderr)
    sys.stderr.flush()


def _read_input() -> str | None:
    """One complete input, None at end of input; KeyboardInterrupt cancels it."""
    lines: list[str] = []
    while True:
        try:
            line = input(CONTINUE if lines else PROMPT)
        except EOFError:
            if lines:
                print()
                return "\n".join(lines)
            return None
        if lines and not line.strip():
            return "\n".join(lines)
        lines.append(line)
        source = "\n".join(lines)
        if not needs_more(source):
            return source


def repl(runtime_options: dict[str, Any] | None = None) -> int:
    """Run the prompt until Ctrl-D or :quit; returns the exit status."""
    options = dict(runtime_options or {})
    rt = Runtime(**options)
    history = _History()
    print("Calvex 3.9.1: :help for help, :quit or Ctrl-D to leave")
    try:
        while True:
            try:
                source = _read_input()
            except KeyboardInterrupt:
                print("\n(cancelled)")
                continue
            if source is None:
                print()
                break
            command = source.strip()
            if not command:
                continue
            if command in (":quit", ":q", ":exit"):
                break
            if command in (":help", ":h"):
                print(HELP)
                continue
            if command == ":reset":
                rt = Runtime(**options)
                print("(fresh runtime)")
                continue
            if command.startswith(":"):
                print(f"unknown command {command.split()[0]}; :help lists them", file=sys.stderr)
                continue
            try:
                _evaluate(rt, source)
            except KeyboardInterrupt:  # a Ctrl-C that arrived between two steps
                print("\ninterrupted", file=sys.stderr)
    finally:
        history.save()
    return EXIT_OK
