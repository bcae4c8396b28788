"""The type stubs of both modules against the modules themselves, and the
example hosts under `mypy --strict`.

The stubs live in python/NAME-stubs/__init__.pyi, the PEP 561 layout that an
installed wheel carries; for mypy's search path they are copied here as
NAME.pyi.
"""
import os
import pathlib
import shutil
import subprocess
import sys

import pytest

import calvex_parser

pytest.importorskip("mypy", reason="mypy is installed by `make venv`")

ROOT = pathlib.Path(__file__).resolve().parent.parent
MODULES = ["calvex_parser", "calvex_vm_engine"]


@pytest.fixture(scope="module")
def stub_path(tmp_path_factory):
    d = tmp_path_factory.mktemp("stubs")
    for name in MODULES:
        shutil.copy(ROOT / "python" / f"{name}-stubs" / "__init__.pyi", d / f"{name}.pyi")
    return d


def run_mypy(args, stub_dir, workdir):
    """mypy or stubtest, run in `workdir` (where their caches go)."""
    env = dict(os.environ)
    env["MYPYPATH"] = str(stub_dir)
    # The modules as this test session imports them (a development build or an install).
    module_dir = str(pathlib.Path(calvex_parser.__file__).parent)
    env["PYTHONPATH"] = os.pathsep.join([module_dir, env.get("PYTHONPATH", "")])
    return subprocess.run([sys.executable, "-m", *args], capture_output=True, text=True,
                          env=env, cwd=workdir, timeout=300)


def test_stubs_match_the_modules(stub_path, tmp_path):
    done = run_mypy(["mypy.stubtest", *MODULES], stub_path, tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr

    # The same check notices a stub that disagrees with the module.
    bad = tmp_path / "bad"
    shutil.copytree(stub_path, bad)
    stub = bad / "calvex_parser.pyi"
    stub.write_text(stub.read_text().replace("def lex(source: str)", "def lex(text: str)"))
    done = run_mypy(["mypy.stubtest", "calvex_parser"], bad, tmp_path)
    assert done.returncode != 0
    assert "calvex_parser.lex" in done.stdout


def test_package_stubs_match_and_the_package_passes_mypy_strict(stub_path, tmp_path):
    """The calvex package: its native module's stub against the module, its
    annotated Python modules under stubtest, and all of it under --strict."""
    pytest.importorskip("calvex")
    allow = ROOT / "tests" / "stubtest_allowlist.txt"
    done = run_mypy(["mypy.stubtest", "calvex", "--allowlist", str(allow)], stub_path, tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr
    done = run_mypy(["mypy", "--strict", "-p", "calvex"], stub_path, tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr


def test_examples_pass_mypy_strict(stub_path, tmp_path):
    files = sorted(str(p) for p in (ROOT / "examples").glob("*.py"))
    assert files
    done = run_mypy(["mypy", "--strict", *files], stub_path, tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr


def test_stub_types_catch_misuse(stub_path, tmp_path):
    """The stubs are precise enough to reject wrong calls, and accept the usual ones."""
    good = tmp_path / "good.py"
    good.write_text(
        "import calvex_parser, calvex_vm_engine\n"
        "tokens = calvex_parser.lex('let x = 1')\n"
        "kind: str = tokens[0]['token_type']\n"
        "tree = calvex_parser.parse_tokens(tokens)\n"
        "tree2 = calvex_parser.PyParser([{'token_type': 'Eof', 'value': ''}]).parse()\n"
        "ops, pool = calvex_parser.compile('1')\n"
        "total: int = sum(ops) + sum(pool)\n"
        "engine = calvex_vm_engine.VMEngine(b'\\x00')\n"
        "rate: float = engine.stats()['cache_hit_rate']\n"
        "ir: str = calvex_vm_engine.emit_ir('t', b'\\x10')\n")
    done = run_mypy(["mypy", "--strict", str(good)], stub_path, tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr

    bad = tmp_path / "bad.py"
    bad.write_text(
        "import calvex_parser, calvex_vm_engine\n"
        "calvex_parser.compile_and_run(b'1')\n"
        "calvex_vm_engine.VMEngine('text')\n"
        "n: int = calvex_parser.compile_and_run('1')\n")
    done = run_mypy(["mypy", "--strict", str(bad)], stub_path, tmp_path)
    assert done.returncode != 0
    assert done.stdout.count("error:") == 3, done.stdout
