"""Turn arbitrary Python values into MessagePack for the trace.

The native hook calls these functions for every recorded event (the event
argument and the frame's locals). Both are the native encoder of
``nefa._native``: bounded work per value whatever its size, never raising,
and running none of the program's code but a repr, at most once per object
shown. The forms they write are documented in docs/value-forms.md.

The hook looks the functions up here on every call, so replacing either
attribute of this module still has the replacement called.
"""

from __future__ import annotations

from nefa._native import dump_msgpack, dump_msgpack_lightweight_repr

__all__ = ["dump_msgpack", "dump_msgpack_lightweight_repr"]
