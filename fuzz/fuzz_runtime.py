"""Runtime: exec of generated programs, eval of generated expressions and
call of script functions, built-ins and registered callables, with odd
Python arguments and callables returning odd objects, globals changed
between entries, interrupt() and stats(); every entry under tight limits.
Failures must be CalvexError or the documented TypeError / ValueError /
OverflowError of conversions."""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from driver import Data, Fault, expect, main  # noqa: E402
import fuzz_native as nat  # noqa: E402
import gen  # noqa: E402
from interrupt import Interrupt  # noqa: E402

import calvex  # noqa: E402

# Interrupt: the budget of a nested run in a callback, passing out through the runtime.
OK = (calvex.CalvexError, TypeError, ValueError, OverflowError, nat.Escape, Interrupt)


def odd_arg(d):
    k = d.int(0, 4)
    if k == 0:
        return d.choice([None, True, 0, -1, 2 ** 63 - 1, 2 ** 63, 1.5, float("nan"), "", "é", "\udcff"])
    if k == 1:
        return [odd_arg(d) for _ in range(d.int(0, 3))]
    if k == 2:
        return {d.choice(["a", "b", "k", 1]): odd_arg(d) for _ in range(d.int(0, 3))}
    if k == 3:
        return nat.odd_result(d)
    return (lambda *a: len(a)) if d.bool() else (lambda *a: None)


def one_input(raw):
    d = Data(raw)
    rt = calvex.Runtime(max_instructions=d.choice([100, 5000, 50000]), timeout=1.0,
                        max_memory=d.choice([100_000, 1_000_000, 4_000_000]), max_depth=d.choice([5, 200]),
                        print=lambda line: None, input=lambda prompt: "", strict=d.bool())
    names = ["f", "g", "h", "cb", "len", "str", "print", "x", "missing"]
    for _ in range(d.int(1, 10)):
        k = d.int(0, 8)
        if k <= 1:
            expect(lambda: rt.exec(gen.Gen(d, max_depth=3).program()), *OK)
        elif k == 2:
            expect(lambda: rt.eval(gen.Gen(d, max_depth=3).expr()), *OK)
        elif k == 3:
            args = [odd_arg(d) for _ in range(d.int(0, 3))]
            expect(lambda: rt.call(d.choice(names), *args), *OK)
        elif k == 4:
            rt.register(d.choice(names), nat.make_callback(d))
        elif k == 5:
            expect(lambda: rt.globals.__setitem__(d.choice(gen.VARS + names), odd_arg(d)), *OK)
        elif k == 6:
            g = rt.globals
            for name in list(g)[:5]:
                expect(lambda: g[name], *OK)
            if d.bool():
                expect(g.clear, *OK)
        elif k == 7:
            rt.interrupt()
            expect(lambda: rt.eval("1 + 1"), *OK)
        else:
            stats = rt.stats()
            if not isinstance(stats, dict):
                raise Fault("stats gave no dict")
        for f in [v for v in list(rt.globals.values())[:3] if isinstance(v, calvex.Function)]:
            expect(lambda: f(odd_arg(d)), *OK)


if __name__ == "__main__":
    main(one_input)
