"""Every example of docs/language.md, run with its shown output.

A ```calvex block must be followed (blank lines aside) by an ```output block. The
program runs through compile_and_run; the output block holds what it printed,
then, when the run failed, the returned "Runtime error: ..." text, or, when it
did not compile, "SyntaxError: " and the message. A run whose result is not nil
adds "=> " and the result. Standard input is empty while the examples run.
"""
import os
import pathlib
import re

import pytest

import calvex_parser as cp

ROOT = pathlib.Path(__file__).resolve().parent.parent
GUIDE = ROOT / "docs" / "language.md"

_FENCE = re.compile(r"^```(\w*)\s*$")


def fenced_blocks(text):
    """(info word, body, first line number) for every fenced block."""
    blocks = []
    lines = text.splitlines()
    i = 0
    while i < len(lines):
        m = _FENCE.match(lines[i])
        if not m:
            i += 1
            continue
        start, body = i + 1, []
        i += 1
        while i < len(lines) and lines[i].rstrip() != "```":
            body.append(lines[i])
            i += 1
        assert i < len(lines), f"{GUIDE.name}:{start}: unclosed code block"
        blocks.append((m.group(1), "\n".join(body), start))
        i += 1
    return blocks


def examples():
    text = GUIDE.read_text(encoding="utf-8")
    blocks = fenced_blocks(text)
    found = []
    for n, (info, body, line) in enumerate(blocks):
        if info != "calvex":
            continue
        follow = blocks[n + 1] if n + 1 < len(blocks) else None
        assert follow is not None and follow[0] == "output", \
            f"{GUIDE.name}:{line}: a calvex block needs an output block after it"
        found.append((line, body, follow[1]))
    return found


def observed(source, capfd):
    capfd.readouterr()
    stdin = os.dup(0)
    null = os.open(os.devnull, os.O_RDONLY)
    os.dup2(null, 0)
    try:
        result = cp.compile_and_run(source)
        tail = [] if result == "nil" else [
            result if result.startswith("Runtime error: ") else f"=> {result}"]
    except SyntaxError as e:
        tail = [f"SyntaxError: {e}"]
    finally:
        os.dup2(stdin, 0)
        os.close(stdin)
        os.close(null)
    printed = capfd.readouterr().out
    lines = printed.split("\n")
    assert lines[-1] == "", "output does not end with a line feed"
    return lines[:-1] + tail


EXAMPLES = examples()


def test_the_guide_has_examples():
    assert len(EXAMPLES) > 40


@pytest.mark.parametrize("line,source,expected", EXAMPLES,
                         ids=[f"line{e[0]}" for e in EXAMPLES])
def test_example(line, source, expected, capfd):
    assert observed(source, capfd) == (expected.split("\n") if expected else [])
