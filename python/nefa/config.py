"""Configuration: defaults, ``[tool.nefa]`` in pyproject.toml, CLI overrides.

Two shapes exist.  Users write *settings* (in pyproject.toml or as CLI
flags) with friendly names::

    [tool.nefa]
    db = ".nefa/db.sqlite3"
    include = ["src/"]
    ignore = ["generated/"]
    threading = true
    lightweight_repr = false
    engine = "monitoring"                # or "profile"; "monitoring" needs 3.12+ and is its default
    sqlite_busy_timeout = 60
    memory_budget = "512M"               # bytes one trace may hold (K/M/G/T); 0 for the largest
    plugins = ["http", "logging"]        # or { disabled = ["logging"] }; all by default
    redact = ["ssn", "x-tenant"]         # more name fragments whose values are replaced
    redact_values = true                 # false: record values and the command line whole

The profiler hands the native module a *config* dict (see
:func:`defaults`), which must be a plain dict holding real bools.
"""

from __future__ import annotations

import contextlib
import copy
import os
import re
import sqlite3
import sys
import tomllib
from collections.abc import Mapping
from pathlib import Path

from nefa import filters, plugins

__all__ = [
    "ConfigError",
    "DEFAULT_DB_PATH",
    "DEFAULT_ENGINE",
    "ENGINES",
    "MAX_MEMORY_BUDGET",
    "SETTING_NAMES",
    "check_engine",
    "default_memory_budget",
    "defaults",
    "format_size",
    "load_pyproject_settings",
    "make_config",
    "parse_size",
    "resolve",
]

DEFAULT_DB_PATH = os.path.join(".nefa", "db.sqlite3")


def _largest_document() -> int:
    # SQLite's cap on one value (1e9 bytes unless built otherwise), less
    # room for the rest of the document: the largest trace when a trace was
    # stored as one blob, kept as the bound on what a save holds in memory.
    try:
        with contextlib.closing(sqlite3.connect(":memory:")) as conn:
            limit = conn.getlimit(sqlite3.SQLITE_LIMIT_LENGTH)
    except (sqlite3.Error, AttributeError):
        limit = 1_000_000_000
    return limit - (1 << 20)


# The most a budget can be: a larger trace could not be stored.
MAX_MEMORY_BUDGET = _largest_document()
# Without a way to ask the machine, a budget that any machine nefa runs on has.
_FALLBACK_BUDGET = min(1 << 30, MAX_MEMORY_BUDGET)


def default_memory_budget() -> int:
    """Bytes of records one trace may hold unless told otherwise: an eighth
    of the machine's physical memory, so that a runaway recording leaves
    the program, and the machine, room to go on; at most what the database
    can store as one trace."""
    try:
        physical = os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
    except (AttributeError, ValueError, OSError):
        return _FALLBACK_BUDGET
    return min(physical // 8, MAX_MEMORY_BUDGET) if physical > 0 else _FALLBACK_BUDGET


_SIZE = re.compile(r"\s*(\d+(?:\.\d*)?|\.\d+)\s*([kmgt]?)(?:i?b)?\s*", re.IGNORECASE)
_UNITS = {"": 1, "k": 1 << 10, "m": 1 << 20, "g": 1 << 30, "t": 1 << 40}


def parse_size(text: str) -> int:
    """Bytes in a size such as ``512M``, ``2G``, ``1.5GiB`` or ``1048576``
    (binary multiples); ValueError when it is not one."""
    match = _SIZE.fullmatch(text)
    if match is None:
        raise ValueError(f"not a size: {text!r}")
    number, unit = match.groups()
    return int(float(number) * _UNITS[unit.lower()]) if "." in number else int(number) * _UNITS[unit.lower()]


def format_size(size: int) -> str:
    """``size`` bytes the way a person writes them (``512 MiB``)."""
    for unit, name in ((1 << 40, "TiB"), (1 << 30, "GiB"), (1 << 20, "MiB"), (1 << 10, "KiB")):
        if size >= unit:
            value = size / unit
            return f"{value:.0f} {name}" if value == int(value) or value >= 100 else f"{value:.1f} {name}"
    return f"{size} bytes"


# How the interpreter hands events to the profiler: sys.monitoring where it
# exists (filtered code then costs nothing), the profile hook otherwise.
ENGINES = ("monitoring", "profile")
HAS_MONITORING = sys.version_info >= (3, 12)
DEFAULT_ENGINE = "monitoring" if HAS_MONITORING else "profile"

_DEFAULTS = {
    "filters": {"include_frames": [], "ignore_frames": []},
    "sqlite_busy_timeout": 60,
    "threading": True,
    "lightweight_repr": False,
    "engine": DEFAULT_ENGINE,
    "memory_budget": default_memory_budget(),
    # Every plugin unless the settings say otherwise.
    "plugins": list(plugins.AVAILABLE),
}

SETTING_NAMES = (
    "db",
    "include",
    "ignore",
    "threading",
    "lightweight_repr",
    "engine",
    "sqlite_busy_timeout",
    "memory_budget",
    "plugins",
    "redact",
    "redact_values",
)

# Keys that only appear in a config dict when set.
_OPTIONAL_KEYS = ("redact", "redact_values")
# Settings that go into the config dict as they are (the paths and filters
# are turned into the dict's own forms).
_PASSED_ON = tuple(name for name in SETTING_NAMES if name not in ("db", "include", "ignore"))


class ConfigError(ValueError):
    pass


def defaults() -> dict:
    """A fresh copy of the default config (safe to mutate)."""
    return copy.deepcopy(_DEFAULTS)


def _check_bool(value: object, where: str) -> bool:
    if type(value) is not bool:
        raise ConfigError(f"{where}: expected true or false, got {value!r}")
    return value


# SQLite waits at most a C int of milliseconds.
MAX_BUSY_TIMEOUT = (2**31 - 1) // 1000


def _check_timeout(value: object, where: str) -> int:
    if type(value) is not int or not 0 <= value <= MAX_BUSY_TIMEOUT:
        raise ConfigError(f"{where}: expected a whole number of seconds from 0 to {MAX_BUSY_TIMEOUT}, got {value!r}")
    return value


def _check_memory_budget(value: object, where: str) -> int:
    # A whole number of bytes, or a size with a unit; 0 means as much as
    # the database can store.
    size = None
    if isinstance(value, str):
        with contextlib.suppress(ValueError):
            size = parse_size(value)
    elif type(value) is int and value >= 0:
        size = value
    if size is None:
        raise ConfigError(f"{where}: expected a size such as 512M or 2G (0 for the largest), got {value!r}")
    if size > MAX_MEMORY_BUDGET:
        raise ConfigError(
            f"{where}: {value!r} is more than one trace can hold in the database "
            f"(at most {format_size(MAX_MEMORY_BUDGET)}, {MAX_MEMORY_BUDGET} bytes)"
        )
    return size or MAX_MEMORY_BUDGET


def check_engine(value: object, where: str) -> str:
    if value not in ENGINES or not isinstance(value, str):
        raise ConfigError(f"{where}: expected one of {', '.join(map(repr, ENGINES))}, got {value!r}")
    if value == "monitoring" and not HAS_MONITORING:
        raise ConfigError(
            f"{where}: 'monitoring' needs Python 3.12 or later (sys.monitoring); "
            f"this is {sys.version_info.major}.{sys.version_info.minor}: use 'profile'"
        )
    return value


def _check_plugins(value: object, where: str) -> list[str]:
    # A list enables exactly those plugins, {"disabled": [...]} all but those.
    try:
        return plugins.enabled_plugins(value, where=where)
    except plugins.PluginConfigError as error:
        raise ConfigError(str(error)) from None


def _check_fragments(value: object, where: str) -> list[str]:
    # Extra name fragments for the redaction (see nefa.redaction).
    if not isinstance(value, (list, tuple)) or not all(isinstance(part, str) and part.strip() for part in value):
        raise ConfigError(f"{where}: expected a list of non-empty name fragments, got {value!r}")
    return [part.strip().lower() for part in value]


def _check_patterns(value: object, where: str) -> list[str]:
    try:
        return filters.normalize_patterns(value, origin=where)  # type: ignore[arg-type]
    except filters.FilterError as error:
        raise ConfigError(str(error)) from None


def _shared_checks() -> dict:
    # Keys that read the same in the config dict and in the user's settings.
    return {
        "threading": _check_bool,
        "lightweight_repr": _check_bool,
        "engine": check_engine,
        "sqlite_busy_timeout": _check_timeout,
        "memory_budget": _check_memory_budget,
        "plugins": _check_plugins,
        "redact": _check_fragments,
        "redact_values": _check_bool,
    }


def make_config(overrides: Mapping | None = None, *, base: Mapping | None = None) -> dict:
    """Validate ``overrides`` (config shape) and merge them over ``base``.

    ``base`` defaults to :func:`defaults`.  Filter lists given in
    ``overrides`` replace those of ``base``.
    """
    config = defaults() if base is None else copy.deepcopy(dict(base))
    if overrides is None:
        return config
    if not isinstance(overrides, Mapping):
        raise ConfigError(f"config: expected a mapping, got {type(overrides).__name__}")
    for key, value in overrides.items():
        where = f"config[{key!r}]"
        if key == "filters":
            if not isinstance(value, Mapping):
                raise ConfigError(f"{where}: expected a mapping with include_frames/ignore_frames")
            unknown = set(value) - {"include_frames", "ignore_frames"}
            if unknown:
                raise ConfigError(f"{where}: unknown keys {sorted(map(str, unknown))}")
            for name in ("include_frames", "ignore_frames"):
                if name in value:
                    config["filters"][name] = _check_patterns(value[name], f"{where}[{name!r}]")
        elif key in _SHARED_CHECKS:
            config[key] = _SHARED_CHECKS[key](value, where)
        else:
            known = ", ".join(sorted([*_DEFAULTS, *_OPTIONAL_KEYS]))
            raise ConfigError(f"{where}: unknown key (known: {known})")
    return config


def load_pyproject_settings(directory: str | os.PathLike[str] | None = None) -> dict:
    """The validated ``[tool.nefa]`` table of ``directory``/pyproject.toml.

    An absent file or table gives ``{}``.
    """
    path = Path(directory if directory is not None else os.getcwd()) / "pyproject.toml"
    try:
        with open(path, "rb") as file:
            document = tomllib.load(file)
    except FileNotFoundError:
        return {}
    except tomllib.TOMLDecodeError as error:
        raise ConfigError(f"{path}: not valid TOML: {error}") from None
    except UnicodeDecodeError as error:
        raise ConfigError(f"{path}: not UTF-8 text (byte {error.start} cannot be decoded)") from None
    except OSError as error:
        raise ConfigError(f"{path}: cannot be read: {error.strerror or error}") from None
    tool = document.get("tool", {})
    table = tool.get("nefa", {}) if isinstance(tool, dict) else {}
    if not isinstance(table, dict):
        raise ConfigError(f"{path}: [tool.nefa] must be a table")
    return check_settings(table, origin=f"{path} [tool.nefa]")


def check_settings(settings: Mapping, *, origin: str) -> dict:
    """Validate user-facing settings (see the module docstring)."""
    out: dict = {}
    for key, value in settings.items():
        where = f"{origin}: {key}"
        if key == "db":
            if not isinstance(value, str) or not value.strip():
                raise ConfigError(f"{where}: expected a path, got {value!r}")
            out[key] = value
        elif key in ("include", "ignore"):
            out[key] = _check_patterns(value, where)
        elif key in _SHARED_CHECKS:
            out[key] = _SHARED_CHECKS[key](value, where)
        else:
            raise ConfigError(f"{where}: unknown setting (known: {', '.join(SETTING_NAMES)})")
    return out


_SHARED_CHECKS = _shared_checks()


def resolve(cli_settings: Mapping | None = None, *, directory=None) -> tuple[dict, str]:
    """Config dict and database path from defaults, pyproject.toml and CLI.

    CLI settings override the file's; include/ignore patterns from both
    are combined, since a flag usually narrows down a project-wide rule.
    Returns ``(config, db_path)``; a relative db path is relative to
    ``directory`` (the current directory by default).
    """
    base = os.fspath(directory) if directory is not None else os.getcwd()
    file_settings = load_pyproject_settings(base)
    cli = check_settings(cli_settings or {}, origin="command line")
    merged = {**file_settings, **cli}
    for key in ("include", "ignore"):
        merged[key] = list(dict.fromkeys([*file_settings.get(key, []), *cli.get(key, [])]))

    config = defaults()
    config["filters"] = {"include_frames": merged["include"], "ignore_frames": merged["ignore"]}
    for key in _PASSED_ON:
        if key in merged:
            config[key] = merged[key]
    db_path = os.path.join(base, os.path.expanduser(merged.get("db", DEFAULT_DB_PATH)))
    return config, db_path
