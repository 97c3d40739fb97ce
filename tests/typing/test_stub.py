"""The installed kedo-stubs package describes the module that is installed beside it."""

import ast
import pathlib
import re

import kedo

STUB = pathlib.Path(kedo.__file__).parent / "kedo-stubs" / "__init__.pyi"


def runtime_parameters() -> list[str]:
    # pybind11 writes the signature as the first line of the function's __doc__.
    signature = kedo.unique_rows.__doc__.splitlines()[0]
    return re.findall(r"(\w+): [\w.]+", signature.split("->")[0])


def test_stub_ships_beside_the_module():
    assert STUB.is_file(), f"no stub at {STUB}"


def test_every_overload_has_the_runtime_parameters():
    tree = ast.parse(STUB.read_text())
    overloads = [n for n in tree.body if isinstance(n, ast.FunctionDef) and n.name == "unique_rows"]
    assert len(overloads) == 3
    for node in overloads:
        assert [a.arg for a in node.args.args] == runtime_parameters()
        assert not node.args.defaults and not node.args.kwonlyargs
    assert runtime_parameters() == ["query", "tolerance", "sorted_index", "method"]
    assert ast.get_docstring(overloads[0])
    names = {n.target.id for n in tree.body if isinstance(n, ast.AnnAssign)}
    assert "__version__" in names and isinstance(kedo.__version__, str)
