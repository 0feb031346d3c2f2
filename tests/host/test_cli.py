import sqlite3
import time

import pytest

from nefa import cli, db


def run_cli(capsys, *argv):
    status = cli.main(list(argv))
    out, err = capsys.readouterr()
    return status, out, err


def test_traces_table(tmp_path, capsys, make_document):
    path = tmp_path / "db.sqlite3"
    documents = [
        ("trc_OLDER", 1_700_000_000.0, ["shop/main.py"], {}),
        ("trc_NEWER", 1_700_000_100.0, ["tool.py", "--flag", "two words"], {7: (0.5, 1.5)}),
    ]
    for trace_id, start, argv, threads in documents:
        db.save_trace_in_sqlite(
            path, trace_id, timeout=5, msgpack=make_document(start=start, argv=argv, threads=threads)
        )

    status, out, _ = run_cli(capsys, "traces", "--db", str(path))
    assert status == 0
    header, newer, older = out.rstrip("\n").split("\n")
    assert newer.startswith("trc_NEWER") and older.startswith("trc_OLDER")
    assert time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(1_700_000_100.0)) in newer
    assert newer.endswith("tool.py --flag 'two words'") and older.endswith("shop/main.py")
    # Aligned: every column starts at the header's offset.
    for column in ("STARTED", "COMMAND"):
        offset = header.index(column)
        assert newer[offset - 2 : offset] == "  " and newer[offset] != " "
        assert older[offset - 2 : offset] == "  " and older[offset] != " "
    # Record counts sit right-aligned under RECORDS.
    end = header.index("RECORDS") + len("RECORDS")
    assert newer[:end].split()[-1] == "4" and older[:end].split()[-1] == "2"

    status, out, _ = run_cli(capsys, "traces", "--db", str(path), "--limit", "1")
    assert status == 0 and "trc_NEWER" in out and "trc_OLDER" not in out


def test_traces_without_database_or_traces(tmp_path, capsys, monkeypatch, make_document):
    monkeypatch.chdir(tmp_path)
    status, out, err = run_cli(capsys, "traces")
    assert (status, out) == (1, "") and "no trace database at .nefa/db.sqlite3" in err

    db.save_trace_in_sqlite(tmp_path / "empty.db", "trc_x", timeout=5, msgpack=make_document())
    with sqlite3.connect(tmp_path / "empty.db") as conn:
        conn.execute("DELETE FROM traces")
    # pyproject.toml names the default database.
    (tmp_path / "pyproject.toml").write_text('[tool.nefa]\ndb = "empty.db"\n')
    status, out, _ = run_cli(capsys, "traces")
    assert status == 0 and "No traces stored in empty.db" in out


@pytest.mark.parametrize(
    "argv, status, message",
    [
        (["traces", "--limit", "0"], 2, "expected 1 or more"),
        (["traces", "--limit", "many"], 2, "expected a whole number"),
        (["run"], 2, "nothing to run"),
        (["run", "--bogus", "x.py"], 2, "unrecognized option '--bogus'"),
        (["run", "--db"], 2, "--db expects a value"),
        (["run", "--include", "", "x.py"], 2, "empty pattern"),
        (["run", "--memory-budget", "lots", "x.py"], 2, "memory_budget: expected a size such as 512M or 2G"),
        (["run", "--memory-budget"], 2, "--memory-budget expects a value"),
        (["run", "--engine", "fast", "x.py"], 2, "engine: expected one of 'monitoring', 'profile', got 'fast'"),
        (["run", "missing.py"], 2, "can't open file"),
        (["run", "-m", "no_such_module_here"], 1, "No module named 'no_such_module_here'"),
        (["frobnicate"], 2, "unknown command 'frobnicate'"),
        ([], 2, "no command given"),
    ],
)
def test_usage_errors(tmp_path, capsys, monkeypatch, argv, status, message):
    monkeypatch.chdir(tmp_path)
    got, out, err = run_cli(capsys, *argv)
    assert got == status
    assert message in err
    assert not (tmp_path / ".nefa").exists()


def test_run_stops_parsing_at_the_program():
    command = cli.RunCommand()
    settings, target = command.parse(["--no-threads", "--include=src/", "--ignore", "gen/", "app.py", "--db", "-m"])
    assert settings == {"threading": False, "include": ["src/"], "ignore": ["gen/"]}
    assert (target.name, target.args, target.is_module) == ("app.py", ["--db", "-m"], False)

    settings, target = command.parse(
        ["--lightweight", "--memory-budget=512M", "--engine", "profile", "-m", "pkg.tool", "--help"]
    )
    assert settings == {"lightweight_repr": True, "memory_budget": "512M", "engine": "profile"}
    assert (target.name, target.args, target.is_module) == ("pkg.tool", ["--help"], True)

    _, target = command.parse(["--", "-odd-name.py", "x"])
    assert (target.name, target.args) == ("-odd-name.py", ["x"])


def test_help_and_version(capsys):
    for argv, expected in [(["--help"], "traces"), (["run", "--help"], "-m MODULE"), (["--version"], "nefa ")]:
        status, out, _ = run_cli(capsys, *argv)
        assert status == 0 and expected in out
