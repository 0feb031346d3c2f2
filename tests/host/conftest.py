import os
import sys
import time

import msgpack
import pytest

# The tests share reference_encoder; under --import-mode=importlib their own
# directory is not on sys.path.
_HERE = os.path.dirname(os.path.abspath(__file__))
if _HERE not in sys.path:
    sys.path.insert(0, _HERE)


RECORD_KEYS = (
    "path co_name qualname event frame_id arg locals thread thread_native_id timestamp type user_code_call_site"
).split()


def _record(timestamp, thread_id):
    record = dict.fromkeys(RECORD_KEYS)
    record.update(
        path="app.py:1",
        co_name="f",
        event="call",
        locals={},
        type="frame",
        thread=f"t{thread_id}",
        thread_native_id=thread_id,
        timestamp=timestamp,
    )
    return record


@pytest.fixture
def make_document():
    """Builds trace documents shaped like the native module's.

    ``threads`` maps a native thread id to its record timestamps (offsets
    from the document timestamp); ``main`` holds the main thread's.  With
    ``split=False`` the other threads' records are appended to
    frames_of_interest instead of getting arrays of their own.
    """

    def make(
        *,
        main=(0.1, 0.2),
        threads=None,
        split=True,
        start=None,
        argv=("app.py",),
        main_id=1,
        meta=None,
        trace_id="trc_test",
    ):
        start = time.time() if start is None else start
        threads = threads or {}
        frames_of_interest = [_record(start + offset, main_id) for offset in main]
        frames = {}
        for thread_id, offsets in threads.items():
            records = [_record(start + offset, thread_id) for offset in offsets]
            if split:
                frames[thread_id] = records
            else:
                frames_of_interest.extend(records)
        document = {
            "command_line_args": list(argv),
            "current_commit_sha": None,
            "frames": frames,
            "frames_of_interest": frames_of_interest,
            "main_thread_id": main_id,
            "meta": {"version": "0", "source": "test", "use_frame_boundaries": True, **(meta or {})},
            "timestamp": start,
            "trace_id": trace_id,
        }
        return msgpack.packb(document)

    return make
