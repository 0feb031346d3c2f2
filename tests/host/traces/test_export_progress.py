"""`nefa export` shows a bar on a terminal for a large trace, and only there."""

import os
import pty
import subprocess
import sys

# The export with the bar's threshold lowered, so that a small trace counts
# as large; the bar is drawn only when standard error is a terminal.
EXPORT = """
import sys
from nefa import cli
cli._ExportProgress.LARGE = 10
sys.exit(cli.main(["export", "--db", sys.argv[1], "-o", sys.argv[2]]))
"""


def _export(database, output, stderr):
    env = dict(os.environ, PYTHONFAULTHANDLER="1")
    return subprocess.run(
        [sys.executable, "-c", EXPORT, str(database), str(output)],
        stdin=subprocess.DEVNULL,
        stdout=subprocess.PIPE,
        stderr=stderr,
        env=env,
        timeout=120,
    )


def test_the_bar_is_drawn_on_a_terminal_and_cleared_and_never_piped(tmp_path, synthetic, store):
    database = store("trc_progress", synthetic(3_000, trace_id="trc_progress"))
    controller, terminal = pty.openpty()
    try:
        done = _export(database, tmp_path / "tty.json", terminal)
        os.close(terminal)
        terminal = None
        drawn = b""
        while True:
            try:
                piece = os.read(controller, 65536)
            except OSError:  # the terminal's other end is closed
                break
            if not piece:
                break
            drawn += piece
    finally:
        if terminal is not None:
            os.close(terminal)
        os.close(controller)
    assert done.returncode == 0, drawn
    text = drawn.decode()
    assert "exporting trace trc_progress [" in text and "100%" in text
    # The last thing written blanks the bar's line and returns to its start.
    assert text.endswith("\r") and text.rsplit("\r", 2)[-2].strip() == ""
    piped = _export(database, tmp_path / "piped.json", subprocess.PIPE)
    assert piped.returncode == 0 and piped.stderr == b""
    assert (tmp_path / "piped.json").read_bytes() == (tmp_path / "tty.json").read_bytes()
