"""The trace JIT as the host sees it: enable_jit, jit_stats and collect_hot_traces_ir.

Byte streams carry no jumps, so no loop can become hot from here; the profiler
and the native build are tested in tests/cpp/test_jit.cpp.
"""
import pytest

from calvex_vm_engine import VMEngine

ZERO_STATS = ("JIT Stats:\n  Total traces: 0\n  Hot traces: 0\n"
              "  Compiled: 0\n  Total executions: 0\n")


def test_absent_until_enabled():
    vm = VMEngine(b"\x00")
    assert "jit_stats" not in vm.stats()
    assert vm.collect_hot_traces_ir() == []


@pytest.mark.parametrize("code", [b"", b"\x00\x00", b"\x06\x06\x10", b"\x10", b"\xff"])
def test_enabled_stats_text_and_no_hot_traces(code):
    vm = VMEngine(code)
    assert vm.enable_jit() is None
    stats = vm.stats()
    assert list(stats)[-1] == "jit_stats"
    assert stats["jit_stats"] == ZERO_STATS
    vm.execute()
    assert vm.stats()["jit_stats"] == ZERO_STATS
    assert vm.collect_hot_traces_ir() == []


def test_enable_again_starts_a_fresh_profile():
    vm = VMEngine(b"\x00")
    vm.enable_jit()
    vm.execute()
    assert vm.enable_jit() is None
    assert vm.stats()["jit_stats"] == ZERO_STATS
    assert vm.collect_hot_traces_ir() == []


def test_reset_drops_jit_state():
    vm = VMEngine(b"\x00")
    vm.enable_jit()
    with pytest.raises(TypeError):
        vm.reset("not bytes")
    assert vm.stats()["jit_stats"] == ZERO_STATS, "a failed reset keeps the machine"
    assert vm.reset(b"\x00") is None
    assert "jit_stats" not in vm.stats()
    assert vm.collect_hot_traces_ir() == []
    vm.enable_jit()
    assert vm.stats()["jit_stats"] == ZERO_STATS


@pytest.mark.parametrize("method", ["enable_jit", "collect_hot_traces_ir"])
def test_methods_take_no_arguments(method):
    vm = VMEngine(b"")
    with pytest.raises(TypeError):
        getattr(vm, method)(1)
