"""The exceptions of the calvex package.

CalvexError is the base of all of them. CompileError is also a SyntaxError,
so tracebacks and editors show the source line and a caret.
"""

from __future__ import annotations

__all__ = ["CalvexError", "CompileError", "ScriptError", "LimitExceeded", "Interrupted"]


class CalvexError(Exception):
    """Base class of every error the calvex package raises."""


class CompileError(CalvexError, SyntaxError):
    """Source that does not lex, parse or compile.

    ``filename``, ``lineno``, ``offset`` (column, 1-based) and ``text`` (the
    source line) locate the error when it is known; ``msg`` is the message.
    """

    def __str__(self) -> str:
        where = str(self.filename)
        if self.lineno is not None:
            where += f":{self.lineno}"
            if self.offset is not None:
                where += f":{self.offset}"
        return f"{where}: {self.msg}"


class ScriptError(CalvexError):
    """A run-time error of a script.

    ``message`` is the language's message, ``filename`` and ``line`` where it
    happened, and ``traceback`` the active calls as ``(function_name, line)``
    pairs, outermost first (``"<top>"`` is top-level code). An exception
    raised by a registered Python callable is the ``__cause__``.
    """

    def __init__(
        self,
        message: str,
        filename: str | None = None,
        line: int | None = None,
        traceback: list[tuple[str, int]] | None = None,
    ) -> None:
        super().__init__(message)
        self.message = message
        self.filename = filename
        self.line = line
        self.traceback = list(traceback or [])

    def __str__(self) -> str:
        if self.filename is None:
            return self.message
        if self.line is None:
            return f"{self.filename}: {self.message}"
        return f"{self.filename}:{self.line}: {self.message}"


class LimitExceeded(CalvexError):
    """An entry ran past one of its runtime's limits.

    ``limit`` is ``"instructions"``, ``"time"`` or ``"memory"``.
    """

    def __init__(self, limit: str, message: str | None = None) -> None:
        super().__init__(message or f"{limit} limit exceeded")
        self.limit = limit


class Interrupted(CalvexError):
    """The entry was stopped by ``Runtime.interrupt()``."""
