"""Plugins: records for the events of well-known libraries.

Each plugin module has a ``descriptions()`` function returning what the
native module needs to react to some functions: which names (``co_name``),
in which files (a fragment of ``co_filename``), the record types, and the
Python callables that fill the records.  :func:`load_plugin_data` is called
by the native module when a profiler is registered.

Which plugins run is the ``plugins`` setting: a list of names enables
exactly those, ``{"disabled": [...]}`` enables all but those, and the
default is all of them.
"""

from __future__ import annotations

from collections.abc import Callable, Mapping

from nefa.plugins import flask, http, logging, pytest, unittest

__all__ = ["AVAILABLE", "PluginConfigError", "enabled_plugins", "load_plugin_data"]

# name -> function returning the plugin's descriptions, in the order their
# records are made when several plugins react to one event.
AVAILABLE: dict[str, Callable[[], list[dict]]] = {
    "pytest": pytest.descriptions,
    "unittest": unittest.descriptions,
    "http": http.descriptions,
    "logging": logging.descriptions,
    "flask": flask.descriptions,
}


class PluginConfigError(ValueError):
    pass


def _known() -> str:
    return ", ".join(AVAILABLE)


def _names(value: object, what: str) -> set[str]:
    if not isinstance(value, (list, tuple)) or not all(isinstance(name, str) for name in value):
        raise PluginConfigError(f"{what}: expected a list of plugin names, got {value!r}")
    for name in value:
        if name not in AVAILABLE:
            raise PluginConfigError(f"{what}: unknown plugin {name!r} (available: {_known()})")
    return set(value)


def enabled_plugins(setting: object, *, where: str = "plugins") -> list[str]:
    """The plugin names a ``plugins`` setting enables, in their running order.

    ``None`` (no setting) enables every plugin.
    """
    if setting is None:
        return list(AVAILABLE)
    if isinstance(setting, Mapping):
        unknown = [key for key in setting if key != "disabled"]
        if unknown:
            raise PluginConfigError(
                f"{where}: unknown key {unknown[0]!r}: give a list of plugins to enable, "
                'or {"disabled": [...]} to enable all but some'
            )
        disabled = _names(setting.get("disabled", []), f"{where}['disabled']")
        return [name for name in AVAILABLE if name not in disabled]
    enabled = _names(setting, where)
    return [name for name in AVAILABLE if name in enabled]


def load_plugin_data(config: Mapping) -> list[dict]:
    """The descriptions of the plugins ``config["plugins"]`` enables."""
    data: list[dict] = []
    for name in enabled_plugins(config.get("plugins"), where="config['plugins']"):
        data.extend(AVAILABLE[name]())
    return data
