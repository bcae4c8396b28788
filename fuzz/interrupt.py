"""Runs bounded by an interrupt: a CPU-time timer whose signal handler
raises, which the machine's periodic signal check turns into an exception
out of compile_and_run. (CPU time, not wall time: libFuzzer owns SIGALRM.)

The interrupt is a BaseException and, once the budget is spent, comes again
every 50 ms until the bounded call has returned: a host callback that
re-enters the machine cannot turn it into an error value and carry on
(an Exception from a callback is only an error of that one call, and
a one-shot timer would leave the rest of the run unbounded)."""
import signal


class Interrupt(BaseException):
    """The run took longer than its budget."""


_armed = False
_old_handler = None


def _raise(signum, frame):
    if _armed:
        raise Interrupt()


def _arm(seconds):
    global _armed, _old_handler
    _old_handler = signal.signal(signal.SIGVTALRM, _raise)
    _armed = True
    signal.setitimer(signal.ITIMER_VIRTUAL, seconds, 0.05)


def _disarm():
    global _armed
    _armed = False
    signal.setitimer(signal.ITIMER_VIRTUAL, 0)
    signal.signal(signal.SIGVTALRM, _old_handler)


def run_bounded(call, seconds=0.5):
    """call() under a budget of `seconds` CPU seconds -> its result, or the
    Interrupt that ended it. Inside a budget already running (a callback
    re-entering the machine), the outer budget governs and its Interrupt
    propagates through this call to the outer one."""
    if _armed:
        return call()
    _arm(seconds)
    try:
        return call()
    except Interrupt as e:
        return e
    finally:
        _disarm()
