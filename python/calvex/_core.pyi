"""The native module behind the calvex package."""

from collections.abc import Callable
from typing import Any, TypedDict, final, type_check_only

from typing_extensions import disjoint_base

memory_metering: bool

@type_check_only
class _Stats(TypedDict):
    instructions_executed: int
    memory_in_use: int
    peak_memory: int
    call_depth: int

@final
class Program:
    """A compiled program: run it with Runtime.exec, store it with to_bytes."""

    def __new__(cls, *args: Any, **kwargs: Any) -> Program: ...
    @property
    def filename(self) -> str:
        """The name errors report for this program."""

    @property
    def functions(self) -> tuple[str, ...]:
        """Names of the functions and methods the program defines."""

    def to_bytes(self) -> bytes: ...
    @staticmethod
    def from_bytes(data: bytes) -> Program: ...
    def disassemble(self) -> str: ...
    def __reduce__(self) -> tuple[Any, ...]: ...

@final
class Function:
    """A script function handed to Python; calling it runs it in its runtime."""

    runtime: Runtime
    __name__: str
    def __new__(cls, *args: Any, **kwargs: Any) -> Function: ...
    def __call__(self, *args: Any) -> Any: ...

@disjoint_base
class Runtime:
    """The native machine behind calvex.Runtime."""

    def __new__(
        cls,
        *,
        max_instructions: int | None = ...,
        timeout: float | None = ...,
        max_memory: int | None = ...,
        max_depth: int | None = ...,
        print: Callable[[str], object] | None = ...,
        input: Callable[[str], str] | None = ...,
        strict: bool = ...,
    ) -> Runtime: ...
    def exec(self, code: str | Program, /, filename: str = "<string>") -> None: ...
    def eval(self, expression: str, /) -> Any: ...
    def call(self, name: str, /, *args: Any) -> Any: ...
    def register(self, name: str, func: Callable[..., Any], /) -> None: ...
    def interrupt(self, /) -> None: ...
    def stats(self, /) -> _Stats: ...
    def _global_get(self, name: str, /) -> Any: ...
    def _global_set(self, name: str, value: Any, /) -> None: ...
    def _global_del(self, name: str, /) -> None: ...
    def _global_names(self, /) -> list[str]: ...

def compile(source: str, *, filename: str = "<string>") -> Program: ...
def program_from_bytes(data: bytes) -> Program: ...
