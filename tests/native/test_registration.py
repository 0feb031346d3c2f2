"""The module's surface, and what register_profiler accepts or refuses."""

import pytest
from nefa_native_support import events, run_traced

from nefa import _nefa


def test_module_surface():
    # The extension names itself "_nefa"; the import system qualifies the
    # module with its package, but the functions keep the bare name.
    assert _nefa.__name__ == "nefa._nefa"
    assert _nefa.__all__ == ["register_noop_profiler", "register_profiler"]
    for function, signature in [(_nefa.register_profiler, "(profiler)"), (_nefa.register_noop_profiler, "()")]:
        assert function.__text_signature__ == signature
        # Only the signature was written: nothing is left as documentation.
        assert not function.__doc__
        assert function.__module__ == "_nefa"


def test_profiler_type_surface(tmp_path):
    result = run_traced(
        tmp_path,
        """
        from harness import start, stop, emit, error_text
        p = start()
        stop()
        kind = type(p.rust_profiler)
        outcomes = []
        for attempt in (lambda: kind(), lambda: kind.build_trace(object())):
            try:
                attempt()
            except Exception as error:
                outcomes.append(error_text(error))
        emit((kind.__module__, kind.__name__, outcomes))
        """,
    )
    module, name, outcomes = result.outputs[0]
    assert (module, name) == ("nefa._nefa", "NefaProfiler")
    assert outcomes[0] == ("TypeError", "No constructor defined")
    assert outcomes[1][0] == "TypeError" and "NefaProfiler" in outcomes[1][1]


REFUSED = [
    pytest.param("{}", {"callable": False}, "TypeError", "profiler object is not callable", id="not-callable"),
    pytest.param("[]", {}, "TypeError", "'list' object cannot be converted to 'PyDict'", id="config-not-dict"),
    pytest.param(
        "{'filters': {'include_frames': 'app'}}", {}, "TypeError", "Can't extract `str` to `Vec`", id="include-str"
    ),
    pytest.param(
        "{'filters': {'ignore_frames': {'app'}}}",
        {},
        "TypeError",
        "'set' object cannot be converted to 'Sequence'",
        id="ignore-set",
    ),
    pytest.param(
        "{'filters': {'include_frames': ['a', 1]}}",
        {},
        "TypeError",
        "'int' object cannot be converted to 'PyString'",
        id="include-item-int",
    ),
    pytest.param("{'sqlite_busy_timeout': -1}", {}, "OverflowError", None, id="timeout-negative"),
    pytest.param("{'sqlite_busy_timeout': '5'}", {}, "TypeError", None, id="timeout-str"),
    pytest.param("{}", {"one_trace_per_test": 1}, "TypeError", "cannot be converted to 'PyBool'", id="per-test-int"),
    pytest.param("{}", {"trace_id": None}, "TypeError", "cannot be converted to 'PyString'", id="trace-id-none"),
    pytest.param("{}", {"source": 3}, "TypeError", "cannot be converted to 'PyString'", id="source-int"),
]


@pytest.mark.parametrize("config, attributes, error_type, message", REFUSED)
def test_refused_profilers_install_nothing(tmp_path, config, attributes, error_type, message):
    result = run_traced(
        tmp_path,
        f"""
        import sys
        import types
        from harness import Profiler, emit, error_text
        from nefa import _nefa
        attributes = {attributes!r}
        if attributes.pop("callable", True):
            p = Profiler({config}, **attributes)
        else:
            p = types.SimpleNamespace(config={config}, db_path="x.db", one_trace_per_test=False,
                                      trace_id="trc_x", source="s")
        try:
            _nefa.register_profiler(p)
        except BaseException as error:
            emit((error_text(error), hasattr(p, "rust_profiler"), sys.getprofile()))
        """,
    )
    (kind, text), has_instance, hook = result.outputs[0]
    assert kind == error_type
    if message is not None:
        assert message in text
    assert not has_instance
    assert hook is None


ACCEPTED = [
    pytest.param("{'filters': None}", "", "p", id="filters-none"),
    pytest.param("{'filters': {'include_frames': ('zzz',), 'ignore_frames': ['yyy']}}", "", "p", id="tuple-filters"),
    pytest.param("{'sqlite_busy_timeout': 0, 'threading': 'yes', 'lightweight_repr': 1}", "", "p", id="loose-flags"),
    pytest.param("{}", "db_path=pathlib.Path('a') / 'b.db'", "profiler=p", id="path-db-by-keyword"),
]


@pytest.mark.parametrize("config, attributes, argument", ACCEPTED)
def test_accepted_profilers_record(tmp_path, config, attributes, argument):
    result = run_traced(
        tmp_path,
        f"""
        import pathlib
        from harness import Profiler, finish
        from nefa import _nefa
        def work():
            return 1
        p = Profiler({config}, {attributes})
        _nefa.register_profiler({argument})
        work()
        finish(p)
        """,
    )
    assert events(result.document["frames_of_interest"]) == [("work", "call"), ("work", "return")]


@pytest.mark.parametrize(
    "arguments, fragment",
    [("", "missing required argument 'profiler'"), ("p, p", "takes 1 positional argument"), ("prof=p", "unexpected")],
)
def test_bad_arguments(tmp_path, arguments, fragment):
    result = run_traced(
        tmp_path,
        f"""
        from harness import Profiler, emit, error_text
        from nefa import _nefa
        p = Profiler()
        try:
            _nefa.register_profiler({arguments})
        except TypeError as error:
            emit(error_text(error))
        """,
    )
    [(kind, text)] = result.outputs
    assert kind == "TypeError"
    assert fragment in text


PLUGIN_FAILURES = [
    pytest.param(
        "def broken(config):\n    raise ValueError('no plugins today')\nplugins.load_plugin_data = broken",
        "load_plugin_data should be callable",
        "no plugins today",
        id="raises",
    ),
    pytest.param(
        "plugins.load_plugin_data = lambda config: ()",
        "load_plugin_data should return a list",
        "tuple",
        id="not-a-list",
    ),
    pytest.param("del plugins.load_plugin_data", "load_plugin_data should exist", "", id="missing"),
]


@pytest.mark.parametrize("patch, prefix, detail", PLUGIN_FAILURES)
def test_plugin_loading_failures_raise_internal_error(tmp_path, patch, prefix, detail):
    result = run_traced(
        tmp_path,
        f"""
        import sys
        from harness import Profiler, emit
        from nefa import _nefa, plugins
        exec({patch!r})
        p = Profiler()
        try:
            _nefa.register_profiler(p)
        except Exception as error:
            kind = type(error)
            emit((kind.__module__, kind.__name__, isinstance(error, RuntimeError), str(error),
                  hasattr(p, "rust_profiler"), sys.getprofile()))
        """,
    )
    module, name, is_runtime_error, message, has_instance, hook = result.outputs[0]
    assert (module, name, is_runtime_error) == ("nefa._nefa", "InternalError", True)
    assert message.startswith(prefix)
    assert detail in message
    assert not has_instance
    assert hook is None
