"""Every fuzz harness, replayed on the inputs kept in fuzz/regressions/ and on
a few fixed ones, each harness in a child process (a crash fails its case
instead of ending the run; under `make sanitize` the child inherits the
sanitizer runtime)."""
import os
import pathlib
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
FUZZ = ROOT / "fuzz"
HARNESSES = sorted(p.stem.removeprefix("fuzz_") for p in FUZZ.glob("fuzz_*.py"))
FIXED = [b"", b"\x00", b"\xff" * 64, bytes(range(256)), b"print(1)\n", b"\x07" * 300]


def test_every_host_entry_has_a_harness():
    assert set(HARNESSES) >= {"lex", "parse_tokens", "pyparser", "compile", "compile_and_run",
                              "native", "vm_engine", "optimize_bytecode", "emit_ir",
                              "program_bytes", "runtime"}


@pytest.mark.parametrize("name", HARNESSES)
def test_harness_replays_its_regressions(name, tmp_path):
    inputs = sorted(p for p in (FUZZ / "regressions" / name).glob("*") if p.is_file())
    for i, raw in enumerate(FIXED):
        fixed = tmp_path / f"fixed-{i}"
        fixed.write_bytes(raw)
        inputs.append(fixed)
    if name in ("lex", "compile"):
        inputs += sorted((ROOT / "tests" / "programs").rglob("*.cx"))[:10]
    env = dict(os.environ, CALVEX_FUZZ_ENGINE="none")
    done = subprocess.run([sys.executable, str(FUZZ / f"fuzz_{name}.py"), "--replay", *map(str, inputs)],
                          capture_output=True, text=True, timeout=600, env=env)
    assert done.returncode == 0, done.stderr[-4000:]
    assert done.stdout.strip().endswith(f"replayed {len(inputs)} inputs")


BUDGET_CHILD = """
import sys, time
sys.path.insert(0, sys.argv[1])
import calvex_parser as cp
from interrupt import run_bounded

def again(*args):
    # Bound to print, which the nested program calls itself: re-entry without end.
    return run_bounded(lambda: cp.compile_and_run("print(1)\\nprint(2)"))

cp.set_native_binding("print", again)
start = time.monotonic()
out = run_bounded(lambda: cp.compile_and_run("while true { print(0) }"), 0.3)
print(type(out).__name__, round(time.monotonic() - start))
"""


def test_the_budget_ends_a_run_whose_callbacks_re_enter_without_end():
    # An interrupt that a callback could turn into an error value would end
    # one branch of the re-entry and leave the rest running for ever.
    done = subprocess.run([sys.executable, "-c", BUDGET_CHILD, str(FUZZ)], capture_output=True, text=True,
                          timeout=120, env=dict(os.environ, CALVEX_FUZZ_ENGINE="none"))
    assert done.returncode == 0, done.stderr[-4000:]
    name, seconds = done.stdout.split()
    assert name == "Interrupt" and int(seconds) < 30, done.stdout
