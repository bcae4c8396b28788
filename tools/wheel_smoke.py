"""Smoke test of an installed wheel, run by `make wheel` inside a fresh venv
whose PATH holds no compiler: the modules import and run a program, and the
stubs and the Pygments entry point are installed with them."""
import importlib.metadata
import pathlib
import shutil
import subprocess
import sys

for tool in ("cc", "gcc", "g++", "c++", "clang"):
    assert shutil.which(tool) is None, f"{tool} is on PATH"

import calvex_parser
import calvex_vm_engine

here = pathlib.Path(calvex_parser.__file__).resolve().parent
assert pathlib.Path(sys.prefix) in here.parents, f"{here} is not inside the venv"

assert calvex_parser.compile_and_run("fn sq(x) { x * x } sq(7)") == "nil"
assert calvex_parser.compile_and_run("let a = 1\nnil + a").startswith("Runtime error: Line 2: ")
assert calvex_vm_engine.VMEngine(bytes([0x00, 0xFF])).execute() in ("0", "nil")

for stub in ("calvex_parser-stubs/__init__.pyi", "calvex_vm_engine-stubs/__init__.pyi"):
    assert (here / stub).is_file(), f"{stub} missing"

points = [e for e in importlib.metadata.distribution("calvex").entry_points
          if e.group == "pygments.lexers"]
assert [e.value for e in points] == ["calvex.pygments_lexer:CalvexLexer"], points

import calvex

package = pathlib.Path(calvex.__file__).parent
for name in ("py.typed", "_core.pyi", "pygments_lexer.py", "cli.py", "repl.py"):
    assert (package / name).is_file(), f"calvex/{name} missing"
assert calvex.Runtime().eval("6 * 7") == 42

# The console script runs a program and reports a failing one.
script = pathlib.Path(sys.prefix) / "bin" / "calvex"
program = pathlib.Path("smoke.cx")
program.write_text('print(f"2^10 = {2 ** 10}")\n')
done = subprocess.run([str(script), str(program)], capture_output=True, text=True, timeout=60)
assert (done.returncode, done.stdout) == (0, '"2^10 = 1024.0"\n'), done
program.write_text("print(1)\nprint(nil + 1)\n")
done = subprocess.run([str(script), str(program)], capture_output=True, text=True, timeout=60)
assert done.returncode == 1 and done.stderr.startswith("smoke.cx:2: "), done

print("wheel smoke test passed:", here)
