"""What gets a default record: the caller rule for attrs, nefa's own files,
undecodable file names, and the per-code decision shared by profilers."""

import re
from pathlib import Path

import pytest
from nefa_native_support import events, run_traced

REPO = Path(__file__).resolve().parents[2]

ATTRS_PROGRAM = """
from harness import start, finish
import attr._make as make
import relay
def user():
    return 1
p = start()
make.call(user)            # called straight from attr/_make.py: skipped
relay.call(make.call, user)  # user <- attr/_make.py, through nothing else: skipped
make.call_through_blank(user)  # user <- "" <- attr/_make.py: skipped
user()                     # called from main.py: recorded
finish(p)
"""

ATTRS_FILES = {
    "attr/__init__.py": "",
    "attr/_make.py": (
        "def call(f):\n"
        "    return f()\n"
        "def call_through_blank(f):\n"
        "    ns = {'f': f}\n"
        "    exec(compile('def blank():\\n    return f()\\n', '', 'exec'), ns)\n"
        "    return ns['blank']()\n"
    ),
    "relay.py": "def call(g, f):\n    return g(f)\n",
}


def test_user_code_called_from_attrs_is_skipped(tmp_path):
    result = run_traced(tmp_path, ATTRS_PROGRAM, files=ATTRS_FILES)
    user_events = [e for e in events(result.document["frames_of_interest"]) if e[0] == "user"]
    assert user_events == [("user", "call"), ("user", "return")]


def test_caller_rule_looks_no_further_than_two_levels(tmp_path):
    # user <- "" <- "" <- attr/_make.py: the caller's caller has an empty name
    # too, and no further level is examined, so the frame is recorded.
    files = dict(ATTRS_FILES)
    files["attr/_make.py"] += (
        "def call_through_two_blanks(f):\n"
        "    ns = {'f': f}\n"
        "    exec(compile('def blank1():\\n    return f()\\n', '', 'exec'), ns)\n"
        "    exec(compile('def blank2():\\n    return blank1()\\n', '', 'exec'), ns)\n"
        "    return ns['blank2']()\n"
    )
    result = run_traced(
        tmp_path,
        """
        from harness import start, finish
        import attr._make as make
        def user():
            return 1
        p = start()
        make.call_through_two_blanks(user)
        finish(p)
        """,
        files=files,
    )
    assert [e for e in events(result.document["frames_of_interest"]) if e[0] == "user"] == [
        ("user", "call"),
        ("user", "return"),
    ]


def _own_fragments():
    source = (REPO / "src" / "filters" / "builtin_filters.cpp").read_text()
    block = source[source.index("NEFA_FINDERS()") :]
    block = block[: block.index("};")]
    return re.findall(r'SubstringFinder\("(/nefa/[^"]+)"\)', block)


def test_own_filter_covers_exactly_the_host_packages_internal_modules():
    import nefa

    package = Path(nefa.__file__).parent
    fragments = _own_fragments()
    assert len(fragments) == 16
    internal = {f"/nefa/{p.name}" for p in package.glob("*.py")}
    internal |= {
        f"/nefa/{p.name}/"
        for p in package.iterdir()
        if p.is_dir() and p.name not in ("plugins", "__pycache__") and (p / "__init__.py").exists()
    }
    # Every internal module is kept out of traces, and every fragment names
    # something that exists; the plugin modules are traced like user code.
    assert internal == set(fragments)
    assert not any("/plugins" in f for f in fragments)


def test_undecodable_file_name_is_recorded_with_replacement_characters(tmp_path):
    result = run_traced(
        tmp_path,
        """
        import os
        from harness import start, finish
        name = os.path.join(os.getcwd(), "caf\\udce9.py")
        code = compile("def probe():\\n    return 1\\n", name, "exec")
        namespace = {"__name__": "generated"}
        exec(code, namespace)
        p = start()
        namespace["probe"]()
        finish(p)
        """,
    )
    records = result.document["frames_of_interest"]
    assert [r["path"] for r in records] == ["caf\ufffd.py:1", "caf\ufffd.py:2"]


def test_each_profiler_keeps_its_own_verdict_for_a_code_object(tmp_path):
    # The decision is cached on the code object; a second profiler with other
    # patterns must not inherit the first one's verdict.
    result = run_traced(
        tmp_path,
        """
        import json
        from harness import start, finish, emit
        import helpers
        first = start({"filters": {"ignore_frames": ["helpers.py"]}})
        helpers.helper(); json.dumps(1)
        emit(first.rust_profiler.build_trace())
        second = start({"filters": {"include_frames": ["json/"]}})
        helpers.helper(); json.dumps(1)
        finish(second)
        third = start({"filters": {"ignore_frames": ["helpers.py"]}})
        helpers.helper(); json.dumps(1)
        finish(third)
        """,
        files={"helpers.py": "def helper():\n    return [1]\n"},
    )
    from nefa_native_support import decode

    first, second, third = (decode(d)["frames_of_interest"] for d in result.outputs)
    names = lambda records: {r["co_name"] for r in records}  # noqa: E731
    assert names(first) == set()
    assert {"helper", "dumps"} <= names(second)
    assert names(third) == set()


@pytest.mark.parametrize("key, recorded", [("include_frames", True), ("ignore_frames", False)])
def test_empty_pattern_matches_every_file(tmp_path, key, recorded):
    result = run_traced(
        tmp_path,
        f"""
        import json
        from harness import start, finish
        def work():
            return json.dumps(1)
        p = start({{"filters": {{{key!r}: [""]}}}})
        work()
        finish(p)
        """,
    )
    names = {r["co_name"] for r in result.document["frames_of_interest"]}
    assert ("work" in names) is recorded
    assert ("dumps" in names) is recorded
