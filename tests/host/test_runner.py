import signal
import sys
import textwrap

import pytest

from nefa import runner


@pytest.fixture
def program(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)

    def write(source, name="prog.py"):
        path = tmp_path / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(textwrap.dedent(source))
        return name

    return write


def execute(name, *args, is_module=False):
    target = runner.Target(name, list(args), is_module=is_module)
    with runner.program_environment(target):
        return runner.execute(target)


def test_program_sees_its_own_argv_path_and_main(program, tmp_path, capsys):
    saved_argv, saved_path = sys.argv, list(sys.path)
    program("VALUE = 'helper found'\n", name="app/helper.py")
    script = program("import sys, helper\nprint(sys.argv, sys.path[0], __name__, helper.VALUE)\n", name="app/prog.py")
    assert execute(script, "--verbose", "x") == 0
    assert capsys.readouterr().out == f"['app/prog.py', '--verbose', 'x'] {tmp_path / 'app'} __main__ helper found\n"
    assert sys.argv is saved_argv and sys.path == saved_path

    program("", name="pkg/__init__.py")
    program("import sys\nprint(sys.argv[1:], __name__, sys.path[0])\n", name="pkg/tool.py")
    assert execute("pkg.tool", "-v", is_module=True) == 0
    assert capsys.readouterr().out == f"['-v'] __main__ {tmp_path}\n"


@pytest.mark.parametrize(
    "source, status, stderr_has",
    [
        ("import sys; sys.exit(3)", 3, None),
        ("import sys; sys.exit()", 0, None),
        ("import sys; sys.exit('bye now')", 1, "bye now"),
        ("raise KeyboardInterrupt", -signal.SIGINT, "KeyboardInterrupt"),  # to die by, after storing
        ("x = (", 1, "SyntaxError"),
    ],
)
def test_exit_status_like_the_interpreter(program, capsys, source, status, stderr_has):
    assert execute(program(source)) == status
    err = capsys.readouterr().err
    assert (stderr_has in err) if stderr_has else err == ""


def test_traceback_shows_the_program_not_the_runner(program, capsys):
    assert execute(program("def f():\n    raise ValueError('bad value')\nf()\n")) == 1
    err = capsys.readouterr().err
    assert err.startswith("Traceback (most recent call last):\n") and err.endswith("ValueError: bad value\n")
    assert 'prog.py", line 3, in <module>' in err and 'prog.py", line 2, in f' in err
    assert "runpy" not in err and "runner.py" not in err

    execute(program("import sys\nsys.excepthook = lambda t, v, tb: print('hooked', t.__name__)\n1/0\n"))
    assert capsys.readouterr().out == "hooked ZeroDivisionError\n"


def test_waits_for_non_daemon_threads(program, capsys):
    source = """
        import threading, time
        def late():
            time.sleep(0.2)
            print("thread finished")
        threading.Thread(target=late).start()
        raise SystemExit(4)
    """
    assert execute(program(source)) == 4
    assert capsys.readouterr().out == "thread finished\n"
