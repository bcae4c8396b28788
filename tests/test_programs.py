"""Calvex programs kept as files, run through compile_and_run and checked by
what they print.

Every `tests/programs/**/*.cx`, `examples/*.cx` and `bench/*.cx` is a case. A
program states what it should do in comments, anywhere in the file:

    # expect: TEXT                the next line of output (`# expect:` alone: an empty line)
    # expect runtime error: TEXT  the run ends with the result "Runtime error: TEXT"
    # expect compile error: TEXT  compile_and_run raises SyntaxError with message TEXT
    # expect result: TEXT         the result's display text (otherwise it must be "nil")
    # test-size: 2000000=2000 ... integer literals replaced before the run, so that a
                                  benchmark runs at a small size here

Output lines are compared in order, all of them: a program that prints more or
less than it expects fails. A benchmark with a Python twin (`bench/NAME.py`)
and no `# expect:` lines must print what the twin prints at the same size.

`print` writes to file descriptor 1, not to sys.stdout, so output is captured
with capfd. Each run is bounded by an alarm (CALVEX_PROGRAM_TIMEOUT seconds,
default 60) so that a program that stops terminating fails instead of hanging.
"""
import os
import pathlib
import re
import signal
import subprocess
import sys
from contextlib import contextmanager

import pytest

import calvex_parser as cp

ROOT = pathlib.Path(__file__).resolve().parent.parent
PROGRAMS = ROOT / "tests" / "programs"
TIMEOUT = float(os.environ.get("CALVEX_PROGRAM_TIMEOUT", "60"))

_EXPECT = re.compile(r"# expect( runtime error| compile error| result)?:(.*)$")
_SIZE = re.compile(r"# test-size:(.*)$")


class Expectation:
    """What a program file says it does."""

    def __init__(self, text):
        self.output = []
        self.runtime_error = None
        self.compile_error = None
        self.result = None
        self.sizes = []
        for number, line in enumerate(text.splitlines(), 1):
            size = _SIZE.search(line)
            if size:
                for pair in size.group(1).split():
                    old, new = pair.split("=")
                    self.sizes.append((old, new))
                continue
            m = _EXPECT.search(line)
            if not m:
                continue
            kind, rest = m.group(1), m.group(2)
            value = rest[1:] if rest.startswith(" ") else rest
            if kind is None:
                self.output.append(value)
            elif kind == " runtime error":
                assert self.runtime_error is None, f"line {number}: second runtime error"
                self.runtime_error = value
            elif kind == " compile error":
                assert self.compile_error is None, f"line {number}: second compile error"
                self.compile_error = value
            else:
                assert self.result is None, f"line {number}: second result"
                self.result = value
        assert not (self.compile_error and (self.output or self.runtime_error or self.result)), \
            "a program that does not compile cannot print or fail at run time"
        assert not (self.runtime_error and self.result), "a failed run has no result"


def resize(text, sizes):
    """`text` with each whole integer literal `old` replaced by `new`."""
    for old, new in sizes:
        text, count = re.subn(rf"(?<![\w.]){re.escape(old)}(?![\w.])", new, text)
        assert count, f"test-size: literal {old} does not occur"
    return text


@contextmanager
def time_limit(seconds):
    def expire(signum, frame):
        raise TimeoutError(f"program still running after {seconds} s")

    old = signal.signal(signal.SIGALRM, expire)
    signal.setitimer(signal.ITIMER_REAL, seconds)
    try:
        yield
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, old)


def program_files():
    files = sorted(PROGRAMS.rglob("*.cx"))
    files += sorted((ROOT / "examples").glob("*.cx"))
    files += sorted((ROOT / "bench").glob("*.cx"))
    return files


def case_id(path):
    rel = path.relative_to(ROOT)
    parts = rel.parts[2:] if rel.parts[:2] == ("tests", "programs") else rel.parts
    return "/".join(parts)[: -len(".cx")]


def twin_output(path, sizes):
    """What the Python twin of a benchmark prints at the same size, or None."""
    twin = path.with_suffix(".py")
    if path.parent.name != "bench" or not twin.exists():
        return None
    source = resize(twin.read_text(encoding="utf-8"), sizes)
    done = subprocess.run([sys.executable, "-c", source], capture_output=True, text=True, timeout=TIMEOUT)
    assert done.returncode == 0, done.stderr
    return done.stdout.splitlines()


FILES = program_files()


@pytest.mark.parametrize("path", FILES, ids=[case_id(p) for p in FILES])
def test_program(path, capfd):
    text = path.read_text(encoding="utf-8")
    expect = Expectation(text)
    source = resize(text, expect.sizes)
    capfd.readouterr()
    if expect.compile_error is not None:
        with time_limit(TIMEOUT), pytest.raises(SyntaxError) as raised:
            cp.compile_and_run(source)
        assert str(raised.value) == expect.compile_error
        assert capfd.readouterr().out == ""
        return
    with time_limit(TIMEOUT):
        result = cp.compile_and_run(source)
    out = capfd.readouterr().out
    if expect.runtime_error is not None:
        assert result == "Runtime error: " + expect.runtime_error
    else:
        assert result == (expect.result if expect.result is not None else "nil")
    assert out == "" or out.endswith("\n")
    twin = twin_output(path, expect.sizes)
    if twin is not None and not expect.output:
        assert out.splitlines() == twin
    else:
        assert out.splitlines() == expect.output
