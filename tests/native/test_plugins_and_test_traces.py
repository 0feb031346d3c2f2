"""Plugin records around frame records, and cutting one trace per test."""

import pytest
from nefa_native_support import decode, is_id, run_traced


@pytest.mark.parametrize(
    "fragment, co_name, frame_recorded",
    [("main.py", "work", True), ("json/", "dumps", False)],
)
def test_plugin_records_enclose_the_frame_record(tmp_path, fragment, co_name, frame_recorded):
    result = run_traced(
        tmp_path,
        f"""
        import json
        import nefa.plugins
        from harness import start, finish
        description = {{
            "co_names": [{co_name!r}],
            "path_fragment": {fragment!r},
            "call_type": "plugin_call",
            "return_type": "plugin_return",
            "subtype": "probe",
            "process": lambda frame, event, arg, context: {{"seen": event, "marker": context["marker"]}},
            "build_context": lambda config: {{"marker": config["marker"]}},
        }}
        nefa.plugins.load_plugin_data = lambda config: [description]
        def work():
            return json.dumps(1)
        p = start({{"marker": "from-config"}})
        work()
        finish(p)
        """,
    )
    records = [r for r in result.document["frames_of_interest"] if r.get("co_name", co_name) == co_name]
    plugin_call = {"type": "plugin_call", "subtype": "probe", "seen": "call", "marker": "from-config"}
    plugin_return = {"type": "plugin_return", "subtype": "probe", "seen": "return", "marker": "from-config"}
    expected = [plugin_call, ("frame", "call"), ("frame", "return"), plugin_return]
    if not frame_recorded:
        expected = [plugin_call, plugin_return]
    shapes = [
        (r["type"], r["event"]) if r["type"] == "frame" else {k: r[k] for k in ("type", "subtype", "seen", "marker")}
        for r in records
    ]
    assert shapes == expected
    # The two plugin records of one frame share an id of their own.
    assert records[0]["frame_id"] == records[-1]["frame_id"]
    assert is_id(records[0]["frame_id"], "frm_")
    assert records[0]["thread"] == "MainThread"


def test_one_trace_per_test(tmp_path):
    result = run_traced(
        tmp_path,
        """
        import nefa.db
        import nefa.plugins
        from harness import start, finish, emit
        saved = []
        nefa.db.save_trace_in_sqlite = lambda path, trace_id, *, timeout, msgpack: saved.append((trace_id, msgpack))
        nefa.plugins.load_plugin_data = lambda config: [
            {"co_names": ["begin_test"], "path_fragment": "main.py", "call_type": "start_test",
             "return_type": "unused", "events": ["call"]},
            {"co_names": ["finish_test"], "path_fragment": "main.py", "call_type": "unused",
             "return_type": "end_test", "events": ["return"]},
        ]
        def before():
            return 0
        def begin_test():
            return 1
        def inside():
            return 2
        def finish_test():
            return 3
        def after():
            return 4
        p = start(one_trace_per_test=True, trace_id="trc_01ARZ3NDEKTSV4RRFFQ69G5FAV")
        before()
        begin_test()
        inside()
        finish_test()
        after()
        finish(p)
        emit(saved)
        """,
    )
    document_bytes, saved = result.outputs
    [(trace_id, stored_bytes)] = saved
    stored = decode(stored_bytes)
    assert is_id(trace_id, "trc_") and trace_id != "trc_01ARZ3NDEKTSV4RRFFQ69G5FAV"
    assert stored["trace_id"] == trace_id
    # Everything before the start marker belongs to no trace.
    assert [(r["type"], r.get("co_name"), r.get("event")) for r in stored["frames_of_interest"]] == [
        ("start_test", None, None),
        ("frame", "begin_test", "call"),
        ("frame", "begin_test", "return"),
        ("frame", "inside", "call"),
        ("frame", "inside", "return"),
        ("frame", "finish_test", "call"),
        ("frame", "finish_test", "return"),
        ("end_test", None, None),
    ]
    rest = decode(document_bytes)
    assert rest["trace_id"] == trace_id
    assert [(r["type"], r["co_name"], r["event"]) for r in rest["frames_of_interest"]] == [
        ("frame", "after", "call"),
        ("frame", "after", "return"),
    ]
