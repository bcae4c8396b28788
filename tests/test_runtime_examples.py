"""The embedding hosts in examples/ run and print what the README says."""
import os
import subprocess
import sys

import pytest

import calvex


ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def run_example(name, *args):
    env = dict(os.environ)
    # the same calvex the tests import (a build folder on sys.path, or the installed one)
    env["PYTHONPATH"] = os.pathsep.join([os.path.dirname(os.path.dirname(calvex.__file__)), env.get("PYTHONPATH", "")])
    out = subprocess.run([sys.executable, os.path.join(ROOT, "examples", name), *args], capture_output=True,
                         text=True, env=env, timeout=60)
    assert out.returncode == 0, out.stderr
    return out.stdout


def test_game_loop_host():
    assert run_example("game_loop.py") == (
        "after 120 frames: x=240.0 coins=3\n"
        "sound: coin\n"
        '"coin 0 at x=30.0"\n'
        "sound: coin\n"
        '"coin 1 at x=90.0"\n'
        "sound: coin\n"
        '"coin 2 at x=150.0"\n'
    )
    assert run_example("game_loop.py", "10") == "after 10 frames: x=20.0 coins=0\n"


@pytest.mark.skipif(not calvex._core.memory_metering, reason="the runaway formula needs the memory budget")
def test_formula_host():
    assert run_example("formulas.py") == (
        "total         ok      45.0\n"
        "label         ok      '4 x 12.5'\n"
        "is_sale       ok      True\n"
        "typo          error   \"Undefined variable 'quantity'\"\n"
        "not_callable  error   'Cannot call float'\n"
        "runaway       limit   'memory'\n"
        "broken        syntax  'column 13: Expected RightParen, found Eof'\n"
    )
