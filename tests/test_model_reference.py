"""The model extractors against a short plain-Python statement of their
rules, on many generated messy blocks, and the record and array forms
against each other on generated model files."""

from __future__ import annotations

import numpy as np
import pytest

from conftest import neu_text
from storage import STORAGES, in_storage
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st

from tremix.core import _native
from tremix.core.orvex_parser import ORVEXBlock, ORVEXParser

# --- the rules in plain Python ------------------------------------------------


def fields_of(line):
    text = line.rstrip(",").strip()
    if "," in text:
        return [p for p in map(str.strip, text.split(",")) if p]
    return text.split()


def int32(text):
    value = int(text)
    if not -(2**31) <= value < 2**31:
        raise OverflowError(text)
    return value


def title_of(line):
    text = line.strip().rstrip(",")
    return "" if text == "<NULL>" else text


def ref_header(blocks):
    if not blocks or len(blocks[0]) < 2:
        return None
    title = blocks[0][0].strip()
    return {"title": "" if title == "<NULL>" else title, "version": blocks[0][1].strip()}


def ref_node_records(blocks):
    for lines in blocks:
        for line in lines:
            f = fields_of(line)
            if len(f) < 14:
                continue
            try:
                yield int32(f[0]), (float(f[11]), float(f[12]), float(f[13]))
            except ValueError:
                pass


def ref_nodes(blocks, force_2d=False):
    return {nid: xyz for nid, xyz in ref_node_records(blocks) if not (force_2d and xyz[2] > 0.0)}


def ref_nodes_arrays(blocks):
    records = list(ref_node_records(blocks))
    return (np.array([r[0] for r in records], dtype=np.int32),
            np.array([r[1] for r in records], dtype=np.float64).reshape(-1, 3))


def ref_properties(blocks):
    out = {}
    for lines in blocks:
        n, i = len(lines), 0
        while i < n:
            f = fields_of(lines[i])
            if len(f) < 3:
                i += 1
                continue
            try:
                pid, mid = int32(f[0]), int32(f[2])
            except ValueError:
                i += 1
                continue
            out[pid] = {"material_id": mid, "title": title_of(lines[i + 1]) if i + 1 < n else ""}
            i += 7
    return out


def ref_materials(blocks):
    out = {}
    for lines in blocks:
        for line in lines:
            f = fields_of(line)
            if f:
                try:
                    mid = int32(f[0])
                except ValueError:
                    continue
                out[mid] = {"id": mid}
    return out


def ref_elements(blocks):
    out = []
    for lines in blocks:
        n, i = len(lines), 0
        while i < n:
            f = fields_of(lines[i])
            if len(f) < 5:
                i += 1
                continue
            try:
                record = {"id": int32(f[0]), "prop_id": int32(f[2]), "topology": int32(f[4]), "nodes": []}
                for k in (i + 1, i + 2):
                    if k < n:
                        record["nodes"] += [v for v in map(int32, fields_of(lines[k])) if v != 0]
            except ValueError:
                i += 1
                continue
            out.append(record)
            i += 7
    return out


def ref_elements_arrays(blocks):
    records = ref_elements(blocks)
    counts = [len(r["nodes"]) for r in records]
    columns = ([r["id"] for r in records], [r["prop_id"] for r in records], [r["topology"] for r in records],
               [v for r in records for v in r["nodes"]], [0] + list(np.cumsum(counts, dtype=np.int64)))
    return tuple(np.array(c, dtype=np.int32) for c in columns)


# --- generated messy blocks -----------------------------------------------------

small_int = st.integers(-3, 12).map(str)
rare_big_int = st.integers(0, 60).flatmap(
    lambda k: st.sampled_from(["2147483648", "-2147483649", "9" * 30]) if k == 0 else small_int)
odd_int = st.sampled_from(["+5", "-0", "0_1", "007", "1__2", "_1", "\u0661\u0662", "2147483647", "-2147483648"])
real = st.one_of(
    st.floats(allow_nan=True, allow_infinity=True).map(repr),
    st.floats(-1e6, 1e6).map(lambda v: "%.7E" % v),
    st.sampled_from(["1.5(2)", "1.0D+00", "1e", ".", "-", "nan", "-Infinity", "1_0.5", "0.", ".5", "1e-400",
                     "1e400", "+.5e+1", "\u0661.5"]),
)
word = st.sampled_from(["abc", "<NULL>", "x y", "\xa0", "\u2003", "Name", "1.0"])
field = st.one_of(rare_big_int, small_int, small_int, odd_int, real, real, word)
separator = st.sampled_from([",", ", ", " ,", "  ", "\t", " , ", ",,"])


@st.composite
def messy_line(draw, min_fields=0, max_fields=18, fields=field):
    items = draw(st.lists(fields, min_size=min_fields, max_size=max_fields))
    sep = draw(separator)
    tail = draw(st.sampled_from(["", ",", ",,", "  ", " ,", "\t"]))
    return draw(st.sampled_from(["", " ", "\t"])) + sep.join(items) + tail


@st.composite
def node_like_line(draw):
    items = [draw(st.one_of(rare_big_int, small_int, odd_int, word))] + ["0"] * 10
    items += draw(st.lists(st.one_of(real, small_int), min_size=3, max_size=3))
    items += draw(st.lists(field, max_size=2))
    if draw(st.integers(0, 9)) == 0:
        del items[draw(st.integers(0, len(items) - 1))]
    return draw(separator).join(items) + draw(st.sampled_from(["", ","]))


@st.composite
def record_like_lines(draw):
    """Seven lines roughly shaped like a property or element record."""
    ints = st.one_of(rare_big_int, small_int, small_int, small_int, odd_int)
    head = draw(messy_line(min_fields=3, max_fields=16, fields=ints))
    node_lines = [draw(messy_line(max_fields=10, fields=st.one_of(ints, ints, ints, st.just("0"), field)))
                  for _ in range(2)]
    rest = draw(st.lists(messy_line(max_fields=6), min_size=4, max_size=4))
    return [head] + node_lines + rest


any_line = st.one_of(messy_line(), node_like_line(), st.just(""), st.just("<NULL>,"))
block_lines = st.lists(
    st.one_of(any_line.map(lambda line: [line]), record_like_lines()), max_size=8
).map(lambda chunks: [line for chunk in chunks for line in chunk])
block_list = st.lists(block_lines, max_size=3)


def parser_of(blocks):
    """A parser holding the same blocks under every model block number."""
    p = ORVEXParser.__new__(ORVEXParser)
    p.blocks = {number: [ORVEXBlock(number, list(lines)) for lines in blocks] for number in (100, 402, 403, 404, 601)}
    return p


def outcome(fn):
    """What a call gives, in a form where -0.0, NaN, dict order and array
    dtypes all count."""
    try:
        result = fn()
    except OverflowError:
        return "OverflowError"
    if isinstance(result, tuple):
        return [(a.dtype.str, a.shape, repr(a.tolist())) for a in result]
    return repr(result)


REFERENCES = {
    "get_header": ref_header,
    "get_nodes": ref_nodes,
    "get_nodes_arrays": ref_nodes_arrays,
    "get_properties": ref_properties,
    "get_materials": ref_materials,
    "get_elements": ref_elements,
    "get_elements_arrays": ref_elements_arrays,
}


@settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(blocks=block_list)
def test_extractors_follow_the_plain_rules(blocks):
    p = parser_of(blocks)
    for method, reference in REFERENCES.items():
        assert outcome(getattr(p, method)) == outcome(lambda: reference(blocks)), method
    assert outcome(lambda: p.get_nodes(True)) == outcome(lambda: ref_nodes(blocks, True))


# Lines that a change to a reader of whole lines once read wrong without the
# random blocks above noticing: an empty field or a lone sign where an
# integer stands, a one-character field among a node's.
PINNED = [
    ["5,,1,2,1,8,", "1,2,3,", "0,0,", "0.,", "0.,", "0.,", "0.,"],
    ["5,1,2,1,8,", "1,2,-,3,", "0,0,", "0.,", "0.,", "0.,", "0.,"],
    ["-,0,0,1,7,0,0,0,0,0,0,1.5,2.5,3.5,", "1,0,0,1,7,0,0,0,0, ,0,1.50,2.50,3.50,", "2,0,0,1,7,0,0,0,0,0,0,1,2,3",
     "3,0,0,1,7,0,0,0,0,0,0,1.5,2.5,3.5D+00,", "4,0000,0000,00000,,1,1,1,1,1,1,1,1.5,2.5,3.5,"],
]


@pytest.mark.parametrize("lines", PINNED)
def test_pinned_lines_follow_the_plain_rules(parser_for, lines):
    p = parser_for(blocks=[(403, lines), (404, lines)])
    for method in ("get_nodes", "get_nodes_arrays", "get_elements", "get_elements_arrays"):
        assert outcome(getattr(p, method)) == outcome(lambda: REFERENCES[method]([lines])), method


# Node id lines as exporters write them ("1989,1990,2168,2167,0,0,"), bent:
# leading zeros, signs, nine and ten digits, the int32 edges, empty fields,
# blanks and characters beyond ASCII, at every length around the 16 and 8
# bytes the readers of whole lines take at a time.
node_id = st.one_of(
    st.integers(0, 999999).map(str), st.just("0"),
    st.sampled_from(["-0", "007", "00", "-12", "000000000", "123456789", "-999999999", "1234567890", "0123456789",
                     "2147483647", "-2147483648", "2147483648", "-2147483649", "", " ", " 12", "12 ", "+3", "--3",
                     "-", "1_0", "\u0663", "\xe9", "\xa0", "12x"]))


@st.composite
def node_id_line(draw):
    ids = draw(st.lists(node_id, max_size=14))
    return ",".join(ids) + draw(st.sampled_from(["", ",", ",", ",,", " ", ",\xa0", ",\u2003"]))


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(records=st.lists(st.tuples(st.one_of(st.just("12,1,3,1,8,"), node_id_line()), node_id_line(), node_id_line()),
                        min_size=1, max_size=5),
       storage=st.sampled_from(STORAGES))
@example(records=[("7,0,-5,1,0009", "1,2,3,4,5,6,7,8", "0,0,0,0,0,0,0,0,0,0,")], storage="text")
def test_node_id_lines_follow_the_plain_rules(tmp_path_factory, records, storage):
    lines = [line for head, first, second in records for line in (head, first, second, "0.,0.,0.,", "", "", "0,")]
    path = tmp_path_factory.mktemp("ids") / "f.neu"
    path.write_text(neu_text((404, lines)), encoding="utf-8")
    p = in_storage(ORVEXParser(str(path)), storage)
    for method in ("get_elements", "get_elements_arrays"):
        assert outcome(getattr(p, method)) == outcome(lambda: REFERENCES[method]([lines])), method
    if outcome(lambda: ref_elements([lines])) != "OverflowError":
        assert _native.check(p, False, True)["walks"][404][0] == len(ref_elements([lines]))
        # The check keeps the topology codes alone: the node ids are only counted.
        assert _native.check(p, True, True)["model"]["topologies"].tolist() == [
            r["topology"] for r in ref_elements([lines])]


# Node lines as exporters write them ("1,0,0,1,46,0,0,0,0,0,0,-7.6304687E+00,
# -1.0105179E+02,0.0000000E+00,"), bent: ids as above, middle fields of one
# or more characters (empty, blank, beyond ASCII among them), coordinates
# of the default shapes (seven and six places, either sign, either exponent
# mark, exponents beyond what one multiplication or division gives) and of
# any other shape, with or without the comma after the last, at every length
# around the 13 to 16 bytes a coordinate is read from at once.
def shaped_coordinate(places):
    return st.tuples(st.sampled_from(["", "", "-", "+"]), st.integers(0, 9), st.integers(0, 10**places - 1),
                     st.sampled_from("EEe"), st.sampled_from("+-"), st.sampled_from([0, 0, 1, 2, 5, 7, 15, 16, 22,
                                                                                      23, 29, 30, 99])).map(
        lambda t: f"{t[0]}{t[1]}.{t[2]:0{places}d}{t[3]}{t[4]}{t[5]:02d}")


def bent(text):
    return st.tuples(st.integers(0, len(text)), st.sampled_from(list("0123456789.+-eEdD,/:; \t\x00\x7f\xa0\xff") + [""]),
                     st.integers(0, 1)).map(lambda t: text[:t[0]] + t[1] + text[t[0] + t[2]:])


node_coordinate = st.one_of(
    shaped_coordinate(7), shaped_coordinate(7), shaped_coordinate(6),
    st.one_of(shaped_coordinate(7), shaped_coordinate(6)).flatmap(bent),
    st.sampled_from(["0.0000000E+00", "-0.0000000E+00", "0.", "1", ".5", "-0", "1e5", "1.5", "nan", "-inf", "1e400",
                     "1.0D+00", "1.5(2)", "\u0661.5", "", " ", " 1.0000000E+00", "1.0000000E+00 ", "1.00000000E+00",
                     "12.0000000E+00", "1.0000000E+0", "1.0000000E+001", "1.0000000E+00x", "1.0000000E++00",
                     "9.9999999E+22", "9.9999999E-22", "1.2345678E-23"]),
    st.floats(-1e6, 1e6).map(repr))
node_field = st.one_of(st.sampled_from(["0", "0", "0", "1", "7", "46", "124", "-1", "00"]),
                       st.sampled_from(["", " ", "x", "\xe9", "\xa0", "1234567", "abc,def", "0 0", "A" * 20]))


@st.composite
def node_record_line(draw):
    middle = [draw(node_field) if draw(st.integers(0, 5)) == 0 else draw(st.sampled_from(["0", "1", "7", "46"]))
              for _ in range(10)]
    items = [draw(node_id)] + middle + [draw(node_coordinate) for _ in range(3)]
    items += draw(st.lists(st.sampled_from(["0", "1.0", "", "x"]), max_size=2))
    line = ",".join(items) + draw(st.sampled_from(["", ",", ",", ",,", " ", ",\xa0", ", "]))
    return draw(bent(line)) if draw(st.integers(0, 7)) == 0 else line


@settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(lines=st.lists(node_record_line(), min_size=1, max_size=12), storage=st.sampled_from(STORAGES))
@example(lines=["1,0,0,1,46,0,0,0,0,0,0,-7.6304687E+00,-1.0105179E+02,0.0000000E+00,",
                "2,0,0,1,7,0,0,0,0,0,0,1.234567E+01,-2.000000E+00,0.000000E+00",
                "-3,1,2,3,124,0,0,0,0,0,0,+1.0000000E-23,1.0000000e+22,-1.0000000E+02"], storage="text")
def test_node_lines_follow_the_plain_rules(tmp_path_factory, lines, storage):
    path = tmp_path_factory.mktemp("nodes") / "f.neu"
    path.write_text(neu_text((403, lines)), encoding="utf-8")
    p = in_storage(ORVEXParser(str(path)), storage)
    for method in ("get_nodes", "get_nodes_arrays"):
        assert outcome(getattr(p, method)) == outcome(lambda: REFERENCES[method]([lines])), method
    model = _native.check(p, True, True)["model"]
    if outcome(lambda: ref_nodes([lines])) == "OverflowError":
        assert model["nodes"] is None
    else:
        ids, coords = ref_nodes_arrays([lines])
        assert model["nodes"][0].tolist() == ids.tolist()
        assert model["nodes"][1].tobytes() == coords.tobytes()


# --- record and array forms on generated model files ---------------------------


@pytest.mark.parametrize("separator", ["comma", "space"])
def test_forms_agree_on_a_generated_model(tmp_path, separator, storage):
    orvex_gen = pytest.importorskip("orvex_gen")
    meta = orvex_gen.generate(tmp_path / "model.neu", n_nodes=3000, separator=separator, seed=3)
    expected = orvex_gen.build_arrays(meta)
    p = in_storage(ORVEXParser(meta["path"]), storage)

    ids, coords = p.get_nodes_arrays()
    assert ids.tolist() == expected["node_ids"].tolist()
    assert np.allclose(coords, expected["xyz"], rtol=1e-6, atol=1e-9)
    nodes = p.get_nodes()
    assert list(nodes) == ids.tolist() and list(nodes.values()) == [tuple(row) for row in coords.tolist()]
    assert len(p.get_nodes(force_2d=True)) == meta["n_nodes_z0"]

    arrays = p.get_elements_arrays()
    names = ["element_ids", "prop_ids", "topologies", "connectivity", "offsets"]
    for name, array in zip(names, arrays):
        assert array.dtype == np.int32 and array.tolist() == expected[name].tolist(), name
    ids, props, topos, conn, offsets = (a.tolist() for a in arrays)
    assert p.get_elements() == [
        {"id": ids[k], "prop_id": props[k], "topology": topos[k], "nodes": conn[offsets[k]:offsets[k + 1]]}
        for k in range(len(ids))
    ]
    assert p.get_header() == {"title": meta["title"], "version": meta["version"]}
    assert len(p.get_properties()) == meta["n_properties"]
    assert len(p.get_materials()) == meta["n_materials"]
