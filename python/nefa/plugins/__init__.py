"""Where the descriptions of enabled plugins are gathered for the native module.

No plugin ships yet: :func:`load_plugin_data` validates the ``plugins`` enable
list of the configuration and returns one description per enabled plugin,
which for now means none.
"""

from __future__ import annotations

from collections.abc import Mapping

# name -> factory returning the description handed to the native module.
AVAILABLE: dict[str, object] = {}


class UnknownPluginError(ValueError):
    pass


def load_plugin_data(config: Mapping) -> list:
    enabled = config.get("plugins") or []
    data = []
    for name in enabled:
        factory = AVAILABLE.get(name)
        if factory is None:
            known = ", ".join(sorted(AVAILABLE)) or "none yet"
            raise UnknownPluginError(f"unknown plugin {name!r} (available: {known})")
        data.append(factory())
    return data
