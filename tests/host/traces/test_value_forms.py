"""Recorded values in their MessagePack value forms, read back and shown as
Python would print them, next to traces stored before those forms."""

import json

import msgpack
import pytest

from nefa import cli
from nefa.traces import decode_document, parse_documents
from nefa.traces.forms import ReprText, Tuple, UnknownForm, decode_value, python_repr
from nefa.traces.values import brief

from .export_oracle import chrome_trace


def form(code, payload):
    """One extension form, built as the encoder writes it."""
    return msgpack.ExtType(code, msgpack.packb(payload))


def shown(value):
    decoded, has_forms = decode_value(msgpack.packb(value))
    return python_repr(decoded)


@pytest.mark.parametrize(
    "value, text",
    [
        (form(1, [1, 2]), "(1, 2)"),
        (form(1, [1]), "(1,)"),
        (form(1, []), "()"),
        (form(1, [1, form(6, 2)]), "(1, … (+2 more))"),
        (form(2, [1, 2]), "{1, 2}"),
        (form(2, []), "set()"),
        (form(2, [form(6, 3)]), "{… (+3 more)}"),
        (form(3, [1, 2]), "frozenset({1, 2})"),
        (form(3, []), "frozenset()"),
        (form(4, ["Foo", "Foo(1)"]), "Foo(1)"),
        ("Foo(1)", "'Foo(1)'"),
        (form(4, ["Foo", form(5, ["Foo(1, ", 20])]), "Foo(1, … (+20 chars)"),
        (form(5, ["abc", 997]), "'abc…' (+997 chars)"),
        (form(5, ["abc", 1]), "'abc…' (+1 char)"),
        (form(5, [b"ab", 5]), "b'ab…' (+5 bytes)"),
        ([1, 2, form(6, 3)], "[1, 2, … (+3 more)]"),
        (form(7, ["list", 5]), "<list of 5 items>"),
        (form(7, ["dict", 1]), "<dict of 1 item>"),
        (form(8, "list"), "<cycle: list>"),
        (form(9, "app.Foo"), "<unprintable app.Foo object>"),
        (form(10, "-123456789012345678901234567890"), "-123456789012345678901234567890"),
        (form(10, 70000), "<int of 70000 bits>"),
        (form(11, [form(1, [2, 3]), "b", 1, "a"]), "{(2, 3): 'b', 1: 'a'}"),
        (form(11, [1, "a", form(6, 4)]), "{1: 'a', … (+4 more)}"),
        (form(12, b"ab"), "bytearray(b'ab')"),
        (form(12, form(5, [b"ab", 3])), "bytearray(b'ab…') (+3 bytes)"),
        # Forms nest: a tuple of a set of a repr, as a dict value.
        ({"k": form(1, [form(2, [form(4, ["P", "P()"])])])}, "{'k': ({P()},)}"),
        (float("nan"), "nan"),
    ],
)
def test_each_form_is_shown_as_python_prints_it(value, text):
    assert shown(value) == text


@pytest.mark.parametrize(
    "value",
    [
        form(1, "not an array"),
        form(1, [form(6, 1), 2]),
        form(4, ["Foo"]),
        form(4, [1, "x"]),
        form(5, ["a", -1]),
        form(6, "x"),
        form(7, ["list"]),
        form(8, 3),
        form(10, "12x"),
        form(11, [1, 2, 3]),
        form(12, "text"),
        form(99, 1),
        msgpack.ExtType(1, b"\xc1"),
    ],
)
def test_malformed_or_unknown_forms_are_marked_not_fatal(value):
    decoded, has_forms = decode_value(msgpack.packb([value, "after"]))
    assert has_forms and isinstance(decoded[0], UnknownForm) and decoded[1] == "after"
    assert python_repr(decoded[0]) == f"<unreadable value form {value.code}>"


def test_brief_stays_short_and_counts_what_it_left_out():
    decoded, _ = decode_value(msgpack.packb([*range(100), form(6, 900)]))
    assert python_repr(decoded).endswith(", 99, … (+900 more)]")
    assert brief(decoded, 500).endswith(", 99, … (+900 more)]")
    assert len(brief(decoded, 40)) == 40
    # Items past the width's share are counted with those the encoder left out.
    nested, _ = decode_value(msgpack.packb(form(1, [[*range(10), form(6, 5)]])))
    assert brief(nested, 16) == "([0, 1, 2, 3, 4…"
    assert brief(nested, 10) == "([0, 1, 2…"
    assert python_repr(nested) == "([0, 1, 2, 3, 4, 5, 6, 7, 8, 9, … (+5 more)],)"
    # A huge string costs what the width does.
    assert brief("x" * 10_000_000, 30) == "'" + "x" * 28 + "…"


def test_whole_documents_decode_to_forms():
    document = msgpack.packb({"frames_of_interest": [{"arg": form(1, [1, 2])}], "timestamp": 1.0})
    assert decode_document(document)["frames_of_interest"][0]["arg"] == Tuple((1, 2))


def _one_frame(records, pack, locals, value, *, extra=None):
    thread = records()
    if extra is not None:
        thread.call("app.setup", 0.0, locals={"x": extra})
    frame_id = thread.call("app.f", 0.01, locals=locals)
    thread.ret("app.f", 0.02, frame_id, value=value)
    return pack(thread, trace_id="trc_forms")


def test_show_renders_forms(capsys, records, pack, store):
    locals = {"pair": form(1, [1, 2]), "obj": form(4, ["Foo", "Foo(1)"]), "text": "Foo(1)"}
    database = store("trc_forms", _one_frame(records, pack, locals, form(11, [form(1, [2, 3]), "b"])))
    status = cli.main(["show", "--db", str(database)])
    out = capsys.readouterr().out
    assert status == 0
    assert "app.f(pair=(1, 2), obj=Foo(1), text='Foo(1)')" in out and "→ {(2, 3): 'b'}" in out


def test_a_document_without_forms_reads_as_before(records, pack):
    # Stored by an older nefa: reprs were plain strings, shown bare.
    trace = parse_documents([_one_frame(records, pack, {"obj": "Foo(1)", "text": "plain"}, "<Cart object>")])
    (frame,) = [frame for frame in trace.frames()]
    assert frame.arguments == {"obj": "Foo(1)", "text": "plain"}
    assert isinstance(frame.arguments["obj"], ReprText) and not isinstance(frame.arguments["text"], ReprText)
    assert brief(frame.arguments["obj"]) == "Foo(1)" and brief(frame.return_value) == "<Cart object>"
    # One form anywhere in the document, even in another frame, and its strings are strings.
    trace = parse_documents([_one_frame(records, pack, {"obj": "Foo(1)"}, "<Cart object>", extra=form(1, []))])
    frame = next(frame for frame in trace.frames() if frame.qualname == "app.f")
    assert brief(frame.arguments["obj"]) == "'Foo(1)'" and brief(frame.return_value) == "'<Cart object>'"


def test_old_tuple_keys_still_decode(records, pack):
    thread = records()
    frame_id = thread.call("app.f", 0.0)
    # An older encoder wrote a tuple key as an array key.
    thread.ret("app.f", 0.1, frame_id, value={"plain": 1})
    document = pack(thread).replace(msgpack.packb({"plain": 1}), b"\x81\x92\x02\x03\xa1b")
    (frame,) = list(parse_documents([document]).frames())
    assert frame.return_value == {(2, 3): "b"} and brief(frame.return_value) == "{(2, 3): 'b'}"


def test_chrome_export_shows_forms(records, pack):
    trace = parse_documents([_one_frame(records, pack, {"s": form(2, [1])}, form(5, ["abc", 997]))])
    events = [event for event in chrome_trace(trace)["traceEvents"] if event.get("name") == "app.f"]
    assert events[0]["args"]["arguments"] == {"s": "{1}"}
    assert events[0]["args"]["return"] == "'abc…' (+997 chars)"
    json.dumps(events, allow_nan=False)
