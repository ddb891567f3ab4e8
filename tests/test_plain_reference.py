"""Tests of the plain-Python ORVEX reader and of the file generator.

The plain reader is the reference the compiled parser is checked against, so
its tricky reading rules are pinned on small hand-written files here.  When
the compiled module is importable, it is compared with the reference on the
same files and on generated ones.
"""

import math

import numpy as np
import pytest

from storage import in_storage



import orvex_gen  # noqa: E402
from plain_python import NO_MATCH, PlainParser, _parse_float, parse_csv_line  # noqa: E402

try:
    from tremix.core.orvex_parser import ORVEXParser
except ImportError:  # module not built
    ORVEXParser = None

D = "   -1"


def block(block_id, *lines):
    return "\n".join([D, f"{block_id:>6}", *lines, D]) + "\n"


@pytest.fixture
def write(tmp_path):
    counter = iter(range(10**6))

    def _write(text, newline="\n"):
        path = tmp_path / f"f{next(counter)}.txt"
        with open(path, "w", newline=newline) as fh:
            fh.write(text)
        return path

    return _write


VEC_HEAD = ["0.,0.,0.,", "0,0,0,0,0,0,0,0,0,0,", "0,0,0,0,0,0,0,0,0,0,"]


def vector(set_id, vec_id, title, ent_type, *records, marker=True):
    lines = [f"{set_id},{vec_id},1,", title, *VEC_HEAD, f"1,1,1,{ent_type},", "1,0,1,", *records]
    return lines + (["-1,0.,"] if marker else [])


# --------------------------------------------------------------------------
# fields


def test_tokenizer_modes():
    assert parse_csv_line("  1 , 2 ,3  ") == ["1", "2", "3"]
    assert parse_csv_line("1,,3,,,") == ["1", "3"]
    assert parse_csv_line("1\t2   3") == ["1", "2", "3"]
    assert parse_csv_line("My model, rev 2") == ["My model", "rev 2"]
    assert parse_csv_line("x  ,") == ["x"]  # only trailing commas: whitespace mode
    assert parse_csv_line(",,,") == [] and parse_csv_line("") == []


def test_parse_float():
    assert _parse_float("1.5(2)") == 1.5
    assert _parse_float(" 2.5E+01 ") == 25.0
    assert _parse_float("1_000.5") == 1000.5
    assert _parse_float("-inf") == -math.inf
    for bad in ("", "1,5", "1.0D+00", " (1)"):
        with pytest.raises(ValueError):
            _parse_float(bad)
    with pytest.raises(ValueError, match=r"'\(3\)'"):  # a leading "(" cuts nothing
        _parse_float("(3)")


# --------------------------------------------------------------------------
# blocks


def test_splitting_stray_delimiters_and_bad_ids(write):
    text = "\n".join([
        "text before the first block",
        D, "   601", "1,",
        D,                     # data line that is exactly a delimiter: ends 601 early
        "2,",                  # so this is walked as outside text
        "  -1", "   500",      # not a delimiter (two spaces): no block 500
        D, D, "   402",        # the real closing delimiter, met out of step, then an opening one
        "7,1,1,",
        D, D, "  abc",         # id that is not a number: no block, walk resumes at the id line
        D, " +4_03 ",
        "  -1", "   -1 ", "\t-1",  # not delimiters: data lines of 403
        D, D, "   403", "x",   # second 403 block, ended by the end of the file
    ]) + "\n"
    p = PlainParser(write(text))
    assert list(p.blocks) == [601, 402, 403]
    assert [b.lines for b in p.blocks[601]] == [["1,"]]
    assert p.blocks[402][0].lines == ["7,1,1,"]
    assert [b.lines for b in p.blocks[403]] == [["  -1", "   -1 ", "\t-1"], ["x"]]
    assert p.get_blocks(999) == [] and 999 not in p.blocks


def test_splitting_edges(write):
    assert PlainParser(write("")).blocks == {}
    assert PlainParser(write(D + "\n")).blocks == {}
    crlf = PlainParser(write(block(100, "T ", "v"), newline="\r\n"))
    assert crlf.blocks[100][0].lines == ["T ", "v"]
    with pytest.raises(OverflowError):
        PlainParser(write(block(2**31, "x")))


# --------------------------------------------------------------------------
# model blocks


def test_header(write):
    assert PlainParser(write(block(100, " <NULL> ", "11.4,", "extra"))).get_header() == {"title": "", "version": "11.4,"}
    # Only the first block 100 counts, even when it is unusable.
    assert PlainParser(write(block(100, "only") + block(100, "a", "b"))).get_header() is None
    assert PlainParser(write(block(403))).get_header() is None


def test_nodes_rules(write):
    def node(i, x, y, z, extra=""):
        return f"{i},0,0,1,46,0,0,0,0,0,0,{x},{y},{z},{extra}"

    text = block(403,
                 node(5, 1, 2, 0),
                 node(6, 0, 0, 1e-300),
                 "1,0,0,1,46,0,0,0,0,0,0,1.,2.,",  # 13 fields
                 node(7.0, 1, 1, 1),               # id not an integer
                 node(8, "1.5(2)", 0, 0),          # float() rules, not _parse_float
                 node(-1, 0, 0, -2.5, "9,9"),
                 node(5, 4, 5, 6)) + block(403, node(9, 0, 0, "nan"))
    p = PlainParser(write(text))
    nodes = p.get_nodes()
    assert list(nodes) == [5, 6, -1, 9]
    assert nodes[5] == (4.0, 5.0, 6.0)
    flat = p.get_nodes(force_2d=True)
    assert list(flat) == [5, -1, 9]  # z > 0 dropped, NaN kept
    assert flat[5] == (1.0, 2.0, 0.0)  # a dropped repeat leaves the stored entry alone
    ids, xyz = p.get_nodes_arrays()
    assert ids.dtype == np.int32 and xyz.dtype == np.float64
    assert ids.tolist() == [5, 6, -1, 5, 9] and xyz.shape == (5, 3)
    assert xyz[3].tolist() == [4.0, 5.0, 6.0]

    ids, xyz = PlainParser(write(block(100, "a", "b"))).get_nodes_arrays()
    assert (ids.shape, ids.dtype, xyz.shape, xyz.dtype) == ((0,), np.int32, (0, 3), np.float64)

    with pytest.raises(OverflowError):
        PlainParser(write(block(403, node(2**31, 0, 0, 0)))).get_nodes()


def test_properties_stride_and_titles(write):
    filler = ["0,0,0,0,"] * 5
    text = block(402,
                 "1,110,1,25,", "  Solid, main,,  ", *filler,
                 "2.0,110,1,", "2,110,2,17,", " <NULL>,, ", *filler,  # bad id: next line starts a record
                 "3,110,9,", "Name ,")                                # header on the second to last line
    props = PlainParser(write(text)).get_properties()
    assert props == {1: {"material_id": 1, "title": "Solid, main"},
                     2: {"material_id": 2, "title": ""},
                     3: {"material_id": 9, "title": "Name "}}  # whitespace goes before the commas
    assert PlainParser(write(block(402, "4,1,2"))).get_properties() == {4: {"material_id": 2, "title": ""}}


def test_materials_every_integer_line_counts(write):
    text = block(601, "1,-601,55,", "Steel,", "2.1E+11,0.3,", "0,0,0,", "", "2,", "1,") + block(601, "7")
    materials = PlainParser(write(text)).get_materials()
    assert materials == {1: {"id": 1}, 0: {"id": 0}, 2: {"id": 2}, 7: {"id": 7}}
    assert list(materials) == [1, 0, 2, 7]


def test_elements_records_and_recovery(write):
    tail = ["0.,0.,0.,"] * 3 + ["0.,"]
    text = block(404,
                 "1,124,1,25,8,1,", "5,0,7,0,0,0,0,0,0,0,", "9,10,", *tail,
                 "2,124,1.5,25,8,",                      # bad property id: dropped
                 "3,1,2,0,4,", "11,12,13,", "0,0,",      # the line after it qualifies as a header
                 *tail,
                 "4,124,1,25,8,", "1,abc,", "0,", *tail,  # bad node field: whole record dropped
                 "5,124,2,17,4,", "6,")                  # header on the second to last line
    p = PlainParser(write(text))
    els = p.get_elements()
    assert [e["id"] for e in els] == [1, 3, 5]
    assert els[0] == {"id": 1, "prop_id": 1, "topology": 8, "nodes": [5, 7, 9, 10]}
    assert els[1] == {"id": 3, "prop_id": 2, "topology": 4, "nodes": [11, 12, 13]}
    assert els[2]["nodes"] == [6]
    ids, props, topos, conn, offsets = p.get_elements_arrays()
    assert all(a.dtype == np.int32 for a in (ids, props, topos, conn, offsets))
    assert offsets.tolist() == [0, 4, 7, 8] and conn.tolist() == [5, 7, 9, 10, 11, 12, 13, 6]

    empty = PlainParser(write(block(100, "a", "b"))).get_elements_arrays()
    assert [a.tolist() for a in empty] == [[], [], [], [], [0]]
    with pytest.raises(OverflowError):
        PlainParser(write(block(404, "1,1,1,1,1,", f"{2**31},"))).get_elements()


def test_output_sets(write):
    text = block(450,
                 "1,", " Case A ,, ", "0,1,", "1.5(3),", "1,", "0,",
                 "2,", "3 bad value set", "x", "abc,", "2.5", "z",  # value fails: set 2 dropped
                 "w", "1,", "<NULL>,", "0,")                       # repeat of 1, too short for a value
    sets = PlainParser(write(text)).get_output_sets()
    # After the failure the walk moves one line: the title line of set 2 starts with an
    # integer and is read as the header of a set 3 of its own, which puts it back in step.
    assert sets == {1: {"title": "", "value": 0.0}, 3: {"title": "x", "value": 2.5}}
    assert list(sets) == [1, 3]
    assert PlainParser(write(block(450, "4,", " Case A ,, ", "0,", "1.5(3),"))).get_output_sets() == {
        4: {"title": "Case A ", "value": 1.5}}


# --------------------------------------------------------------------------
# output vectors


def test_range_records_continuation_and_markers(write):
    text = block(1051,
                 *vector(1, 2, "Stress,", 7,
                         "10,1.5,",
                         "5,9,1.,2.,", "3.,4.,", "", "5.,6.,",  # blank line adds no value; 6. is ignored
                         "7,7.5,",                              # single record after the range
                         "-1,0.0,",                             # not a marker: entity -1
                         "20,22,1.,", "-1,0.,3,", marker=False),  # range cut short by a marker
                 *vector(1, 3, "<NULL>", 8, "9,5,1.,", "6,6.5,"))  # empty range, next line is a record
    p = PlainParser(write(text))
    v1, v2 = p.get_output_vectors()
    assert v1 == {"set_id": 1, "vec_id": 2, "title": "Stress", "ent_type": 7,
                  "results": {10: 1.5, 5: 1.0, 6: 2.0, 7: 7.5, 8: 4.0, 9: 5.0, -1: 0.0, 20: 1.0}}
    assert list(v1["results"]) == [10, 5, 6, 7, 8, 9, -1, 20]
    assert v2 == {"set_id": 1, "vec_id": 3, "title": "", "ent_type": 8, "results": {6: 6.5}}

    ids, vals, sid, vid, ent = p.get_output_vectors_arrays()
    assert ids.tolist() == [10, 5, 6, 7, 8, 9, 7, -1, 20]  # repeats kept, file order
    assert vals.tolist() == [1.5, 1.0, 2.0, 3.0, 4.0, 5.0, 7.5, 0.0, 1.0]
    assert (sid, vid, ent) == (1, 2, 7)


def test_entity_type_search_runs_past_vector_end(write):
    no_pair = ["1,1,1,", "A,", *VEC_HEAD, "5,6,", "-1,0.,"]
    text = block(1051, *no_pair, *vector(2, 1, "B,", 7, "10,1.5,"), *vector(3, 1, "C,", 8, "11,2.5,"))
    p = PlainParser(write(text))
    vecs = p.get_output_vectors()
    # A takes B's pair and data; B is not reported on its own.
    assert [(v["set_id"], v["title"], v["ent_type"], v["results"]) for v in vecs] == [
        (1, "A", 7, {10: 1.5}), (3, "C", 8, {11: 2.5})]
    assert p.get_output_vectors_arrays(2)[0] is None

    # Without any pair the vector ends its block; the next block is still read.
    lonely = block(1051, "4,1,1,", "L,", "1,2,3,4,", "1,2,3,4,", "x,y,z,", "5,1,1,", "M,", "1,1.0,", "-1,0.,")
    text = lonely + block(451, *vector(6, 1, "N,", 7, "2,2.0,"))
    p = PlainParser(write(text))
    assert [(v["set_id"], v["ent_type"], v["results"]) for v in p.get_output_vectors()] == [
        (4, None, {}), (6, 7, {2: 2.0})]
    ids, vals, sid, vid, ent = p.get_output_vectors_arrays()
    assert (ids.shape, vals.shape, sid, ent) == ((0,), (0,), 4, -1)
    assert p.get_output_vectors_arrays(6)[2] == 6


def test_failing_value_drops_vector_and_resumes_after_failing_line(write):
    text = block(451,
                 *vector(1, 1, "Stress,", 8, "10,1.5,", "13,14,2.5,", "3.5,", "11,abc,", marker=False),
                 "12,3,",                    # taken as the start line of a new vector
                 *vector(9, 9, "<NULL>", 7, "20,2.5,")[1:])
    p = PlainParser(write(text))
    assert p.get_output_vectors() == [
        {"set_id": 12, "vec_id": 3, "title": "", "ent_type": 7, "results": {20: 2.5}}]
    assert p.get_output_vectors_arrays(1) is NO_MATCH
    ids, vals, sid, vid, ent = p.get_output_vectors_arrays()
    assert (ids.tolist(), vals.tolist(), sid, vid, ent) == ([20], [2.5], 12, 3, 7)


def test_vectors_walk_order_filters_and_overflow(write):
    text = (block(451, *vector(1, 2, "E1", 8, "1,1.0,"))
            + block(1051, *vector(1, 2, "N1", 7, "1,2.0,"), *vector(1, 3, "N2", 7, "1,3.0,"),
                    *vector(0, 4, "N0", 7, "1,4.0,")))
    p = PlainParser(write(text))
    assert [v["title"] for v in p.get_output_vectors()] == ["N1", "N2", "N0", "E1"]
    pick = lambda *a: p.get_output_vectors_arrays(*a)[1].tolist()  # noqa: E731
    assert pick() == [2.0] and pick(-5, -1) == [2.0]
    assert pick(1, 3) == [3.0] and pick(0) == [4.0] and pick(1.9, 3.5) == [3.0]
    assert p.get_output_vectors_arrays(7) is p.get_output_vectors_arrays(8) is NO_MATCH
    with pytest.raises(TypeError):
        p.get_output_vectors_arrays("1")
    with pytest.raises(OverflowError):
        PlainParser(write(block(451, *vector(1, 1, "t", 8, f"{2**31},1.0,")))).get_output_vectors()


# --------------------------------------------------------------------------
# generator


@pytest.mark.parametrize("separator", ["comma", "space"])
def test_generated_file_reads_back_as_reported(tmp_path, separator):
    meta = orvex_gen.generate(tmp_path / "g.txt", n_nodes=700, n_vectors=5, n_sets=2,
                              separator=separator, seed=3, run_len=37)
    assert (tmp_path / "g.txt").stat().st_size == meta["bytes"]
    p = PlainParser(tmp_path / "g.txt")
    truth = orvex_gen.build_arrays(meta)

    assert p.get_header() == {"title": meta["title"], "version": meta["version"]}
    assert len(p.get_materials()) == meta["n_materials"]
    assert len(p.get_properties()) == meta["n_properties"]
    assert len(p.get_output_sets()) == meta["n_output_sets"]

    ids, xyz = p.get_nodes_arrays()
    assert len(ids) == meta["n_nodes"] == 700
    assert np.array_equal(ids, truth["node_ids"])
    assert np.allclose(xyz, truth["xyz"], rtol=1e-7, atol=1e-12)
    assert len(p.get_nodes(force_2d=True)) == meta["n_nodes_z0"] > 0

    els = p.get_elements_arrays()
    assert len(els[0]) == meta["n_elements"] > 0 and len(els[3]) == meta["n_connectivity"]
    for got, key in zip(els, ("element_ids", "prop_ids", "topologies", "connectivity", "offsets")):
        assert np.array_equal(got, truth[key]), key
    assert set(els[2].tolist()) == {0, 4, 8}

    vecs = p.get_output_vectors()
    assert [(v["set_id"], v["vec_id"], v["title"], v["ent_type"]) for v in vecs] == [
        (v["set_id"], v["vec_id"], v["title"], v["ent_type"]) for v in meta["vectors"]]
    assert [len(v["results"]) for v in vecs] == meta["values_per_vector"]
    for got, want in zip(vecs, truth["vectors"]):
        assert list(got["results"]) == want["ids"].tolist()
        assert np.allclose(list(got["results"].values()), want["values"], rtol=1e-7, atol=1e-20)
    last = meta["vectors"][-1]
    ids, vals, sid, vid, ent = p.get_output_vectors_arrays(last["set_id"], last["vec_id"])
    assert (len(ids), sid, vid, ent) == (last["n_values"], last["set_id"], last["vec_id"], last["ent_type"])


def test_generator_target_size_and_csv_baselines(tmp_path):
    meta = orvex_gen.generate(tmp_path / "g.txt", target_mb=3, separator="space", seed=1)
    assert 2.7e6 < meta["bytes"] < 3.3e6
    paths = orvex_gen.write_csv_baselines(meta, tmp_path / "csv")
    nodes = np.loadtxt(paths["nodes"], delimiter=",", skiprows=1)
    ids, xyz = PlainParser(tmp_path / "g.txt").get_nodes_arrays()
    assert np.array_equal(nodes[:, 0], ids) and np.array_equal(nodes[:, 1:], xyz)  # same text, same numbers
    first = np.loadtxt(paths["first_vector"], delimiter=",", skiprows=1)
    ent_ids, vals, *_ = PlainParser(tmp_path / "g.txt").get_output_vectors_arrays()
    assert np.array_equal(first[:, 0], ent_ids) and np.array_equal(first[:, 1], vals)
    results = np.loadtxt(paths["results"], delimiter=",", skiprows=1)
    assert len(results) == sum(meta["values_per_vector"])


def test_generator_is_deterministic(tmp_path):
    a = orvex_gen.generate(tmp_path / "a.txt", n_nodes=200, seed=5)
    b = orvex_gen.generate(tmp_path / "b.txt", n_nodes=200, seed=5)
    assert (tmp_path / "a.txt").read_bytes() == (tmp_path / "b.txt").read_bytes()
    assert a["bytes"] == b["bytes"]
    tiny = orvex_gen.generate(tmp_path / "t.txt", n_nodes=3, n_elements=4, n_vectors=1)
    p = PlainParser(tmp_path / "t.txt")
    assert [e["nodes"] for e in p.get_elements()] == [[1, 2], [2, 3], [1, 2], [2, 3]]
    assert len(p.get_output_vectors()[0]["results"]) == tiny["values_per_vector"][0] == 3


# --------------------------------------------------------------------------
# compiled module against the reference


def _same(a, b):
    if isinstance(a, np.ndarray) or isinstance(b, np.ndarray):
        return (isinstance(a, np.ndarray) and isinstance(b, np.ndarray) and a.dtype == b.dtype
                and a.shape == b.shape and np.array_equal(a, b, equal_nan=a.dtype.kind == "f"))
    if isinstance(a, float) and isinstance(b, float) and math.isnan(a) and math.isnan(b):
        return True
    if type(a) is not type(b):
        return False
    if isinstance(a, dict):
        return list(a) == list(b) and all(_same(a[k], b[k]) for k in a)
    if isinstance(a, (list, tuple)):
        return len(a) == len(b) and all(_same(x, y) for x, y in zip(a, b))
    return a == b


CALLS = [("get_header", ()), ("get_nodes", ()), ("get_nodes", (True,)), ("get_nodes_arrays", ()),
         ("get_properties", ()), ("get_materials", ()), ("get_elements", ()), ("get_elements_arrays", ()),
         ("get_output_sets", ()), ("get_output_vectors", ()), ("get_output_vectors_arrays", ()),
         ("get_output_vectors_arrays", (2,)), ("get_output_vectors_arrays", (1, 60000)),
         ("get_output_vectors_arrays", (9,))]


def _outcome(obj, name, args):
    try:
        return getattr(obj, name)(*args)
    except Exception as exc:  # the error type is part of the rules
        return type(exc)


def _mismatches(ours, ref, calls):
    """Calls whose result (or exception type) differs between the two readers."""
    return [(name, args) for name, args in calls
            if not _same(_outcome(ours, name, args), _outcome(ref, name, args))]


@pytest.mark.skipif(ORVEXParser is None, reason="tremix.core.orvex_parser not built")
@pytest.mark.parametrize("separator", ["comma", "space"])
def test_module_matches_reference_on_generated_file(tmp_path, separator, storage):
    path = tmp_path / "g.txt"
    orvex_gen.generate(path, n_nodes=900, n_vectors=6, separator=separator, seed=7, run_len=29)
    ours, ref = in_storage(ORVEXParser(str(path)), storage), PlainParser(path)
    assert _mismatches(ours, ref, CALLS) == []
    assert {k: [(b.block_id, b.lines) for b in v] for k, v in ours.parse().items()} == {
        k: [(b.block_id, b.lines) for b in v] for k, v in ref.parse().items()}


@pytest.mark.skipif(ORVEXParser is None, reason="tremix.core.orvex_parser not built")
def test_module_matches_reference_on_malformed_records(write, storage):
    text = (block(100, "<NULL>", "11.4,")
            + block(601, "1,", "0,0,", "2.5,")
            + block(403, "1,0,0,1,46,0,0,0,0,0,0,1.,2.,3.,", "2,0,0,1,46,0,0,0,0,0,0,x,2.,3.,")
            + block(404, "1,1,1.5,1,1,", "3,1,2,0,4,", "11,12,13,", "0,0,", "0.,", "0.,", "0.,", "0.,")
            + block(450, "1,", "A,", "0,", "abc,", "1,", "0,", "2,", "B,", "0,", "2.5(1),", "1,", "0,")
            + block(1051, *vector(1, 1, "S,", 8, "10,1.5,", "5,9,1.,", "2.,", "", "-1,0.0,", "11,abc,",
                                  marker=False),
                    "12,3,", *vector(9, 9, "<NULL>", 7, "20,22,2.5,", "-1,0.,")[1:])
            + block(451, "4,1,1,", "L,", "1,2,3,4,", "1,2,3,4,"))
    path = write(text)
    ours, ref = in_storage(ORVEXParser(str(path)), storage), PlainParser(path)
    calls = CALLS + [("get_output_vectors_arrays", (1,)), ("get_output_vectors_arrays", (4,))]
    assert _mismatches(ours, ref, calls) == []
