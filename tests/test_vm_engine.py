"""VMEngine: machines built from byte streams, run, inspected and reset."""
import pytest

from calvex_vm_engine import VMEngine

STATS_KEYS = ["instructions_executed", "stack_depth", "call_depth",
              "cache_hits", "cache_misses", "cache_hit_rate"]

ADD, HALT, NOP, DUP, POP = b"\x10", b"\xff", b"\x00", b"\x02", b"\x01"


def stats_of(engine):
    s = engine.stats()
    return {k: s[k] for k in ("instructions_executed", "stack_depth", "call_depth")}


@pytest.mark.parametrize("code, result, state, executed", [
    (b"", "nil", "Running", 0),
    (HALT, "nil", "Halted", 1),
    (NOP + NOP + HALT, "nil", "Halted", 1),          # the optimiser drops the Nops
    (b"\x99\xfe" + HALT, "nil", "Halted", 1),        # undecodable bytes are skipped
    (HALT + ADD, "nil", "Halted", 1),                # unreachable after Halt
    (ADD, "Error: Stack underflow", "Running", 0),
    (DUP, "Error: Stack underflow", "Running", 0),
    (b"\x03", "Error: Stack underflow on Swap", "Running", 0),
    (b"\x04", "Error: Stack underflow", "Running", 0),
    (b"\x06", "Error: Stack underflow", "Running", 0),
    (b"\x07", "Error: Stack underflow", "Running", 0),
    (b"\x08", "Error: Stack underflow", "Running", 0),
    (b"\x22", "Error: Stack underflow", "Running", 0),
])
def test_execute(code, result, state, executed):
    engine = VMEngine(code)
    assert engine.execute() == result
    assert engine.state() == state
    assert stats_of(engine) == {"instructions_executed": executed, "stack_depth": 0, "call_depth": 0}


def test_stats_keys_and_types():
    s = VMEngine(HALT).stats()
    assert list(s) == STATS_KEYS
    assert s["cache_hits"] == 0 and s["cache_misses"] == 0
    assert type(s["cache_hit_rate"]) is float and s["cache_hit_rate"] == 0.0
    assert all(type(s[k]) is int for k in STATS_KEYS[:5])


def test_execute_resumes_after_an_error():
    engine = VMEngine(ADD + HALT)
    assert engine.execute() == "Error: Stack underflow"
    assert engine.state() == "Running"
    assert engine.execute() == "nil"
    assert engine.state() == "Halted"
    assert engine.stats()["instructions_executed"] == 1


def test_finished_machine_returns_at_once():
    engine = VMEngine(HALT)
    assert engine.execute() == "nil"
    assert engine.execute() == "nil"
    assert engine.execute() == "nil"
    assert engine.stats()["instructions_executed"] == 1


def test_results_are_new_strings():
    engine = VMEngine(b"")
    assert type(engine.execute()) is str
    assert type(engine.state()) is str


def test_jit_stats_only_while_enabled():
    engine = VMEngine(HALT)
    assert "jit_stats" not in engine.stats()
    assert engine.collect_hot_traces_ir() == []
    assert engine.enable_jit() is None
    s = engine.stats()
    assert list(s) == STATS_KEYS + ["jit_stats"]
    assert s["jit_stats"] == ("JIT Stats:\n  Total traces: 0\n  Hot traces: 0\n"
                              "  Compiled: 0\n  Total executions: 0\n")
    assert engine.collect_hot_traces_ir() == []
    assert engine.execute() == "nil"


def test_reset_builds_a_fresh_machine():
    engine = VMEngine(HALT)
    engine.enable_jit()
    assert engine.execute() == "nil"
    assert engine.state() == "Halted"
    assert engine.reset(ADD) is None
    assert engine.state() == "Running"
    assert "jit_stats" not in engine.stats()
    assert stats_of(engine) == {"instructions_executed": 0, "stack_depth": 0, "call_depth": 0}
    assert engine.execute() == "Error: Stack underflow"


@pytest.mark.parametrize("bad", ["ab", bytearray(HALT), None, 5])
def test_failed_reset_keeps_the_old_machine(bad):
    engine = VMEngine(HALT)
    with pytest.raises(TypeError):
        engine.reset(bad)
    assert engine.execute() == "nil"
    assert engine.state() == "Halted"


def test_engines_are_independent():
    a, b = VMEngine(HALT), VMEngine(ADD)
    assert a.execute() == "nil"
    assert b.execute() == "Error: Stack underflow"
    assert a.state() == "Halted" and b.state() == "Running"
    assert a.stats()["instructions_executed"] == 1
    assert b.stats()["instructions_executed"] == 0


def test_long_byte_streams():
    engine = VMEngine(HALT * 100_000)
    assert engine.execute() == "nil"
    assert engine.stats()["instructions_executed"] == 1  # all but the first are unreachable
    engine = VMEngine(b"\x04" * 50_001)  # Neg on an empty stack, then 50,000 more
    for _ in range(3):
        assert engine.execute() == "Error: Stack underflow"
    assert engine.stats()["instructions_executed"] == 0
