"""Front-end speed: compiling a large program, against Lua 5.4's `load`.

usage: python bench/frontend.py [--reps N] [--size BYTES] [--write DIR]

Generates a Calvex program of about --size bytes (1 MB by default) made of
many small functions (arithmetic, strings, arrays, objects, branches, loops,
member and element writes, calls, f-strings, lambdas, classes) and a Lua 5.4
program of the same size built from the same functions written the Lua way.
Each repetition times, in this process,

  calvex_parser.compile(src)   lex, parse, compile, summary lists
  calvex.compile(src)          lex, parse, compile into a Program object

and then starts `lua5.4 -e` once to time `load` of the Lua chunk (compiled,
never run) inside Lua. Both sides measure processor time. The table shows the median of each and the median of
the paired ratios Calvex/Lua. Timings are a measuring aid; nothing here
asserts on them. The calvex modules are found on the usual path (set
PYTHONPATH to a development build, or install the project).
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import time

CALVEX_UNIT = """\
# unit {i}: a bit of everything the front end sees
fn f{i}(a, b, c) {{
    let x = a + b * {i} - c / 3
    let s = "item {i}"
    let arr = [1, 2, 3, x, {i}]
    let o = {{k: x, name: s, n: {i}}}
    if x > 10 and b != 0 {{
        x = x - 1
    }} else if x < -{i} {{
        x = x + 2
    }} else {{
        x = x * 2
    }}
    let j = 0
    while j < 10 {{
        x = x + arr[j % 5] * 2.5
        j = j + 1
    }}
    for v in arr {{
        x = x + v
    }}
    o.k = x
    arr[0] = o.n + len(s)
    let g = fn(y) y * {i} + 1
    return helper(o.k, arr[0], g(x)) + f"{{s}}: {{x}}"
}}
class C{i} {{
    fn get(self, k) {{ return self.v + k * {i} }}
}}
"""

LUA_UNIT = """\
-- unit {i}: a bit of everything the front end sees
function f{i}(a, b, c)
    local x = a + b * {i} - c / 3
    local s = "item {i}"
    local arr = {{1, 2, 3, x, {i}}}
    local o = {{k = x, name = s, n = {i}}}
    if x > 10 and b ~= 0 then
        x = x - 1
    elseif x < -{i} then
        x = x + 2
    else
        x = x * 2
    end
    local j = 0
    while j < 10 do
        x = x + arr[j % 5 + 1] * 2.5
        j = j + 1
    end
    for _, v in ipairs(arr) do
        x = x + v
    end
    o.k = x
    arr[1] = o.n + #s
    local g = function(y) return y * {i} + 1 end
    return helper(o.k, arr[1], g(x)) .. string.format("%s: %s", s, x)
end
C{i} = {{}}
C{i}.__index = C{i}
function C{i}:get(k) return self.v + k * {i} end
"""

# Reads the chunk, loads it once untimed (the Calvex side also compiles once
# before it is timed, so both run with a warm heap), collects, then times one
# load (compiled, not run).
LUA_TIMER = (
    "local f = assert(io.open(os.getenv('CALVEX_BENCH_LUA'), 'rb'))\n"
    "local src = f:read('a'); f:close()\n"
    "assert(load(src, '=bench')); collectgarbage('collect')\n"
    "local t0 = os.clock(); local chunk = assert(load(src, '=bench')); local t1 = os.clock()\n"
    "io.write(string.format('%.9f\\n', t1 - t0))\n"
)


def generate(unit, size):
    parts, total, i = [], 0, 0
    while total < size:
        text = unit.format(i=i)
        parts.append(text)
        total += len(text.encode())
        i += 1
    return "".join(parts), i


# Processor time on both sides (Lua's os.clock is processor time too), so
# that a busy machine stretches neither side by time spent waiting for a core.
def time_call(fn, src):
    t0 = time.process_time()
    fn(src)
    return time.process_time() - t0


def lua_load_time(lua, path):
    # The path goes through the environment: a script argument would be run.
    env = dict(os.environ, CALVEX_BENCH_LUA=path)
    out = subprocess.run([lua, "-e", LUA_TIMER], check=True, capture_output=True, text=True,
                         env=env).stdout
    return float(out.split()[0])


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--reps", type=int, default=7, help="paired repetitions (7)")
    ap.add_argument("--size", type=int, default=1_000_000, help="program size in bytes (1000000)")
    ap.add_argument("--write", metavar="DIR", help="also keep the two programs in DIR")
    args = ap.parse_args(argv)

    import calvex
    import calvex_parser

    cx_src, cx_units = generate(CALVEX_UNIT, args.size)
    lua_src, lua_units = generate(LUA_UNIT, args.size)
    lua = shutil.which("lua5.4")
    if not lua:
        print("note: lua5.4 not found; the Lua column stays empty", file=sys.stderr)
    out_dir = args.write or os.environ.get("TMPDIR", "/tmp")
    lua_path = os.path.join(out_dir, "calvex_frontend_bench.lua")
    with open(lua_path, "w", encoding="utf-8") as f:
        f.write(lua_src)
    if args.write:
        with open(os.path.join(out_dir, "calvex_frontend_bench.cx"), "w", encoding="utf-8") as f:
            f.write(cx_src)

    # Both must accept their program before anything is timed.
    calvex_parser.compile(cx_src)
    calvex.compile(cx_src)
    if lua:
        lua_load_time(lua, lua_path)

    print(f"calvex {len(cx_src.encode())} bytes ({cx_units} units), "
          f"lua {len(lua_src.encode())} bytes ({lua_units} units)")
    print(f"{args.reps} paired runs; times are medians in milliseconds\n")
    rows = {"calvex_parser.compile": calvex_parser.compile, "calvex.compile": calvex.compile}
    times = {name: [] for name in rows}
    lua_times = []
    for _ in range(args.reps):
        for name, fn in rows.items():
            times[name].append(time_call(fn, cx_src))
        if lua:
            lua_times.append(lua_load_time(lua, lua_path))
    if not args.write:
        os.unlink(lua_path)

    lua_ms = f"{statistics.median(lua_times) * 1000:8.1f}" if lua_times else f"{'-':>8}"
    print(f"| {'path':22} | {'calvex':>8} | {'lua load':>8} | {'cx/lua':>6} |")
    print(f"|{'-' * 24}|{'-' * 10}|{'-' * 10}|{'-' * 8}|")
    for name, ts in times.items():
        ratio = (f"{statistics.median(t / l for t, l in zip(ts, lua_times)):6.2f}"
                 if lua_times else f"{'-':>6}")
        print(f"| {name:22} | {statistics.median(ts) * 1000:8.1f} | {lua_ms} | {ratio} |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
