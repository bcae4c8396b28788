import signal

# A test run started in the background of a non-interactive shell inherits
# SIGINT as ignored, and ignored signals stay ignored across exec: the child
# interpreters that the Ctrl-C tests start would never see their SIGINT.
# Handled signals are reset to the default on exec, so giving this process a
# handler lets every child install its own.
if signal.getsignal(signal.SIGINT) is signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)
