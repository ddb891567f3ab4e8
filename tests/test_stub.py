"""The type stub of the compiled module against the module itself."""

from __future__ import annotations

import ast
import importlib.util
import inspect
import os
import subprocess
import sys
import textwrap
from importlib import resources
from pathlib import Path

import pytest

import tremix
import tremix.core
import tremix.core.orvex_parser as mod
from tremix.core.orvex_parser import ORVEXBlock, ORVEXParser

MODULE = "tremix.core.orvex_parser"
STUB = Path(tremix.core.__file__).with_name("orvex_parser.pyi")
EXAMPLE = str(resources.files("tremix") / "data" / "example.neu")
EMPTY = object()  # "no default" in the parameter lists below

# Runtime names stubtest reports that the stub deliberately leaves out.
STUBTEST_ALLOWLIST: list[str] = []

needs_mypy = pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")


def _stub_tree() -> ast.Module:
    return ast.parse(STUB.read_text(encoding="utf-8"))


def _stub_functions() -> dict[str, ast.FunctionDef]:
    """Qualified name ('ORVEXParser.get_nodes', '__pyx_unpickle_ORVEXBlock') -> definition."""
    found = {}
    for node in _stub_tree().body:
        if isinstance(node, ast.FunctionDef):
            found[node.name] = node
        elif isinstance(node, ast.ClassDef):
            for item in node.body:
                if isinstance(item, ast.FunctionDef):
                    found[f"{node.name}.{item.name}"] = item
    return found


def _stub_typed_dicts() -> dict[str, list[str]]:
    """Record class name -> its keys in declared order."""
    return {
        node.name: [item.target.id for item in node.body if isinstance(item, ast.AnnAssign)]
        for node in _stub_tree().body
        if isinstance(node, ast.ClassDef) and any(getattr(b, "id", None) == "TypedDict" for b in node.bases)
    }


def _stub_params(fn: ast.FunctionDef) -> list[tuple[str, object]]:
    # The stub declares positional parameters only (some positional-only).
    positional = fn.args.posonlyargs + fn.args.args
    defaults = [EMPTY] * (len(positional) - len(fn.args.defaults)) + [ast.literal_eval(d) for d in fn.args.defaults]
    return [(a.arg, d) for a, d in zip(positional, defaults)]


def _runtime_params(obj) -> list[tuple[str, object]]:
    return [(name, EMPTY if p.default is inspect.Parameter.empty else p.default)
            for name, p in inspect.signature(obj).parameters.items()]


def _runtime_object(qualname: str):
    owner, _, name = qualname.rpartition(".")
    if not owner:
        return getattr(mod, name)
    return inspect.getattr_static(getattr(mod, owner), name)


def _runtime_callables() -> set[str]:
    """Every function the module itself publishes, by qualified name."""
    names = {n for n, v in vars(mod).items() if callable(v) and getattr(v, "__module__", None) == MODULE
             and not isinstance(v, type)}
    for cls in (ORVEXBlock, ORVEXParser):
        for name, value in vars(cls).items():
            value = getattr(value, "__func__", value)  # unwrap the static method
            if getattr(value, "__module__", None) == MODULE and callable(value) and name != "__new__":
                names.add(f"{cls.__name__}.{name}")
    return names


def test_stub_and_marker_ship_with_the_package():
    assert (resources.files("tremix") / "py.typed").is_file()
    assert (resources.files("tremix.core") / "orvex_parser.pyi").is_file()
    assert (resources.files("tremix.core") / "_native.pyi").is_file()


def test_stub_covers_every_published_function_and_attribute():
    stub = _stub_functions()
    assert _runtime_callables() - set(stub) == set()
    tree = _stub_tree()
    stub_attrs = {
        f"{node.name}.{item.target.id}"
        for node in tree.body if isinstance(node, ast.ClassDef) and node.name.startswith("ORVEX")
        for item in node.body if isinstance(item, ast.AnnAssign)
    }
    assert stub_attrs == {"ORVEXBlock.block_id", "ORVEXBlock.lines", "ORVEXParser.blocks"}
    for qualname in stub_attrs:
        owner, name = qualname.split(".")
        assert inspect.isdatadescriptor(inspect.getattr_static(getattr(mod, owner), name))


@pytest.mark.parametrize("qualname", sorted(set(_stub_functions()) - {"ORVEXBlock.__init__", "ORVEXParser.__init__"}))
def test_stub_parameters_match_the_module(qualname):
    try:
        obj = _runtime_object(qualname)
    except AttributeError:
        pytest.skip(f"{qualname} is not provided by this build of the module")
    obj = getattr(obj, "__func__", obj)
    if getattr(obj, "__module__", None) != MODULE:
        pytest.skip(f"{qualname} is still inherited, not provided by the module")
    assert _stub_params(_stub_functions()[qualname]) == _runtime_params(obj)


def test_constructors_accept_the_stub_keyword_names():
    # The types' __init__ hides its signature from introspection; call it instead.
    stub = _stub_functions()
    assert [n for n, _ in _stub_params(stub["ORVEXBlock.__init__"])] == ["self", "block_id", "lines"]
    assert [n for n, _ in _stub_params(stub["ORVEXParser.__init__"])] == ["self", "filepath"]
    assert ORVEXBlock(block_id=3, lines=["a"]).block_id == 3
    assert isinstance(ORVEXParser(filepath=EXAMPLE).parse(), dict)


def test_record_types_have_the_keys_the_extractors_return():
    parser = ORVEXParser(EXAMPLE)
    try:
        samples = {
            "HeaderRecord": parser.get_header(),
            "PropertyRecord": next(iter(parser.get_properties().values())),
            "MaterialRecord": next(iter(parser.get_materials().values())),
            "ElementRecord": parser.get_elements()[0],
            "OutputSetRecord": next(iter(parser.get_output_sets().values())),
            "OutputVectorRecord": parser.get_output_vectors()[0],
        }
    except NotImplementedError as exc:
        pytest.skip(f"extractor not built yet: {exc}")
    records = _stub_typed_dicts()
    assert set(records) == set(samples)
    for name, sample in samples.items():
        assert list(sample) == records[name], name


def _mypy_env() -> dict[str, str]:
    """mypy finds an installed package through its py.typed marker; a package
    used from its source folder (editable install) needs that folder named."""
    env = dict(os.environ)
    root = Path(tremix.__file__).resolve().parent.parent
    if not {"site-packages", "dist-packages"} & set(root.parts):
        env["MYPYPATH"] = str(root)
    return env


def _run(args: list[str], cwd: Path) -> subprocess.CompletedProcess:
    # The first run of mypy analyses NumPy's stubs too: allow it minutes.
    return subprocess.run([sys.executable, "-P", *args], cwd=cwd, env=_mypy_env(), capture_output=True,
                          text=True, timeout=600)


@needs_mypy
def test_stubtest_finds_no_difference(tmp_path):
    allowlist = tmp_path / "allowlist.txt"
    allowlist.write_text("\n".join(STUBTEST_ALLOWLIST) + "\n")
    result = _run(["-m", "mypy.stubtest", MODULE, "tremix.core._native", "--allowlist", str(allowlist)], tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


@needs_mypy
def test_the_python_modules_type_check(tmp_path):
    result = _run(["-m", "mypy", "--strict", "-p", "tremix"], tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


@needs_mypy
def test_stub_types_a_typical_program(tmp_path):
    program = tmp_path / "program.py"
    program.write_text(textwrap.dedent("""
        from typing import assert_type
        import numpy as np
        import numpy.typing as npt
        from tremix.core.orvex_parser import ORVEXBlock, ORVEXParser

        parser = ORVEXParser("model.neu")
        ids, coords = parser.get_nodes_arrays()
        assert_type(ids, npt.NDArray[np.int32])
        assert_type(coords, npt.NDArray[np.float64])
        assert_type(parser.get_nodes(force_2d=True), dict[int, tuple[float, float, float]])
        header = parser.get_header()
        if header is not None:
            assert_type(header["version"], str)
        for element in parser.get_elements():
            assert_type(element["nodes"], list[int])
        offsets = parser.get_elements_arrays()[4]
        assert_type(offsets, npt.NDArray[np.int32])
        entity_ids, values, set_id, vec_id, ent_type = parser.get_output_vectors_arrays(set_id_filter=1)
        if entity_ids is not None:
            assert_type(entity_ids, npt.NDArray[np.int32])
        assert_type(ent_type, int)
        for vector in parser.get_output_vectors():
            assert_type(vector["ent_type"], int | None)
            assert_type(vector["results"], dict[int, float])
        assert_type(ORVEXParser.parse_csv_line("1, 2"), list[str])
        block: ORVEXBlock = parser.get_blocks(403)[0]
        assert_type(block.lines, list[str] | None)
        parser.get_blocks("403")  # an error: block numbers are ints

        import io
        import pandas as pd
        import tremix
        from tremix import frames

        read = tremix.read(io.BytesIO(b""), encoding="latin-1")
        assert_type(read, ORVEXParser)
        results = tremix.Results(read)
        assert_type(results[0], tremix.VectorInfo)
        assert_type(results.arrays(1, 2)[0], npt.NDArray[np.int32])
        assert_type(tremix.vectors("model.neu")[0].ent_type, int | None)
        assert_type(frames.vector(results, 1, 2), "pd.Series[float]")
        assert_type(frames.nodes("model.neu"), pd.DataFrame)  # what tremix.read takes
        assert_type(tremix.check(io.BytesIO(b"")), list[tremix.Finding])
        assert_type(tremix.parallel.read_vectors(["model.neu"]), pd.DataFrame)  # a submodule as an attribute
        assert_type(tremix.__version__, str)
    """))
    result = _run(["-m", "mypy", "--strict", "--no-error-summary", str(program)], tmp_path)
    errors = [line for line in result.stdout.splitlines() if ": error:" in line]
    assert len(errors) == 1 and '"get_blocks"' in errors[0], result.stdout + result.stderr
