"""Deep input on host threads with small stacks: the front end and re-entry
through native bindings fail with an error instead of overflowing the stack.

Each case runs in a child process, so an overflow shows as a failed test (with
the signal in the message) instead of ending the test run.
"""
import json
import os
import subprocess
import sys
import textwrap

import pytest

N = 5000

# Instrumented frames are several times larger: fewer levels fit.
under_sanitizer = os.environ.get("CALVEX_SANITIZED") == "1"  # set by tools/sanitized

DEEP_SOURCES = {
    "parentheses": "(" * N + "1" + ")" * N,
    "arrays": "[" * N + "]" * N,
    "objects": "let x = " + "{a: " * N + "1" + "}" * N,
    "calls": "f(" * N + "1" + ")" * N,
    "indexing": "x" + "[0]" * N,
    "unary": "-" * N + "1",
    "binary chain": "+".join(["1"] * N),
    "ternaries": "x = " + "a ? b : " * N + "c",
    "blocks": "if a {" * N + "}" * N,
    "loops": "while a {" * N + "}" * N,
    "functions": "fn f() {" * N + "}" * N,
    "lambdas": "let f = " + "fn() " * N + "1",
}
# Token dictionaries carry an f-string's text as a plain name, so its nesting
# exists only on the roads that lex and parse in one go.
FSTRINGS = 'f"{' * 2000 + "x" + '}"' * 2000

# Runs `body` on a thread with a `stack_kib` KiB stack; `body` fills `out`.
HARNESS = """
import json, sys, threading
import calvex_parser as cp
out = {{}}
def body():
{body}
threading.stack_size({stack_kib} * 1024)
t = threading.Thread(target=body)
t.start()
t.join()
print(json.dumps(out))
"""


def run_child(body, stack_kib, *args):
    code = HARNESS.format(body=textwrap.indent(textwrap.dedent(body), "    "), stack_kib=stack_kib)
    proc = subprocess.run([sys.executable, "-c", code, *args], capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, f"child ended with {proc.returncode}: {proc.stderr[-2000:]}"
    return json.loads(proc.stdout)


FRONT_END = """
src = sys.argv[1]
entries = {"lex+parse_tokens": lambda: cp.parse_tokens(cp.lex(src)),
           "PyParser": lambda: cp.PyParser(cp.lex(src)).parse(),
           "compile": lambda: cp.compile(src),
           "compile_and_run": lambda: cp.compile_and_run(src)}
for name, entry in entries.items():
    try:
        entry()
        out[name] = "ok"
    except BaseException as e:
        out[name] = [type(e).__name__, str(e)]
"""


def check_nesting_errors(results):
    for entry, result in results.items():
        assert result != "ok", entry
        kind, message = result
        assert kind == "SyntaxError", (entry, result)
        assert message.endswith("Nesting too deep"), (entry, result)
        assert "ParseError at " in message, (entry, result)


@pytest.mark.parametrize("shape", DEEP_SOURCES)
def test_deep_source_on_a_256k_thread_is_a_syntax_error(shape):
    results = run_child(FRONT_END, 256, DEEP_SOURCES[shape])
    assert len(results) == 4
    check_nesting_errors(results)


def test_deep_fstrings_on_a_256k_thread_are_a_syntax_error():
    results = run_child(FRONT_END, 256, FSTRINGS)
    assert results["lex+parse_tokens"] == results["PyParser"] == "ok"
    check_nesting_errors({k: results[k] for k in ("compile", "compile_and_run")})


def test_moderate_nesting_still_runs_on_a_256k_thread():
    depths = (5, 10) if under_sanitizer else (10, 50)
    body = f"""
    for depth in {depths}:
        cp.set_native_binding("keep", lambda v: out.setdefault(str(depth), v))
        assert cp.compile_and_run("keep(len(str(" + "[" * depth + "]" * depth + ")))") == "nil"
    """
    assert run_child(body, 256) == {str(d): 2 * d for d in depths}


REENTRY = """
errors = []
levels = [0]
def again():
    levels[0] += 1
    try:
        return cp.compile_and_run("keep(again())")
    except RecursionError as e:
        errors.append(str(e))
        raise
cp.set_native_binding("again", again)
cp.set_native_binding("keep", lambda v: None)
out["result"] = cp.compile_and_run("again()")
out["levels"] = levels[0]
out["errors"] = errors[:1]
cp.clear_native_bindings()
out["after"] = cp.compile_and_run("let a = [1, [2]]")
"""


@pytest.mark.parametrize("stack_kib", [1024, 256])
def test_reentry_through_native_bindings_is_bounded_by_the_stack(stack_kib):
    out = run_child(REENTRY, stack_kib)
    assert out["result"] == "nil" and out["after"] == "nil"
    assert out["errors"] == ["compile_and_run() nested too deeply: the thread's stack is nearly exhausted"]
    assert out["levels"] > (1 if under_sanitizer else stack_kib // 16)
