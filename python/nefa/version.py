"""The installed distribution's version, recorded in every trace."""

from importlib import metadata

try:
    __version__: str = metadata.version("nefa")
except metadata.PackageNotFoundError:
    # Running from a source tree that was never installed.
    __version__ = "0+unknown"
