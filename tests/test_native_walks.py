"""The value walks of native bindings: shared structure converts once in
both directions, and a signal handler runs (and may stop the walk) while a
large value converts."""
import signal
import time

import pytest

import calvex_parser as cp


@pytest.fixture(autouse=True)
def empty_registry():
    cp.clear_native_bindings()
    yield
    cp.clear_native_bindings()


def test_doubling_structure_reaches_a_binding_shared():
    got = []
    cp.set_native_binding("keep", lambda v: got.append(v))
    start = time.monotonic()
    assert cp.compile_and_run("let a = [1] let i = 0 while i < 40 { a = [a, a] i = i + 1 } keep(a)") == "nil"
    assert time.monotonic() - start < 2  # 2**40 leaves as a tree
    a = got[0]
    assert a[0] is a[1] and a[0][0] is a[0][1]
    got.clear()
    assert cp.compile_and_run("let o = {v: 1} let i = 0 while i < 40 { o = {l: o, r: o} i = i + 1 } keep(o)") == "nil"
    assert got[0]["l"] is got[0]["r"]


def test_doubling_structure_from_a_binding_converts_once():
    x = [1]
    for _ in range(40):
        x = [x, x]
    got = []
    cp.set_native_binding("give", lambda: x)
    cp.set_native_binding("keep", lambda v: got.append(v))
    start = time.monotonic()
    assert cp.compile_and_run("let v = give() keep(len(v[0][1][0]))") == "nil"
    assert time.monotonic() - start < 2
    assert got == [2]


def test_values_are_unchanged_by_sharing():
    leaf = [1, "two", [3.0]]
    got = []
    cp.set_native_binding("give", lambda: [leaf, (leaf, leaf), leaf])
    cp.set_native_binding("keep", lambda v: got.append(v))
    assert cp.compile_and_run("let v = give() v[0][1] = \"changed\" keep(v)") == "nil"
    assert got[0] == [[1, "changed", [3.0]], [[1, "two", [3.0]], [1, "two", [3.0]]], [1, "two", [3.0]]]


@pytest.mark.parametrize("direction", ["from_host", "to_host"])
def test_an_alarm_stops_a_long_conversion_part_way(direction):
    big = [[i] for i in range(1_000_000)]
    cp.set_native_binding("give", lambda: big)
    cp.set_native_binding("keep", lambda v: None)
    source = "give()" if direction == "from_host" else "let v = give() keep(v) keep(v) keep(v) keep(v)"
    start = time.monotonic()
    cp.compile_and_run(source)
    full = time.monotonic() - start

    def handler(signum, frame):
        raise KeyboardInterrupt

    old = signal.signal(signal.SIGALRM, handler)
    try:
        start = time.monotonic()
        signal.setitimer(signal.ITIMER_REAL, full / 10)
        with pytest.raises(KeyboardInterrupt):
            cp.compile_and_run(source)
        assert time.monotonic() - start < full / 2, full
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, old)
