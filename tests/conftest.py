"""Settings shared by every test folder."""

import signal

# Started in the background (nohup, `cmd &` from a script), the test run
# inherits SIGINT ignored, and an ignored signal stays ignored across exec in
# every child: the interpreter then never installs its Ctrl-C handling, which
# the tests of Ctrl-C need. A handler of our own is reset to the default on
# exec, so children start as they would from a terminal.
if signal.getsignal(signal.SIGINT) is signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)
