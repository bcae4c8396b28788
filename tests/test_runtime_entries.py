"""Runtime entries: exec/eval/call on one long-lived machine, the globals
view, errors with their attributes, registered callables, print/input
routing and strict mode."""
import contextlib
import io
import sys

import pytest

import calvex


@pytest.fixture
def rt():
    return calvex.Runtime()


def test_globals_and_functions_persist_across_entries_but_top_level_lets_do_not(rt):
    rt.exec("let hidden = 1\ncount = 0\nfn bump(by) { count = count + by\n count }")
    assert rt.call("bump", 2) == 2
    assert rt.call("bump", 3) == 5
    rt.exec("count = count * 10")
    assert rt.eval("count") == 50
    assert rt.eval("hidden") is None  # a top-level `let` is local to its exec
    assert set(rt.globals) == {"count", "bump"}


def test_a_later_definition_replaces_the_function_everywhere(rt):
    rt.exec("fn f() { 1 }\nfn caller() { f() }")
    assert rt.call("caller") == 1
    rt.exec("fn f() { 2 }")
    assert rt.call("f") == 2 and rt.call("caller") == 2
    rt.exec('class C { fn who(self) { "old" } }\nobj = {__class__: "C"}')
    assert rt.eval("obj.who()") == "old"
    rt.exec('class C { fn who(self) { "new" } }')
    assert rt.eval("obj.who()") == "new"


def test_lambdas_of_different_entries_stay_apart(rt):
    rt.exec("first = fn(x) x + 1")
    rt.exec("second = fn(x) x * 100")
    assert rt.eval("first(1)") == 2 and rt.eval("second(1)") == 100
    assert "<lambda>0" not in rt.globals


def test_eval_gives_one_expression_and_refuses_statements(rt):
    rt.globals["width"] = 3
    assert rt.eval("width * 2 + 0.5") == 6.5
    assert rt.eval("[width, {w: width}]") == [3, {"w": 3}]
    for bad in ("x = 1\ny = 2", "fn f() { 1 }", "", "let z = 1"):
        with pytest.raises(calvex.CompileError):
            rt.eval(bad)


def test_globals_mapping_behaves_like_a_dict(rt):
    g = rt.globals
    g["a"] = 1
    g.update(b=[1, 2], c="x")
    assert g["b"] == [1, 2] and "c" in g and "zz" not in g and 5 not in g
    del g["c"]
    assert "c" not in g and rt.eval("c") is None
    with pytest.raises(KeyError):
        g["never"]
    with pytest.raises(KeyError):
        del g["never"]
    assert dict(g) == {"a": 1, "b": [1, 2]} and len(g) == 2
    assert "print" not in g  # built-ins are not listed ...
    g["print"] = 5           # ... until a program or the host replaces one
    assert g["print"] == 5


def test_call_names_that_are_not_functions(rt):
    rt.exec("n = 3")
    with pytest.raises(calvex.ScriptError, match="Undefined variable 'missing'"):
        rt.call("missing")
    with pytest.raises(calvex.ScriptError, match="Cannot call int"):
        rt.call("n")
    with pytest.raises(TypeError):
        rt.call(42)


def test_script_error_attributes_and_traceback(rt):
    rt.exec("fn inner(x) {\n  x / 0\n}\nfn outer() {\n  inner(1)\n}\n", filename="lib.cx")
    with pytest.raises(calvex.ScriptError) as info:
        rt.exec("let y = 2\nouter()\n", filename="main.cx")
    e = info.value
    assert e.message == "Division by zero"
    assert (e.filename, e.line) == ("lib.cx", 2)
    assert e.traceback == [("<top>", 2), ("outer", 5), ("inner", 2)]
    assert str(e) == "lib.cx:2: Division by zero"
    with pytest.raises(calvex.ScriptError) as info:
        rt.call("inner", "s")
    assert info.value.traceback == [("inner", 2)]


def test_runtime_is_usable_after_errors_and_keeps_what_was_stored(rt):
    with pytest.raises(calvex.ScriptError):
        rt.exec("saved = 41\nfn deep(n) { deep(n + 1) }\ndeep(0)")
    assert rt.eval("saved + 1") == 42
    assert rt.stats()["call_depth"] == 0


def test_registered_callable_errors_become_script_errors_with_cause(rt):
    def check(x):
        if x < 0:
            raise ValueError(f"negative: {x}")
        return x

    rt.register("check", check)
    rt.exec("fn f(v) { check(v) }")
    assert rt.call("f", 5) == 5
    with pytest.raises(calvex.ScriptError) as info:
        rt.call("f", -2)
    assert info.value.message == "Native error: ValueError: negative: -2"
    assert isinstance(info.value.__cause__, ValueError)
    assert info.value.traceback == [("f", 1)]


@pytest.mark.parametrize("exc", [KeyboardInterrupt, SystemExit])
def test_keyboard_interrupt_and_system_exit_propagate_as_themselves(rt, exc):
    def stop():
        raise exc()

    rt.register("stop", stop)
    with pytest.raises(exc):
        rt.exec("x = 1\nstop()\nx = 2")
    assert rt.eval("x") == 1


def test_bad_return_value_of_a_callable_is_a_script_error(rt):
    rt.register("gives_set", lambda: {1, 2})
    with pytest.raises(calvex.ScriptError, match="TypeError") as info:
        rt.eval("gives_set()")
    assert isinstance(info.value.__cause__, TypeError)


def test_registered_names_are_per_runtime(rt):
    other = calvex.Runtime()
    rt.register("who", lambda: "first")
    other.register("who", lambda: "second")
    assert rt.eval("who()") == "first" and other.eval("who()") == "second"
    with pytest.raises(ValueError):
        rt.register("not an identifier", print)
    with pytest.raises(TypeError):
        rt.register("x", 5)


def test_callables_may_call_back_into_their_runtime(rt):
    rt.exec("fn fib(n) { n < 2 ? n : fib(n - 1) + fib(n - 2) }")
    rt.register("via_python", lambda n: rt.call("fib", n))
    rt.exec("fn twice_fib(n) { via_python(n) * 2 }")
    assert rt.call("twice_fib", 15) == 1220
    rt.register("apply", lambda f, x: f(x))
    assert rt.eval("apply(fn(v) v * 3, 7)") == 21

    def nested_exec():
        rt.exec("x = 1")

    rt.register("nested_exec", nested_exec)
    with pytest.raises(calvex.ScriptError) as info:
        rt.eval("nested_exec()")
    assert isinstance(info.value.__cause__, RuntimeError)


def test_endless_re_entry_is_bounded(rt):
    rt.register("again", lambda: rt.call("loop"))
    rt.exec("fn loop() { again() }")
    with pytest.raises(calvex.ScriptError) as info:
        rt.call("loop")
    cause = info.value
    while cause.__cause__ is not None:
        cause = cause.__cause__
    assert isinstance(cause, RecursionError)
    assert rt.eval("1") == 1


def test_print_follows_sys_stdout_at_call_time(rt):
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        rt.exec('print("a", 1)\nprint()')
        print("python")
        rt.exec("print(2.5)")
    assert out.getvalue() == '"a"1\n\npython\n2.5\n'


def test_print_and_input_callables(rt):
    lines, prompts = [], []
    rt2 = calvex.Runtime(print=lines.append, input=lambda p: prompts.append(p) or "Ada")
    rt2.exec('name = input("who? ")\nprint(f"hi {name}")\nprint(input())')
    assert lines == ['"hi Ada"', '"Ada"']  # print shows strings quoted, as the language does
    assert prompts == ['"who? "', ""]
    bad = calvex.Runtime(input=lambda p: 3)
    with pytest.raises(calvex.ScriptError, match="must return str"):
        bad.exec("input()")


def test_default_input_reads_sys_stdin(rt, monkeypatch):
    monkeypatch.setattr(sys, "stdin", io.StringIO("first line\r\nsecond\n"))
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        assert rt.eval('input("> ")') == "first line"
        assert rt.eval("input()") == "second"
        assert rt.eval("input()") == ""
    assert out.getvalue() == '"> "'


def test_print_errors_stop_the_script(rt):
    def broken(line):
        raise OSError("disk full")

    rt3 = calvex.Runtime(print=broken)
    with pytest.raises(calvex.ScriptError) as info:
        rt3.exec("print(1)")
    assert isinstance(info.value.__cause__, OSError)


def test_strict_mode_makes_silent_failures_loud():
    loose = calvex.Runtime()
    assert loose.eval("speed") is None
    assert loose.eval("(5)(1)") is None
    strict = calvex.Runtime(strict=True)
    with pytest.raises(calvex.ScriptError, match="Undefined variable 'speed'") as info:
        strict.eval("speed")
    assert info.value.line == 1
    with pytest.raises(calvex.ScriptError, match="Cannot call int"):
        strict.eval("(5)(1)")
    with pytest.raises(calvex.ScriptError, match="Cannot call string"):
        strict.exec('x = "s"\nx()')
    strict.exec("y = nil\nfn f() { y }")  # assigned, even if nil
    assert strict.call("f") is None
    strict.globals["from_host"] = 3
    assert strict.eval("from_host + len([1])") == 4
    del strict.globals["from_host"]
    with pytest.raises(calvex.ScriptError, match="Undefined variable 'from_host'"):
        strict.eval("from_host")


def test_module_level_eval_with_variables_and_options():
    assert calvex.eval("price * (1 + tax)", {"price": 100, "tax": 0.25}) == 125.0
    with pytest.raises(calvex.ScriptError, match="Undefined variable 'rate'"):
        calvex.eval("price * rate", {"price": 1}, strict=True)
    with pytest.raises(calvex.LimitExceeded):
        calvex.eval("(fn(n) n)(1) + (fn(f) f(f))(fn(f) f(f))", max_instructions=1000, max_depth=100_000)
    if calvex._core.memory_metering:
        with pytest.raises(calvex.LimitExceeded):
            calvex.eval("len(range(0, 100000000))", max_memory=1_000_000)


@pytest.mark.parametrize(
    "options, error",
    [
        ({"max_instructions": 0}, ValueError),
        ({"timeout": -1}, ValueError),
        ({"max_memory": "1"}, TypeError),
        ({"max_depth": 10**9}, ValueError),
        ({"print": 5}, TypeError),
    ],
)
def test_bad_options_are_refused(options, error):
    with pytest.raises(error):
        calvex.Runtime(**options)


def test_exec_takes_programs_and_rejects_other_things(rt):
    prog = calvex.compile("z = 9", filename="z.cx")
    rt.exec(prog)
    rt.exec(prog)
    assert rt.eval("z") == 9
    with pytest.raises(TypeError):
        rt.exec(b"z = 1")
    with pytest.raises(calvex.CompileError) as info:
        rt.exec("z = (", filename="broken.cx")
    assert info.value.filename == "broken.cx"


def test_re_entry_on_a_small_thread_stack_stops_cleanly():
    import threading

    outcome = []

    def work():
        rt = calvex.Runtime()
        rt.register("again", lambda: rt.call("loop"))
        rt.exec("fn loop() { again() }")
        try:
            rt.call("loop")
        except calvex.ScriptError as e:
            while e.__cause__ is not None:
                e = e.__cause__
            outcome.append(type(e))

    old = threading.stack_size(256 * 1024)
    try:
        t = threading.Thread(target=work)
        t.start()
        t.join()
    finally:
        threading.stack_size(old)
    assert outcome == [RecursionError]


def test_a_host_object_owning_its_runtime_is_collected():
    import gc
    import weakref

    class Game:
        def __init__(self):
            self.rt = calvex.Runtime(print=self.log)
            self.rt.register("spawn", self.spawn)
            self.rt.exec("fn update() { spawn() }")
            self.update = self.rt.globals["update"]

        def spawn(self):
            return 1

        def log(self, line):
            pass

    game = Game()
    assert game.update() == 1
    runtime = weakref.ref(game.rt)
    del game
    gc.collect()
    assert runtime() is None


def test_a_script_function_named_like_a_routed_builtin_is_called():
    lines = []
    rt = calvex.Runtime(print=lines.append)
    rt.exec('fn print(x) { shown = x }\nprint("mine")')
    assert rt.eval("shown") == "mine" and lines == []
