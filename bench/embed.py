"""Embedding overheads, side by side with the Lua-in-Python embedder (lupa)
when it is installed: the cost of one host call into a script function, of
one script call of a registered Python callable, and script speed through
Runtime against the one-shot pipeline.

usage: PYTHONPATH=build/dev-NAME python bench/embed.py
Prints microseconds per call (best of five rounds). A measuring aid, not a
test: nothing here asserts on timings.
"""
import time

import calvex
import calvex_parser

N = 200_000
ROUNDS = 5


def per_call(fn, n=N):
    best = None
    for _ in range(ROUNDS):
        t0 = time.perf_counter()
        fn(n)
        t = (time.perf_counter() - t0) / n * 1e6
        best = t if best is None or t < best else best
    return best


def empty_loop(n):
    for _ in range(n):
        pass


def main():
    rows = []
    loop = per_call(empty_loop)

    rt = calvex.Runtime()
    rt.exec("fn f(a, b) { return a + b }")
    call = rt.call

    def calvex_call(n):
        for _ in range(n):
            call("f", 1, 2)

    f = rt.globals["f"]

    def calvex_function(n):
        for _ in range(n):
            f(1, 2)

    rows.append(("host -> script: rt.call('f', 1, 2)", per_call(calvex_call) - loop))
    rows.append(("host -> script: calvex.Function f(1, 2)", per_call(calvex_function) - loop))

    # A per-frame hook taking a small state record: the dict becomes an
    # object on every call.
    rt.exec("fn hook(s) { return s.x + s.y }")
    hook = rt.globals["hook"]
    state = {"x": 1.5, "y": 2.5, "vx": 0.25, "vy": -0.5, "name": "ship"}

    def calvex_hook(n):
        for _ in range(n):
            hook(state)

    rows.append(("host -> script: hook({5 members}) (dict to object)", per_call(calvex_hook) - loop))

    try:
        import lupa
    except ImportError:
        lupa = None
    lua = None
    if lupa is not None:
        lua = lupa.LuaRuntime()
        lua.execute("function f(a, b) return a + b end")
        lf = lua.globals().f

        def lua_call(n):
            for _ in range(n):
                lf(1, 2)

        rows.append((f"host -> script: lupa f(1, 2) (lupa {lupa.__version__})", per_call(lua_call) - loop))

    # A script loop calling a registered callable, minus the same loop calling
    # a script function that does the same.
    rt.register("ident", lambda x: x)
    rt.exec("fn ident_script(x) { return x }\n"
            "fn via_native(n) { let i = 0 while i < n { ident(i) i = i + 1 } return i }\n"
            "fn via_script(n) { let i = 0 while i < n { ident_script(i) i = i + 1 } return i }")
    native = per_call(lambda n: rt.call("via_native", n))
    script = per_call(lambda n: rt.call("via_script", n))
    rows.append(("script -> host: registered callable ident(x)", native - script))
    if lua is not None:
        lua.globals().ident = lambda x: x
        lua.execute("function via_native(n) local i = 0 while i < n do ident(i) i = i + 1 end return i end\n"
                    "function ident_script(x) return x end\n"
                    "function via_script(n) local i = 0 while i < n do ident_script(i) i = i + 1 end return i end")
        g = lua.globals()
        rows.append(("script -> host: lupa, Python function from Lua",
                     per_call(lambda n: g.via_native(n)) - per_call(lambda n: g.via_script(n))))

    fib = "fn fib(n) { if n < 2 { return n } return fib(n - 1) + fib(n - 2) }\nresult = fib(24)"
    one_shot = per_call(lambda n: [calvex_parser.compile_and_run(fib) for _ in range(n)], 5)
    runtime = per_call(lambda n: [calvex.Runtime().exec(fib) for _ in range(n)], 5)
    rows.append(("fib(24) via compile_and_run (per run)", one_shot))
    rows.append(("fib(24) via Runtime().exec (per run)", runtime))

    width = max(len(name) for name, _ in rows)
    for name, us in rows:
        print(f"{name:<{width}}  {us:10.3f} us")


if __name__ == "__main__":
    main()
