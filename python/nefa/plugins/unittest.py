"""unittest: a "start_test" record when a ``TestCase`` starts running and an
"end_test" record, with its outcome, when it is done.

The outcome is read from the result object: which of its lists
(errors, failures, ...) grew while the test ran.
"""

from __future__ import annotations

import sys

__all__ = ["descriptions"]

# Result lists, the outcome a new entry in each means, by precedence.
_OUTCOME_LISTS = (
    ("errors", "error"),
    ("failures", "failed"),
    ("unexpectedSuccesses", "xpassed"),
    ("expectedFailures", "xfailed"),
    ("skipped", "skipped"),
)


def _counts(result) -> tuple[int, ...] | None:
    try:
        return tuple(len(getattr(result, name)) for name, _ in _OUTCOME_LISTS)
    except (AttributeError, TypeError):
        return None  # not a unittest TestResult


def _context(config) -> dict:
    # Counts of the result lists when each running test started, by id(test).
    return {"before": {}}


def _is_test_run(frame, event, arg, context) -> bool:
    case = sys.modules.get("unittest.case")
    return case is not None and isinstance(frame.f_locals.get("self"), case.TestCase)


def _process(frame, event, arg, context) -> dict:
    local = frame.f_locals
    test = local["self"]
    try:
        test_id = test.id()
    except Exception:
        test_id = f"{type(test).__module__}.{type(test).__qualname__}"
    if event == "call":
        result = local.get("result")
        # Without a result, run() makes a fresh one: every list starts empty.
        context["before"][id(test)] = (0,) * len(_OUTCOME_LISTS) if result is None else _counts(result)
        return {"test_id": test_id}
    before = context["before"].pop(id(test), None)
    result = arg if arg is not None else local.get("result")
    after = _counts(result)
    outcome = None
    if before is not None and after is not None:
        grown = [label for (_, label), old, new in zip(_OUTCOME_LISTS, before, after) if new > old]
        outcome = grown[0] if grown else "passed"
    return {"test_id": test_id, "outcome": outcome}


def descriptions() -> list[dict]:
    return [
        {
            "co_names": ["run"],
            "path_fragment": "unittest/case.py",
            "call_type": "start_test",
            "return_type": "end_test",
            "subtype": "unittest",
            "call": _is_test_run,
            "process": _process,
            "build_context": _context,
        }
    ]
