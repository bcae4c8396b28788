import os
import signal

# A test run started in the background of a non-interactive shell inherits
# SIGINT as ignored, and ignored signals stay ignored across exec: the child
# interpreters that the Ctrl-C tests start would never see their SIGINT.
# Handled signals are reset to the default on exec, so giving this process a
# handler lets every child install its own.
if signal.getsignal(signal.SIGINT) is signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)

# Under the sanitizer build, leak checking (when on) covers this process, where
# most tests run; the children that tests start get it off. LeakSanitizer's
# tracer crashes now and then at the exit of a child that ran threads
# ("Tracer caught signal 11"), which would fail a sound test. This process
# read its options when it started, so the change reaches only children.
if os.environ.get("CALVEX_SANITIZED") == "1":
    os.environ["ASAN_OPTIONS"] = os.environ.get("ASAN_OPTIONS", "") + ":detect_leaks=0"
