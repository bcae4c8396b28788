"""Benchmarks of the machine against its Lua 5.4 and CPython twins.

usage: python bench/run.py [--reps N] [--timeout S] [--no-python] [NAME...]

Every program in this folder exists three times (NAME.cx, NAME.lua, NAME.py)
doing the same work and printing the same lines. Each repetition runs the three
as whole processes one after the other (the order rotates between repetitions)
and takes the ratios Calvex/Lua and Calvex/CPython of that repetition; the
table shows the median time of each and the median of the paired ratios. The
Calvex program runs through calvex_parser.compile_and_run in a fresh
interpreter, so its time includes starting Python and importing the module
(the start-up line at the top says how much that is). Outputs of the three must
agree on every run; a mismatch, a failed run or a run-time error makes the exit
status 1. Timings are a measuring aid: nothing here asserts on them.

The calvex_parser module is found on the usual path (set PYTHONPATH to a
development build, or install the project); `make bench` does the latter.
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))

# (name, what kind of program it is)
PROGRAMS = [
    ("loop", "counting loop"),
    ("fib", "recursive calls"),
    ("method", "method calls, no arguments"),
    ("method_args", "method calls with arguments"),
    ("sieve", "array sieve"),
    ("permute", "permutation kernel"),
    ("arrays", "array element loops"),
    ("spectral", "float kernel (spectral norm)"),
    ("mandel", "float kernel (escape time)"),
    ("nbody", "object updates through aliases"),
    ("objects", "object updates through aliases"),
    ("wordfreq", "per-character scan, counting"),
    ("strings", "f-string building"),
    ("alloc", "many small arrays"),
    ("trees", "allocation-heavy trees"),
    ("keys_10k", "object key insertion 10k x100"),
    ("keys_100k", "object key insertion 100k x10"),
    ("keys_1m", "object key insertion 1M x1"),
]
KEY_SIZES = ["keys_10k", "keys_100k", "keys_1m"]

# Runs one Calvex file through the one-shot pipeline; a run-time error is a
# failed run (compile errors raise SyntaxError and fail the process anyway).
CALVEX_DRIVER = (
    "import sys, calvex_parser\n"
    "src = open(sys.argv[1], encoding='utf-8').read()\n"
    "r = calvex_parser.compile_and_run(src)\n"
    "sys.stdout.flush()\n"
    "if r.startswith('Runtime error: '):\n"
    "    print(r, file=sys.stderr); sys.exit(1)\n"
)


class Timeout(Exception):
    pass


def run_once(cmd, timeout):
    """Wall-clock seconds and standard output of one whole process."""
    t0 = time.perf_counter()
    try:
        proc = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              timeout=timeout)
    except subprocess.TimeoutExpired:
        raise Timeout() from None
    elapsed = time.perf_counter() - t0
    if proc.returncode != 0:
        err = proc.stderr.decode(errors="replace").strip().splitlines()
        raise RuntimeError(f"{' '.join(cmd[-1:])}: exit {proc.returncode}: "
                           + (err[-1] if err else ""))
    return elapsed, proc.stdout


def commands(name, python, lua, with_python):
    cmds = {"calvex": [python, "-c", CALVEX_DRIVER, os.path.join(HERE, name + ".cx")]}
    if lua:
        cmds["lua"] = [lua, os.path.join(HERE, name + ".lua")]
    if with_python:
        cmds["python"] = [python, os.path.join(HERE, name + ".py")]
    return cmds


def measure(name, cmds, reps, timeout):
    """Per language: list of times (None after a timeout); output problems."""
    times = {lang: [] for lang in cmds}
    timed_out = set()
    outputs = {}
    problems = []
    langs = list(cmds)
    for rep in range(reps):
        order = langs[rep % len(langs):] + langs[:rep % len(langs)]
        for lang in order:
            if lang in timed_out:
                continue
            try:
                t, out = run_once(cmds[lang], timeout)
            except Timeout:
                timed_out.add(lang)
                times[lang].append(None)
                continue
            except RuntimeError as e:
                problems.append(f"{lang}: {e}")
                return times, problems
            times[lang].append(t)
            outputs.setdefault(lang, out)
            if out != outputs[lang]:
                problems.append(f"{lang}: output changed between runs")
    ref = outputs.get("lua", outputs.get("python"))
    for lang, out in outputs.items():
        if ref is not None and out != ref:
            problems.append(f"{lang} printed {out[:60]!r}, expected {ref[:60]!r}")
    return times, problems


def paired_ratio(a, b):
    pairs = [x / y for x, y in zip(a, b) if x is not None and y is not None]
    return statistics.median(pairs) if pairs else None


def median_time(ts):
    done = [t for t in ts if t is not None]
    return statistics.median(done) if done else None


def fmt_time(ts, timeout):
    if not ts:
        return "-"
    if None in ts and not any(t is not None for t in ts):
        return f">{timeout:g}"
    return f"{median_time(ts):.3f}"


def fmt_ratio(r):
    return "-" if r is None else f"{r:.2f}"


def startup(python, lua):
    def best(cmd):
        return min(run_once(cmd, 30)[0] for _ in range(5))
    parts = [f"python+import {best([python, '-c', 'import calvex_parser']) * 1000:.0f} ms",
             f"python {best([python, '-c', 'pass']) * 1000:.0f} ms"]
    if lua:
        parts.append(f"lua {best([lua, '-e', '']) * 1000:.0f} ms")
    return ", ".join(parts)


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("names", nargs="*", help="programs to run (default: all)")
    ap.add_argument("--reps", type=int, default=5, help="paired runs per program (5)")
    ap.add_argument("--timeout", type=float, default=60.0,
                    help="seconds before one run counts as timed out (60)")
    ap.add_argument("--no-python", action="store_true", help="skip the CPython twins")
    args = ap.parse_args(argv)

    known = dict(PROGRAMS)
    names = args.names or [n for n, _ in PROGRAMS]
    for n in names:
        if n not in known:
            ap.error(f"unknown program {n!r}")
    python = sys.executable
    lua = shutil.which("lua5.4")
    if not lua:
        print("note: lua5.4 not found; the Lua column stays empty", file=sys.stderr)
    print(f"start-up (best of 5): {startup(python, lua)}")
    print(f"{args.reps} paired runs per program; times are medians in seconds\n")
    header = (f"| {'program':12} | {'kind':31} | {'calvex':>7} | {'lua 5.4':>7} | "
              f"{'cpython':>7} | {'cx/lua':>6} | {'cx/py':>6} | output |")
    print(header)
    print("|" + "|".join("-" * (len(c)) for c in header.split("|")[1:-1]) + "|", flush=True)
    failed = False
    results = {}
    for name in names:
        cmds = commands(name, python, lua, not args.no_python)
        times, problems = measure(name, cmds, args.reps, args.timeout)
        results[name] = times
        failed |= bool(problems)
        cx = times.get("calvex", [])
        row = (f"| {name:12} | {known[name]:31} | {fmt_time(cx, args.timeout):>7} | "
               f"{fmt_time(times.get('lua', []), args.timeout):>7} | "
               f"{fmt_time(times.get('python', []), args.timeout):>7} | "
               f"{fmt_ratio(paired_ratio(cx, times.get('lua', []))):>6} | "
               f"{fmt_ratio(paired_ratio(cx, times.get('python', []))):>6} | "
               f"{'ok' if not problems else 'FAIL'} |")
        print(row, flush=True)
        for p in problems:
            print(f"    {name}: {p}", flush=True)

    sizes = [n for n in KEY_SIZES if n in results]
    if len(sizes) > 1:
        print("\nkey insertion scaling (each size inserts one million keys in all;"
              " time relative to 10k keys, 1.00 = linear):")
        for lang in ("calvex", "lua", "python"):
            base = median_time(results[sizes[0]].get(lang, []))
            cells = []
            for n in sizes:
                t = median_time(results[n].get(lang, []))
                if t is None:
                    cells.append(f"{n[5:]}: " + (f">{args.timeout:g} s" if results[n].get(lang) else "-"))
                else:
                    rel = f" ({t / base:.2f})" if base else ""
                    cells.append(f"{n[5:]}: {t:.3f} s{rel}")
            print(f"  {lang:7} " + ", ".join(cells))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
