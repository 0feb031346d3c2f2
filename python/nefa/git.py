"""The commit checked out in the current directory's git repository.

Read straight from the repository files: spawning ``git`` on import would
be slow and would itself show up in traces of programs that fork.
"""

from __future__ import annotations

import os
import re
from pathlib import Path

__all__ = ["COMMIT_SHA", "find_commit_sha"]

_SHA = re.compile(r"[0-9a-f]{40}(?:[0-9a-f]{24})?")
# A ref may point at another ref; real repositories nest a level or two.
_MAX_SYMREF_DEPTH = 10


def _read_text(path: Path) -> str | None:
    try:
        return path.read_text(encoding="utf-8").strip()
    except (OSError, UnicodeDecodeError):
        return None


def _find_git_dir(start: Path) -> Path | None:
    for directory in (start, *start.parents):
        candidate = directory / ".git"
        if candidate.is_dir():
            return candidate
        if candidate.is_file():
            # Worktrees and submodules: ".git" is a file "gitdir: <path>".
            text = _read_text(candidate)
            if text is None or not text.startswith("gitdir:"):
                return None
            target = Path(text[len("gitdir:") :].strip())
            if not target.is_absolute():
                target = directory / target
            return target if target.is_dir() else None
    return None


def _common_dir(git_dir: Path) -> Path:
    # A linked worktree keeps its own HEAD but shares refs with the main repo.
    text = _read_text(git_dir / "commondir")
    if not text:
        return git_dir
    common = Path(text)
    if not common.is_absolute():
        common = git_dir / common
    return common


def _packed_ref(common_dir: Path, ref: str) -> str | None:
    text = _read_text(common_dir / "packed-refs")
    if text is None:
        return None
    for line in text.splitlines():
        if not line or line[0] in "#^":
            continue
        sha, _, name = line.partition(" ")
        if name.strip() == ref and _SHA.fullmatch(sha):
            return sha
    return None


def _resolve(git_dir: Path, common_dir: Path, content: str) -> str | None:
    for _ in range(_MAX_SYMREF_DEPTH):
        if _SHA.fullmatch(content):
            return content
        if not content.startswith("ref:"):
            return None
        ref = content[len("ref:") :].strip()
        if not ref or ".." in Path(ref).parts:
            return None
        loose = None
        for base in (git_dir, common_dir):
            loose = _read_text(base / ref)
            if loose is not None:
                break
        if loose is None:
            # Unborn branch (no commit yet) ends up here with None.
            return _packed_ref(common_dir, ref)
        content = loose
    return None


def find_commit_sha(directory: str | os.PathLike[str]) -> str | None:
    """The commit of the repository containing ``directory``, or None.

    None when there is no repository, no commit yet, or the repository
    cannot be read; never raises for those.
    """
    try:
        git_dir = _find_git_dir(Path(directory).resolve())
        if git_dir is None:
            return None
        head = _read_text(git_dir / "HEAD")
        if head is None:
            return None
        return _resolve(git_dir, _common_dir(git_dir), head)
    except (OSError, ValueError, RuntimeError):
        return None


def _current() -> str | None:
    try:
        cwd = os.getcwd()
    except OSError:  # the current directory was deleted
        return None
    return find_commit_sha(cwd)


COMMIT_SHA: str | None = _current()
