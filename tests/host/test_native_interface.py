"""What the two extension modules show Python: the value-form codes against
the documented table, and the installed stubs against the modules."""

import ast
import re
from pathlib import Path

import pytest

import nefa
from nefa import _native, _nefa

DOCS = Path(__file__).resolve().parents[2] / "docs"


def documented_codes():
    """code -> kind of the table in docs/value-forms.md."""
    lines = iter((DOCS / "value-forms.md").read_text(encoding="utf-8").splitlines())
    for line in lines:
        if line.startswith("| code | kind | payload | shown as |"):
            break
    next(lines)  # | --- | ...
    table = {}
    for line in lines:
        if not line.startswith("|"):
            break
        code, kind = (cell.strip() for cell in line.strip("|").split("|")[:2])
        table[int(code)] = kind
    return table


def test_value_form_codes_are_the_documented_ones():
    table = documented_codes()
    codes = _native.VALUE_FORM_CODES
    # Every documented code exported and every exported one documented, once.
    assert sorted(codes.values()) == sorted(table)
    for name, code in codes.items():
        # The kind names it: "more_items" is "more items", "big_int" an "int outside ...".
        assert name.split("_")[-1] in re.findall(r"[a-z]+", table[code]), (name, code, table[code])


def public_names(body):
    names = set()
    for node in body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            names.add(node.name)
        elif isinstance(node, ast.AnnAssign):
            names.add(node.target.id)
        elif isinstance(node, ast.Assign):
            names.update(target.id for target in node.targets)
    return {name for name in names if not name.startswith("_")}


@pytest.mark.parametrize("module", [_nefa, _native], ids=lambda module: module.__name__)
def test_installed_stub_names_what_the_module_has(module):
    package = Path(nefa.__file__).parent
    assert (package / "py.typed").is_file()
    stub = ast.parse((package / (module.__name__.rpartition(".")[2] + ".pyi")).read_text(encoding="utf-8"))
    assert public_names(stub.body) == {name for name in dir(module) if not name.startswith("_")}
    for node in stub.body:
        if isinstance(node, ast.ClassDef):
            kind = getattr(module, node.name)
            assert public_names(node.body) == {name for name in dir(kind) if not name.startswith("_")}, node.name
