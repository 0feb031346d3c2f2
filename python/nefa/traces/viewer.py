"""``nefa view -o``: one self-contained HTML page showing a trace as the
served viewer does (:mod:`nefa.traces.server`), for a trace small enough
to hold whole.

The page embeds two JSON blobs, made from the call index by the server's
own :class:`~nefa.traces.server.TraceViews`: the first is the trace's
summary and every call, as window answers hold them (texts as ids into
tables of names and paths); the second, each call's details and values,
parsed by the page only when a call is first clicked.  The flame chart is
the served one, asking ``page_source.js`` instead of the server.  Script
and style are inlined: the page needs no network.
"""

from __future__ import annotations

import json
import math
from pathlib import Path

from nefa.db import DocumentFormatError
from nefa.traces.indexed import IndexedTrace
from nefa.traces.output import open_private
from nefa.traces.server import SEARCH_LIMIT, TraceViews, fill_page

__all__ = ["render_html", "write_view"]


def _script_json(value) -> str:
    # Inside <script>: "<" escaped so no "</script>" can end the block early.
    text = json.dumps(value, ensure_ascii=False, separators=(",", ":"), allow_nan=False)
    return text.replace("<", "\\u003c").replace("\u2028", "\\u2028").replace("\u2029", "\\u2029")


def page_data(trace: IndexedTrace) -> tuple[dict, dict]:
    """(what the page draws and searches, each call's details by id).
    Raises :class:`nefa.db.DocumentFormatError` for a trace without a
    start time: a page's times are from the start."""
    if not math.isfinite(trace.start):
        # The earliest document's: with one part, the first.
        where = ", part 1" if len(trace.part_ids) == 1 else ""
        raise DocumentFormatError(f"trace {trace.trace_id}{where}: the document has the timestamp {trace.start!r}")
    views = TraceViews(trace)
    try:
        calls, details = views.every_call()
        return {"trace": views.summary(), "searchLimit": SEARCH_LIMIT, **calls}, details
    finally:
        views.close()


def render_html(trace: IndexedTrace) -> str:
    data, details = page_data(trace)
    return fill_page(
        trace,
        "page_source.js",
        f'<script type="application/json" id="nefa-data">{_script_json(data)}</script>\n'
        f'<script type="application/json" id="nefa-values">{_script_json(details)}</script>\n',
    )


def write_view(trace: IndexedTrace, path) -> Path:
    """Write the page; it holds recorded values, so only its owner may read it."""
    path = Path(path)
    page = render_html(trace)
    with open_private(path) as out:
        out.write(page)
    return path
