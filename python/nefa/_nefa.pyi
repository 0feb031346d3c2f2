"""The profiler extension (built from src/)."""

from collections.abc import Callable
from typing import Any

__all__ = ["register_noop_profiler", "register_profiler"]

def register_profiler(profiler: Callable[..., Any]) -> None:
    """Record the calling thread's events into ``profiler`` (its ``config``
    chooses the engine); sets the profiler's native half as an attribute."""

def register_noop_profiler() -> None:
    """Stop recording the calling thread, leaving a profile hook that does nothing."""
