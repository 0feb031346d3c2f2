"""Which plugins a configuration enables, and the descriptions handed over."""

import re

import pytest

from nefa import config, plugins

ALL = ["pytest", "unittest", "http", "logging", "flask"]


@pytest.mark.parametrize(
    "setting, enabled",
    [
        (None, ALL),
        (["flask", "http", "http"], ["http", "flask"]),
        ([], []),
        ({"disabled": ["logging", "pytest"]}, ["unittest", "http", "flask"]),
        ({}, ALL),
    ],
)
def test_settings_enable_plugins_in_their_running_order(setting, enabled):
    assert plugins.enabled_plugins(setting) == enabled
    names = {name for d in plugins.load_plugin_data({"plugins": setting}) for name in d["co_names"]}
    expected = {name for plugin in enabled for d in plugins.AVAILABLE[plugin]() for name in d["co_names"]}
    assert names == expected


@pytest.mark.parametrize(
    "setting, message",
    [
        ("http", "expected a list of plugin names, got 'http'"),
        (["http", 3], "expected a list of plugin names"),
        (["htpp"], "unknown plugin 'htpp' (available: pytest, unittest, http, logging, flask)"),
        ({"disabled": ["nope"]}, "['disabled']: unknown plugin 'nope'"),
        ({"enabled": ["http"]}, "unknown key 'enabled'"),
    ],
)
def test_bad_settings_are_refused_with_a_clear_message(setting, message):
    with pytest.raises(plugins.PluginConfigError, match=re.escape(message)):
        plugins.enabled_plugins(setting)
    with pytest.raises(config.ConfigError, match=re.escape(message)):
        config.make_config({"plugins": setting})


def test_pyproject_can_disable_some_plugins(tmp_path):
    (tmp_path / "pyproject.toml").write_text('[tool.nefa]\nplugins = { disabled = ["logging"] }\n')
    profiler_config, _ = config.resolve(directory=tmp_path)
    assert profiler_config["plugins"] == ["pytest", "unittest", "http", "flask"]
    assert config.defaults()["plugins"] == ALL
