"""check's line counts agree with what the extractors return on generated messy blocks."""

from __future__ import annotations

import itertools
import re

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import tremix
from conftest import neu_text
from storage import STORAGES, in_storage
from tremix.core import _native
from tremix.core.orvex_parser import ORVEXParser

INT = st.integers(-3, 40).map(str)
REAL = st.sampled_from(["0.", "1.5", "-2.5E+01", "1.5(2)", "nan", "1.0D-01", "abc", "7.0", "1_0.5", "+4"])
FIELD = st.one_of(INT, REAL)
TITLE = st.sampled_from(["Load case 1", "<NULL>", "Steel, 4 mm", "12 bolts", ""])
OUT_OF_RANGE = "2147483648,0,0,1,46,0,0,0,0,0,0,1.,1.,1.,"  # first line of any record

ID = "{id}"  # becomes a number used once in the file: dict results keep every record
node_ids = st.one_of(st.lists(INT, max_size=6), st.lists(FIELD, max_size=6)).map(",".join)
any_line = st.one_of(
    st.lists(FIELD, max_size=16).map(lambda f: " ".join(f) if len(f) % 2 else ",".join(f)),
    st.sampled_from(["", "   ", ",,,", "\t", "-1,0.,", "1,0,1,", f"{ID},1,1,7,"]),
    TITLE,
)
# Records as they are written, one list of lines each (some fields may not convert).
records = {
    402: st.tuples(INT, TITLE).map(lambda r: [f"{ID},1,{r[0]},", r[1], "0,0,", "78,", "1.,0.,", "0,", "0,"]),
    403: st.tuples(REAL, REAL, REAL).map(lambda r: [f"{ID},0,0,1,46,0,0,0,0,0,0,{r[0]},{r[1]},{r[2]},"]),
    404: st.tuples(INT, node_ids, node_ids).map(
        lambda r: [f"{ID},1,2,1,{r[0]},", r[1], r[2], "0.,0.,0.,", "0.,", "0,0,", "0,0,"]),
    450: st.tuples(TITLE, REAL).map(lambda r: [f"{ID},", r[0], "0,", r[1], "0,", "0,"]),
}
data_record = st.one_of(
    REAL.map(lambda v: f"{ID},{v},"),
    st.tuples(st.integers(-1, 6), st.lists(REAL, max_size=3)).map(
        lambda r: ",".join([ID, f"{{last+{r[0]}}}", *r[1]])),
    st.lists(REAL, min_size=1, max_size=3).map(",".join),
)


@st.composite
def vector(draw):
    """A vector whose entity-type lines may follow an early end-of-data line, or be missing."""
    lines = [f"{ID},{draw(INT)},1,", draw(TITLE), "0.,0.,0.,"]
    if draw(st.booleans()):
        lines.append("-1,0.,")
    if draw(st.integers(0, 4)):
        lines += [f"1,1,1,{draw(INT)},", "1,0,1,"]
    lines += draw(st.lists(data_record, max_size=4))
    return lines + (["-1,0.,"] if draw(st.integers(0, 4)) else [])


def block(record):
    pieces = st.lists(st.one_of(record, any_line.map(lambda line: [line])), max_size=10)
    lines = pieces.map(lambda p: [line for piece in p for line in piece])
    # Now and then an id beyond 32 bits, which stops the walk.
    return st.tuples(lines, st.sampled_from(range(12)), st.integers(0, 60)).map(
        lambda t: t[0][: t[2]] + [OUT_OF_RANGE] + t[0][t[2]:] if t[1] == 11 else t[0])


files = st.fixed_dictionaries({
    **{kind: block(record) for kind, record in records.items()},
    1051: block(vector()),
    451: block(vector()),
})

WALKED = {402: (402,), 403: (403,), 404: (404,), 450: (450,), 1051: (1051, 451)}
# The extractor that reads what each walk reads, and how many records it returned.
RETURNED = {
    402: lambda p: len(p.get_properties()),
    403: lambda p: len(p.get_nodes_arrays()[0]),
    404: lambda p: len(p.get_elements_arrays()[0]),
    450: lambda p: len(p.get_output_sets()),
    1051: lambda p: len(p.get_output_vectors()),
}


def with_ids(lines, counter, keep_markers):
    """Gives every line starting with an integer an id of its own (a range's last id follows it)."""
    out = []
    for line in lines:
        n = next(counter)
        line = re.sub(r"\{last\+(-?\d+)\}", lambda m: str(n + int(m.group(1))), line.replace(ID, str(n)))
        fields = ORVEXParser.parse_csv_line(line)
        if fields and line != OUT_OF_RANGE and not (keep_markers and fields[:2] == ["-1", "0."]):
            try:
                int(fields[0])
            except ValueError:
                pass
            else:
                line = line.replace(fields[0], str(n), 1)
        out.append(line)
    return out


@pytest.fixture(scope="module")
def scratch(tmp_path_factory):
    return tmp_path_factory.mktemp("walks") / "messy.neu"


@pytest.mark.parametrize("storage", STORAGES)
@settings(max_examples=120, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(blocks=files)
def test_every_line_is_a_record_a_finding_or_blank(scratch, storage, blocks):
    counter = itertools.count(1000)
    scratch.write_text(neu_text(*((b, with_ids(lines, counter, b in (1051, 451))) for b, lines in blocks.items())))
    parser = in_storage(ORVEXParser(str(scratch)), storage)
    public = tremix.check(parser)
    assert all((f.line is None) == (storage == "list") for f in public if f.block_id is not None)
    checked = _native.check(parser)
    # Converting the values for the catalogue changes nothing the check finds.
    with_catalogue = _native.check(parser, True)
    catalogue = with_catalogue.pop("catalogue")
    assert with_catalogue == checked
    try:
        assert catalogue == _native.vector_catalogue(parser, True)
    except OverflowError:
        assert catalogue is None
    skipped = [f for f in checked["findings"] if f[0] == "skipped-line"]
    assert sum(f.kind == "skipped-line" for f in public) == len(skipped)
    sizes = _native.block_sizes(parser)
    for walk, (records, record_lines, passed, blank, completed) in checked["walks"].items():
        try:
            returned = RETURNED[walk](parser)
        except OverflowError:
            assert not completed
            continue
        assert completed and records == returned
        assert record_lines + passed + blank == sum(n for b, n, *_ in sizes if b in WALKED[walk])
        assert passed == sum(f[-1] for f in skipped if f[1] == walk)
    for f in skipped:  # the line the finding quotes is the one at its place
        block = parser.get_blocks(f[2])[f[3] - (len(parser.get_blocks(1051)) if f[2] == 451 else 0)]
        assert block.lines[f[4]] == f[6] and f[6].strip()


def clean_vector(set_id, values, junk=0):
    """A vector, then `junk` lines that start no record."""
    return [f"{set_id},1,1,", "Stress", "0.,0.,0.,", "1,1,1,7,", "1,0,1,",
            *(f"{k},{k}.5," for k in range(1, values + 1)), "-1,0.,", *(["x"] * junk)]


@pytest.mark.parametrize("storage", STORAGES)
def test_the_check_finds_the_same_wherever_its_vectors_walk_is_cut(tmp_path, storage):
    # The vectors walk is cut at the block boundary that gives both threads about as many lines, the elements
    # walk's on the second: more node lines move the cut towards the start, more element lines towards the
    # end (and past it). An id beyond 32 bits stops the walk in the fourth block.
    vectors = [(1051, clean_vector(s, 40 * s, junk=s)) for s in (1, 2, 3)]
    vectors += [(1051, ["2147483648,1,1,", *clean_vector(5, 5)]), (1051, clean_vector(6, 9, 2))]
    first = None
    for nodes, elements in [(n, 0) for n in range(0, 400, 40)] + [(0, e) for e in range(4, 80, 4)]:
        path = tmp_path / f"cut{nodes}-{elements}.neu"
        node_lines = [f"{k},0,0,1,46,0,0,0,0,0,0,1.,2.,3.," for k in range(1, nodes + 1)]
        element_lines = [line for k in range(1, elements + 1)
                         for line in (f"{k},1,2,1,4,", "1,2,", "", "0.,0.,0.,", "0.,", "0,0,", "0,0,")]
        # Model blocks after the vectors, whose file lines then stay where they are.
        path.write_text(neu_text(*vectors, (403, node_lines), (404, element_lines)))
        parser = in_storage(ORVEXParser(str(path)), storage)
        result = _native.check(parser, True, True)
        model = result.pop("model")
        assert (len(model["nodes"][0]), len(model["topologies"])) == (nodes, elements)
        assert result.pop("blocks") is parser.blocks and result.pop("report") == _native.read_report(parser)
        del result["walks"][403], result["walks"][404]
        first = first or result
        assert result == first
    assert [f[0] for f in first["findings"]] == ["skipped-line"] * 6 + ["out-of-range"]
    assert first["catalogue"] is None and first["walks"][1051][:3] == (3, 3 * 6 + 240, 6)


@pytest.mark.parametrize("bad", ["node", "element"])
def test_a_model_walk_cut_short_gives_no_arrays_of_its_own(tmp_path, bad, storage):
    # An id beyond 32 bits stops that walk: its arrays are None, the other's stand.
    node_id, element_id = ("99999999999", "1") if bad == "node" else ("1", "99999999999")
    path = tmp_path / "cut.neu"
    path.write_text(neu_text((403, [f"{node_id},0,0,1,46,0,0,0,0,0,0,1.,2.,3."]),
                             (404, [f"{element_id},1,2,1,4,", "1,2,3,4,", "0", "0", "0", "0", "0"])))
    model = _native.check(in_storage(ORVEXParser(str(path)), storage), False, True)["model"]
    assert (model["nodes"] is None, model["topologies"] is None) == (bad == "node", bad == "element")


def test_findings_beyond_those_kept_are_counted_across_the_cut(tmp_path, storage):
    # 100,000 findings are kept, in walk order; two blocks of 60,000 bad lines are read one on each thread.
    path = tmp_path / "junk.neu"
    path.write_text(neu_text(*[(1051, ["x"] * 60000)] * 2))
    result = _native.check(in_storage(ORVEXParser(str(path)), storage))
    assert (len(result["findings"]), result["truncated"]) == (100000, 20000)
    assert [f[3:5] for f in result["findings"][59999:60001]] == [(0, 59999), (1, 0)]
    assert result["findings"][-1][3:5] == (1, 39999)
    assert result["walks"][1051] == (0, 0, 120000, 0, True)
