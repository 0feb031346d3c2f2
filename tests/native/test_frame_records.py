"""The default frame record: its layout and what each entry says."""

import msgpack
import pytest
from nefa_native_support import decode, events, frame_records, is_id, run_traced

RECORD_KEYS = [
    "path",
    "co_name",
    "qualname",
    "event",
    "frame_id",
    "arg",
    "locals",
    "thread",
    "thread_native_id",
    "timestamp",
    "type",
    "user_code_call_site",
]


def tuple_form(items):
    """A recorded tuple, as a default reader gives it back."""
    return msgpack.ExtType(1, msgpack.packb(items))


def test_record_layout_and_frame_ids(tmp_path):
    result = run_traced(
        tmp_path,
        """
        import threading
        from harness import start, finish, emit
        def inner(x):
            return x + 1
        def outer():
            a = inner(1)
            return inner(a)
        me = threading.current_thread()
        p = start()
        outer()
        finish(p)
        emit((me.name, me.native_id))
        """,
    )
    document_bytes, (thread_name, native_id) = result.outputs
    # Decoded maps keep the order of the encoded keys.
    records = decode(document_bytes)["frames_of_interest"]
    assert [list(r) for r in records] == [RECORD_KEYS] * 6
    # Every timestamp, the document's and the records', is a float64.
    assert document_bytes.count(b"\xa9timestamp\xcb") == len(records) + 1

    assert events(records) == [
        ("outer", "call"),
        ("inner", "call"),
        ("inner", "return"),
        ("inner", "call"),
        ("inner", "return"),
        ("outer", "return"),
    ]
    ids = [r["frame_id"] for r in records]
    assert all(is_id(i, "frm_") for i in ids)
    # A return carries its call's id; every call has a fresh one.
    assert ids[0] == ids[5] and ids[1] == ids[2] and ids[3] == ids[4]
    assert len({ids[0], ids[1], ids[3]}) == 3
    assert {(r["thread"], r["thread_native_id"], r["type"]) for r in records} == {(thread_name, native_id, "frame")}
    assert [r["arg"] for r in records] == [None, None, 2, None, 3, 3]
    assert records[0]["locals"] == {} and records[5]["locals"] == {"a": 2}
    assert records[1]["locals"] == {"x": 1} and records[4]["locals"] == {"x": 2}
    # Snippets start with an empty line: outer calls inner on lines 7 and 8.
    # outer itself was called by module code, which has no record.
    assert [r["user_code_call_site"] for r in records] == [None] + [
        {"call_frame_id": ids[0], "line_number": line} for line in (7, 7, 8, 8)
    ] + [None]


def test_paths_are_relative_to_the_directory_at_registration(tmp_path):
    result = run_traced(
        tmp_path,
        """
        import os
        import sys
        from harness import start, finish, emit
        base = os.getcwd()
        sys.path[:0] = [os.path.join(base, "proj"), os.path.join(base, "projx")]
        import pkg.mod
        import other
        def local():
            return 0
        os.chdir("proj")
        p = start()
        os.chdir(base)  # later moves do not change the base
        pkg.mod.f()
        other.g()
        local()
        finish(p)
        emit(base)
        """,
        files={
            "proj/pkg/__init__.py": "",
            "proj/pkg/mod.py": "def f():\n    return 1\n",
            "projx/other.py": "\n\ndef g():\n    return 2\n",
        },
    )
    document, base = result.outputs
    records = decode(document)["frames_of_interest"]
    paths = {(r["co_name"], r["event"]): r["path"] for r in records}
    assert paths == {
        ("f", "call"): "pkg/mod.py:1",
        ("f", "return"): "pkg/mod.py:2",
        # ".../projx" starts with ".../proj" but is not inside it.
        ("g", "call"): f"{base}/projx/other.py:3",
        ("g", "return"): f"{base}/projx/other.py:4",
        ("local", "call"): f"{base}/main.py:9",
        ("local", "return"): f"{base}/main.py:10",
    }


def test_qualnames_and_module_frames(tmp_path):
    result = run_traced(
        tmp_path,
        """
        from harness import start, finish, emit
        p = start()
        import shapes
        shapes.Square.unit().area()
        shapes.outer()
        finish(p)
        emit("__builtins__" in vars(shapes))
        """,
        files={
            "shapes.py": """
                class Square:
                    def __init__(self, side):
                        self.side = side

                    @classmethod
                    def unit(cls):
                        return cls(1)

                    def area(self):
                        return self.side ** 2

                def outer():
                    def nested():
                        return 1
                    return nested()
                """
        },
    )
    document, module_keeps_builtins = result.outputs
    records = decode(document)["frames_of_interest"]
    assert {(r["co_name"], r["qualname"]) for r in records} == {
        ("<module>", "shapes.<module>"),
        ("Square", "shapes.Square"),  # the class body
        ("unit", "shapes.Square.unit"),
        ("__init__", "shapes.Square.__init__"),
        ("area", "shapes.Square.area"),
        ("outer", "shapes.outer"),
        ("nested", "shapes.outer.<locals>.nested"),
    }
    module_returns = [r for r in records if r["co_name"] == "<module>" and r["event"] == "return"]
    [module_locals] = [r["locals"] for r in module_returns]
    assert {"Square", "outer", "__name__"} <= set(module_locals)
    assert all("__builtins__" not in r["locals"] for r in records)
    assert module_keeps_builtins


def test_returns_without_a_recorded_call_and_by_exception(tmp_path):
    result = run_traced(
        tmp_path,
        """
        from harness import start, finish, emit
        def begin():
            global p
            p = start()
            return "started"
        def fail():
            raise KeyError("k")
        def catch():
            try:
                fail()
            except KeyError as error:
                return error.args
        begin()
        caught = catch()
        finish(p)
        emit(caught)
        """,
    )
    document, caught = result.outputs
    records = decode(document)["frames_of_interest"]
    assert caught == ("k",)  # the traced program saw its exception untouched
    assert [(r["co_name"], r["event"], r["arg"]) for r in records] == [
        ("begin", "return", "started"),
        ("catch", "call", None),
        ("fail", "call", None),
        ("fail", "return", None),
        ("catch", "return", tuple_form(["k"])),
    ]
    assert records[0]["frame_id"] is None and records[0]["user_code_call_site"] is None
    assert records[2]["frame_id"] == records[3]["frame_id"] != records[1]["frame_id"]


def test_generator_resumptions_are_calls_and_suspensions_returns(tmp_path):
    result = run_traced(
        tmp_path,
        """
        from harness import start, finish
        def countdown(n):
            while n:
                yield n
                n -= 1
        p = start()
        values = list(countdown(2))
        finish(p)
        """,
    )
    records = result.document["frames_of_interest"]
    assert [(r["event"], r["arg"]) for r in records] == [
        ("call", None),
        ("return", 2),
        ("call", None),
        ("return", 1),
        ("call", None),
        ("return", None),
    ]
    ids = [r["frame_id"] for r in records]
    assert ids[0::2] == ids[1::2]
    assert len(set(ids)) == 3
    assert [r["locals"]["n"] for r in records] == [2, 2, 2, 1, 1, 0]


def test_call_site_is_the_nearest_recorded_caller(tmp_path):
    result = run_traced(
        tmp_path,
        """
        import copy
        from harness import start, finish
        class Box:
            def __deepcopy__(self, memo):
                return Box()
        def duplicate():
            box = Box()
            return copy.deepcopy(box)
        p = start()
        duplicate()
        finish(p)
        """,
    )
    records = result.document["frames_of_interest"]
    assert events(records) == [
        ("duplicate", "call"),
        ("__deepcopy__", "call"),
        ("__deepcopy__", "return"),
        ("duplicate", "return"),
    ]
    # copy.deepcopy's own frames in between are not recorded, and not pointed at.
    site = {"call_frame_id": records[0]["frame_id"], "line_number": 9}
    assert [r["user_code_call_site"] for r in records] == [None, site, site, None]


def test_thread_name_is_fixed_at_the_first_record(tmp_path):
    result = run_traced(
        tmp_path,
        """
        import threading
        from harness import start, finish
        def work():
            return 1
        p = start()
        work()
        threading.current_thread().name = "renamed"
        work()
        finish(p)
        """,
    )
    assert {r["thread"] for r in result.document["frames_of_interest"]} == {"MainThread"}


@pytest.mark.parametrize(
    "setting, expected",
    [
        ({"lightweight_repr": True}, "light"),
        ({"lightweight_repr": False}, "full"),
        ({}, "full"),
        ({"lightweight_repr": 1}, "full"),
    ],
)
def test_lightweight_repr_picks_the_serialiser(tmp_path, setting, expected):
    result = run_traced(
        tmp_path,
        f"""
        import msgpack
        import nefa.serialize
        from harness import start, finish
        nefa.serialize.dump_msgpack = lambda value: msgpack.packb("full")
        nefa.serialize.dump_msgpack_lightweight_repr = lambda value: msgpack.packb("light")
        def work(x):
            return x
        p = start({setting!r})
        work(5)
        finish(p)
        """,
    )
    records = result.document["frames_of_interest"]
    assert len(records) == 2
    assert {r["arg"] for r in records} | {r["locals"] for r in records} == {expected}


@pytest.mark.parametrize("convert", ["bytes", "bytearray", "list"])
def test_serialiser_may_return_any_byte_sequence(tmp_path, convert):
    result = run_traced(
        tmp_path,
        f"""
        import nefa.serialize
        from harness import start, finish
        real = nefa.serialize.dump_msgpack
        nefa.serialize.dump_msgpack = lambda value: {convert}(real(value))
        def work(a):
            return {{"k": (1, 2)}}
        p = start()
        work([1, "x"])
        finish(p)
        """,
    )
    records = result.document["frames_of_interest"]
    assert [(r["arg"], r["locals"]) for r in records] == [
        (None, {"a": [1, "x"]}),
        ({"k": tuple_form([1, 2])}, {"a": [1, "x"]}),
    ]


@pytest.mark.parametrize(
    "filename, recorded",
    [
        ("/src/app/tool.py", True),
        ("<string>", False),
        ("<frozen fake>", False),
        ("/usr/lib/python3.99/tool.py", False),
        ("/venv/site-packages/tool.py", False),
        ("<pytest match expression>", False),
        ("<pytest match expression> ", True),  # only the exact name is the matcher's
        ("<attrs generated init Point>", False),
        ("/x/nefa/db.py", False),
        ("/x/nefa/traces/view.py", False),
        ("/x/nefa/store/saving.py", False),
        ("/x/nefa/plugins/custom.py", True),  # plugins are traced like user code
    ],
)
def test_builtin_filters_by_file_name(tmp_path, filename, recorded):
    result = run_traced(
        tmp_path,
        f"""
        from harness import start, finish
        code = compile("def probe():\\n    return 1\\n", {filename!r}, "exec")
        namespace = {{"__name__": "generated"}}
        exec(code, namespace)
        p = start()
        namespace["probe"]()
        finish(p)
        """,
    )
    assert events(result.document["frames_of_interest"]) == (
        [("probe", "call"), ("probe", "return")] if recorded else []
    )


@pytest.mark.parametrize(
    "filters, user_functions, json_recorded",
    [
        (None, {"work", "helper"}, False),
        ({"include_frames": ["json/"]}, {"work", "helper"}, True),
        ({"ignore_frames": ["helpers.py"]}, {"work"}, False),
        # An include pattern wins over an ignore pattern.
        ({"ignore_frames": ["helpers.py"], "include_frames": ["helpers"]}, {"work", "helper"}, False),
    ],
)
def test_configured_filters(tmp_path, filters, user_functions, json_recorded):
    result = run_traced(
        tmp_path,
        f"""
        import json
        import helpers
        from harness import start, finish
        def work():
            exec(compile("def hidden():\\n    return 1\\nhidden()", "<string>", "exec"))
            return json.dumps(helpers.helper())
        p = start({{"filters": {filters!r}}})
        work()
        finish(p)
        """,
        files={"helpers.py": "def helper():\n    return [1]\n"},
    )
    records = result.document["frames_of_interest"]
    json_names = {r["co_name"] for r in records if "/json/" in r["path"]}
    assert {r["co_name"] for r in records if "/json/" not in r["path"]} == user_functions
    assert ("dumps" in json_names) is json_recorded


def test_return_never_inherits_the_id_of_a_dead_frame_at_the_same_address(tmp_path):
    # f(1) and f(0) were entered before recording began; their frame objects
    # come to life at their returns, often at the address of a recorded frame
    # that is gone by then. Such a return has no id, not the dead frame's.
    result = run_traced(
        tmp_path,
        """
        from harness import start, finish
        holder = []
        def f(n):
            if n == 0:
                holder.append(start())
                for _ in range(5):
                    f(-1)
            elif n == 1:
                f(0)
            return n
        f(1)
        finish(holder[0])
        """,
    )
    records = frame_records(result.document["frames_of_interest"], "f")
    calls = {r["frame_id"]: r["locals"] for r in records if r["event"] == "call"}
    for record in records:
        if record["event"] == "return" and record["locals"]["n"] != -1:
            assert record["frame_id"] is None, (record["locals"], calls.get(record["frame_id"]))
    assert sum(1 for r in records if r["event"] == "return" and r["frame_id"] in calls) == 5


def test_class_body_with_a_custom_namespace_is_recorded(tmp_path):
    result = run_traced(
        tmp_path,
        """
        import collections
        from harness import start, finish
        class Namespace(collections.UserDict):
            pass
        class Meta(type):
            @classmethod
            def __prepare__(mcls, name, bases):
                return Namespace()
            def __new__(mcls, name, bases, namespace):
                return super().__new__(mcls, name, bases, dict(namespace))
        p = start()
        class C(metaclass=Meta):
            x = 1
        finish(p)
        """,
    )
    body = frame_records(result.document["frames_of_interest"], "C")
    assert [r["event"] for r in body] == ["call", "return"]
    assert body[1]["locals"]["x"] == 1


def test_forked_child_makes_ids_of_its_own(tmp_path):
    result = run_traced(
        tmp_path,
        """
        import os
        from harness import start, stop, emit
        def g():
            return 1
        p = start()
        g()
        read_end, write_end = os.pipe()
        pid = os.fork()
        g()
        stop()
        import msgpack
        document = msgpack.unpackb(p.rust_profiler.build_trace())
        last = [r for r in document["frames_of_interest"] if r["co_name"] == "g"][-1]
        if pid == 0:
            os.write(write_end, (last["frame_id"] + " " + str(last["thread_native_id"]) + "\\n").encode())
            os._exit(0)
        os.waitpid(pid, 0)
        child_id, child_thread = os.read(read_end, 200).decode().split()
        emit((last["frame_id"], last["thread_native_id"], child_id, int(child_thread), pid))
        """,
    )
    [(parent_id, parent_thread, child_id, child_thread, pid)] = result.outputs
    # Same millisecond or not, the random part must differ.
    assert is_id(parent_id, "frm_") and is_id(child_id, "frm_")
    assert parent_id[-16:] != child_id[-16:]


def test_locals_are_the_interpreters_own_view_of_the_frame(tmp_path):
    # Cells, free variables, deleted and never-bound names, an inlined
    # comprehension's variable, a generator, and a name added through the
    # frame's locals: each return record holds what the function saw just
    # before returning.
    result = run_traced(
        tmp_path,
        """
        import sys
        from harness import start, finish, emit
        seen = []
        def snapshot():
            seen.append({k: v for k, v in sys._getframe(1).f_locals.items() if isinstance(v, int)})
        def closures(a, b=2):
            c = a + b
            def inner():
                return a + c
            del b
            late = inner()
            snapshot()
            return late
        def unbound(flag):
            if flag:
                never = 1
            total = sum([x * 2 for x in range(3)])
            snapshot()
            return total
        def generator(n):
            t = 0
            for i in range(n):
                t += i
                snapshot()
                yield t
        def extra():
            sys._getframe().f_locals["added"] = 7
            kept = 1
            snapshot()
            return kept
        p = start()
        closures(1); unbound(False); list(generator(2)); extra()
        finish(p)
        emit(seen)
        """,
    )
    document_bytes, seen = result.outputs
    records = decode(document_bytes)["frames_of_interest"]
    functions = {"closures", "unbound", "generator", "extra"}
    returned = [r for r in records if r["event"] == "return" and r["co_name"] in functions]
    got = [{k: v for k, v in r["locals"].items() if isinstance(v, int)} for r in returned]
    assert [r["co_name"] for r in returned] == ["closures", "unbound", "generator", "generator", "generator", "extra"]
    # The generator's last resumption ends the loop without a snapshot.
    assert got[:4] + got[5:] == seen
    assert got[0] == {"a": 1, "c": 3, "late": 4} and "never" not in returned[1]["locals"]
