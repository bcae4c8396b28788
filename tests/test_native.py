"""Native bindings: the registry, calls from Calvex code, the conversions in
both directions, and the error texts."""
import pytest

import calvex_parser as cp


@pytest.fixture(autouse=True)
def empty_registry():
    cp.clear_native_bindings()
    yield
    cp.clear_native_bindings()


def roundtrip(value_source):
    """Runs `keep(<expr>)` and returns what the host callable received."""
    got = []
    cp.set_native_binding("keep", lambda *args: got.append(args))
    assert cp.compile_and_run(f"keep({value_source})") == "nil"
    assert len(got) == 1
    return got[0]


def through(py_value):
    """A host value handed to Calvex by `give()` and handed back by `keep`."""
    got = []
    cp.set_native_binding("give", lambda: py_value)
    cp.set_native_binding("keep", lambda v: got.append(v))
    assert cp.compile_and_run("keep(give())") == "nil"
    return got[0]


# ---- registry -------------------------------------------------------------------

def test_binding_is_called_with_arguments_in_order():
    assert roundtrip('1, "two", 3.5') == (1, "two", 3.5)
    assert roundtrip("") == ()


def test_binding_result_is_the_call_value(capfd):
    cp.set_native_binding("twice", lambda x: x * 2)
    assert cp.compile_and_run("print(twice(21), twice(\"ab\"))") == "nil"
    assert capfd.readouterr().out == '42"abab"\n'


def test_registering_again_replaces(capfd):
    cp.set_native_binding("f", lambda: 1)
    cp.set_native_binding("f", lambda: 2)
    cp.compile_and_run("print(f())")
    assert capfd.readouterr().out == "2\n"


def test_bindings_come_before_builtins_and_user_functions(capfd):
    printed = []
    cp.set_native_binding("print", lambda *a: printed.append(a))
    cp.set_native_binding("twice", lambda x: "native")
    assert cp.compile_and_run("fn twice(x) { return x * 2 }\nprint(twice(1), str(print), typeof(print))") == "nil"
    assert printed == [("native", "<native print>", "native_fn")]
    assert capfd.readouterr().out == ""


def test_clear_affects_only_later_pipelines(capfd):
    def clear_then_answer():
        cp.clear_native_bindings()
        return 7

    cp.set_native_binding("f", clear_then_answer)
    # the running machine keeps its binding for the second call
    cp.compile_and_run("print(f(), f())")
    assert capfd.readouterr().out == "77\n"
    cp.compile_and_run("print(f())")
    assert capfd.readouterr().out == "nil\n"


def test_callback_may_register_and_run_nested_pipelines(capfd):
    def register():
        cp.set_native_binding("later", lambda: "later")
        return cp.compile_and_run("print(later())")

    cp.set_native_binding("register", register)
    cp.compile_and_run("print(register())\nprint(later())")
    # `later` did not exist when the outer machine was built
    assert capfd.readouterr().out == '"later"\n"nil"\nnil\n'


def test_registry_keeps_its_own_reference():
    import gc
    import weakref

    class Callback:
        def __call__(self):
            return 5

    cb = Callback()
    ref = weakref.ref(cb)
    cp.set_native_binding("cb", cb)
    del cb
    gc.collect()
    assert ref() is not None
    assert roundtrip("cb()") == (5,)
    cp.clear_native_bindings()
    gc.collect()
    assert ref() is None


def test_name_must_be_a_str():
    with pytest.raises(TypeError) as e:
        cp.set_native_binding(5, print)
    assert str(e.value) == "argument 'name': 'int' object cannot be converted to 'PyString'"


# ---- machine values -> host objects ------------------------------------------

@pytest.mark.parametrize("source, value", [
    ("nil", None), ("true", 1), ("1 < 2", True), ("2 > 3", False), ("-7", -7),
    ("9223372036854775807", 9223372036854775807), ("2.5", 2.5), ('"héllo"', "héllo"), ('""', ""),
    ('[1, [2, "x"], []]', [1, [2, "x"], []]),
    ('{a: 1, b: {c: [nil]}}', {"a": 1, "b": {"c": [None]}}),
    ("print", "<function print>"), ("fn(x) x", "<function <lambda>0>"),
    ('{__class__: "C", v: 1}.m', None),
    ("keep", "<native keep>"),
])
def test_values_to_host(source, value):
    (got,) = roundtrip(source)
    assert got == value and type(got) is type(value)


def test_method_value_to_host():
    source = 'class C { fn m(self) { } }\nkeep({__class__: "C"}.m)'
    got = []
    cp.set_native_binding("keep", lambda v: got.append(v))
    cp.compile_and_run(source)
    assert got == ["<method C.m>"]


# ---- host objects -> machine values ------------------------------------------

class Indexable:
    def __index__(self):
        return 12


class Floaty:
    def __float__(self):
        return 1.25


class BadIndex:
    def __index__(self):
        raise ValueError("no")

    def __float__(self):
        return 3.0


class Seq:
    def __len__(self):
        return 2

    def __getitem__(self, i):
        if i >= 2:
            raise IndexError
        return i * 10


class BrokenSeq:
    def __len__(self):
        return 3

    def __getitem__(self, i):
        if i == 1:
            raise RuntimeError("boom")
        return i

    def __str__(self):
        return "broken"


class LyingLength:
    """Claims a vast length but runs out after two items."""

    def __len__(self):
        return 2**40

    def __getitem__(self, i):
        if i >= 2:
            raise IndexError
        return i

    def __str__(self):
        return "lying"


class NoStr:
    def __str__(self):
        raise RuntimeError("no str")


@pytest.mark.parametrize("py_value, back", [
    ("text", "text"), ("", ""), (5, 5), (-2**63, -2**63), (True, 1), (False, 0),
    (2**70, float(2**70)), (1.5, 1.5), (float("inf"), float("inf")),
    (Indexable(), 12), (Floaty(), 1.25), (BadIndex(), 3.0),
    ([1, "a", [2.5]], [1, "a", [2.5]]), ((1, 2), [1, 2]), (range(3), [0, 1, 2]),
    (b"AB", [65, 66]), (Seq(), [0, 10]), (BrokenSeq(), "broken"), (LyingLength(), "lying"),
    (None, None), ({"k": 1}, "{'k': 1}"), ({1}, "{1}"), (NoStr(), ""),
])
def test_values_from_host(py_value, back):
    got = through(py_value)
    assert got == back and type(got) is type(back)


def test_conversions_seen_inside_the_program(capfd):
    cp.set_native_binding("give", lambda: [True, None, {"a": 1}, 2**70])
    cp.compile_and_run("let v = give()\nprint(typeof(v[0]), typeof(v[1]), typeof(v[2]), typeof(v[3]), len(v))")
    assert capfd.readouterr().out == '"int""nil""string""float"4\n'


def test_self_containing_list_is_taken_by_its_string_form():
    loop = [1]
    loop.append(loop)
    assert through(loop) == [1, "[1, [...]]"]


def nested_depth(value):
    depth = 0
    while isinstance(value, list) and value:
        value = value[0]
        depth += 1
    return depth


def test_deep_nesting_both_ways():
    deep = []
    for _ in range(100_000):
        deep = [deep]
    back = through(deep)
    assert nested_depth(back) == 100_000
    got = []
    cp.set_native_binding("keep", lambda v: got.append(v))
    cp.compile_and_run("let a = 1\nlet i = 0\nwhile i < 200000 { a = [a]; i = i + 1 }\nkeep(a)")
    assert nested_depth(got[0]) == 200_000


# ---- errors ----------------------------------------------------------------------

class Outer:
    class InnerError(Exception):
        pass


class UnprintableError(Exception):
    def __str__(self):
        raise RuntimeError("nope")


def raiser(exc):
    def f(*args):
        raise exc
    return f


@pytest.mark.parametrize("exc, text", [
    (ValueError("bad input"), "ValueError: bad input"),
    (ValueError(), "ValueError: "),
    (KeyError("k"), "KeyError: 'k'"),
    (Outer.InnerError("x"), "Outer.InnerError: x"),
    (UnprintableError(), "UnprintableError: <exception str() failed>"),
    (MemoryError("out"), "MemoryError: out"),
])
def test_raising_callback_fails_the_call(exc, text):
    cp.set_native_binding("f", raiser(exc))
    assert cp.compile_and_run("let a = 1\nf(a)\nprint(2)") == "Runtime error: Line 2: Native error: " + text


def test_non_callable_fails_only_when_called():
    cp.set_native_binding("f", 5)
    assert cp.compile_and_run("let g = f") == "nil"
    assert cp.compile_and_run("f()") == "Runtime error: Line 1: Native error: TypeError: 'int' object is not callable"


def test_keyboard_interrupt_in_callback_propagates():
    cp.set_native_binding("f", raiser(KeyboardInterrupt()))
    with pytest.raises(KeyboardInterrupt):
        cp.compile_and_run("f()")
    cp.set_native_binding("f", raiser(SystemExit(3)))
    with pytest.raises(SystemExit):
        cp.compile_and_run("f()\nprint(1)")
