import os

import pytest

from nefa import config, filters
from nefa.profiler import Profiler


def write_pyproject(directory, body):
    if isinstance(body, bytes):
        (directory / "pyproject.toml").write_bytes(body)
    else:
        (directory / "pyproject.toml").write_text(body)


def test_resolve_merges_defaults_file_and_cli(tmp_path):
    write_pyproject(
        tmp_path,
        """
[project]
name = "x"

[tool.nefa]
db = "traces/store.db"
include = ["src/", "./lib/"]
ignore = ["generated/"]
threading = false
sqlite_busy_timeout = 5
memory_budget = "256M"
engine = "profile"
""",
    )
    cfg, db_path = config.resolve(
        {"include": ["app/", "src/"], "lightweight_repr": True, "threading": True, "memory_budget": "512M"},
        directory=tmp_path,
    )
    assert cfg == {
        "filters": {"include_frames": ["src/", "lib/", "app/"], "ignore_frames": ["generated/"]},
        "sqlite_busy_timeout": 5,
        "threading": True,
        "lightweight_repr": True,
        "memory_budget": 512 << 20,
        "plugins": ["pytest", "unittest", "http", "logging", "flask"],
        "engine": "profile",
    }
    assert db_path == str(tmp_path / "traces" / "store.db")


def test_resolve_without_pyproject_gives_defaults(tmp_path):
    assert config.resolve(directory=tmp_path) == (config.defaults(), str(tmp_path / ".nefa" / "db.sqlite3"))


@pytest.mark.parametrize(
    "body, message",
    [
        ("[tool.nefa]\nthreading = 'yes'\n", "threading: expected true or false"),
        ("[tool.nefa]\nsqlite_busy_timeout = -1\n", "sqlite_busy_timeout"),
        ("[tool.nefa]\nsqlite_busy_timeout = true\n", "sqlite_busy_timeout"),
        ("[tool.nefa]\ninclude = 'src/'\n", "include: expected a list"),
        ("[tool.nefa]\nignore = ['']\n", "empty pattern"),
        ("[tool.nefa]\ntreading = true\n", "treading: unknown setting"),
        ("[tool.nefa]\nplugins = ['nope']\n", "unknown plugin 'nope'"),
        ("[tool.nefa]\nengine = 'fast'\n", "engine: expected one of 'monitoring', 'profile', got 'fast'"),
        ("[tool.nefa]\ndb = 3\n", "db: expected a path"),
        ("[tool.nefa]\nmemory_budget = '2 lots'\n", "memory_budget: expected a size such as 512M"),
        ("[tool.nefa]\nmemory_budget = -5\n", "memory_budget: expected a size"),
        ("[tool]\nnefa = 3\n", "must be a table"),
        ("[tool.nefa\n", "not valid TOML"),
        ("[tool.nefa]\nsqlite_busy_timeout = 2147484\n", "from 0 to 2147483, got 2147484"),
        (b"# r\xe9sum\xe9\n[tool.nefa]\n", r"not UTF-8 text \(byte 3 cannot be decoded\)"),
    ],
)
def test_bad_pyproject_values_are_reported(tmp_path, body, message):
    write_pyproject(tmp_path, body)
    with pytest.raises(config.ConfigError, match=message) as info:
        config.resolve(directory=tmp_path)
    assert "pyproject.toml" in str(info.value)


def test_make_config_validates_the_native_shape():
    cfg = config.make_config({"threading": False, "filters": {"ignore_frames": ["vendor/"]}})
    assert cfg["threading"] is False
    assert cfg["filters"] == {"include_frames": [], "ignore_frames": ["vendor/"]}
    # Each call hands out its own copy: mutating one must not leak.
    cfg["filters"]["include_frames"].append("x")
    assert config.make_config()["filters"]["include_frames"] == []

    for bad in [
        {"threading": 1},
        {"lightweight_repr": None},
        {"filters": ["a"]},
        {"filters": {"include": ["a"]}},
        {"filters": {"include_frames": [3]}},
        {"colour": True},
    ]:
        with pytest.raises(config.ConfigError):
            config.make_config(bad)
    with pytest.raises(config.ConfigError):
        config.make_config(["not", "a", "mapping"])
    # SQLite cannot wait that long: refused here, not by an OverflowError at start().
    with pytest.raises(
        config.ConfigError,
        match=r"^config\['sqlite_busy_timeout'\]: expected a whole number of"
        r" seconds from 0 to 2147483, got 1180591620717411303424$",
    ):
        Profiler(config={"sqlite_busy_timeout": 2**70})
    assert config.make_config({"sqlite_busy_timeout": config.MAX_BUSY_TIMEOUT})["sqlite_busy_timeout"] == 2147483


def test_filter_patterns_are_checked_and_tidied():
    assert filters.build_filters([" src/ ", "./app/", "src/"], None) == {
        "include_frames": ["src/", "app/"],
        "ignore_frames": [],
    }
    for bad in ["", "   ", "./", ".", "a\nb", "nul\0"]:
        with pytest.raises(filters.FilterError):
            filters.normalize_pattern(bad)
    with pytest.raises(filters.FilterError, match="expected a string"):
        filters.normalize_patterns([b"bytes"])
    with pytest.raises(filters.FilterError, match="expected a list"):
        filters.normalize_patterns("src/")


@pytest.mark.parametrize(
    "text, size",
    [
        ("512M", 512 << 20),
        ("2G", 2 << 30),
        ("2g", 2 << 30),
        ("1.5GiB", 3 << 29),
        ("64 kb", 64 << 10),
        ("1048576", 1 << 20),
        ("0", 0),
        ("1T", 1 << 40),
    ],
)
def test_sizes_are_read_in_binary_units(text, size):
    assert config.parse_size(text) == size
    if 0 < size <= config.MAX_MEMORY_BUDGET:
        assert config.make_config({"memory_budget": text})["memory_budget"] == size


def test_a_budget_is_at_most_what_one_trace_can_store():
    # One trace is one SQLite blob: a budget past SQLite's limit would
    # record a trace that cannot be stored.
    assert 0 < config.MAX_MEMORY_BUDGET < 1_000_000_000
    assert config.make_config({"memory_budget": 0})["memory_budget"] == config.MAX_MEMORY_BUDGET
    assert config.make_config({"memory_budget": config.MAX_MEMORY_BUDGET})["memory_budget"] == config.MAX_MEMORY_BUDGET
    with pytest.raises(config.ConfigError, match="more than one trace can hold in the database"):
        config.make_config({"memory_budget": "2G"})


@pytest.mark.parametrize("text", ["", "M", "-1", "2X", "1e9", "two", "5 M B"])
def test_a_size_that_is_no_size_is_refused(text):
    with pytest.raises(ValueError):
        config.parse_size(text)
    with pytest.raises(config.ConfigError, match="expected a size such as 512M or 2G"):
        config.make_config({"memory_budget": text})


def test_the_default_budget_is_a_share_of_physical_memory(monkeypatch):
    physical = os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
    expected = min(physical // 8, config.MAX_MEMORY_BUDGET)
    assert config.default_memory_budget() == expected
    assert config.defaults()["memory_budget"] == expected

    def unknown(name):
        raise ValueError(name)

    monkeypatch.setattr(os, "sysconf", unknown)
    assert config.default_memory_budget() == min(1 << 30, config.MAX_MEMORY_BUDGET)
