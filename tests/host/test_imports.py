"""The package's import graph, read off the source: imports inside functions
count, since they run as surely as the others, only later."""

import ast
from importlib.machinery import EXTENSION_SUFFIXES
from pathlib import Path

import nefa

ROOT = Path(nefa.__file__).parent


def _modules() -> dict[str, Path | None]:
    """Each module's source; None for the native ones, which import nothing of nefa."""
    found: dict[str, Path | None] = {}
    for path in ROOT.rglob("*.py"):
        parts = ("nefa", *path.relative_to(ROOT).with_suffix("").parts)
        found[".".join(parts[:-1] if parts[-1] == "__init__" else parts)] = path
    found.update(
        (f"nefa.{path.name.split('.')[0]}", None)
        for path in ROOT.iterdir()
        if path.name.endswith(tuple(EXTENSION_SUFFIXES))
    )
    return found


def _imports(name: str, path: Path, modules) -> set[str]:
    """The nefa modules ``name`` imports; a name imported from a package is
    the submodule of that name where there is one, else the package."""
    if path is None:
        return set()
    package = name if path.name == "__init__.py" else name.rpartition(".")[0]
    found = set()
    for node in ast.walk(ast.parse(path.read_text(), str(path))):
        if isinstance(node, ast.Import):
            found.update(alias.name for alias in node.names)
        elif isinstance(node, ast.ImportFrom):
            base = node.module or ""
            if node.level:
                anchor = package.rsplit(".", node.level - 1)[0]
                base = f"{anchor}.{base}" if base else anchor
            found.update(f"{base}.{alias.name}" if f"{base}.{alias.name}" in modules else base for alias in node.names)
    return {module for module in found if module in modules and module != name}


def _graph():
    modules = _modules()
    return {name: _imports(name, path, modules) for name, path in modules.items()}


def _cycle(graph) -> list[str] | None:
    state: dict[str, int] = {}  # 1: on the path, 2: done
    path: list[str] = []

    def visit(name):
        state[name] = 1
        path.append(name)
        for other in sorted(graph[name]):
            if state.get(other) == 1:
                return path[path.index(other) :] + [other]
            if other not in state and (found := visit(other)):
                return found
        path.pop()
        state[name] = 2
        return None

    return next((found for name in sorted(graph) if name not in state and (found := visit(name))), None)


def test_no_import_cycle_and_the_store_never_imports_the_readers():
    graph = _graph()
    assert {"nefa.db", "nefa.traces.call_index", "nefa.store"} <= graph.keys()
    assert "nefa.traces.call_index" in graph["nefa.traces.indexed_survey"]  # the walk sees what is there
    assert _cycle(graph) is None, " -> ".join(_cycle(graph))
    store = {
        name: sorted(m for m in imported if m == "nefa.traces" or m.startswith("nefa.traces."))
        for name, imported in graph.items()
        if name == "nefa.store" or name.startswith("nefa.store.")
    }
    assert not any(store.values()), store


def _private_uses(path: Path, modules) -> list[str]:
    """Private names this file takes from another nefa module: imported by
    name, or read as an attribute of an imported module."""
    tree = ast.parse(path.read_text(), str(path))
    bound: dict[str, str] = {}  # local name -> nefa module it stands for
    found = []
    for node in ast.walk(tree):
        if isinstance(node, ast.ImportFrom) and node.module and node.module.startswith("nefa"):
            for alias in node.names:
                target = f"{node.module}.{alias.name}"
                if target in modules:
                    bound[alias.asname or alias.name] = target
                elif alias.name.startswith("_") and not alias.name.startswith("__"):
                    found.append(f"{node.module}.{alias.name}")
        elif isinstance(node, ast.Import):
            bound.update((alias.asname, alias.name) for alias in node.names if alias.asname and alias.name in modules)
    for node in ast.walk(tree):
        if (
            isinstance(node, ast.Attribute)
            and isinstance(node.value, ast.Name)
            and node.value.id in bound
            and node.attr.startswith("_")
            and not node.attr.startswith("__")
        ):
            found.append(f"{bound[node.value.id]}.{node.attr}")
    return found


def test_no_private_name_crosses_a_module_boundary():
    modules = _modules()
    crossing = {
        str(path.relative_to(ROOT)): uses
        for path in modules.values()
        if path is not None
        if (uses := _private_uses(path, modules))
    }
    assert not crossing, crossing
