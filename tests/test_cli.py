"""The `calvex` command, run as `python -m calvex` in a child process."""
import json
import os
import signal
import subprocess
import sys
import time

import pytest

calvex = pytest.importorskip("calvex")


def run(args, stdin="", timeout=60, **kw):
    return subprocess.run([sys.executable, "-m", "calvex", *args], input=stdin,
                          capture_output=True, text=True, timeout=timeout, **kw)


@pytest.fixture
def program(tmp_path):
    def write(text, name="prog.cx"):
        path = tmp_path / name
        path.write_text(text, encoding="utf-8")
        return str(path)
    return write


def test_runs_a_file_and_its_output_goes_to_stdout(program):
    path = program('fn sq(x) { x * x }\nprint(sq(7))\nprint("done")\n')
    for args in ([path], ["run", path]):
        done = run(args)
        assert (done.returncode, done.stdout, done.stderr) == (0, '49\n"done"\n', "")


def test_runtime_error_shows_file_line_message_and_the_calls(program):
    path = program("fn inner(x) {\n  return x + nil\n}\nfn outer() { inner(1) }\n"
                   "print(1)\nouter()\nprint(2)\n")
    done = run([path])
    assert done.returncode == 1
    assert done.stdout == "1\n"
    lines = done.stderr.splitlines()
    assert lines[0] == f"{path}:2: Type error: cannot apply add to int and nil"
    assert any("in outer" in line for line in lines[1:]), done.stderr
    assert any("in inner" in line for line in lines[1:]), done.stderr
    assert "Traceback" not in done.stderr


@pytest.mark.parametrize("source,where,message", [
    ("let a = 1\nlet b = (a + \n", "3:1", "Unexpected token: Eof"),
    ("print(1)\nlet x = 'open\n", "2:", "Unterminated string"),
    ("print(1)\n  x += 1\n", "2:5", "Unexpected token: PlusEq"),
])
def test_compile_error_shows_the_line_and_a_caret(program, source, where, message):
    path = program(source)
    done = run([path])
    assert done.returncode == 1 and done.stdout == ""
    first, *rest = done.stderr.splitlines()
    assert first.startswith(f"{path}:{where}") and message in first, first
    if where.endswith(":5"):
        assert rest == ["      x += 1", "        ^"], rest


def test_check_reports_every_file_with_an_error(program):
    good = program("print(1)\n", "good.cx")
    bad1 = program("let = 1\n", "bad1.cx")
    bad2 = program("fn f() { break }\n", "bad2.cx")
    done = run(["check", good, bad1, bad2])
    assert done.returncode == 1 and done.stdout == ""
    lines = done.stderr.splitlines()
    assert len(lines) == 2, lines
    assert lines[0].startswith(f"{bad1}:1:5: ") and "Expected identifier" in lines[0]
    assert lines[1].startswith(f"{bad2}:1:") and "'break' outside loop" in lines[1]
    assert run(["check", good]).returncode == 0


def test_dis_tokens_and_ast(program):
    path = program("let x = 1 + 2\n")
    dis = run(["dis", path])
    assert dis.returncode == 0 and dis.stdout.strip()
    tokens = run(["tokens", path])
    assert json.loads(tokens.stdout) == calvex_parser_lex("let x = 1 + 2\n")
    tree = run(["ast", path])
    assert json.loads(tree.stdout)["statements"][0]["type"] == "VarDecl"


def calvex_parser_lex(source):
    import calvex_parser
    return calvex_parser.lex(source)


@pytest.mark.parametrize("args", [["--timeout"], ["run"], ["check"], ["--timeout", "x", "f.cx"],
                                  ["--nonsense", "f.cx"], ["dis", "a", "b"]])
def test_usage_errors_exit_2(args):
    done = run(args)
    assert done.returncode == 2, (args, done.stderr)
    assert "usage" in done.stderr.lower()


def test_missing_file_is_a_failure_not_a_traceback(tmp_path):
    done = run([str(tmp_path / "absent.cx")])
    assert done.returncode == 1 and "Traceback" not in done.stderr
    assert "absent.cx" in done.stderr


def test_limits(program):
    loop = program("let i = 0\nwhile true { i = i + 1 }\n")
    done = run([loop, "--max-instructions", "10000"])
    assert done.returncode == 1 and "instructions" in done.stderr
    t0 = time.monotonic()
    done = run([loop, "--timeout", "0.3"])
    assert done.returncode == 1 and "time" in done.stderr
    assert time.monotonic() - t0 < 20
    if calvex._core.memory_metering:  # not in sanitizer builds
        grow = program("let s = \"x\"\nwhile true { s = f\"{s}{s}\" }\n")
        done = run([grow, "--max-memory", "1M"])
        assert done.returncode == 1 and "memory" in done.stderr


def test_strict_mode(program):
    path = program("print(undefined_name)\n")
    assert run([path]).stdout == "nil\n"
    done = run([path, "--strict"])
    assert done.returncode == 1 and "undefined_name" in done.stderr


def test_ctrl_c_exits_130_without_a_traceback(program):
    path = program('print("started")\nlet i = 0\nwhile true { i = i + 1 }\n')
    child = subprocess.Popen([sys.executable, "-m", "calvex", path], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
    assert child.stdout.readline() == '"started"\n'
    time.sleep(0.2)
    child.send_signal(signal.SIGINT)
    out, err = child.communicate(timeout=30)
    assert child.returncode == 130
    assert "Traceback" not in err


def test_program_from_stdin_when_not_a_terminal():
    done = run([], stdin="print(40 + 2)\n")
    assert (done.returncode, done.stdout) == (0, "42\n")


def test_console_script_is_declared():
    import tomllib
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    with open(os.path.join(root, "pyproject.toml"), "rb") as f:
        scripts = tomllib.load(f)["project"]["scripts"]
    assert scripts == {"calvex": "calvex.cli:console_main"}


def test_deep_tracebacks_are_folded(program):
    path = program("fn down(n) { return down(n + 1) }\ndown(0)\n")
    done = run([path])
    lines = done.stderr.splitlines()
    assert lines[0] == f"{path}:1: Stack overflow: call depth limit exceeded"
    assert lines[2] == f"  {path}:2: in <top>"
    assert lines[3:6] == [f"  {path}:1: in down"] * 3
    assert lines[6].startswith("  [the call above repeated ") and len(lines) == 7

    path = program("fn a(n) { if n == 0 { return nil + 1 } return b(n - 1) }\n"
                   "fn b(n) { a(n) }\na(60)\n")
    lines = run([path]).stderr.splitlines()
    assert lines[0].endswith("cannot apply add to nil and int")
    # 122 frames: the top level, a(60) ... a(0) and b(59) ... b(0)
    assert lines[22] == "  [82 more calls]" and len(lines) == 43
