"""``nefa show`` and how every trace command picks its trace."""

import io
import os
import re
import subprocess
import sys

import pytest

from nefa import cli, db
from nefa.traces.show import use_color

ANSI = re.compile(r"\x1b\[[0-9;]*m")


def run_cli(capsys, *argv):
    status = cli.main([str(arg) for arg in argv])
    out, err = capsys.readouterr()
    return status, out, err


class TestTree:
    def test_whole_tree(self, capsys, shop):
        status, out, err = run_cli(capsys, "show", "--db", shop)
        assert status == 0 and err == ""
        lines = out.splitlines()
        assert lines[0].startswith("trc_01SHOP  app.py --fast  started ")
        assert lines[1].startswith("Thread MainThread (1) · main · 3 frames · ")
        assert lines[2].startswith("__main__.<module>()  shop.py:0  10 ms")
        checkout = lines[3]
        assert checkout.startswith("  shop.Cart.checkout(self=<Cart object at 0x1>, coupon='SAVE10')")
        assert "shop/cart.py:10  5 ms" in checkout and checkout.endswith("→ {'total': 42.5}")
        assert lines[4].startswith("    shop.pricing.price(items=[1, 2])  shop/pricing.py:3  2 ms  → 42.5")
        assert lines[5].startswith("    ◆ log message='charged card', level='INFO'  @ +5 ms")
        assert lines[6].startswith("Thread packer (2) · 1 frame")
        assert lines[7].startswith("shop.shipping.pack(order=7)  shop/shipping.py:5  500 µs  → 'parcel-7'")
        assert len(lines) == 8
        assert not ANSI.search(out)

    def test_reads_come_from_the_index_not_the_whole_document(self, capsys, shop, monkeypatch):
        # Each command's output, first as it is, then with every way of
        # reading a whole document refused: reading one would fail the command.
        commands = [
            ["show"],
            ["show", "--depth", "2"],
            ["show", "--filter", "pricing"],
            ["show", "--thread", "packer"],
            ["top", "--limit", "2"],
            ["traces"],
        ]
        before = [run_cli(capsys, *command, "--db", shop) for command in commands]
        assert all(status == 0 and out for status, out, _ in before)

        def whole_document(*_args, **_kwargs):
            raise AssertionError("the whole document was read")

        from nefa.traces import reader, tree

        monkeypatch.setattr(tree, "load_trace", whole_document)
        monkeypatch.setattr(tree, "read_trace_parts", whole_document)
        monkeypatch.setattr(reader, "read_trace_parts", whole_document)
        monkeypatch.setattr(db, "read_trace_parts", whole_document)
        assert [run_cli(capsys, *command, "--db", shop) for command in commands] == before

    def test_depth(self, capsys, shop):
        _, out, _ = run_cli(capsys, "show", "--db", shop, "--depth", "2", "--thread", "MainThread")
        lines = out.splitlines()[2:]
        assert len(lines) == 2
        assert lines[1].startswith("  shop.Cart.checkout(") and lines[1].endswith("[+1 call below]")

    def test_a_deep_recursion_is_indented_so_far_and_says_its_depth(self, capsys, records, pack, store):
        thread = records()
        frames = [thread.call("app.down", level * 1e-6) for level in range(150)]
        for level, frame_id in enumerate(reversed(frames)):
            thread.ret("app.down", (150 + level) * 1e-6, frame_id)
        status, out, _ = run_cli(capsys, "show", "--db", store("trc_deep", pack(thread, trace_id="trc_deep")))
        lines = out.splitlines()[2:]
        assert status == 0 and len(lines) == 150
        assert lines[100].startswith("  " * 100 + "app.down()")
        for depth in (102, 150):
            assert lines[depth - 1].startswith("  " * 100 + f"[depth {depth}] app.down()"), depth

    def test_filter_keeps_ancestors_and_subtree(self, capsys, shop):
        _, out, _ = run_cli(capsys, "show", "--db", shop, "--filter", "CART.CHECK")
        names = [line.strip().split("(")[0].split("  ")[0] for line in out.splitlines()[2:]]
        assert names == [
            "__main__.<module>",
            "shop.Cart.checkout",
            "shop.pricing.price",
            "◆ log message='charged card', level='INFO'",
        ]
        # Paths match too; threads without a match are left out.
        _, out, _ = run_cli(capsys, "show", "--db", shop, "--filter", "shipping.py")
        assert "Thread MainThread" not in out and "shop.shipping.pack(order=7)" in out
        _, out, _ = run_cli(capsys, "show", "--db", shop, "--filter", "nothing-like-this")
        assert out.splitlines()[1:] == ["No frame matches 'nothing-like-this'."]

    @pytest.mark.parametrize("wanted", ["packer", "2", "PACK"])
    def test_thread_by_name_or_id(self, capsys, shop, wanted):
        status, out, _ = run_cli(capsys, "show", "--db", shop, "--thread", wanted)
        assert status == 0 and "Thread packer (2)" in out and "MainThread" not in out

    def test_unknown_thread(self, capsys, shop):
        status, out, err = run_cli(capsys, "show", "--db", shop, "--thread", "nope")
        assert status == 1 and "no thread 'nope'" in err and "MainThread (1), packer (2)" in err

    def test_colour(self, capsys, shop, monkeypatch):
        _, out, _ = run_cli(capsys, "show", "--db", shop, "--color", "always")
        assert "\x1b[1;35m◆ log\x1b[0m" in out and "\x1b[33m2 ms\x1b[0m" in out
        assert ANSI.sub("", out) == run_cli(capsys, "show", "--db", shop)[1]

        class Terminal(io.StringIO):
            def isatty(self):
                return True

        monkeypatch.delenv("NO_COLOR", raising=False)
        monkeypatch.setenv("TERM", "xterm")
        assert use_color(Terminal()) and not use_color(io.StringIO())
        monkeypatch.setenv("NO_COLOR", "1")
        assert not use_color(Terminal()) and use_color(Terminal(), "always")

    def test_no_colour_when_piped(self, shop):
        env = {key: value for key, value in os.environ.items() if key != "NO_COLOR"}
        done = subprocess.run(
            [sys.executable, "-m", "nefa", "show", "--db", str(shop)],
            capture_output=True,
            text=True,
            env=env,
            timeout=60,
        )
        assert done.returncode == 0 and "shop.Cart.checkout" in done.stdout
        assert not ANSI.search(done.stdout)


class TestChoosingTheTrace:
    @pytest.fixture
    def database(self, records, pack, store):
        for trace_id, start in (
            ("trc_01AAAA1111", 1_700_000_000.0),
            ("trc_01AAAA2222", 1_700_000_100.0),
            ("trc_01BBBB3333", 1_700_000_050.0),
        ):
            thread = records()
            thread.call(f"app.{trace_id[-4:]}", 0.1)
            path = store(trace_id, pack(thread, trace_id=trace_id, start=start))
        return path

    @pytest.mark.parametrize("command", ["show", "export", "view"])
    def test_newest_by_default(self, capsys, database, tmp_path, command):
        output = ["-o", tmp_path / "out"] if command != "show" else []
        status, out, _ = run_cli(capsys, command, "--db", database, *output)
        assert status == 0
        if command == "show":
            assert out.startswith("trc_01AAAA2222 ")
        else:
            assert "2222" in (tmp_path / "out").read_text()

    def test_unique_prefix(self, capsys, database):
        status, out, _ = run_cli(capsys, "show", "--db", database, "trc_01BB")
        assert status == 0 and out.startswith("trc_01BBBB3333 ")

    def test_ambiguous_prefix(self, capsys, database):
        status, _, err = run_cli(capsys, "show", "--db", database, "trc_01AAAA")
        assert status == 1 and "matches 2 traces" in err and "trc_01AAAA1111" in err and "trc_01AAAA2222" in err

    @pytest.mark.parametrize("command", ["show", "export", "view"])
    def test_unknown_id_suggests_the_nearest(self, capsys, database, command):
        status, out, err = run_cli(capsys, command, "--db", database, "trc_01AAAA2223")
        assert (status, out) == (1, "")
        assert "no trace 'trc_01AAAA2223'" in err and "nearest:" in err
        suggested = err.split("nearest:")[1].split()
        assert suggested[0] == "trc_01AAAA2222" and "trc_01AAAA1111" in suggested
        assert "trc_01BBBB3333" not in suggested

    def test_unknown_id_with_nothing_near(self, capsys, database):
        _, _, err = run_cli(capsys, "show", "--db", database, "zzz")
        assert "no trace 'zzz'" in err and "nefa traces --db" in err

    def test_empty_or_missing_database(self, capsys, database, tmp_path, monkeypatch):
        with db.connect(database, timeout=5, create=True) as conn:
            conn.execute("DELETE FROM traces")
        conn.close()
        status, _, err = run_cli(capsys, "show", "--db", database)
        assert status == 1 and "no traces stored in" in err
        monkeypatch.chdir(tmp_path)
        status, _, err = run_cli(capsys, "view")
        assert status == 1 and "no trace database at .nefa/db.sqlite3" in err

    @pytest.mark.parametrize(
        "argv, message",
        [
            (["show", "--depth", "0"], "expected 1 or more"),
            (["export", "--format", "svg"], "invalid choice: 'svg'"),
            (["show", "--color", "sometimes"], "invalid choice"),
        ],
    )
    def test_usage_errors(self, capsys, database, argv, message):
        status, _, err = run_cli(capsys, *argv, "--db", database)
        assert status == 2 and message in err
