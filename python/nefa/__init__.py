"""nefa: a tracing profiler recording every call and return of a Python program.

    from nefa import Profiler

    with Profiler() as profiler:
        run_the_interesting_part()
    print(profiler.trace_id)

The native recording module is loaded only when a profiler starts, so
reading stored traces works without it.
"""

import logging

from nefa.profiler import Profiler
from nefa.version import __version__

# As libraries do: what the recorder logs is heard only where the program
# configured logging, never through logging's last-resort handler, which
# would print it on the program's stderr.
logging.getLogger("nefa").addHandler(logging.NullHandler())

__all__ = ["Profiler", "__version__", "profile"]


def profile(func=None, **options):
    """Record and save every call of ``func``; ``options`` go to :class:`Profiler`.

    Usable bare (``@profile``) or with options (``@profile(db_path=...)``).
    """
    if func is None:
        return Profiler(**options)
    return Profiler(**options)(func)
