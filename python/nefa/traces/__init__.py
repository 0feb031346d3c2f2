"""Reading stored traces back."""

from nefa.traces.listing import format_duration, format_listing
from nefa.traces.reader import decode_document, read_trace

__all__ = ["decode_document", "format_duration", "format_listing", "read_trace"]
