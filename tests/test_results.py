"""tremix.vectors and tremix.Results against the output-vector extractors."""

from __future__ import annotations

import copy
import math
import pickle
from dataclasses import astuple

import numpy as np
import orvex_gen
import pytest
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st

import tremix
from conftest import neu_text
from storage import STORAGES, in_storage
from tremix.summary import summary_of
from tremix.core import _native
from tremix.core.orvex_parser import ORVEXParser

ZEROS = "0,0,0,0,0,0,0,0,0,0,"


def vector(set_id, vec_id, title, records, ent_type=7):
    pair = [f"0,0,0,{ent_type},", "0,0,0,"] if ent_type is not None else []
    return [f"{set_id},{vec_id},1,", title, ZEROS, ZEROS, *pair, *records, "-1,0."]


EDGES = [
    (1051, vector(1, 1, "Displacement,", ["10,1.0,", "11,2.0,", "10,5.0,"])  # entity 10 written twice
     + vector(1, 2, "Broken,", ["12,1.5,", "13,abc,"])  # does not convert: left out
     + vector(2, 1, "<NULL>", ["1,3,0.5,0.25,0.125,", "3,0.75,"]),  # a range record, its last entity written again
     ),
    (451, vector(1, 1, "Displacement again,", ["20,-1.0,"], ent_type=8)  # the pair (1, 1) once more
     + vector(3, 9, "No entity type,", [], ent_type=None)),
]


def described(parser):
    return [(v["set_id"], v["vec_id"], v["title"], v["ent_type"], len(v["results"]))
            for v in parser.get_output_vectors()]


def test_catalogue_and_arrays_agree_with_the_extractors(parser_for):
    parser = parser_for(blocks=EDGES)
    infos = tremix.vectors(parser)
    assert [astuple(info) for info in infos] == described(parser)
    assert [i.count for i in infos] == [2, 3, 1, 0]
    records = parser.get_output_vectors()

    results = tremix.Results(parser)
    assert list(results) == infos
    for k, record in enumerate(records):
        ids, values = results.arrays_at(k)
        assert dict(zip(ids.tolist(), values.tolist())) == record["results"]
    # The first occurrence is what the array form picks; repeats are kept there.
    got, want = results.arrays(1, 1), parser.get_output_vectors_arrays(1, 1)[:2]
    assert [a.tolist() for a in got] == [a.tolist() for a in want] == [[10, 11, 10], [1.0, 2.0, 5.0]]
    assert got[0].dtype == np.int32 and got[1].dtype == np.float64
    assert results.find(1, 1) == [0, 2] and results.find(1, 2) == []
    results.find(1, 1).append(9)  # the caller's own list
    assert results.find(1, 1) == [0, 2]
    assert results.arrays(1, 1, occurrence=-1)[1].tolist() == [-1.0]
    assert results.info(1, 1, 1).title == "Displacement again"
    # The expected count only sizes the memory asked for: none, too few, more, more than a vector holds.
    for expected in (0, 1, 10**6, 2**61):
        got = _native.vector_data(results._blocks, *results._starts[0], expected)
        assert [a.tolist() for a in got] == [[10, 11, 10], [1.0, 2.0, 5.0]]
    # A list that no longer holds the block: no data.
    assert _native.vector_data(results._blocks[:results._starts[0][0]], *results._starts[0], 1) is None


def test_missing_vectors_and_occurrences(parser_for):
    results = tremix.Results(parser_for(blocks=EDGES))
    with pytest.raises(KeyError, match="set_id 1 and vec_id 2"):
        results.arrays(1, 2)
    with pytest.raises(IndexError, match="occurs 2 time"):
        results.arrays(1, 1, occurrence=2)
    with pytest.raises(TypeError):
        results.position(1, 1, slice(None))  # one integer: a position is never a list
    for position in (-5, 4):
        with pytest.raises(IndexError, match=f"position {position} is out of range for 4 result vectors"):
            results.arrays_at(position)
    with pytest.raises(TypeError):
        results.arrays_at(0.5)
    assert all(np.array_equal(a, b) for a, b in zip(results.arrays_at(-4), results.arrays_at(0)))
    # Ids given as text find nothing, and the message must not claim the file lacks vector (1, 1).
    with pytest.raises(KeyError, match="set_id '1' and vec_id 1"):
        results.arrays("1", 1)
    with pytest.raises(KeyError, match=r"set_id 1 and vec_id 2\b"):  # NumPy's integers show as numbers
        results.arrays(np.int32(1), np.int64(2))
    empty = tremix.Results(parser_for(blocks=[(403, [])]))
    assert len(empty) == 0 and tremix.vectors(parser_for(blocks=[])) == []


class NotedResults(tremix.Results):
    pass


def test_pickled_and_copied_results_read_as_the_original(parser_for):
    results = NotedResults(parser_for(blocks=EDGES))  # every protocol, and a subclass's own attribute too
    results.note = "mine"
    copies = [pickle.loads(pickle.dumps(results, protocol)) for protocol in range(pickle.HIGHEST_PROTOCOL + 1)]
    for again in copies + [copy.copy(results), copy.deepcopy(results)]:
        assert list(again) == list(results) and again.find(1, 1) == [0, 2] and again.note == "mine"
        assert [a.tolist() for a in again.arrays(1, 1, occurrence=-1)] == [[20], [-1.0]]


def test_overridden_blocks_are_read(write_neu):
    class ElementalOnly(ORVEXParser):
        def get_blocks(self, block_id):
            return [] if block_id == 1051 else super().get_blocks(block_id)

    parser = ElementalOnly(write_neu(blocks=EDGES))
    assert [(i.set_id, i.vec_id) for i in tremix.vectors(parser)] == [(1, 1), (3, 9)]
    assert tremix.Results(parser).arrays(1, 1)[0].tolist() == [20]


@pytest.mark.parametrize("change", [
    lambda lines: lines.__setitem__(6, "10,abc,"),  # vector (1, 1)'s first data line no longer converts
    lambda lines: lines.__delitem__(slice(0, 3)),   # lines gone before it: its position is elsewhere
    lambda lines: lines.__setitem__(9, "12,4.0,"),  # its end-of-data line is a record: the data runs on
    lambda lines: lines.__setitem__(6, "10,12,1.0,2.0,3.0,"),  # more values, same lines and end
], ids=["bad-value", "lines-before", "no-end", "more-values"])
def test_changed_blocks_are_reported_not_misread(parser_for, change):
    parser = parser_for(blocks=EDGES)
    results = tremix.Results(parser)
    block = parser.get_blocks(1051)[0]
    lines = list(block.lines)
    change(lines)
    block.lines = lines
    with pytest.raises(RuntimeError, match="changed since"):
        results.arrays(1, 1)
    # Another vector's block was not touched.
    assert results.arrays(1, 1, occurrence=1)[0].tolist() == [20]


def test_generated_file_every_vector(tmp_path, storage):
    path = tmp_path / "gen.neu"
    orvex_gen.generate(path, n_nodes=300, n_vectors=6, n_sets=2, run_len=7)
    results = tremix.Results(in_storage(tremix.read(path), storage))
    parser = ORVEXParser(str(path))
    assert [astuple(info) for info in results] == described(parser)
    for info in results:
        want = parser.get_output_vectors_arrays(info.set_id, info.vec_id)[:2]
        assert all(np.array_equal(g, w) for g, w in zip(results.arrays(info.set_id, info.vec_id), want)), info


def range_record(first: int, last: int, texts: list[str], per_line: int) -> list[str]:
    """A range record whose values go on over lines of `per_line` values."""
    return [",".join([str(first), str(last), *texts[:per_line]]) + ","] + [
        ",".join(texts[k:k + per_line]) + "," for k in range(per_line, len(texts), per_line)]


values = st.floats(width=64) | st.sampled_from([0.0, -0.0])
# As float() writes them, and as exporters do (which are ranged without being converted).
texts = values.map(repr) | values.map(lambda v: f"{v:.7E}") | values.map(lambda v: f"{v:.6E}")
records = st.one_of(
    st.builds(lambda i, v: [f"{i},{v},"], st.integers(-2, 9), texts),
    st.builds(range_record, st.integers(-2, 9), st.integers(-2, 9), st.lists(texts, max_size=7), st.integers(1, 3)))


@pytest.fixture(scope="module")
def scratch(tmp_path_factory):
    return tmp_path_factory.mktemp("results") / "ids.neu"


@pytest.mark.parametrize("storage", STORAGES)
@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.lists(st.lists(records, max_size=8), min_size=1, max_size=4))
@example([[["1,2,5.0000000E+00,", "6.0000000E+00,9.9000000E+01,-9.9000000E+01,"]]])  # values beyond the count
@example([[["1,0.0000000E+00,"], ["2,-0.0000000E+00,"]], [["1,0.0,"], ["2,-0.0000000E+00,"]],
          [["1,-0.0000000E+00,"], ["2,0.0,"]]])  # zeros of either sign, read either way: the first stands
def test_counts_and_ranges_of_ids_in_any_order(scratch, storage, vectors):
    """Ids that rise, fall back, overlap and repeat, in single and range
    records: the catalogue counts the entities of each vector's results dict,
    and the summary ranges their values."""
    lines = [line for k, recs in enumerate(vectors) for line in vector(1, k, "V,", sum(recs, []))]
    scratch.write_text(neu_text((1051, lines)))
    parser = in_storage(ORVEXParser(str(scratch)), storage)
    expected = parser.get_output_vectors()
    assert [info.count for info in tremix.vectors(parser)] == [len(v["results"]) for v in expected]
    for got, want in zip(summary_of(parser, None)["vectors"], expected):
        finite = [x for x in want["results"].values() if math.isfinite(x)]
        assert repr(  # as text: -0.0 == 0.0, and the first of them stands
            (got["min"], got["max"])) == repr((min(finite), max(finite)) if finite else (None, None))


@pytest.mark.parametrize("storage", STORAGES)
def test_values_that_only_start_in_the_usual_shape_are_ranged_whole(write_neu, storage):
    # Each starts with a number of a shape read without splitting ("-1.0000000E-01",
    # "-1.5E-0"), but float() reads the whole field: the line is split and only
    # the whole value is ranged.
    texts = ["-1.0000000E-01_0", "-1.5E-0_1"]
    lines = [line for k, text in enumerate(texts) for line in vector(1, k, "V,", ["1,3,5.,", f"{text},7.,"])]
    parser = in_storage(ORVEXParser(write_neu(neu_text((1051, lines)))), storage)
    assert [(v["min"], v["max"]) for v in summary_of(parser, None)["vectors"]] == [(float(t), 7.0) for t in texts]


def test_many_runs_of_ids_are_sorted_in_pieces(parser_for):
    # Falling ids: a run each, more than one piece of the sort that stops for signals.
    ids = [*range(600_000, 0, -1), *range(1, 1000)]
    edges = ["2147483647,1.0,", "-2147483648,2.0,", "5,5,", "-1,1,3.0,"]  # the id after 2**31 - 1 is not -2**31
    parser = parser_for(blocks=[(451, vector(1, 1, "Falling,", [f"{i},{i}.5," for i in ids])
                                 + vector(1, 2, "Edges,", edges))])
    assert [info.count for info in tremix.vectors(parser)] == [600_000, 4]
