"""The interactive prompt, driven in a pseudo-terminal as a person would use it."""
import os
import sys
import time

import pytest

pytest.importorskip("calvex")
pexpect = pytest.importorskip("pexpect", reason="pexpect is installed by `make venv`")

PROMPT = "cx> "
MORE = r"\.\.\. "


@pytest.fixture
def session(tmp_path):
    env = dict(os.environ, CALVEX_HISTORY=str(tmp_path / "history"), TERM="dumb")
    children = []

    def start():
        child = pexpect.spawn(sys.executable, ["-m", "calvex"], env=env, encoding="utf-8",
                              timeout=30, dimensions=(40, 200))
        child.expect_exact(PROMPT)
        children.append(child)
        return child

    yield start
    for child in children:
        if child.isalive():
            child.terminate(force=True)


def send(child, line):
    child.sendline(line)


def test_values_definitions_and_errors_in_one_session(session):
    child = session()
    send(child, "6 * 7")
    child.expect_exact("=> 42")
    child.expect_exact(PROMPT)
    send(child, "fn twice(x) { x * 2 }")
    child.expect_exact(PROMPT)
    send(child, "total = twice(21)")
    child.expect_exact(PROMPT)
    send(child, "[total, \"s\", 1.5]")
    child.expect_exact('=> [42, "s", 1.5]')
    child.expect_exact(PROMPT)
    send(child, "nil + 1")
    child.expect("cannot apply add to nil and int")
    child.expect_exact(PROMPT)
    send(child, "let = 3")
    child.expect("Expected identifier")
    child.expect_exact(PROMPT)
    send(child, 'print("still here", total)')
    child.expect_exact('"still here"42')
    child.expect_exact(PROMPT)
    send(child, ":quit")
    child.expect(pexpect.EOF)
    child.close()
    assert child.exitstatus == 0


def test_open_brackets_continue_the_input(session):
    child = session()
    send(child, "fn fact(n) {")
    child.expect(MORE)
    send(child, "  if n < 2 { return 1 }")
    child.expect(MORE)
    send(child, "  return n * fact(n - 1)")
    child.expect(MORE)
    send(child, "}")
    child.expect_exact(PROMPT)
    send(child, "fact(10)")
    child.expect_exact("=> 3628800")
    child.expect_exact(PROMPT)
    send(child, "[1,")
    child.expect(MORE)
    send(child, " 2]")
    child.expect_exact("=> [1, 2]")
    child.expect_exact(PROMPT)


def test_ctrl_c_cancels_a_line_and_interrupts_a_running_program(session):
    child = session()
    child.send("let half = ")
    time.sleep(0.3)  # as typing takes: readline has read the characters
    child.sendintr()
    child.expect_exact(PROMPT)
    send(child, "n = 0")
    child.expect_exact(PROMPT)
    send(child, "while true { n = n + 1 }")
    child.expect(r"\r\n")
    time.sleep(0.5)
    child.sendintr()
    child.expect("interrupted")
    child.expect_exact(PROMPT)
    send(child, "n > 0")
    child.expect_exact("=> true")
    child.expect_exact(PROMPT)
    child.sendeof()
    child.expect(pexpect.EOF)
    child.close()
    assert child.exitstatus == 0


def test_help_and_history_across_sessions(session, tmp_path):
    child = session()
    send(child, ":help")
    child.expect(":quit")
    child.expect_exact(PROMPT)
    send(child, "remembered = 5")
    child.expect_exact(PROMPT)
    child.sendeof()
    child.expect(pexpect.EOF)
    assert "remembered = 5" in (tmp_path / "history").read_text()

    again = session()
    send(again, "remembered")
    again.expect_exact("=> nil")  # a new session has a new runtime...
    again.expect_exact(PROMPT)
    again.send("\x10\x10")  # ...but Ctrl-P twice brings back the earlier session's line
    again.sendline("")
    again.expect_exact(PROMPT)
    send(again, "remembered")
    again.expect_exact("=> 5")


def test_a_top_level_let_is_local_to_its_input_and_the_prompt_says_so(session):
    child = session()
    send(child, "let kept = 1")
    child.expect("note: `let kept` is local to this input")
    child.expect_exact(PROMPT)
    send(child, "kept")
    child.expect_exact("=> nil")
    child.expect_exact(PROMPT)
    send(child, "let t = 2  print(t)")
    child.expect_exact("2\r\n")
    child.expect_exact(PROMPT)
