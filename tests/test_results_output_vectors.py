"""Output vectors of blocks 1051 and 451, as records and as arrays."""

from __future__ import annotations

import gc

import numpy as np
import orvex_gen
import pytest

from tremix.core import orvex_parser
from tremix.core.orvex_parser import ORVEXBlock, ORVEXParser

MARKER = "-1,0.,"
NO_MATCH = (None, None, -1, -1, -1)


@pytest.fixture
def no_match(parser_for):
    """The module's constant no-match tuple."""
    return parser_for(blocks=[]).get_output_vectors_arrays()


def vector(set_id, vec_id, *data, title="Stress,", ent=7, marker=True):
    """Lines of one vector: start line, title, filler, entity-type pair, data."""
    head = [f"{set_id},{vec_id},1,", title, "0,0,0,", *["1,2,3,4,5,6,7,8,9,10,"] * 3, f"1,1,1,{ent},", "0,0,1,"]
    return head + list(data) + ([MARKER] if marker else [])


def records(parser_for, *lines, block=1051):
    return parser_for(blocks=[(block, list(lines))]).get_output_vectors()


def arrays_as_lists(result):
    ids, values, *rest = result
    return [ids.tolist(), values.tolist(), *rest]


@pytest.mark.parametrize(
    "data, results",
    [
        (["10,1.5,", "11,2.5,"], {10: 1.5, 11: 2.5}),
        # continuation lines until count values; the line after is a new record, extra values ignored
        (["5,9,1.,2.,", "3.,4.,", "5.,6.,", "12,7.,"], {5: 1.0, 6: 2.0, 7: 3.0, 8: 4.0, 9: 5.0, 12: 7.0}),
        (["5,9,1.,2.,"], {5: 1.0, 6: 2.0}),  # the marker stops the continuation and ends the vector
        (["5,7,1.,", "", "2.,", "  3.  4.", "8,1.,"], {5: 1.0, 6: 2.0, 7: 3.0, 8: 1.0}),
        (["9,5,1.,", "3,4.,"], {3: 4.0}),  # count < 0: nothing stored, next line is a record
        (["5,4,1.,"], {}),
        (["-1,0.0,", "20,2.,"], {-1: 0.0, 20: 2.0}),  # "0.0" is not the marker text
        (["10,1.,", "11,2.,", "10,3.,"], {10: 3.0, 11: 2.0}),
        (["", "x", "10,1.,"], {10: 1.0}),
        (["10 1.5(7)", "11  2e1"], {10: 1.5, 11: 20.0}),
        (["2147483647,1.,"], {2147483647: 1.0}),
    ],
)
def test_data_records(parser_for, data, results):
    (got,) = records(parser_for, *vector(1, 2, *data))
    assert got == {"set_id": 1, "vec_id": 2, "title": "Stress", "ent_type": 7, "results": results}
    assert list(got["results"]) == list(results)


def test_marker_with_extra_fields_ends_the_vector(parser_for):
    got = records(parser_for, *vector(1, 2, "10,1.,", "-1,0.,3", "11,2,", marker=False))
    assert got[0]["results"] == {10: 1.0}
    assert [v["set_id"] for v in got] == [1, 11]  # "11,2," starts a vector of its own


def test_vectors_in_walk_order_1051_blocks_first(parser_for):
    p = parser_for(blocks=[(451, vector(3, 1, "1,1.,")), (1051, vector(1, 1)), (1051, vector(2, 1, title="<NULL>"))])
    assert [(v["set_id"], v["title"]) for v in p.get_output_vectors()] == [(1, "Stress"), (2, ""), (3, "Stress")]


def test_start_line_at_block_end(parser_for):
    assert records(parser_for, "4,5,") == [{"set_id": 4, "vec_id": 5, "title": "", "ent_type": None, "results": {}}]


def test_vector_without_pair_ends_its_block(parser_for):
    p = parser_for(blocks=[(1051, ["1,1,", "T", "x", "10,1.,", MARKER, *vector(2, 2)]), (451, vector(3, 3))])
    got = p.get_output_vectors()
    # The pair search runs past vector 1's marker and finds vector 2's pair.
    assert [(v["set_id"], v["ent_type"], v["results"]) for v in got] == [(1, 7, {}), (3, 7, {})]
    p = parser_for(blocks=[(1051, ["1,1,", "T", "x", "10,1.,", MARKER, "2,2,"]), (451, vector(3, 3))])
    assert [(v["set_id"], v["ent_type"]) for v in p.get_output_vectors()] == [(1, None), (3, 7)]


def test_failing_record_drops_vector_and_resumes_after_failing_line(parser_for):
    lines = [*vector(1, 1, "10,1.,", "5,7,1.,", "2.,abc,", marker=False),
             "12,3,", "T2,", "x", "1,1,1,8,", "0,0,1,", "20,2.,", MARKER]
    got = records(parser_for, *lines)
    assert got == [{"set_id": 12, "vec_id": 3, "title": "T2", "ent_type": 8, "results": {20: 2.0}}]
    assert arrays_as_lists(parser_for(blocks=[(1051, lines)]).get_output_vectors_arrays()) == [[20], [2.0], 12, 3, 8]


@pytest.mark.parametrize(
    "lines",
    [vector(1, 1, "2147483648,1.,"), vector(1, 1, "1,2147483648,1.,"), vector(1, 1, ent=2147483648),
     ["2147483648,1,"], ["1,-2147483649,"]],
)
def test_int32_overflow_ends_the_call(parser_for, lines):
    p = parser_for(blocks=[(1051, lines)])
    with pytest.raises(OverflowError):
        p.get_output_vectors()
    with pytest.raises(OverflowError):
        p.get_output_vectors_arrays()


# --- array form -----------------------------------------------------------------


def test_no_match_is_one_constant_tuple(parser_for, no_match):
    p = parser_for(blocks=[(1051, vector(1, 1))])
    assert no_match == NO_MATCH
    assert p.get_output_vectors_arrays(5) is no_match
    assert p.get_output_vectors_arrays(-1, 2) is no_match


@pytest.mark.parametrize(
    "args, kwargs, expected",
    [
        ((), {}, (1, 2)),
        ((1,), {}, (1, 2)),
        ((1, 3), {}, (1, 3)),
        ((), {"vec_id_filter": 3}, (1, 3)),
        ((-5, -1), {}, (1, 2)),
        ((0,), {}, (0, 9)),
        ((2.9,), {}, (2, 4)),  # truncated
        ((), {"set_id_filter": 2, "vec_id_filter": 5}, None),
    ],
)
def test_filters(parser_for, args, kwargs, expected):
    p = parser_for(blocks=[(1051, vector(1, 2) + vector(1, 3) + vector(0, 9)), (451, vector(2, 4))])
    got = p.get_output_vectors_arrays(*args, **kwargs)
    assert (got[2:4] if expected else got) == (expected or NO_MATCH)


@pytest.mark.parametrize(
    "args, error, message",
    [
        (("2",), TypeError, "an integer is required"),
        ((2**31,), OverflowError, None),
        ((1, 2, 3), TypeError, r"takes at most 2 positional arguments \(3 given\)"),
    ],
)
def test_filter_argument_errors(parser_for, args, error, message):
    with pytest.raises(error, match=message):
        parser_for(blocks=[]).get_output_vectors_arrays(*args)


@pytest.mark.parametrize(
    "data, ids, values",
    [
        (["10,1.5,", "10,2.5,"], [10, 10], [1.5, 2.5]),  # a repeated id is listed twice
        (["5,9,1.,2.,3.,", "4.,5.,"], [5, 6, 7, 8, 9], [1.0, 2.0, 3.0, 4.0, 5.0]),
        ([], [], []),
    ],
)
def test_arrays_of_matching_vector(parser_for, data, ids, values):
    got = parser_for(blocks=[(1051, vector(1, 2, *data, ent=4))]).get_output_vectors_arrays()
    assert got[0].dtype == np.int32 and got[1].dtype == np.float64 and got[0].shape == (len(ids),)
    assert arrays_as_lists(got) == [ids, values, 1, 2, 4]


def test_matching_vector_without_pair_gives_empty_arrays_and_minus_one(parser_for):
    got = parser_for(blocks=[(1051, ["1,2,", "T", "x", "10,1.,"])]).get_output_vectors_arrays()
    assert arrays_as_lists(got) == [[], [], 1, 2, -1]


def test_passed_over_vectors_are_not_converted(parser_for):
    # Set 1 holds values nothing could convert, and set 3 has no pair so the
    # rest of its block is passed over; set 2 in the next block is found.
    p = parser_for(blocks=[(1051, vector(1, 1, "2147483648,abc,") + ["3,3,", "T", *vector(2, 9)]), (451, vector(2, 1, "7,7.,"))])
    assert arrays_as_lists(p.get_output_vectors_arrays(2)) == [[7], [7.0], 2, 1, 7]


def test_failing_matching_vector_gives_way_to_the_next_match(parser_for, no_match):
    p = parser_for(blocks=[(1051, vector(1, 1, "10,abc,") + vector(1, 2, "11,1.,"))])
    assert p.get_output_vectors_arrays(1)[2:4] == (1, 2)
    assert p.get_output_vectors_arrays(1, 1) is no_match


@pytest.mark.parametrize("separator", ["comma", "space"])
def test_arrays_agree_with_records_on_generated_file(tmp_path, separator):
    path = tmp_path / "gen.neu"
    orvex_gen.generate(path, n_nodes=700, n_vectors=6, n_sets=3, separator=separator, seed=3, run_len=17)
    p = ORVEXParser(str(path))
    vectors = p.get_output_vectors()
    assert len(vectors) == 6
    for v in vectors:
        ids, values, set_id, vec_id, ent = p.get_output_vectors_arrays(v["set_id"], v["vec_id"])
        assert (set_id, vec_id, ent) == (v["set_id"], v["vec_id"], v["ent_type"])
        assert list(zip(ids.tolist(), values.tolist())) == list(v["results"].items())


# --- hostile callers ----------------------------------------------------------


def parser_with_blocks(write_neu, by_id):
    """A parser whose get_blocks returns by_id.get(block_id, [])."""

    class Sub(ORVEXParser):
        def get_blocks(self, block_id):
            return by_id.get(block_id, [])

    return Sub(write_neu(blocks=[]))


@pytest.mark.parametrize(
    "by_id, error",
    [
        ({1051: None}, r"unsupported operand"),
        ({451: ("x",)}, r"^Expected list, got tuple$"),
        ({451: [3]}, r"Cannot convert int to tremix\.core\.orvex_parser\.ORVEXBlock"),
        ({1051: [None]}, r"Cannot convert NoneType"),
        ({1051: [ORVEXBlock(1051, None)]}, r"object of type 'NoneType' has no len\(\)"),
        ({1051: [ORVEXBlock(1051, [None])]}, r"Expected str, got NoneType"),
        ({1051: [ORVEXBlock(1051, ["1,2,", "T", "x", 5, "y"])]}, r"Expected str, got int"),  # pair search
        ({1051: [ORVEXBlock(1051, vector(1, 2, "1,1.,", 2.5))]}, r"Expected str, got float"),
        ({1051: [ORVEXBlock(1051, vector(1, 2, "1,3,1.,", None))]}, r"Expected str, got NoneType"),
    ],
)
def test_foreign_objects_raise_type_error(write_neu, by_id, error):
    p = parser_with_blocks(write_neu, by_id)
    for call in (p.get_output_vectors, p.get_output_vectors_arrays):
        with pytest.raises(TypeError, match=error):
            call()


def test_non_str_title_line(write_neu):
    p = parser_with_blocks(write_neu, {1051: [ORVEXBlock(1051, ["1,2,", 5])]})
    with pytest.raises(TypeError, match="Expected str, got int"):
        p.get_output_vectors()
    assert p.get_output_vectors_arrays()[2:] == (1, 2, -1)  # the array form never reads the title


def test_passed_over_vector_still_rejects_non_str_lines(write_neu):
    p = parser_with_blocks(write_neu, {1051: [ORVEXBlock(1051, vector(1, 1, b"1,1.,") + vector(2, 2))]})
    with pytest.raises(TypeError, match="Expected str, got bytes"):
        p.get_output_vectors_arrays(2)


@pytest.fixture
def np_attribute():
    """Restores the module-level name `np` after a test replaced or removed it."""
    saved = orvex_parser.np
    yield
    orvex_parser.np = saved


class FakeNumpy:
    int32, float64 = np.int32, np.float64

    def __init__(self, array):
        self.array = array


@pytest.mark.parametrize("error", [ValueError, IndexError, KeyError])
def test_replaced_np_array_failing(parser_for, np_attribute, no_match, error):
    def array(items, dtype):
        raise error("no")

    p = parser_for(blocks=[(1051, vector(1, 1, "1,1.,") + vector(2, 2))])
    orvex_parser.np = FakeNumpy(array)
    if error is KeyError:
        with pytest.raises(KeyError):
            p.get_output_vectors_arrays()
    else:  # dropped like a malformed record; no other vector can be made either
        assert p.get_output_vectors_arrays() is no_match


def test_replaced_np_array_is_called_with_lists(parser_for, np_attribute):
    seen = []

    def array(items, dtype):
        seen.append((items, dtype))
        return np.array(items, dtype=dtype)

    orvex_parser.np = FakeNumpy(array)
    got = parser_for(blocks=[(1051, vector(1, 1, "4,5,1.,2.,"))]).get_output_vectors_arrays()
    assert seen == [([4, 5], np.int32), ([1.0, 2.0], np.float64)]
    assert arrays_as_lists(got) == [[4, 5], [1.0, 2.0], 1, 1, 7]


def test_np_removed(parser_for, np_attribute, no_match):
    p = parser_for(blocks=[(1051, vector(1, 1))])
    del orvex_parser.np
    assert p.get_output_vectors_arrays(3) is no_match  # np is only needed for a match
    with pytest.raises(NameError, match="'np'"):
        p.get_output_vectors_arrays()


def test_np_array_shrinking_the_lines_ends_in_an_exception(write_neu, np_attribute):
    lines = vector(1, 1, "1,1.,") + ["x"] * 5

    def array(items, dtype):
        lines.clear()
        raise ValueError

    p = parser_with_blocks(write_neu, {1051: [ORVEXBlock(1051, lines)]})
    orvex_parser.np = FakeNumpy(array)
    with pytest.raises(IndexError):
        p.get_output_vectors_arrays()


@pytest.mark.parametrize("change", ["shrink", "foreign", "grow"])
def test_lines_changed_by_the_collector_mid_walk(write_neu, change):
    """Python code run by the garbage collector at an allocation inside the
    walk changes the list being read: an exception or a result, never a crash."""
    lines = [line for k in range(300) for line in vector(k, 1, "1,2,1.,", "2.,", "5,1.,")]
    p = parser_with_blocks(write_neu, {1051: [ORVEXBlock(1051, lines)]})
    collections = []

    def on_collect(phase, info):
        collections.append(phase)
        if len(collections) == 40:  # well inside the walk: one results dict per vector
            if change == "shrink":
                del lines[len(lines) // 3 :]
            elif change == "foreign":
                lines[len(lines) // 2 :] = [None] * (len(lines) - len(lines) // 2)
            else:
                lines.extend(vector(999, 1) * 50)

    threshold = gc.get_threshold()
    gc.callbacks.append(on_collect)
    gc.set_threshold(1)
    try:
        try:
            got = p.get_output_vectors()
        except (IndexError, TypeError):
            got = None
    finally:
        gc.set_threshold(*threshold)
        gc.callbacks.remove(on_collect)
    assert len(collections) > 40
    if change == "grow":
        assert len(got) == 300  # the line count was taken before the walk
    else:
        assert got is None
