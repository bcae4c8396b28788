"""Native bindings: programs call host callables that return odd objects,
raise, re-enter compile_and_run, or register and clear bindings while they
run. Arguments must arrive as plain host values; the run ends with a text,
or with an exception the callback let through."""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from driver import Data, Fault, expect, main  # noqa: E402
import gen  # noqa: E402
from interrupt import Interrupt, run_bounded  # noqa: E402
import tokens as tk  # noqa: E402

import calvex_parser as cp  # noqa: E402

PLAIN = (type(None), bool, int, float, str, list, dict)


class Escape(BaseException):
    """A BaseException from a callback: it must come out of compile_and_run."""


class Boom(Exception):
    def __str__(self):
        raise RuntimeError("no message either")


class LyingLen(list):
    def __len__(self):
        return 2 ** 40


class RaisingLen(list):
    def __len__(self):
        raise ValueError("no length")


class OddKey:
    def __hash__(self):
        return 1

    def __str__(self):
        raise ValueError("key has no text")


def check_args(args):
    stack = list(args)
    seen = 0
    while stack and seen < 10000:
        v = stack.pop()
        seen += 1
        if not isinstance(v, PLAIN):
            raise Fault(f"argument of host type {type(v).__name__}")
        if isinstance(v, list):
            stack.extend(v)
        elif isinstance(v, dict):
            if not all(isinstance(k, str) for k in v):
                raise Fault("object key that is not a str")
            stack.extend(v.values())


def odd_result(d):
    k = d.int(0, 16)
    if k == 0:
        a = [1]
        a.append(a)
        return a
    if k == 1:
        return {d.choice([1, None, 2.5, OddKey(), "k"]): 1}
    if k == 2:
        return LyingLen([1, 2])
    if k == 3:
        return RaisingLen([1])
    if k == 4:
        v = []
        for _ in range(d.choice([10, 999, 1000, 1001, 5000])):
            v = [v]
        return v
    if k == 5:
        v = [1]
        for _ in range(d.int(0, 18)):
            v = [v, v]
        return v
    if k == 6:
        return (i for i in range(3))
    if k == 7:
        return {1, 2}
    if k == 8:
        return (1, "x", None)
    if k == 9:
        return d.choice([2 ** 63, -(2 ** 63) - 1, 10 ** 1000, float("inf"), float("nan"), -0.0])
    if k == 10:
        return d.choice([tk.Str("sub"), tk.Int(5), tk.Dict(a=1), type("L", (list,), {})([1])])
    if k == 11:
        return d.choice([b"bytes", bytearray(b"x"), memoryview(b"m"), object(), print, cp])
    if k == 12:
        return "\udcff" if d.bool() else "é" * d.int(0, 100)
    return tk.odd_value(d)


# How many callbacks are running a nested program right now: a callback bound
# to a name the nested program itself calls (print, len) would otherwise
# re-enter without end, each level fanning out into more.
_nested_runs = 0


def nested_run(source):
    global _nested_runs
    _nested_runs += 1
    try:
        out = run_bounded(lambda: cp.compile_and_run(source))
    finally:
        _nested_runs -= 1
    return out if isinstance(out, str) else None


def make_callback(d):
    behaviour = d.int(0, 9)
    payload = [odd_result(d) for _ in range(3)]
    nested = gen.Gen(d, max_depth=2).program() if behaviour == 7 else ""

    def callback(*args):
        check_args(args)
        if behaviour <= 3:
            return payload[behaviour % 3]
        if behaviour == 4:
            raise d.choice([ValueError("bad"), Boom(), KeyError(1), MemoryError(), RecursionError()])
        if behaviour == 5:
            raise Escape()
        if behaviour == 6:
            cp.clear_native_bindings()
            return args[0] if args else None
        if behaviour == 7 and _nested_runs < 3:
            return nested_run(nested)
        if behaviour == 8:
            cp.set_native_binding(d.choice(["cb0", "cb1", "print", "len"]), make_callback(d))
            return len(args)
        return list(args)

    return callback


def one_input(raw):
    d = Data(raw)
    cp.clear_native_bindings()
    for i in range(d.int(1, 3)):
        cp.set_native_binding(f"cb{i}", make_callback(d))
    if d.chance(20):
        cp.set_native_binding(d.choice(["print", "len", "f", "x"]), make_callback(d))
    body = gen.Gen(d, max_depth=3).program()
    calls = "\n".join(
        f"let r{i} = cb{d.int(0, 2)}({', '.join(gen.Gen(d, 2).expr() for _ in range(d.int(0, 3)))})\n"
        f"print(r{i}, len(r{i}), str(r{i}), typeof(r{i}))"
        for i in range(d.int(1, 3)))
    source = calls + "\n" + body + "\n" + calls
    out = expect(lambda: run_bounded(lambda: cp.compile_and_run(source)),
                 SyntaxError, MemoryError, Interrupt, Escape)
    cp.clear_native_bindings()
    if not isinstance(out, (str, BaseException)):
        raise Fault(f"compile_and_run gave {type(out)}")


if __name__ == "__main__":
    main(one_input)
