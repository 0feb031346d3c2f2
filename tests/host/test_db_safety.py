"""Which files nefa writes traces into, and how it opens them."""

import ctypes
import hashlib
import json
import os
import sqlite3
import stat
import subprocess
import sys
import textwrap
import threading

import pytest

from nefa import db


def save(path, trace_id, document, timeout=5):
    db.save_trace_in_sqlite(path, trace_id, timeout=timeout, msgpack=document)


def digest(path):
    return hashlib.sha256(path.read_bytes()).hexdigest()


def mode(path):
    return stat.S_IMODE(os.stat(path).st_mode)


@pytest.fixture
def nefa_db(tmp_path, make_document):
    path = tmp_path / "traces.db"
    save(path, "trc_kept", make_document())
    return path


def _foreign_tables(path):
    with sqlite3.connect(path) as conn:
        conn.execute("CREATE TABLE accounts (id INTEGER PRIMARY KEY, owner TEXT)")
        conn.execute("INSERT INTO accounts (owner) VALUES ('ada')")


def _foreign_version_1(path):
    # An application that numbers its schema like nefa does.
    with sqlite3.connect(path) as conn:
        conn.execute("CREATE TABLE settings (key TEXT, value TEXT)")
        conn.execute("PRAGMA user_version = 1")


def _foreign_version_1_no_tables(path):
    with sqlite3.connect(path) as conn:
        conn.execute("PRAGMA user_version = 1")


def _foreign_application(path):
    with sqlite3.connect(path) as conn:
        conn.execute("PRAGMA application_id = 1234")


def _nefa_tables_and_more(path, make_document):
    save(path, "trc_x", make_document())
    with sqlite3.connect(path) as conn:
        conn.execute("PRAGMA application_id = 0")  # as written before the mark
        conn.execute("CREATE TABLE orders (id)")


def _truncated(path, make_document):
    save(path, "trc_x", make_document(main=[0.1] * 2000))
    data = path.read_bytes()
    path.write_bytes(data[: len(data) // 2])


def _header_only(path, make_document):
    save(path, "trc_x", make_document())
    path.write_bytes(path.read_bytes()[:60])


REFUSED = [
    ("directory", lambda p, _: p.mkdir(), "it is a directory"),
    ("text", lambda p, _: p.write_text("name,amount\nada,3\n"), "it is a text file, not an SQLite database"),
    ("binary", lambda p, _: p.write_bytes(bytes(range(256)) * 8), "it is not an SQLite database"),
    ("truncated", _truncated, "it is truncated ("),
    ("header-only", _header_only, "it is truncated (60 bytes, shorter than an SQLite header)"),
    ("foreign-tables", lambda p, _: _foreign_tables(p), "another program's database (it has tables accounts)"),
    ("foreign-version-1", lambda p, _: _foreign_version_1(p), "another program's database (it has tables settings)"),
    (
        "foreign-version-1-empty",
        lambda p, _: _foreign_version_1_no_tables(p),
        "not a nefa trace database (user_version 1, no tables)",
    ),
    ("other-application", lambda p, _: _foreign_application(p), "another application (application_id 0x000004d2)"),
    ("nefa-tables-and-more", _nefa_tables_and_more, "(it has tables orders)"),
]


@pytest.mark.parametrize("make_file, cause", [case[1:] for case in REFUSED], ids=[case[0] for case in REFUSED])
def test_unusable_files_are_refused_untouched(tmp_path, make_document, make_file, cause):
    path = tmp_path / "app.db"
    make_file(path, make_document)
    before = None if path.is_dir() else digest(path)
    journal = None if path.is_dir() else path.read_bytes()[18:20]

    for attempt in (lambda: db.prepare_database(path, timeout=1), lambda: db.list_traces(path, timeout=1)):
        with pytest.raises(db.DatabaseError) as refusal:
            attempt()
        message = str(refusal.value)
        assert message.startswith(f"cannot use {path} as a trace database: it ") and cause in message
        assert "\n" not in message

    if before is not None:
        assert digest(path) == before  # not a byte changed: no tables, no WAL switch, no user_version
        assert path.read_bytes()[18:20] == journal
        if journal != b"\x02\x02":
            assert not (tmp_path / "app.db-wal").exists()  # still in its own journal mode


def test_old_unmarked_database_is_accepted_and_marked_on_write(tmp_path, make_document):
    path = tmp_path / "old.db"
    save(path, "trc_old", make_document(start=1000.0))
    with sqlite3.connect(path) as conn:
        conn.execute("PRAGMA application_id = 0")

    # Reading changes nothing ...
    assert [t.id for t in db.list_traces(path)] == ["trc_old"]
    with sqlite3.connect(path) as conn:
        assert conn.execute("PRAGMA application_id").fetchone()[0] == 0
    # ... the next write marks it.
    save(path, "trc_new", make_document(start=2000.0))
    with sqlite3.connect(path) as conn:
        assert conn.execute("PRAGMA application_id").fetchone()[0] == db.APPLICATION_ID
    assert [t.id for t in db.list_traces(path)] == ["trc_new", "trc_old"]


def test_new_database_is_private_whatever_the_umask(tmp_path, make_document):
    path = tmp_path / "made" / "here" / "db.sqlite3"
    (tmp_path / "shared").mkdir(mode=0o755)
    old = os.umask(0)
    try:
        save(path, "trc_1", make_document())
        save(tmp_path / "shared" / "db.sqlite3", "trc_2", make_document())
        # Side files exist while a connection is open.
        conn = sqlite3.connect(path)
        conn.execute("SELECT count(*) FROM traces").fetchone()
        try:
            assert {mode(f"{path}{suffix}") for suffix in ("", "-wal", "-shm")} == {0o600}
        finally:
            conn.close()
    finally:
        os.umask(old)
    assert mode(tmp_path / "made") == mode(tmp_path / "made" / "here") == 0o700
    assert mode(tmp_path / "shared") == 0o755  # an existing directory is the user's business
    with sqlite3.connect(path) as conn:
        assert conn.execute("PRAGMA application_id").fetchone()[0] == db.APPLICATION_ID


def test_reading_connection_is_read_only(nefa_db):
    before = digest(nefa_db)
    conn = db.connect(nefa_db, timeout=1, create=False)
    try:
        with pytest.raises(sqlite3.OperationalError, match="readonly"):
            conn.execute("DELETE FROM traces")
    finally:
        conn.close()
    assert digest(nefa_db) == before
    with pytest.raises(db.DatabaseNotFoundError):
        db.list_traces(nefa_db.parent / "absent.db")
    assert not (nefa_db.parent / "absent.db").exists()


KEPT_ID = "trc_01ARZ3NDEKTSV4RRFFQ69G5FAV"  # as the profiler makes them


def test_failed_store_keeps_the_document_and_import_stores_it_once(nefa_db, make_document, capsys):
    db.take_unsaved()
    document = make_document(start=5000.0, trace_id=KEPT_ID)
    blocker = sqlite3.connect(nefa_db, isolation_level=None)
    blocker.execute("BEGIN EXCLUSIVE")
    try:
        with pytest.raises(db.TraceNotStoredError) as failure:
            save(nefa_db, KEPT_ID, document, timeout=0)
    finally:
        blocker.close()

    kept = nefa_db.parent / f"unsaved-{KEPT_ID}.msgpack"
    assert failure.value.path == kept and failure.value.trace_id == KEPT_ID
    assert str(failure.value) == (
        f"could not store trace {KEPT_ID} in {nefa_db}: database is locked; it was written to {kept} "
        f"(store it later with `nefa import {kept}`)"
    )
    assert kept.read_bytes() == document and mode(kept) == 0o600
    assert db.take_unsaved() == [failure.value] and db.take_unsaved() == []

    from nefa import cli

    assert cli.main(["import", str(kept), "--db", str(nefa_db)]) == 0
    assert f"stored trace {KEPT_ID}" in capsys.readouterr().err
    assert db.read_trace_parts(nefa_db, KEPT_ID) == [document]
    assert cli.main(["import", str(kept), "--db", str(nefa_db)]) == 0  # again: nothing added
    assert "already stored" in capsys.readouterr().err
    assert db.get_trace(nefa_db, KEPT_ID).part_count == 1


@pytest.mark.parametrize(
    "content, status, message",
    [
        (None, 1, "no such file"),
        (b"", 4, "not a readable trace document"),
        (b"\x81\xa9timestamp\xcbA\xd9\x00\x00\x00\x00\x00\x00", 4, "its trace_id is None"),
        ("directory", 1, "it is a directory"),
    ],
    ids=["missing", "empty", "no-trace-id", "directory"],
)
def test_import_refuses_what_is_not_a_kept_trace(tmp_path, capsys, content, status, message):
    from nefa import cli

    source = tmp_path / "unsaved-x.msgpack"
    if content == "directory":
        source.mkdir()
    elif content is not None:
        source.write_bytes(content)
    assert cli.main(["import", str(source), "--db", str(tmp_path / "db.sqlite3")]) == status
    (line,) = capsys.readouterr().err.splitlines()
    assert line.startswith("nefa: error: ") and message in line and str(source) in line


@pytest.mark.parametrize("trace_id", ["../../etc/passwd", "trc_" + "A" * 100_000, "trc_test"])
def test_import_refuses_an_id_the_profiler_does_not_make(tmp_path, make_document, capsys, trace_id):
    from nefa import cli

    source = tmp_path / "unsaved-x.msgpack"
    source.write_bytes(make_document(trace_id=trace_id))
    assert cli.main(["import", str(source), "--db", str(tmp_path / "db.sqlite3")]) == 4
    (line,) = capsys.readouterr().err.splitlines()
    assert "is not one nefa makes" in line and len(line) < 300
    assert not (tmp_path / "db.sqlite3").exists() or db.list_traces(tmp_path / "db.sqlite3") == []


def test_import_never_adds_a_document_to_an_existing_trace(nefa_db, make_document, capsys):
    from nefa import cli

    save(nefa_db, KEPT_ID, make_document(trace_id=KEPT_ID, start=5000.0))
    source = nefa_db.parent / "foreign.msgpack"
    source.write_bytes(make_document(trace_id=KEPT_ID, start=6000.0))
    assert cli.main(["import", str(source), "--db", str(nefa_db)]) == 4
    (line,) = capsys.readouterr().err.splitlines()
    assert f"trace {KEPT_ID} is already stored" in line and "not imported" in line
    assert db.get_trace(nefa_db, KEPT_ID).part_count == 1


def test_import_into_a_foreign_database_is_refused(tmp_path, make_document, capsys):
    from nefa import cli

    target = tmp_path / "app.db"
    _foreign_tables(target)
    source = tmp_path / "unsaved-trc_test.msgpack"
    source.write_bytes(make_document(trace_id=KEPT_ID))
    assert cli.main(["import", str(source), "--db", str(target)]) == 3
    assert "another program's database" in capsys.readouterr().err


# --- permissions, checked without root's exemptions ------------------------


def _drop_file_privileges():
    # Root ignores file modes through these capabilities; without them in
    # the bounding set, the child (still uid 0) is held to the modes.
    libc = ctypes.CDLL(None, use_errno=True)
    for capability in (1, 2, 3):  # CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_FOWNER
        libc.prctl(24, capability, 0, 0, 0)  # PR_CAPBSET_DROP


def run_held_to_file_modes(tmp_path, code):
    """Runs ``code`` in a child that file modes apply to, even as root;
    returns what it printed as JSON.  Skips where that cannot be had."""
    probe = tmp_path / "probe"
    probe.mkdir(mode=0o555)
    probe.chmod(0o555)
    preexec = _drop_file_privileges if os.geteuid() == 0 else None
    env = {**os.environ, "PYTHONFAULTHANDLER": "1", "TMPDIR": str(tmp_path / "tmp")}
    (tmp_path / "tmp").mkdir()
    check = subprocess.run(
        [sys.executable, "-c", f"open({str(probe / 'x')!r}, 'w')"], preexec_fn=preexec, capture_output=True, env=env
    )
    if check.returncode == 0:
        pytest.skip("file modes do not bind here (privileges cannot be dropped)")
    result = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        preexec_fn=preexec,
        cwd=tmp_path,
        capture_output=True,
        text=True,
        env=env,
        timeout=120,
    )
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout)


def test_read_only_directory_and_files(tmp_path, make_document):
    shut = tmp_path / "shut"
    shut.mkdir()
    save(shut / "db.sqlite3", "trc_a", make_document())  # WAL mode, closed cleanly: no side files
    save(shut / "pending.db", "trc_b", make_document())
    (shut / "pending.db-wal").write_bytes(b"\x00" * 64)  # a log still waiting for a checkpoint
    private = tmp_path / "private.db"
    save(private, "trc_c", make_document())
    private.chmod(0o400)
    unreadable = tmp_path / "unreadable.db"
    save(unreadable, "trc_d", make_document())
    unreadable.chmod(0)
    document = tmp_path / "doc.msgpack"
    document.write_bytes(make_document())
    shut.chmod(0o555)
    try:
        got = run_held_to_file_modes(
            tmp_path,
            """
            import json, os
            from nefa import db

            def outcome(call):
                try:
                    return call()
                except db.DatabaseError as error:
                    return str(error)

            out = {
                "listed": [t.id for t in db.list_traces("shut/db.sqlite3")],
                "side_files": sorted(os.listdir("shut")),
                "pending": outcome(lambda: db.list_traces("shut/pending.db")),
                "write_shut": outcome(lambda: db.prepare_database("shut/db.sqlite3")),
                "write_private": outcome(lambda: db.prepare_database("private.db")),
                "read_private": [t.id for t in db.list_traces("private.db")],
                "unreadable": outcome(lambda: db.list_traces("unreadable.db")),
                "create_in_shut": outcome(lambda: db.prepare_database("shut/new/db.sqlite3")),
            }
            try:
                db.save_trace_in_sqlite("shut/db.sqlite3", "trc_e", timeout=1,
                                        msgpack=open("doc.msgpack", "rb").read())
            except db.TraceNotStoredError as error:
                out["kept"] = str(error.path)
            print(json.dumps(out))
        """,
        )
    finally:
        shut.chmod(0o755)
    assert got["listed"] == ["trc_a"]
    assert got["side_files"] == ["db.sqlite3", "pending.db", "pending.db-wal"]
    assert got["pending"].startswith("cannot use shut/pending.db as a trace database: its write-ahead log")
    assert got["write_shut"].endswith("no permission to write in its directory shut (SQLite keeps its journal there)")
    assert got["write_private"] == "cannot use private.db as a trace database: no permission to write it"
    assert got["read_private"] == ["trc_c"]
    assert got["unreadable"] == "cannot use unreadable.db as a trace database: no permission to read it"
    assert got["create_in_shut"].startswith(
        "cannot use shut/new/db.sqlite3 as a trace database: cannot create its directory shut/new: Permission denied"
    )
    # The database's folder cannot be written: the trace went to the temporary folder.
    assert got["kept"] == str(tmp_path / "tmp" / "unsaved-trc_e.msgpack")
    assert (tmp_path / "tmp" / "unsaved-trc_e.msgpack").read_bytes() == document.read_bytes()


def test_savers_that_create_one_database_at_once_all_store(tmp_path, make_document):
    # Several processes (test workers, servers' threads) often save their
    # first trace into the same new database at the same moment: none may
    # take the half-made database for a foreign one, or give up on the lock.
    savers = 6
    documents = [make_document() for _ in range(savers)]
    failures = []
    for round_number in range(30):
        path = tmp_path / f"round{round_number}" / "traces.db"
        start = threading.Barrier(savers)

        def store(index):
            start.wait()
            try:
                save(path, f"trc_{round_number}_{index}", documents[index], timeout=30)
            except Exception as error:  # collected: a thread's exception would be lost
                failures.append(f"round {round_number}: {error}")

        threads = [threading.Thread(target=store, args=(index,)) for index in range(savers)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        assert not failures, failures[0]
        assert sorted(summary.id for summary in db.list_traces(path)) == sorted(
            f"trc_{round_number}_{index}" for index in range(savers)
        )
