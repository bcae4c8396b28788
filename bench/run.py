"""Micro-benchmarks of the machine: each program in this folder runs through
compile_and_run and, when available, as its Python and Lua twin.

usage: PYTHONPATH=build/dev-NAME python bench/run.py [NAME...]
Prints the best of three wall-clock times per program, in seconds. This is a
measuring aid, not a test: nothing here asserts on timings.
"""
import os
import shutil
import subprocess
import sys
import time

import calvex_parser

HERE = os.path.dirname(os.path.abspath(__file__))
PROGRAMS = ["fib", "loop", "method", "strings", "arrays", "objects"]


def best_of(n, f):
    best = None
    for _ in range(n):
        t0 = time.perf_counter()
        f()
        t = time.perf_counter() - t0
        best = t if best is None or t < best else best
    return best


def run_calvex(name):
    with open(os.path.join(HERE, name + ".cx"), encoding="utf-8") as fh:
        source = fh.read()
    devnull = os.open(os.devnull, os.O_WRONLY)
    saved = os.dup(1)
    try:
        os.dup2(devnull, 1)  # print writes to file descriptor 1
        return best_of(3, lambda: calvex_parser.compile_and_run(source))
    finally:
        os.dup2(saved, 1)
        os.close(saved)
        os.close(devnull)


def run_external(cmd, path):
    if not os.path.exists(path):
        return None
    return best_of(3, lambda: subprocess.run(cmd + [path], check=True, stdout=subprocess.DEVNULL))


def main():
    names = sys.argv[1:] or PROGRAMS
    python = shutil.which("python3.12") or sys.executable
    lua = shutil.which("lua5.4")
    print(f"{'program':10} {'calvex':>8} {'python':>8} {'lua':>8}")
    for name in names:
        cx = run_calvex(name)
        py = run_external([python], os.path.join(HERE, name + ".py"))
        lu = run_external([lua], os.path.join(HERE, name + ".lua")) if lua else None
        fmt = lambda t: f"{t:8.3f}" if t is not None else f"{'-':>8}"
        print(f"{name:10} {fmt(cx)} {fmt(py)} {fmt(lu)}", flush=True)


if __name__ == "__main__":
    main()
