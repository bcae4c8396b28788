"""Memory: running out is a MemoryError on every thread, and threads that ran
programs give their memory back when they end.

Each case runs in a child process: one under an address-space cap, so that
running out cannot take the test run with it."""
import ctypes
import json
import os
import subprocess
import sys
import textwrap
import threading

import pytest

import calvex_parser as cp

# The sanitizer runtime reserves far more address space than any cap allows.
under_sanitizer = os.environ.get("CALVEX_SANITIZED") == "1"  # set by tools/sanitized


def run_child(code, timeout=300):
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=timeout)
    assert proc.returncode == 0, f"child ended with {proc.returncode}: {proc.stderr[-2000:]}"
    return json.loads(proc.stdout.splitlines()[-1])


CAPPED = """
import json, resource, sys, threading
import calvex_parser as cp

def vm_size():
    for line in open("/proc/self/status"):
        if line.startswith("VmSize:"):
            return int(line.split()[1]) * 1024

cap = vm_size() + 300 * 2**20
_, hard = resource.getrlimit(resource.RLIMIT_AS)
resource.setrlimit(resource.RLIMIT_AS, (cap, hard))
out = {}
def grow():
    try:
        out["grow"] = cp.compile_and_run(sys.argv[1])
    except MemoryError:
        out["grow"] = "MemoryError"
if sys.argv[2] == "thread":
    t = threading.Thread(target=grow)
    t.start()
    t.join()
else:
    grow()
# Still usable, on this thread and on a new one. (The heap keeps its address
# range, so the cap goes first.)
resource.setrlimit(resource.RLIMIT_AS, (hard, hard))
out["after"] = cp.compile_and_run("let a = [1, 2, {b: 3}]\\nprint(len(a))")
t = threading.Thread(target=lambda: out.__setitem__("thread", cp.compile_and_run("let a = [[1], {b: 2}]")))
t.start()
t.join()
print(json.dumps(out))
"""

GROWTH = {
    "nested arrays": "let a = [] while true { a = [a] }",
    "nested objects": "let o = {} while true { o = {a: o, b: 1} }",
    "shared pairs": "let a = [] let i = 0 while true { a = [a, a, i] i = i + 1 }",
    "doubling text": 'let s = "x" while true { s = f"{s}{s}" }',
    "one huge array": "range(0, 1000000000)",
}


@pytest.mark.skipif(under_sanitizer, reason="address-space cap")
@pytest.mark.parametrize("where", ["main thread", "new thread"])
@pytest.mark.parametrize("shape", GROWTH)
def test_running_out_of_memory_is_a_memory_error(shape, where):
    proc = subprocess.run([sys.executable, "-c", CAPPED, GROWTH[shape], "thread" if where == "new thread" else "main"],
                          capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, f"child ended with {proc.returncode}: {proc.stderr[-2000:]}"
    out = json.loads(proc.stdout.splitlines()[-1])
    assert out["grow"] == "MemoryError", out
    assert out["after"] == "nil" and out["thread"] == "nil"
    assert proc.stdout.splitlines()[-2] == "3"


class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                "arena ordblks smblks hblks hblkhd usmblks fsmblks uordblks fordblks keepcost".split()]


def heap_bytes_in_use():
    libc = ctypes.CDLL(None)
    if not hasattr(libc, "mallinfo2"):
        pytest.skip("no mallinfo2")
    libc.mallinfo2.restype = MallInfo2
    return libc.mallinfo2().uordblks


@pytest.mark.skipif(under_sanitizer, reason="the sanitizer's allocator keeps no glibc statistics")
def test_threads_that_ran_programs_leave_nothing_behind():
    # Drops a few thousand arrays and objects at once, which fills the thread's
    # recycle pools with emptied cells.
    program = "let a = [] let i = 0 while i < 3000 { a = [a, [i], {x: i}] i = i + 1 }"

    def one_thread():
        t = threading.Thread(target=cp.compile_and_run, args=(program,))
        t.start()
        t.join()

    for _ in range(5):
        one_thread()
    before = heap_bytes_in_use()
    for _ in range(100):
        one_thread()
    per_thread = (heap_bytes_in_use() - before) / 100
    assert per_thread < 4096, f"{per_thread:.0f} bytes kept per finished thread"


@pytest.mark.skipif(under_sanitizer, reason="the sanitizer's allocator keeps no glibc statistics")
def test_leakcheck_script_finds_both_roads_flat():
    script = os.path.join(os.path.dirname(__file__), "..", "tools", "leakcheck.py")
    proc = subprocess.run([sys.executable, script, "3000"], capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    lines = proc.stdout.splitlines()
    assert [line.split()[0] for line in lines] == ["compile_and_run", "VMEngine"]
