"""Differential checks on generated programs (fuzz/gen.py): a program prints
the same, and fails with the same error, whether it runs as top-level code or
as the body of a function (the pipeline optimises top-level code only with
rewrites that keep results)."""
import pathlib
import sys

import pytest
from hypothesis import HealthCheck, assume, given, settings
from hypothesis import strategies as st

import calvex_parser as cp

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "fuzz"))
import gen  # noqa: E402
from interrupt import Interrupt, run_bounded  # noqa: E402


def outcome(source, capfd):
    capfd.readouterr()
    try:
        result = run_bounded(lambda: cp.compile_and_run(source), 2.0)
    except SyntaxError as e:
        return ("syntax", str(e).split(": ", 1)[0]), ""
    out = capfd.readouterr().out
    if isinstance(result, Interrupt):
        return None, out
    return (("error", result) if result.startswith("Runtime error: ") else ("ok",)), out


def wrapped(source):
    # Same lines: the wrapper opens on the program's first line.
    return "fn main__() { " + source + "}\nmain__()\n"


@settings(max_examples=300, deadline=None, database=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow])
@given(st.binary(min_size=4, max_size=600))
def test_top_level_and_function_body_agree(capfd, raw):
    source = gen.program(raw)
    top, top_out = outcome(source, capfd)
    inner, inner_out = outcome(wrapped(source), capfd)
    assume(top is not None and inner is not None)
    assert (top, top_out) == (inner, inner_out), source


@pytest.mark.parametrize("source", [
    "print(3 ** 2)", 'print("s" + 0)', "print(!!5)", "print(nil * 1)", "print(2 + 0, 2.5 * 1, 4 - 0)",
    "let x = 3\nprint(x ** 2, -(-x), x * 1, x + 0)",
])
def test_pair_rewrites_keep_results_at_top_level(source, capfd):
    assert outcome(source, capfd) == outcome(wrapped(source), capfd)
