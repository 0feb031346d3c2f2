"""Documents that could not be stored, kept in files for `nefa import`."""

from __future__ import annotations

import os
import re
import tempfile
import threading
from pathlib import Path
from typing import BinaryIO

from nefa.store.errors import TraceNotStoredError
from nefa.store.files import create_private_file

__all__ = ["keep_unsaved", "open_kept_document", "read_kept_document", "take_unsaved"]

# When storing fails (disk full, the database locked past its time-out, its
# permissions changed while the program ran), the document is written beside
# the database as ``unsaved-<trace id>.msgpack`` (0600), or into the
# temporary directory when that directory cannot be written, for `nefa
# import`.  Each such failure is remembered for the process (take_unsaved),
# so that whoever ran the program can say where its traces went.

_lock = threading.Lock()
_kept: list[TraceNotStoredError] = []
_KEPT_LIMIT = 1000


def take_unsaved() -> list[TraceNotStoredError]:
    """The store failures of this process since the last call, oldest first."""
    with _lock:
        kept = list(_kept)
        _kept.clear()
    return kept


def _file_stem(trace_id: str) -> str:
    # Trace ids are "trc_" and a ULID; anything else given through the
    # API must not reach outside the directory.
    return "unsaved-" + (re.sub(r"[^A-Za-z0-9_.-]", "_", trace_id)[:120].lstrip(".") or "trace")


def _write_in(directory: Path, stem: str, document) -> Path:
    view = memoryview(document)
    for attempt in range(1000):
        path = directory / (f"{stem}.msgpack" if attempt == 0 else f"{stem}-{attempt + 1}.msgpack")
        try:
            fd = create_private_file(path)
        except FileExistsError:
            continue  # an earlier part of the same trace
        try:
            with open(fd, "wb", closefd=True) as file:
                file.write(view)
        except BaseException:
            os.unlink(path)
            raise
        return path
    raise FileExistsError(f"{directory / stem}.msgpack and 999 numbered copies exist")


def _cause(error: BaseException) -> str:
    text = str(error) or type(error).__name__
    return " ".join(text.split())  # one line


def keep_unsaved(db_path, trace_id: str, document, error: BaseException) -> TraceNotStoredError:
    """Write ``document``, whose store failed with ``error``, to a file;
    returns the exception that says where (remembered for :func:`take_unsaved`)."""
    db_file = Path(os.path.abspath(os.fspath(db_path)))
    stem = _file_stem(trace_id)
    cause = _cause(error)
    path = None
    problems = []
    for directory in (db_file.parent, Path(tempfile.gettempdir())):
        try:
            path = _write_in(directory, stem, document)
            break
        except OSError as write_error:
            problems.append(f"{directory}: {write_error.strerror or write_error}")
    if path is not None:
        message = (
            f"could not store trace {trace_id} in {db_file}: {cause}; it was written to {path} "
            f"(store it later with `nefa import {path}`)"
        )
    else:
        message = (
            f"could not store trace {trace_id} in {db_file}: {cause}; nor write it to a file "
            f"({'; '.join(problems)}): the trace is lost"
        )
    failure = TraceNotStoredError(message, trace_id=trace_id, db_path=str(db_file), path=path)
    with _lock:
        _kept.append(failure)
        del _kept[:-_KEPT_LIMIT]  # a long-lived process nobody asks
    return failure


def read_kept_document(path) -> bytes:
    """The bytes of a kept document, with one-line errors."""
    with open_kept_document(path) as file:
        try:
            return file.read()
        except OSError as error:
            raise OSError(f"{path}: cannot read it: {error.strerror or error}") from None


def open_kept_document(path) -> BinaryIO:
    """A kept document opened for reading, with one-line errors."""
    try:
        file = open(path, "rb")
        if os.path.isdir(path):
            file.close()
            raise IsADirectoryError
        return file
    except FileNotFoundError:
        raise OSError(f"{path}: no such file") from None
    except IsADirectoryError:
        raise OSError(f"{path}: it is a directory") from None
    except PermissionError:
        raise OSError(f"{path}: no permission to read it") from None
    except OSError as error:
        raise OSError(f"{path}: cannot read it: {error.strerror or error}") from None
