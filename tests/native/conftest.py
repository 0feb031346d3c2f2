import sys
from pathlib import Path

import pytest

# The test modules share nefa_native_support; under --import-mode=importlib
# their own directory is not on sys.path.
_HERE = str(Path(__file__).resolve().parent)
if _HERE not in sys.path:
    sys.path.insert(0, _HERE)

# Every native test runs under each event source the interpreter has; the
# harness of the traced child reads the choice from the environment.
ENGINES = ["profile", "monitoring"] if sys.version_info >= (3, 12) else ["profile"]


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "profile_hook: about the profile hook itself, or choosing its engines itself: run once"
    )


@pytest.fixture(autouse=True, params=ENGINES)
def engine(request, monkeypatch):
    monkeypatch.setenv("NEFA_TEST_ENGINE", request.param)
    return request.param


def pytest_collection_modifyitems(config, items):
    items[:] = [
        item
        for item in items
        if not (
            item.get_closest_marker("profile_hook") is not None
            and getattr(item, "callspec", None) is not None
            and item.callspec.params.get("engine") == "monitoring"
        )
    ]
