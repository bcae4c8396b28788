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
