"""Reading stored traces back as call trees."""

import msgpack
import pytest

from nefa.traces.tree import TraceFormatError, load_trace, parse_documents


def assert_well_nested(thread):
    """Children lie within their parents and siblings follow each other."""
    for frame in thread.frames():
        assert frame.start <= frame.end
        previous_end = frame.start
        for child in frame.children:
            assert child.parent is frame
            assert frame.start <= child.start <= child.end <= frame.end
            assert child.start >= previous_end
            previous_end = child.end


def children_named(frame, name):
    return [child for child in frame.children if child.kind == "frame" and child.co_name == name]


class TestRecordedTraces:
    def test_threads_and_nesting(self, recorded):
        trace = load_trace(*recorded)
        assert [thread.name for thread in trace.threads] == ["MainThread", "helper"]
        main_thread, helper = trace.threads
        assert main_thread.is_main and not helper.is_main
        assert trace.record_count == sum(thread.record_count for thread in trace.threads)
        for thread in trace.threads:
            assert_well_nested(thread)
            assert all(frame.called and frame.returned for frame in thread.frames() if frame.co_name != "worker")
        (module,) = main_thread.roots
        (main,) = children_named(module, "main")
        assert main.qualname == "__main__.main" and main.path == "program.py:17"
        assert main.return_value == 9 and main.return_line == 26
        assert trace.start <= main.start <= main.end <= trace.end

    def test_generators_exceptions_and_recursion(self, recorded):
        trace = load_trace(*recorded)
        main = children_named(trace.threads[0].roots[0], "main")[0]
        # One frame per resumption: three values and the final exhaustion.
        slices = children_named(main, "countdown")
        assert [s.return_value for s in slices] == [3, 2, 1, None]
        assert [s.resumed for s in slices] == [False, True, True, True]
        assert [s.arguments for s in slices] == [{"n": 3}, {"n": 3}, {"n": 2}, {"n": 1}]
        (fail,) = children_named(main, "fail")
        assert fail.returned and fail.return_value is None and fail.arguments == {"reason": "boom"}
        (fib,) = children_named(main, "fib")
        assert sum(1 for _ in fib.frames()) == 9
        assert [c.arguments["n"] for c in children_named(fib, "fib")] == [3, 2]
        assert fib.locals == {"n": 4}

    def test_thread_started_inside_a_function(self, recorded):
        helper = load_trace(*recorded).threads[1]
        # Its hook came in after worker() was entered: the return without a
        # call becomes a frame around what was recorded before it.
        (worker,) = helper.roots
        assert worker.co_name == "worker" and worker.return_value == 10
        assert [child.co_name for child in worker.children] == ["countdown"] * 5

    def test_without_values(self, recorded):
        trace = load_trace(*recorded, values=False)
        frames = list(trace.frames())
        assert frames and not any(frame.has_values for frame in frames)
        assert all(frame.arguments is None and frame.return_value is None for frame in frames)


class TestUnbalancedStreams:
    def test_orphan_returns_wrap_what_came_before(self, records, pack):
        thread = records()
        leaf = thread.call("app.leaf", 0.1)
        thread.ret("app.leaf", 0.2, leaf, value=1)
        thread.ret("app.inner", 0.3, "frm_inner", value=2, line=9)
        thread.ret("app.outer", 0.4, "frm_outer", line=20)
        (outer,) = parse_documents([pack(thread)]).threads[0].roots
        (inner,) = outer.children
        assert (outer.co_name, inner.co_name, inner.children[0].co_name) == ("outer", "inner", "leaf")
        assert not outer.called and not inner.called and inner.returned
        assert inner.return_value == 2 and inner.path == "app.py:9"
        assert outer.start == inner.start == leaf_start(inner)

    def test_calls_without_return_close_at_the_end(self, records, pack):
        thread = records()
        outer = thread.call("app.outer", 0.0)
        thread.call("app.never_returns", 0.1)
        done = thread.call("app.done", 0.2)
        thread.ret("app.done", 0.5, done)
        # outer returns while a frame above it is still open (its return lost).
        thread.ret("app.outer", 0.6, outer)
        thread.call("app.crashes", 0.7)
        thread.plugin("log", 0.9, message="last words")
        trace = parse_documents([pack(thread)])
        outer_frame, crashed = trace.threads[0].roots
        (never,) = outer_frame.children
        assert never.end == 0.6 + 1_700_000_000.0 and not never.returned and outer_frame.returned
        assert never.children[0].co_name == "done"
        assert crashed.end == trace.end and not crashed.returned
        assert crashed.children[0].kind == "event"

    def test_return_without_frame_id_matches_by_name(self, records, pack):
        thread = records()
        thread.call("app.f", 0.0)
        thread.ret("app.f", 0.1, None, value="ok")
        (frame,) = parse_documents([pack(thread)]).threads[0].roots
        assert frame.called and frame.returned and frame.return_value == "ok"

    def test_timestamps_never_go_back(self, records, pack):
        thread = records()
        outer = thread.call("app.outer", 0.5)
        inner = thread.call("app.inner", 0.4)
        thread.ret("app.inner", 0.45, inner)
        thread.ret("app.outer", 0.3, outer)
        assert_well_nested(parse_documents([pack(thread)]).threads[0])


class TestLayouts:
    def test_interleaved_threads_are_separated(self, records, pack):
        main, other = records(1, "MainThread"), records(2, "other")
        a = main.call("app.a", 0.1)
        b = other.call("app.b", 0.15)
        main.ret("app.a", 0.2, a)
        other.ret("app.b", 0.25, b)
        trace = parse_documents([pack(main, [other], interleave=True)])
        assert [(t.name, t.is_main, [r.co_name for r in t.roots]) for t in trace.threads] == [
            ("MainThread", True, ["a"]),
            ("other", False, ["b"]),
        ]

    def test_parts_are_read_in_order(self, records, pack, store):
        first, second = records(), records()
        first.ret("app.first", 0.1, "frm_a")
        second.call("app.second", 5.0)
        path = store("trc_parts", pack(first), pack(second, start=1_700_000_004.0))
        trace = load_trace(path, "trc_parts")
        assert trace.part_count == 2
        assert [root.co_name for root in trace.threads[0].roots] == ["first", "second"]
        assert trace.duration == pytest.approx(5.0)

    def test_plugin_records_sit_where_they_happened(self, records, pack):
        thread = records()
        test = thread.call("tests.test_checkout", 0.1)
        thread.plugin("start_test", 0.1, name="test_checkout")
        outer = thread.call("app.handler", 0.2)
        thread.plugin("http_request", 0.3, subtype="GET", url="/cart", headers={("a", 1): "tuple key"})
        thread.ret("app.handler", 0.4, outer)
        thread.plugin("end_test", 0.5, outcome="passed")
        thread.ret("tests.test_checkout", 0.6, test)
        (frame,) = parse_documents([pack(thread)]).threads[0].roots
        kinds = [(child.kind, getattr(child, "label", None)) for child in frame.children]
        assert kinds == [("event", "start_test"), ("frame", None), ("event", "end_test")]
        (request,) = frame.children[1].children
        assert request.label == "http_request:GET" and request.parent is frame.children[1]
        assert request.data == {"url": "/cart", "headers": {("a", 1): "tuple key"}}

    def test_dict_with_tuple_keys_in_locals(self, records, pack):
        thread = records()
        frame_id = thread.call("app.f", 0.0, locals={"grid": {(0, 1): "x"}})
        thread.ret("app.f", 0.1, frame_id, value={(2, 3): [1]})
        (frame,) = parse_documents([pack(thread)]).threads[0].roots
        assert frame.arguments == {"grid": {(0, 1): "x"}} and frame.return_value == {(2, 3): [1]}

    def test_damaged_documents(self, records, pack):
        with pytest.raises(TraceFormatError):
            parse_documents([msgpack.packb({"frames_of_interest": 3})[:-1] + b"\xc1"])
        # A record that is not a map is passed over.
        thread = records()
        thread.call("app.f", 0.0)
        document = msgpack.unpackb(pack(thread))
        document["frames_of_interest"].insert(0, 5)
        (frame,) = parse_documents([msgpack.packb(document)]).threads[0].roots
        assert frame.qualname == "app.f"


def leaf_start(frame):
    while frame.children:
        frame = frame.children[0]
    return frame.start


def test_recorded_plugin_records(record_program):
    database, trace_id = record_program("""
        import logging

        def work(n):
            logging.getLogger("shop").warning("restocking %d", n)
            return n

        work(3)
    """)
    trace = load_trace(database, trace_id)
    events = [node for thread in trace.threads for node, _ in thread.nodes() if node.kind == "event"]
    if not events:
        pytest.skip("this build records no plugin records")
    (log,) = [event for event in events if event.type == "log"]
    assert log.data["message"] == "restocking 3"
    parent = log.parent
    while parent is not None and parent.co_name != "work":
        parent = parent.parent
    assert parent is not None and parent.start <= log.timestamp <= parent.end
