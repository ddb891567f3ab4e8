"""tremix.frames: the frames hold what the dict results hold."""

from __future__ import annotations

import gzip
import os
import shutil
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import tremix

pd = pytest.importorskip("pandas")
from tremix import frames  # noqa: E402
from tremix._records import dict_rows  # noqa: E402

NODE = "{},0,0,1,46,0,0,0,0,0,0,{},{},{},"
ZEROS = "0,0,0,0,0,0,0,0,0,0,"


def element(eid, prop, topology, nodes):
    return [f"{eid},124,{prop},17,{topology},1,0,0,0,0,0,0,0,", nodes, ZEROS, "0.,0.,0.,", "0.,0.,0.,", ZEROS, ZEROS]


MODEL = [
    (403, [NODE.format(5, 0.0, 0.0, 0.0), NODE.format(3, 9.0, 9.0, 9.0), NODE.format(7, 1.0, 0.0, 0.5),
           NODE.format(3, 1.0, 2.0, 0.25)]),  # node 3 twice: the later record wins, at the first place
    (404, element(1, 1, 4, "5,3,7,0,") + element(2, 2, 2, "7,99,")  # node 99 has no record
     + element(1, 1, 2, "3,5,")),  # element 1 twice: both kept, as in get_elements
    (450, ["2,0,0,", "Pressure,", "0,", "1.5,", "0,", "0,", "1,0,0,", "<NULL>", "0,", "0.,", "0,", "0,"]),
    (1051, ["1,4,1,", "Stress,", ZEROS, ZEROS, "0,0,0,7,", "0,0,0,", "7,1.0,", "5,2.0,", "7,3.0,", "-1,0."]),
]


@pytest.fixture
def parser(parser_for):
    return parser_for(blocks=MODEL)


def test_nodes_are_get_nodes(parser):
    table = frames.nodes(parser)
    assert table.index.name == "node_id" and table.index.dtype == np.int32 and list(table.columns) == ["x", "y", "z"]
    assert [(i, tuple(row)) for i, row in zip(table.index, table.to_numpy())] == list(parser.get_nodes().items())


def test_elements_with_node_ids_and_rows(parser):
    table = frames.elements(parser)
    assert table.index.name == "element_id" and list(table.index) == [1, 2, 1]
    assert list(table.columns) == ["prop_id", "topology", "node_count", "node_0", "node_1", "node_2",
                                   "row_0", "row_1", "row_2"]
    assert [r["nodes"] for r in parser.get_elements()] == [[5, 3, 7], [7, 99], [3, 5]]
    # Rows index frames.nodes (5, 3, 7); node 99 has no record, so no row.
    assert table.astype(object).where(table.notna(), None).to_numpy().tolist() == [
        [1, 4, 3, 5, 3, 7, 0, 1, 2], [2, 2, 2, 7, 99, None, 2, None, None], [1, 2, 2, 3, 5, None, 1, 0, None]]
    assert str(table["row_0"].dtype) == "Int32"


def test_vector_and_output_sets(parser):
    series = frames.vector(parser, 1, 4)
    assert series.name == "Stress" and series.index.name == "entity_id"
    assert list(series.items()) == list(parser.get_output_vectors()[0]["results"].items()) == [(7, 3.0), (5, 2.0)]
    results = tremix.Results(parser)
    assert frames.vector(results, 1, 4).equals(series)
    with pytest.raises(KeyError):
        frames.vector(results, 1, 5)
    sets = frames.output_sets(parser)
    assert sets.index.name == "set_id" and sets.index.dtype == np.int32
    assert sets.to_dict("index") == parser.get_output_sets()


def test_the_occurrence_picks_among_vectors_and_an_edit_keeps_one_row_per_id(parser_for):
    head = [ZEROS, ZEROS, "0,0,0,7,", "0,0,0,"]
    parser = parser_for(blocks=[(1051, ["1,5,1,", "First,", *head, "10,1.0,", "-1,0.",
                                        "1,5,1,", "Second,", *head, "10,2.0,", "11,3.0,", "-1,0."])])
    results = tremix.Results(parser)
    parser.get_blocks(1051)[0].lines[15] = "10,5.0,"  # same lines, values and end: read as the block now stands
    for occurrence, vector in ((0, 0), (-1, 1), (1, 1)):
        expected = parser.get_output_vectors()[vector]
        for source in (parser, results):
            series = frames.vector(source, 1, 5, occurrence)
            assert (series.name, dict(series.items())) == (expected["title"], expected["results"])


def test_one_row_per_id_is_what_a_dict_keeps():
    rng = np.random.default_rng(7)
    cases = [rng.integers(-3, 3, n) for n in range(12)] + [np.arange(9), np.arange(9)[::-1],
                                                           np.sort(rng.integers(0, 6, 30)), rng.integers(0, 40, 50)]
    for ids in (case.astype(np.int32) for case in cases):
        keep = dict_rows(ids)
        rows = list(range(len(ids))) if keep is None else keep.tolist()
        kept = {int(i): k for k, i in enumerate(ids)}  # the later row wins, at the id's first place
        assert rows == list(kept.values()), ids
        unordered = dict_rows(ids, ordered=False)
        assert (keep is None and unordered is None) or sorted(unordered.tolist()) == sorted(rows), ids


def test_every_function_reads_what_read_takes(write_neu, tmp_path):
    path = write_neu(blocks=MODEL)
    parser = tremix.read(path)
    packed = tmp_path / "model.neu.gz"
    packed.write_bytes(gzip.compress(Path(path).read_bytes()))
    latin = write_neu(blocks=MODEL, encoding="latin-1")
    by_vector = lambda source, **how: frames.vector(source, 1, 4, **how)  # noqa: E731
    for make in (frames.nodes, frames.elements, frames.output_sets, by_vector):
        expected = make(parser)
        with open(path, "rb") as binary:
            for source in (Path(path), packed, binary):
                assert make(source).equals(expected), source
        assert make(latin, encoding="latin-1", errors="strict").equals(expected)
    with pytest.raises(TypeError, match="needs a path or a file object"):
        frames.nodes(42)


def test_text_that_is_not_utf8_stays_text_where_pyarrow_stores_pandas_text(write_neu, tmp_path):
    """A title read with errors="surrogateescape" and a file name that is
    not UTF-8 hold lone surrogates, which pyarrow cannot store."""
    pytest.importorskip("pyarrow")
    from tremix.parallel import read_vector, read_vectors

    path = write_neu(blocks=[(450, ["2,0,0,", "Lastfall \xe4,", "0,", "1.5,", "0,", "0,"]), MODEL[3]],
                     encoding="latin-1")
    name = os.fsdecode(os.fsencode(tmp_path) + b"/lauf_\xe4.neu")
    shutil.copy(path, name)
    with pd.option_context("mode.string_storage", "pyarrow"):
        titles = frames.output_sets(path, encoding="utf-8", errors="surrogateescape")["title"]
        assert titles.tolist() == ["Lastfall \udce4"] and frames.output_sets(path, encoding="latin-1")["title"].dtype == "str"
        assert list(read_vector(name, encoding="latin-1")["path"].cat.categories) == [name]
    with pytest.raises(TypeError, match="an integer is required") as info:  # a filter is checked before any file is read
        read_vectors([name], "1", 1)
    assert not hasattr(info.value, "__notes__")


def test_empty_model(parser_for):
    parser = parser_for(blocks=[(100, ["t", "1"])])
    assert frames.nodes(parser).shape == (0, 3)
    assert list(frames.elements(parser).columns) == ["prop_id", "topology", "node_count"]
    sets = frames.output_sets(parser)
    assert sets.empty and sets["title"].dtype == frames.output_sets(parser_for(blocks=MODEL))["title"].dtype


@pytest.mark.parametrize("module, use", [("frames", ""), ("parallel", ".read_vectors(['no such file'])"),
                                         ("parallel", ".read_vector('no such file')")])
def test_without_pandas_the_import_error_names_the_extra(tmp_path, module, use):
    code = f"import sys; sys.modules['pandas'] = None\nimport tremix.{module}\ntremix.{module}{use}"
    result = subprocess.run([sys.executable, "-P", "-c", code], capture_output=True, text=True, cwd=tmp_path)
    assert result.returncode == 1
    assert (f'ImportError: tremix.{module} needs pandas (the "pandas" extra of tremix); install it with: pip install '
            "pandas" in result.stderr)


def test_submodules_are_attributes_of_the_package_and_load_on_first_use(tmp_path):
    code = ("import inspect, sys, tremix\n"
            "inspect.getmembers(tremix)  # gets every name dir() lists\n"
            "print('pandas' in sys.modules, tremix.frames.nodes.__module__, 'pandas' in sys.modules)\n")
    result = subprocess.run([sys.executable, "-P", "-c", code], capture_output=True, text=True, cwd=tmp_path)
    assert result.stdout == "False tremix.frames True\n", result.stderr
