"""Walks over values that expand shared structure as a tree stay interruptible:
`a = [a, a]` forty times is 2^40 nodes of display text.

Each case runs in a child process under an address-space cap, so a walk that
ignores the signal fails the test instead of eating the machine's memory."""
import os
import subprocess
import sys

import pytest

under_sanitizer = os.environ.get("CALVEX_SANITIZED") == "1"  # set by tools/sanitized

CHILD = """
import resource, signal, sys, time
import calvex_parser as cp

def status_kib(field):
    for line in open("/proc/self/status"):
        if line.startswith(field + ":"):
            return int(line.split()[1])

if sys.argv[2] == "cap":
    cap = status_kib("VmSize") * 1024 + 1024 * 2**20
    resource.setrlimit(resource.RLIMIT_AS, (cap, resource.getrlimit(resource.RLIMIT_AS)[1]))

class Stop(Exception):
    pass

def on_alarm(*_):
    raise Stop()

signal.signal(signal.SIGALRM, on_alarm)
signal.setitimer(signal.ITIMER_REAL, 0.3)
start = time.monotonic()
try:
    outcome = cp.compile_and_run(sys.argv[1])
except Stop:
    outcome = "stopped"
except MemoryError:
    outcome = "MemoryError"
print(outcome, time.monotonic() - start, status_kib("VmHWM"))
print(cp.compile_and_run('let b = str([1, {c: [2]}]) print(b)'))
"""

SHARED = "let a = [] let i = 0 while i < 40 { a = [a, a] i = i + 1 }\n"
SHARED_OBJECT = "let a = {} let i = 0 while i < 40 { a = {x: a, y: a} i = i + 1 }\n"


@pytest.mark.skipif(under_sanitizer, reason="address-space cap")
@pytest.mark.parametrize("source", [
    SHARED + "print(len(str(a)))",       # str()
    SHARED_OBJECT + 'let s = f"{a}!"',   # Concat of a container
    SHARED + 'let t = f"!{a}"',           # Concat the other way round
    SHARED + "let o = {} o[a] = 1",      # a container as an object key
    SHARED + "fn f(v) { return str(v) }\nf(a)",
])
def test_display_walk_of_shared_structure_is_interruptible(source):
    proc = subprocess.run([sys.executable, "-c", CHILD, source, "cap"], capture_output=True, text=True,
                          timeout=120)
    assert proc.returncode == 0, proc.stderr[-2000:]
    first, second, third = proc.stdout.splitlines()
    outcome, seconds, peak_kib = first.split()
    assert outcome == "stopped"
    # A walk that ignored the signal would run on until the text outgrew the
    # 1 GiB cap (a 512 MiB text is the last that fits).
    assert int(peak_kib) < 400 * 1024
    assert float(seconds) < 10
    assert (second, third) == ('"[1, {c: [2]}]"', "nil")
