"""Embedding the Calvex scripting language in Python.

    import calvex
    rt = calvex.Runtime(timeout=1.0)
    rt.exec("fn area(w, h) { return w * h }")
    rt.call("area", 3, 4)          # 12
    calvex.eval("2 ** 10")         # 1024.0

``compile()`` gives a ``Program`` (serialisable, picklable); a ``Runtime``
keeps one program's globals alive across ``exec``, ``eval`` and ``call``,
with limits on instructions, time, memory and call depth.
"""

from __future__ import annotations

from typing import Any

from .errors import CalvexError, CompileError, Interrupted, LimitExceeded, ScriptError
from . import _core
from ._globals import Globals

__all__ = [
    "CalvexError",
    "CompileError",
    "Function",
    "Globals",
    "Interrupted",
    "LimitExceeded",
    "Program",
    "Runtime",
    "ScriptError",
    "compile",
    "eval",
]

Program = _core.Program
Function = _core.Function
compile = _core.compile


class Runtime(_core.Runtime):
    """A long-lived Calvex machine.

    Runtime(*, max_instructions=None, timeout=None, max_memory=None,
            max_depth=10000, print=None, input=None, strict=False)

    Limits apply to each entry (``exec``, ``eval``, ``call``, a
    ``calvex.Function`` call): ``max_instructions`` instructions,
    ``timeout`` seconds of wall time, ``max_memory`` bytes of memory held
    by the script's values, ``max_depth`` active calls. Exceeding one raises
    ``LimitExceeded`` (``ScriptError("Stack overflow...")`` for the depth);
    the runtime stays usable.

    ``print`` receives each printed line (a ``str`` without the newline);
    by default lines go to whatever ``sys.stdout`` is at that moment.
    ``input`` is called with the prompt and returns the line; by default
    ``sys.stdin`` is read. ``strict=True`` makes reading a never-assigned
    global and calling a non-callable value errors.

    While script code runs the interpreter lock is released, so other
    Python threads keep running; a runtime is used by one thread at a time
    (a second thread gets RuntimeError).
    """

    @property
    def globals(self) -> Globals:
        """The script's globals as a live mutable mapping."""
        return Globals(self)

    def __repr__(self) -> str:
        try:
            return f"<calvex.Runtime with {len(self._global_names())} globals>"
        except RuntimeError:
            return "<calvex.Runtime (running on another thread)>"


Runtime.__module__ = "calvex"


def eval(expression: str, variables: dict[str, Any] | None = None, **runtime_options: Any) -> Any:
    """The value of one expression, in a fresh Runtime.

    ``variables`` become the expression's globals; ``runtime_options`` are
    passed to ``Runtime`` (limits, ``strict``...).
    """
    rt = Runtime(**runtime_options)
    if variables:
        for name, value in variables.items():
            rt.globals[name] = value
    return rt.eval(expression)
