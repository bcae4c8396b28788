"""Language behaviour that a program file cannot show: reading the process's
standard input, running out of memory, and signals arriving during a run.

Programs checked by what they print live in tests/programs/ (see
test_programs.py)."""
import signal
import subprocess
import sys
import time

import pytest

import calvex_parser as cp


@pytest.mark.parametrize("stdin, shown", [
    (b"hello\r\n", '"> ""hello"\n'),
    (b"two\nlines\n", '"> ""two"\n'),
    (b"", '"> """\n'),
])
def test_input_reads_the_process_stdin(stdin, shown):
    code = "import calvex_parser as cp; cp.compile_and_run('print(input(\"> \"))')"
    done = subprocess.run([sys.executable, "-c", code], input=stdin, capture_output=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.decode() == shown


def test_huge_allocation_is_memory_error_or_runtime_error():
    try:
        result = cp.compile_and_run("range(0, 9223372036854775807)")
    except MemoryError:
        return
    assert result.startswith("Runtime error: ")


def test_interrupt_stops_an_endless_loop():
    # The run holds the interpreter lock throughout, so no thread of this
    # process could send the signal; a child process runs the endless loop
    # (a broken interrupt check then fails the test instead of hanging it).
    code = (
        "import calvex_parser as cp\n"
        "try:\n"
        "    print('ready', flush=True)\n"
        "    cp.compile_and_run('while true { }')\n"
        "except KeyboardInterrupt:\n"
        "    print('interrupted', flush=True)\n"
    )
    child = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline() == "ready\n"
        time.sleep(0.3)
        child.send_signal(signal.SIGINT)
        out, _ = child.communicate(timeout=30)
    finally:
        child.kill()
    assert out == "interrupted\n"


def test_signal_handler_exception_propagates():
    class Stop(Exception):
        pass

    def handler(signum, frame):
        raise Stop("from handler")

    old = signal.signal(signal.SIGALRM, handler)
    signal.setitimer(signal.ITIMER_REAL, 0.2)
    try:
        with pytest.raises(Stop):
            cp.compile_and_run("fn spin(n) { while n < 2000000000 { n = n + 1 } }\nspin(0)")
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, old)
