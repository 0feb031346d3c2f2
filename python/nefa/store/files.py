"""Database files made private, and refused before SQLite opens them.

New files and directories are 0600 / 0700 whatever the umask: a trace
holds every recorded argument and local.  A file that is no SQLite
database, a truncated one or one out of reach is refused with a one-line
cause.
"""

from __future__ import annotations

import os
import stat
from pathlib import Path

from nefa.store.errors import ForeignDatabaseError, refuse

__all__ = ["check_file", "create_database_file", "create_private_file", "make_private_dirs"]

_MAGIC = b"SQLite format 3\x00"
_HEADER_SIZE = 100


def make_private_dirs(directory: Path) -> None:
    """Create ``directory`` and its missing parents as 0700; existing ones
    are left as they are."""
    missing = []
    while not directory.exists():
        missing.append(directory)
        if directory.parent == directory:
            break
        directory = directory.parent
    for path in reversed(missing):
        try:
            os.mkdir(path, 0o700)
        except FileExistsError:
            continue
        # mkdir's mode passes through the umask; a umask of 0o277 would
        # leave a directory even its owner cannot use.
        os.chmod(path, 0o700)


def create_private_file(path: Path) -> int:
    """Create ``path`` (which must not exist) as 0600; returns the open,
    writable descriptor."""
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC | getattr(os, "O_NOFOLLOW", 0), 0o600)
    try:
        os.fchmod(fd, 0o600)
    except BaseException:
        os.close(fd)
        raise
    return fd


def create_database_file(path: Path) -> None:
    try:
        make_private_dirs(path.parent)
    except OSError as error:
        where = error.filename or path.parent
        raise refuse(path, f"cannot create its directory {where}: {error.strerror or error}") from None
    try:
        os.close(create_private_file(path))
    except FileExistsError:
        pass  # made by another process meanwhile: checked like any other file
    except OSError as error:
        raise refuse(path, f"cannot create it: {error.strerror or error}") from None


def _looks_like_text(sample: bytes) -> bool:
    if b"\x00" in sample:
        return False
    for cut in range(4):  # the sample may end inside a character
        try:
            sample[: len(sample) - cut].decode("utf-8")
            return True
        except UnicodeDecodeError:
            continue
    return False


def _busy_side_file(path: Path) -> bool:
    # A writer may be mid-transaction or mid-checkpoint: the file's size
    # can then lag behind its header for a moment.
    for suffix in ("-wal", "-journal"):
        try:
            if os.stat(f"{path}{suffix}").st_size > 0:
                return True
        except OSError:
            continue
    return False


def check_file(path: Path, *, write: bool) -> bool:
    """Checks what can be seen without SQLite; returns whether the file
    exists.  Raises a one-line DatabaseError naming the cause."""
    try:
        info = os.stat(path)
    except FileNotFoundError:
        return False
    except NotADirectoryError:
        raise refuse(path, "a part of its path is a file, not a directory") from None
    except PermissionError:
        raise refuse(path, "no permission to reach it") from None
    except OSError as error:
        raise refuse(path, error.strerror or str(error)) from None
    if stat.S_ISDIR(info.st_mode):
        raise refuse(path, "it is a directory")
    if not stat.S_ISREG(info.st_mode):
        raise refuse(path, "it is not a regular file")
    try:
        with open(path, "rb") as file:
            sample = file.read(512)
            # Sized after the read: a database another process is creating
            # may have had no bytes when it was first seen.
            size = os.fstat(file.fileno()).st_size
    except PermissionError:
        raise refuse(path, "no permission to read it") from None
    except OSError as error:
        raise refuse(path, f"cannot read it: {error.strerror or error}") from None
    if sample:
        _check_header(path, sample, size)
    # Then whether it can be written: what the file is says more than that.
    if write:
        if not os.access(path, os.W_OK):
            raise refuse(path, "no permission to write it")
        directory = path.parent
        if not os.access(directory, os.W_OK | os.X_OK):
            raise refuse(path, f"no permission to write in its directory {directory} (SQLite keeps its journal there)")
    return True


def _check_header(path: Path, sample: bytes, size: int) -> None:
    header = sample[:_HEADER_SIZE]
    if not (header.startswith(_MAGIC) or _MAGIC.startswith(header)):
        text = _looks_like_text(sample)
        raise refuse(
            path,
            "it is a text file, not an SQLite database" if text else "it is not an SQLite database",
            ForeignDatabaseError,
        )
    if len(header) < _HEADER_SIZE:
        raise refuse(path, f"it is truncated ({size} bytes, shorter than an SQLite header)")
    page_size = int.from_bytes(header[16:18], "big")
    page_size = 65536 if page_size == 1 else page_size
    page_count = int.from_bytes(header[28:32], "big")
    # The page count is valid only while the "version-valid-for" number
    # matches the change counter.
    if header[92:96] == header[24:28] and page_count and not _busy_side_file(path):
        expected = page_count * page_size
        if size < expected:
            raise refuse(path, f"it is truncated ({size} of {expected} bytes)")
