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
""",
    )
    cfg, db_path = config.resolve({"include": ["app/", "src/"], "lightweight_repr": True, "threading": True},
                                  directory=tmp_path)
    assert cfg == {
        "filters": {"include_frames": ["src/", "lib/", "app/"], "ignore_frames": ["generated/"]},
        "sqlite_busy_timeout": 5,
        "threading": True,
        "lightweight_repr": True,
        "plugins": ["pytest", "unittest", "http", "logging", "flask"],
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
        ("[tool.nefa]\ndb = 3\n", "db: expected a path"),
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

    for bad in [{"threading": 1}, {"lightweight_repr": None}, {"filters": ["a"]},
                {"filters": {"include": ["a"]}}, {"filters": {"include_frames": [3]}}, {"colour": True}]:
        with pytest.raises(config.ConfigError):
            config.make_config(bad)
    with pytest.raises(config.ConfigError):
        config.make_config(["not", "a", "mapping"])
    # SQLite cannot wait that long: refused here, not by an OverflowError at start().
    with pytest.raises(config.ConfigError, match=r"^config\['sqlite_busy_timeout'\]: expected a whole number of"
                                                 r" seconds from 0 to 2147483, got 1180591620717411303424$"):
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
