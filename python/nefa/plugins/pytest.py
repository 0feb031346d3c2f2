"""pytest: the cuts between tests when ``pytest --nefa`` records.

nefa's pytest plugin calls its marker functions around each test item's
run; their calls become the "start_test" and "end_test" records that make
each test a trace of its own.  The markers live in nefa's own module, whose
frames are never recorded, but plugin records are made for them all the same.
"""

from __future__ import annotations

__all__ = ["descriptions"]


def _process(frame, event, arg, context) -> dict:
    local = frame.f_locals
    if frame.f_code.co_name == "_nefa_test_started":
        return {"type": "start_test", "test_id": local["nodeid"]}
    return {"type": "end_test", "test_id": local["nodeid"], "outcome": local["outcome"]}


def descriptions() -> list[dict]:
    return [
        {
            "co_names": ["_nefa_test_started", "_nefa_test_finished"],
            "path_fragment": "/nefa/pytest_plugin.py",
            "call_type": "start_test",
            "return_type": "end_test",
            "subtype": "pytest",
            "events": ["call"],
            "process": _process,
        }
    ]
