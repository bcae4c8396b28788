"""Virtual machine, bytecode optimiser and trace JIT of Calvex."""

from typing import NotRequired, TypedDict, final, type_check_only

__all__ = ["VMEngine", "optimize_bytecode", "emit_ir"]

@type_check_only
class Stats(TypedDict):
    instructions_executed: int
    stack_depth: int
    call_depth: int
    cache_hits: int
    cache_misses: int
    cache_hit_rate: float
    jit_stats: NotRequired[str]
    """Present while the JIT is enabled."""

@type_check_only
class TraceIR(TypedDict):
    name: str
    ir: str

@final
class VMEngine:
    """A long-lived machine loaded from a byte stream (one byte per instruction)."""

    def __new__(cls, bytecode: bytes) -> VMEngine: ...
    def execute(self) -> str:
        """Run to the end or the first error: the top value's display text, or "Error: ..."."""

    def enable_jit(self) -> None:
        """Start (or restart) the trace profiler."""

    def collect_hot_traces_ir(self) -> list[TraceIR]:
        """Name and LLVM IR of every hot trace."""

    def reset(self, bytecode: bytes) -> None:
        """Replace the machine with a fresh one built from `bytecode`."""

    def state(self) -> str:
        """ "Running", "Paused", "Halted" or 'Error("...")'."""

    def stats(self) -> Stats:
        """Counters of the machine, plus the JIT's while it is enabled."""

def optimize_bytecode(bytecode: bytes) -> bytes:
    """Optimize Calvex bytecode (passed as bytes) and return optimized bytes"""

def emit_ir(trace_name: str, opcodes_str: bytes) -> str:
    """Emit LLVM IR for a named trace"""
