"""Memory growth per cycle of the two one-call roads of the library.

    python tools/leakcheck.py [CYCLES]

Runs CYCLES (default 10,000) compile_and_run calls and CYCLES VMEngine
create/execute/reset/destroy cycles (each over two byte streams), after a warm-up, and prints for each the change
per cycle of the heap bytes in use (glibc's mallinfo2, which sees every C++
allocation of the library) and of the resident set size. A flat road shows
about 0 B per cycle; anything that keeps memory per call shows here as a
steady positive number. Exits with 1 when a road keeps more than --limit bytes
per cycle (default 16) on the heap.

Run it against a build on PYTHONPATH (tools/dev puts one in build/dev-NAME) or
an installed package.
"""
import argparse
import ctypes
import gc
import sys

import calvex_parser as cp
import calvex_vm_engine as ve


class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                "arena ordblks smblks hblks hblkhd usmblks fsmblks uordblks fordblks keepcost".split()]


_libc = ctypes.CDLL(None)
_libc.mallinfo2.restype = MallInfo2


def heap_in_use():
    info = _libc.mallinfo2()
    return info.uordblks + info.hblkhd  # small-chunk heap + large mmap'd blocks


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


# A program that touches every kind of value, calls, methods, loops, strings
# and the display text, so that any per-call leak along those paths shows.
PROGRAM = """
class Point {
    let kind = "point"
    fn norm(self) { return self.x * self.x }
}
fn fib(n) { if n < 2 { return n } return fib(n - 1) + fib(n - 2) }
let p = {__class__: "Point", x: 2}
p.x = 3
let total = 0
for v in [1, 2, 3] { total = total + v }
let o = {a: [1, 2.5, "s"], b: {c: nil}}
o.b.c = f"{total}-{p.norm()}"
let text = str(o)
fib(8)
len(text) + total
"""

# Byte streams carry no operands, so a stream either only moves through Nops
# to Halt or fails on its empty stack: both roads are taken.
STREAMS = [bytes([0x00] * 40 + [0xFF]), bytes([0x02, 0x10, 0x32, 0xFF])]


def run_compile_and_run():
    assert cp.compile_and_run(PROGRAM) == "nil"


def run_vm_engine():
    for data in STREAMS:
        engine = ve.VMEngine(data)
        engine.execute()
        engine.state()
        engine.stats()
        engine.reset(data)
        engine.execute()
        del engine


def measure(name, step, cycles):
    for _ in range(min(1000, cycles)):  # warm-up: pools, caches, interned names
        step()
    gc.collect()
    heap0, rss0 = heap_in_use(), rss()
    for _ in range(cycles):
        step()
    gc.collect()
    heap = (heap_in_use() - heap0) / cycles
    res = (rss() - rss0) / cycles
    print(f"{name:<16} {cycles} cycles: heap {heap:+.2f} B/cycle, RSS {res:+.2f} B/cycle")
    return heap


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("cycles", nargs="?", type=int, default=10_000)
    parser.add_argument("--limit", type=float, default=16.0, help="heap bytes per cycle that count as a leak")
    args = parser.parse_args()
    worst = max(measure("compile_and_run", run_compile_and_run, args.cycles),
                measure("VMEngine", run_vm_engine, args.cycles))
    return 1 if worst > args.limit else 0


if __name__ == "__main__":
    sys.exit(main())
