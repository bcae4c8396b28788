"""Per-entry limits (instructions, time, memory, call depth) and
Runtime.interrupt(): each stops the entry promptly with its exception and
leaves the runtime usable, with what the script stored before."""
import resource
import threading
import time

import pytest

import calvex
from calvex import _core

needs_metering = pytest.mark.skipif(not _core.memory_metering, reason="memory is not metered in this build")


def test_instruction_budget_stops_a_loop_and_the_runtime_goes_on():
    rt = calvex.Runtime(max_instructions=50_000)
    with pytest.raises(calvex.LimitExceeded) as info:
        rt.exec("n = 0\nwhile true { n = n + 1 }")
    assert info.value.limit == "instructions"
    used = rt.stats()["instructions_executed"]
    assert 50_000 <= used < 50_000 + 1_000
    assert rt.eval("n") > 1000  # the global kept what was stored
    # each entry has its own budget
    rt.exec("let i = 0 while i < 1000 { i = i + 1 }")
    assert rt.call("len", [1, 2]) == 2


def test_instruction_budget_counts_calls_too():
    rt = calvex.Runtime(max_instructions=10_000)
    rt.exec("fn f(n) { f(n + 1) }")
    with pytest.raises(calvex.LimitExceeded):
        rt.call("f", 0)


def test_timeout_stops_an_endless_loop_promptly():
    rt = calvex.Runtime(timeout=0.1)
    start = time.monotonic()
    with pytest.raises(calvex.LimitExceeded) as info:
        rt.exec("while true {}")
    elapsed = time.monotonic() - start
    assert info.value.limit == "time" and 0.09 <= elapsed < 0.2
    start = time.monotonic()
    rt.exec("fn spin() { while true {} }")
    with pytest.raises(calvex.LimitExceeded):
        rt.call("spin")  # a fresh entry, a fresh deadline
    assert time.monotonic() - start < 0.2
    assert rt.eval("40 + 2") == 42


@needs_metering
@pytest.mark.parametrize(
    "growth",
    [
        'let s = "x" while true { s = f"{s}{s}" }',
        "let a = [] while true { a = [a, a, a, 1] }",
        "o = {} let i = 0 while true { o[str(i)] = i\n i = i + 1 }",
        "let a = range(0, 1000) while true { a = [a, range(0, 1000)] }",
        "let big = range(0, 100000000)",
    ],
)
def test_memory_budget_stops_growth_at_the_allocation(growth):
    limit = 10_000_000
    rss_before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    rt = calvex.Runtime(max_memory=limit)
    with pytest.raises(calvex.LimitExceeded) as info:
        rt.exec(growth)
    assert info.value.limit == "memory"
    stats = rt.stats()
    assert stats["peak_memory"] <= limit
    rss_after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    assert rss_after - rss_before < 4 * limit
    rt.globals.clear()  # what a global holds stays (and counts) until it goes
    assert rt.stats()["memory_in_use"] < limit // 10
    assert rt.eval("len([1, 2, 3])") == 3


@needs_metering
def test_memory_in_use_follows_the_scripts_values():
    rt = calvex.Runtime()
    base = rt.stats()["memory_in_use"]
    rt.exec('big = range(0, 100000)')
    grown = rt.stats()["memory_in_use"]
    assert grown - base >= 100_000 * 16
    del rt.globals["big"]
    assert rt.stats()["memory_in_use"] < base + 100_000
    assert rt.stats()["peak_memory"] >= grown


@needs_metering
def test_results_and_arguments_do_not_accumulate_in_the_count():
    rt = calvex.Runtime(max_memory=8_000_000)
    rt.exec("fn make(n) { range(0, n) }\nfn size(a) { len(a) }")
    for _ in range(50):  # 1.6 MB each: the budget holds only a few at once
        assert len(rt.call("make", 100_000)) == 100_000
        assert rt.call("size", list(range(100_000))) == 100_000
        assert len(rt.eval("make(100000)")) == 100_000
    assert rt.stats()["memory_in_use"] < 1_000_000


@needs_metering
def test_memory_budget_applies_to_values_from_the_host():
    rt = calvex.Runtime(max_memory=2_000_000)
    with pytest.raises(calvex.LimitExceeded):
        rt.globals["v"] = list(range(1_000_000))
    assert "v" not in rt.globals
    rt.globals["v"] = list(range(1000))
    assert rt.eval("len(v)") == 1000


@needs_metering
def test_budget_smaller_than_an_empty_runtime_is_refused_at_construction():
    for limit in (1, 10_000):
        with pytest.raises(ValueError, match=f"max_memory={limit} is too small to hold the runtime itself"):
            calvex.Runtime(max_memory=limit)
    # The smallest budget that builds a runtime also runs a script in it, or
    # stops it with the budget's own error.
    limit = 10_000
    while True:
        try:
            rt = calvex.Runtime(max_memory=limit)
            break
        except ValueError:
            limit *= 2
    try:
        assert rt.eval("1 + 1") == 2
    except calvex.LimitExceeded as e:
        assert e.limit == "memory"


def test_call_depth_limit_is_a_script_error():
    rt = calvex.Runtime(max_depth=50)
    rt.exec("fn down(n) { n == 0 ? 0 : 1 + down(n - 1) }")
    assert rt.call("down", 49) == 49
    with pytest.raises(calvex.ScriptError, match="Stack overflow") as info:
        rt.call("down", 50)
    assert len(info.value.traceback) == 50
    assert rt.call("down", 10) == 10


def test_default_depth_is_ten_thousand():
    rt = calvex.Runtime()
    rt.exec("fn down(n) { n == 0 ? 0 : 1 + down(n - 1) }")
    assert rt.call("down", 9_999) == 9_999
    with pytest.raises(calvex.ScriptError, match="Stack overflow"):
        rt.call("down", 10_000)


def test_interrupt_from_a_watchdog_stops_a_worker_thread():
    rt = calvex.Runtime()
    outcome = []

    def worker():
        try:
            rt.exec("n = 0\nwhile true { n = n + 1 }")
        except calvex.Interrupted as e:
            outcome.append(e)

    t = threading.Thread(target=worker)
    t.start()
    time.sleep(0.05)
    start = time.monotonic()
    rt.interrupt()
    t.join(1)
    assert not t.is_alive() and time.monotonic() - start < 0.2
    assert len(outcome) == 1
    assert rt.eval("n") > 0


def test_interrupt_while_idle_stops_the_next_entry_only():
    rt = calvex.Runtime()
    rt.interrupt()
    with pytest.raises(calvex.Interrupted):
        rt.eval("1")
    assert rt.eval("1") == 1


def test_limits_reach_into_function_calls_from_python():
    rt = calvex.Runtime(timeout=0.05)
    rt.exec("fn spin() { while true {} }")
    spin = rt.globals["spin"]
    with pytest.raises(calvex.LimitExceeded):
        spin()


def test_limit_inside_a_nested_entry_propagates_as_itself():
    rt = calvex.Runtime(timeout=0.05)
    rt.exec("fn spin() { while true {} }")
    rt.register("spin_from_python", lambda: rt.call("spin"))
    with pytest.raises(calvex.LimitExceeded):
        rt.eval("spin_from_python()")
    assert rt.eval("2") == 2


def test_ctrl_c_reaches_a_script_on_the_main_thread():
    import signal

    def handler(signum, frame):
        raise KeyboardInterrupt

    rt = calvex.Runtime()
    old = signal.signal(signal.SIGALRM, handler)
    try:
        start = time.monotonic()
        signal.setitimer(signal.ITIMER_REAL, 0.05)
        with pytest.raises(KeyboardInterrupt):
            rt.exec("x = 1\nwhile true {}")
        assert time.monotonic() - start < 0.5
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, old)
    assert rt.eval("x") == 1


def test_host_calls_that_add_globals_leave_running_calls_right():
    # grow() adds enough globals to move the machine's table of globals,
    # then rebinds the function the loop calls by name: each call must find
    # the binding of the moment.
    rt = calvex.Runtime()
    rt.exec(
        "fn step(x) { return x + 1 }\nfn two(x) { return x + 2 }\n"
        "fn run(n) { let s = 0\n let i = 0\n while i < n { s = step(s) + grow()\n i = i + 1 }\n return s }"
    )
    made = [0]
    first, second = rt.globals["step"], rt.globals["two"]

    def grow():
        for _ in range(300):
            rt.globals[f"g{made[0]}"] = made[0]
            made[0] += 1
        rt.globals["step"] = second if made[0] % 600 else first
        return 0

    rt.globals["grow"] = grow
    assert rt.call("run", 40) == 20 * 1 + 20 * 2
    assert rt.globals["g11999"] == 11999


def test_signal_handlers_may_call_into_a_running_script():
    # The handler's call runs while the script is in the middle of a loop
    # inside calls; it recurses deep enough to move the machine's stack and
    # frame memory, which the running script must not notice.
    import signal

    rt = calvex.Runtime()
    rt.exec(
        "fn deep(n) { if n == 0 { return 0 } return deep(n - 1) + 1 }\n"
        "fn step(s, i) { return s + i % 7 }\n"
        "fn spin(n) { let s = 0\n let i = 0\n while i < n { s = step(s, i)\n i = i + 1 }\n return s }"
    )
    answers = []

    def handler(signum, frame):
        answers.append(rt.call("deep", 3000))

    old = signal.signal(signal.SIGALRM, handler)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.01, 0.01)
        n = 3_000_000
        assert rt.call("spin", n) == sum(i % 7 for i in range(n))
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, old)
    assert answers and set(answers) == {3000}
