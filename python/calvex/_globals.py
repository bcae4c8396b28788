"""The mapping view behind ``Runtime.globals``."""

from __future__ import annotations

from collections.abc import Iterator, MutableMapping
from typing import Any, Protocol


class _Machine(Protocol):
    def _global_get(self, name: str, /) -> Any: ...
    def _global_set(self, name: str, value: Any, /) -> None: ...
    def _global_del(self, name: str, /) -> None: ...
    def _global_names(self) -> list[str]: ...


class Globals(MutableMapping[str, Any]):
    """The script globals of one runtime, as a live mutable mapping.

    Reading converts the script value to Python; writing converts the Python
    value into the script's world. A global holding nil is absent, as it is
    to the language; built-in functions are not listed.
    """

    __slots__ = ("_rt",)

    def __init__(self, runtime: _Machine) -> None:
        self._rt = runtime

    def __getitem__(self, name: str) -> Any:
        return self._rt._global_get(name)

    def __setitem__(self, name: str, value: Any) -> None:
        self._rt._global_set(name, value)

    def __delitem__(self, name: str) -> None:
        self._rt._global_del(name)

    def __iter__(self) -> Iterator[str]:
        return iter(self._rt._global_names())

    def __len__(self) -> int:
        return len(self._rt._global_names())

    def __contains__(self, name: object) -> bool:
        if not isinstance(name, str):
            return False
        try:
            self._rt._global_get(name)
        except KeyError:
            return False
        return True

    def clear(self) -> None:
        for name in self._rt._global_names():
            self._rt._global_del(name)

    def __repr__(self) -> str:
        return f"<calvex globals {list(self._rt._global_names())!r}>"
