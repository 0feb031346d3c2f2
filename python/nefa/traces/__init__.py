"""Reading stored traces back: listings, call trees, exports and the viewer."""

from nefa.traces.listing import format_duration, format_listing
from nefa.traces.reader import decode_document, read_trace
from nefa.traces.tree import Event, Frame, Thread, Trace, TraceFormatError, load_trace, parse_documents

__all__ = [
    "Event",
    "Frame",
    "Thread",
    "Trace",
    "TraceFormatError",
    "decode_document",
    "format_duration",
    "format_listing",
    "load_trace",
    "parse_documents",
    "read_trace",
]
