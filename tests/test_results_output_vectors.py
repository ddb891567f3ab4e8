"""Output vectors of blocks 1051 and 451, as records and as arrays, and the
results extractors facing foreign objects and changing lists."""

from __future__ import annotations

import gc

import numpy as np
import pytest

import tremix

from tremix.core import orvex_parser
from tremix.core.orvex_parser import ORVEXBlock, ORVEXParser

MARKER = "-1,0.,"


def vector(set_id, vec_id, *data, title="Stress,", ent=7, marker=True):
    """Lines of one vector: start line, title, filler, entity-type pair, data."""
    head = [f"{set_id},{vec_id},1,", title, "0,0,0,", *["1,2,3,4,5,6,7,8,9,10,"] * 3, f"1,1,1,{ent},", "0,0,1,"]
    return head + list(data) + ([MARKER] if marker else [])


def as_lists(result):
    return [result[0].tolist(), result[1].tolist(), *result[2:]]


@pytest.mark.parametrize(
    "data, results",
    [
        # continuation lines until count values; extra values ignored; the next line is a record again
        (["5,9,1.,2.,", "3.,4.,", "5.,6.,", "12,7.,"], {5: 1.0, 6: 2.0, 7: 3.0, 8: 4.0, 9: 5.0, 12: 7.0}),
        (["5,9,1.,2.,"], {5: 1.0, 6: 2.0}),  # the marker stops the continuation and ends the vector
        (["5,7,1.,", "", "2.,", "  3.  4.", "8 1.5(7)"], {5: 1.0, 6: 2.0, 7: 3.0, 8: 1.5}),
        (["9,5,1.,", "3,4.,", "5,4,1.,"], {3: 4.0}),  # count <= 0 stores nothing
        (["-1,0.0,", "x", "20,2.,", "-1,0.,3", "21,1.,"], {-1: 0.0, 20: 2.0}),  # "0.0" is no marker
        (["10,1.,", "11,2.,", "10,3.,", "2147483647 1"], {10: 3.0, 11: 2.0, 2147483647: 1.0}),
        # ranges whose count (2**32, 2**31 + 2) needs more than 32 bits
        (["-2147483648,2147483647,1.5,2.5"], {-2147483648: 1.5, -2147483647: 2.5}),
        (["-2,2147483647,1.5,2.5", "3.5"], {-2: 1.5, -1: 2.5, 0: 3.5}),
        (["2147483646,2147483647,1.,2.,3."], {2147483646: 1.0, 2147483647: 2.0}),
    ],
)
def test_data_records(parser_for, data, results):
    p = parser_for(blocks=[(1051, vector(1, 2, *data))])
    got = p.get_output_vectors()[0]
    assert got == {"set_id": 1, "vec_id": 2, "title": "Stress", "ent_type": 7, "results": results}
    assert list(got["results"]) == list(results)
    if 10 not in results:  # without repeated ids the arrays list the same pairs
        assert list(zip(*as_lists(p.get_output_vectors_arrays())[:2])) == list(results.items())


@pytest.mark.parametrize("data, bad", [
    (["6,2.5E+,"], "2.5E+"), (["6,3e,"], "3e"),  # an exponent without digits
    (["6,.,"], "."), (["6,-.,"], "-."), (["5,7,1.,", ".E5,"], ".E5"),  # a point without digits
    (["5,1.5000000E+00x,"], "1.5000000E+00x"), (["5,1.5000000E+00;3,"], "1.5000000E+00;3"),
    (["5,7,1.0000000E+00,", "2.0000000E+00;3.0000000E+00,"], "2.0000000E+00;3.0000000E+00"),
])
def test_a_value_that_does_not_convert_drops_its_vector_from_every_form(parser_for, data, bad):
    p = parser_for(blocks=[(1051, vector(1, 2, *data))])
    assert p.get_output_vectors() == [] and tremix.vectors(p) == []
    assert p.get_output_vectors_arrays()[2:] == (-1, -1, -1)
    assert f"('{bad}') on " in tremix.check(p)[0].format()


def test_walk_order_titles_and_vectors_without_pair(parser_for):
    no_pair = ["4,4,", "<NULL>", "x", "10,1.,", MARKER, "2,2,"]
    p = parser_for(blocks=[(451, vector(3, 1, "1,1.,")), (1051, no_pair + vector(9, 9)), (1051, ["5,5,"])])
    got = [(v["set_id"], v["title"], v["ent_type"], v["results"]) for v in p.get_output_vectors()]
    # Vector 4's pair search ran past its marker into vector 9, which is not reported on its own.
    assert got == [(4, "", 7, {}), (5, "", None, {}), (3, "Stress", 7, {1: 1.0})]
    p = parser_for(blocks=[(1051, no_pair), (1051, vector(6, 1))])
    assert [(v["set_id"], v["ent_type"]) for v in p.get_output_vectors()] == [(4, None), (6, 7)]
    assert as_lists(p.get_output_vectors_arrays(4)) == [[], [], 4, 4, -1]
    assert p.get_output_vectors_arrays(6)[2:] == (6, 1, 7)  # passing over vector 4 ended its block only


def test_failing_record_drops_vector_and_walk_resumes_after_failing_line(parser_for):
    lines = [*vector(1, 1, "10,1.,", "5,7,1.,", "2.,abc,", marker=False),
             "12,3,", "T2,", "x", "1,1,1,8,", "0,0,1,", "20,2.,", MARKER]
    p = parser_for(blocks=[(1051, lines)])
    assert p.get_output_vectors() == [{"set_id": 12, "vec_id": 3, "title": "T2", "ent_type": 8, "results": {20: 2.0}}]
    assert as_lists(p.get_output_vectors_arrays()) == [[20], [2.0], 12, 3, 8]


@pytest.mark.parametrize("lines", [vector(1, 1, "2147483648,1.,"), vector(1, 1, "1,2147483648,1.,"),
                                   vector(1, 1, ent=2147483648), ["1,-2147483649,"]])
def test_int32_overflow_ends_the_call(parser_for, lines):
    p = parser_for(blocks=[(1051, lines)])
    for call in (p.get_output_vectors, p.get_output_vectors_arrays):
        with pytest.raises(OverflowError):
            call()


@pytest.mark.parametrize(
    "args, expected",
    [((), (1, 2)), ((1, 3), (1, 3)), ((-5, -1), (1, 2)), ((0,), (0, 9)), ((2.9,), (2, 4)), ((2, 5), None)],
)
def test_filters_and_the_no_match_tuple(parser_for, args, expected):
    # Vector (1, 1) holds a bad value: dropped when it matches, never converted when it does not.
    blocks = [(1051, vector(1, 1, "1,abc") + vector(1, 2) + vector(1, 3) + vector(0, 9)), (451, vector(2, 4))]
    got = parser_for(blocks=blocks).get_output_vectors_arrays(*args)
    if expected:
        assert got[0].dtype == np.int32 and got[1].dtype == np.float64 and got[2:4] == expected
    else:
        assert got == (None, None, -1, -1, -1) and got is parser_for(blocks=[]).get_output_vectors_arrays()


def test_arrays_list_repeated_ids_and_a_failing_match_gives_way(parser_for):
    p = parser_for(blocks=[(1051, vector(1, 1, "10,abc,") + vector(1, 2, "10,1.5,", "10,2.5,"))])
    assert as_lists(p.get_output_vectors_arrays(1)) == [[10, 10], [1.5, 2.5], 1, 2, 7]


@pytest.mark.parametrize("line, ends", [
    ("-1,0.,", True), ("   -1,  0.", True), ("\t-1\t0.\t", True), ("-1,0.,5,", True),
    (",-1,0.", True), (" , ,-1 , 0.,", True),                    # empty fields before the first
    ("\xa0-1,0.", True), ("\x85-1 0.", True),                    # Latin-1 whitespace
    ("\u3000-1,0.", True), ("\u2028 -1 0.", True),               # wide whitespace, two-byte text
    ("-1,0.,\U0001f600", True), ("\u2003-1 0. \U0001f600", True),  # four-byte text
    (" " * 300 + "-1,0.", True), ("\u3000" * 300 + "-1 0.", True), ("-1 0.", True), ("-1\t0.", True),
    ("-1,0.0", False), ("  -10,0.", False), ("-1,1.", False), ("1,-1,0.", False),
    (",-2,0.", False), ("\u3000-1,0.0", False), ("-1", False), ("", False), (" \u3000 ", False),
    (" " * 300 + "5,0.", False), ("\U0001d7cf,0.", False), ("-\U0001d7cf,0.", False),  # -1 in other digits
])
def test_a_stepped_over_vector_ends_where_its_data_does(parser_for, line, ends):
    """Vector (1, 1) ends at `line` only if it is an end-of-data line: then
    the walk looking for set 2 finds vector (2, 5) right after it, as the
    full read does; else (2, 5)'s lines (all numbers) are data of (1, 1).
    Data lines before `line` are passed over by their first characters,
    several dozen at a time: `line` comes after a few such strides."""
    lines = vector(1, 1, *["3,1.,"] * 150, line, marker=False) + vector(2, 5, "4,2.,", title="7,")
    p = parser_for(blocks=[(1051, lines)])
    assert [v["set_id"] for v in p.get_output_vectors()] == ([1, 2] if ends else [1])
    assert p.get_output_vectors_arrays(2)[2:4] == ((2, 5) if ends else (-1, -1))


@pytest.mark.parametrize("args, error", [(("2",), "an integer is required"), ((2**31,), None),
                                         ((1, 2, 3), r"takes at most 2 positional arguments \(3 given\)")])
def test_filter_argument_errors(parser_for, args, error):
    with pytest.raises(TypeError if error else OverflowError, match=error):
        parser_for(blocks=[]).get_output_vectors_arrays(*args)


# --- hostile callers ----------------------------------------------------------


def parser_with_blocks(write_neu, by_id):
    class Sub(ORVEXParser):
        def get_blocks(self, block_id):
            return by_id.get(block_id, [])

    return Sub(write_neu(blocks=[]))


@pytest.mark.parametrize(
    "lines, error",
    [
        ([None], r"Cannot convert NoneType"),
        ([3], r"Cannot convert int to tremix\.core\.orvex_parser\.ORVEXBlock"),
        ([ORVEXBlock(0, None)], r"object of type 'NoneType' has no len\(\)"),
        ([ORVEXBlock(0, [b"1,2,"])], r"Expected str, got bytes"),
        ([ORVEXBlock(0, ["1,2,", "T", "x", 5, "y"])], r"Expected str, got int"),  # pair search
        ([ORVEXBlock(0, vector(1, 2, "1,1.,", 2.5))], r"Expected str, got float"),
        ([ORVEXBlock(0, vector(1, 2, "1,3,1.,", None))], r"Expected str, got NoneType"),
        (("x",), r"^Expected list, got tuple$"),
    ],
)
def test_foreign_objects_raise_type_error(write_neu, lines, error):
    p = parser_with_blocks(write_neu, {450: lines, 451: lines})
    calls = [p.get_output_vectors, p.get_output_vectors_arrays]
    if not isinstance(lines[0], ORVEXBlock) or len(lines[0].lines or []) < 6:
        calls.append(p.get_output_sets)
    for call in calls:
        with pytest.raises(TypeError, match=error):
            call()


def test_none_for_1051_and_non_str_title(write_neu):
    with pytest.raises(TypeError, match="unsupported operand"):
        parser_with_blocks(write_neu, {1051: None}).get_output_vectors()
    p = parser_with_blocks(write_neu, {1051: [ORVEXBlock(1051, ["1,2,", 5] + vector(3, 3, b"", marker=False))]})
    with pytest.raises(TypeError, match="Expected str, got int"):
        p.get_output_vectors()
    with pytest.raises(TypeError, match="Expected str, got bytes"):  # passed over, still read
        p.get_output_vectors_arrays(4)


@pytest.fixture
def np_attribute():
    saved = orvex_parser.np
    yield
    orvex_parser.np = saved


@pytest.mark.parametrize("error", [ValueError, IndexError, KeyError, "clear"])
def test_replaced_np_failing(write_neu, np_attribute, error):
    lines = vector(1, 1, "1,1.,") + vector(2, 2)

    class FakeNumpy:
        int32, float64 = np.int32, np.float64

        def array(self, items, dtype):
            if error == "clear":  # the walk goes on over the lines it started with
                lines.clear()
                raise ValueError
            raise error

    p = parser_with_blocks(write_neu, {1051: [ORVEXBlock(1051, lines)]})
    orvex_parser.np = FakeNumpy()
    if error in (ValueError, IndexError, "clear"):  # dropped like a malformed record, the next match too
        assert p.get_output_vectors_arrays() == (None, None, -1, -1, -1)
    else:
        with pytest.raises(KeyError):
            p.get_output_vectors_arrays()
    del orvex_parser.np
    assert p.get_output_vectors_arrays(7) == (None, None, -1, -1, -1)  # np is only needed for a match
    if lines:
        with pytest.raises(NameError, match="'np'"):
            p.get_output_vectors_arrays()


@pytest.mark.parametrize("change", ["shrink", "foreign"])
def test_lines_changed_by_the_collector_mid_walk(write_neu, change):
    """Python code that the garbage collector runs at an allocation inside the
    walk changes the list being read: the walk reads the lines as they were
    when it started, and the next call sees the change."""
    lines = [line for k in range(300) for line in vector(k, 1, "1,2,1.,", "2.,", "5,1.,")]
    p = parser_with_blocks(write_neu, {1051: [ORVEXBlock(1051, lines)]})
    whole = p.get_output_vectors()
    collections = []

    def on_collect(phase, info):
        collections.append(phase)
        if len(collections) == 40:  # well inside the building of the results
            lines[len(lines) // 2 :] = [] if change == "shrink" else [None] * (len(lines) - len(lines) // 2)

    threshold = gc.get_threshold()
    gc.callbacks.append(on_collect)
    gc.set_threshold(1)
    try:
        assert p.get_output_vectors() == whole
    finally:
        gc.set_threshold(*threshold)
        gc.callbacks.remove(on_collect)
    if change == "shrink":
        assert len(p.get_output_vectors()) == 150
    else:
        with pytest.raises(TypeError, match="Expected str, got NoneType"):
            p.get_output_vectors()
    assert len(collections) > 40
