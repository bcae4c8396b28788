"""compile_and_run: top-level code computes what the same code computes in a
function body (which is never optimised)."""
import pytest

import calvex_parser as cp


def outcome(source, capfd):
    result = cp.compile_and_run(source)
    return result, capfd.readouterr().out


@pytest.mark.parametrize("expr, shown", [
    ("3 ** 2", "9.0"),
    ("2 ** 2", "4.0"),
    ("x ** 2", "6.25"),
    ("!!5", "true"),
    ("!!nil", "false"),
    ("x + 0", "2.5"),
    ("s + 0", None),
    ('"s" + 0', None),
    ("s - 0", None),
    ("nil * 1", None),
    ("s * 1", None),
    ("[1] + 0", None),
    ("2 + 3 * 4 - 7 % 4", "11"),
    ("-5", "-5"),
    ("-(2 - 7)", "5"),
])
def test_top_level_matches_function_body(expr, shown, capfd):
    prelude = 'let x = 2.5\nlet s = "s"\n'
    top = outcome(prelude + f"print({expr})", capfd)
    inside = outcome(f'fn f() {{ let x = 2.5\nlet s = "s"\nprint({expr}) }}\nf()', capfd)
    assert top == inside
    if shown is None:
        assert top[0].startswith("Runtime error: Line 3: Type error: "), top
        assert top[1] == ""
    else:
        assert top == ("nil", shown + "\n")

