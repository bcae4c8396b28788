"""Runs bounded by an interrupt: a CPU-time timer whose signal handler
raises, which the machine's periodic signal check turns into an exception
out of compile_and_run. (CPU time, not wall time: libFuzzer owns SIGALRM.)"""
import signal
from contextlib import contextmanager


class Interrupt(Exception):
    """The run took longer than its budget."""


def _raise(signum, frame):
    raise Interrupt()


@contextmanager
def budget(seconds):
    old = signal.signal(signal.SIGVTALRM, _raise)
    signal.setitimer(signal.ITIMER_VIRTUAL, seconds)
    try:
        yield
    finally:
        signal.setitimer(signal.ITIMER_VIRTUAL, 0)
        signal.signal(signal.SIGVTALRM, old)


def run_bounded(call, seconds=0.5):
    """call() under the budget; an Interrupt that arrives after the call has
    returned (between the return and the timer's stop) is dropped."""
    try:
        with budget(seconds):
            return call()
    except Interrupt as e:
        return e
