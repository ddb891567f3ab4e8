"""Block 403: nodes as a dict and as arrays."""

from __future__ import annotations

import gc
import math

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from storage import in_storage


def node(nid, x, y, z, sep=","):
    """A node line: the id, ten fields not read, then x, y and z."""
    fields = [str(nid)] + ["0"] * 10 + [str(x), str(y), str(z)]
    return sep.join(fields) + ("," if sep == "," else "")


LAYOUT_LINES = [
    node(1, 1, 2, 3),                                # integer text coordinates become floats
    "2,0,0,0,0,0,0,0,0,0,0,1.0,2.0",                 # 13 fields: not a node
    node("7.0", 1, 1, 1),                            # the id must be an integer text
    node(3, "abc", 0, 0),                            # a bad coordinate drops the line
    node(4, "1.5(2)", 0, 0),                         # coordinates take no "(" suffix
    node(4, 0, "1.0D+00", 0),                        # nor a D exponent
    node(-1, "1e3", " -2.5", "inf") + "9,x,",        # -1 is an ordinary id; fields after 13 are not read
    node(5, 1, 2, 3),
    node(6, 0, 0, 0, sep="  "),
    node(5, 4, 5, 6),                                # a repeated id: first place, last value
    "8,,0,0,0,0,0,0,0,0,0,0,1_0,.5,5.",              # an empty field does not count
    "  +9 0 0 0 0 0 0 0 0 0 0 -0.0 NaN -INFINITY",   # whitespace mode
    "",
    "2147483648,1,2",                                # too short to be converted at all
]


def test_node_record_layout(parser_for):
    nodes = parser_for(blocks=[(403, LAYOUT_LINES)]).get_nodes()
    assert list(nodes) == [1, -1, 5, 6, 8, 9]
    assert nodes[1] == (1.0, 2.0, 3.0) and all(type(v) is float for v in nodes[1])
    assert nodes[-1] == (1000.0, -2.5, math.inf)
    assert nodes[5] == (4.0, 5.0, 6.0)
    assert nodes[8] == (10.0, 0.5, 5.0)
    x, y, z = nodes[9]
    assert math.copysign(1, x) == -1 and math.isnan(y) and z == -math.inf
    assert not gc.is_tracked(nodes[1])  # as the interpreter's own tuples of floats end up


def test_arrays_keep_every_node_line_in_file_order(parser_for):
    ids, coords = parser_for(blocks=[(403, LAYOUT_LINES)]).get_nodes_arrays()
    assert ids.dtype == np.int32 and ids.shape == (7,)
    assert coords.dtype == np.float64 and coords.shape == (7, 3)
    assert ids.tolist() == [1, -1, 5, 6, 5, 8, 9]
    assert coords[:6].tolist() == [[1, 2, 3], [1000, -2.5, math.inf], [1, 2, 3], [0, 0, 0], [4, 5, 6], [10, 0.5, 5]]


def test_no_node_gives_the_arrays_numpy_makes_of_no_values(parser_for):
    ids, coords = parser_for(blocks=[(403, ["not a node"] * 3)]).get_nodes_arrays()
    want = np.zeros(0, np.int32), np.zeros((0, 3))
    assert [(a.shape, a.strides) for a in (ids, coords)] == [(w.shape, w.strides) for w in want]


def test_blocks_are_merged_in_order(parser_for):
    p = parser_for(blocks=[(403, [node(2, 0, 0, 1)]), (404, []), (403, [node(1, 0, 0, 2), node(2, 0, 0, 3)])])
    assert p.get_nodes() == {2: (0.0, 0.0, 3.0), 1: (0.0, 0.0, 2.0)}
    assert list(p.get_nodes()) == [2, 1]
    assert p.get_nodes_arrays()[0].tolist() == [2, 1, 2]


@pytest.mark.parametrize("force_2d", [True, 1, "x", [0]])
def test_force_2d_drops_only_nodes_above_the_plane(parser_for, force_2d):
    lines = [node(1, 0, 0, "0.0"), node(2, 0, 0, "-0.0"), node(3, 0, 0, -2.5), node(4, 0, 0, "1e-300"),
             node(5, 0, 0, "nan"), node(6, 0, 0, "inf"), node(7, 0, 0, 0), node(7, 9, 9, 1)]
    nodes = parser_for(blocks=[(403, lines)]).get_nodes(force_2d)
    assert list(nodes) == [1, 2, 3, 5, 7]
    assert nodes[7] == (0.0, 0.0, 0.0)  # the dropped repeat leaves the stored entry alone
    assert math.isnan(nodes[5][2])


@pytest.mark.parametrize("force_2d", [False, 0, None, "", []])
def test_force_2d_false_keeps_everything(parser_for, force_2d):
    p = parser_for(blocks=[(403, [node(1, 0, 0, 5), node(2, 0, 0, -5)])])
    assert list(p.get_nodes(force_2d=force_2d)) == [1, 2]


@pytest.mark.parametrize(
    "line",
    [node(2147483648, 0, 0, 0), node(-2147483649, 0, 0, 0), node(2147483648, "abc", 0, 0), node(10**30, 0, 0, 0)],
)
@pytest.mark.parametrize("method", ["get_nodes", "get_nodes_arrays"])
def test_id_out_of_int32_range_ends_the_call(parser_for, line, method):
    p = parser_for(blocks=[(403, [node(1, 0, 0, 0), line, node(2, 0, 0, 0)])])
    with pytest.raises(OverflowError):
        getattr(p, method)()


def test_int32_limits_are_ids(parser_for):
    p = parser_for(blocks=[(403, [node(2147483647, 0, 0, 0), node(-2147483648, 0, 0, 0)])])
    assert list(p.get_nodes()) == [2147483647, -2147483648]
    assert p.get_nodes_arrays()[0].tolist() == [2147483647, -2147483648]


def test_no_node_gives_empty_results(parser_for):
    # Without any node the arrays are empty, shaped for the caller's
    # indexing, rather than an error about the coordinate array's rank.
    p = parser_for(blocks=[(403, ["1,2,3", node("x", 0, 0, 0)])])
    assert p.get_nodes() == {}
    ids, coords = p.get_nodes_arrays()
    assert (ids.shape, ids.dtype, coords.shape, coords.dtype) == ((0,), np.int32, (0, 3), np.float64)
    ids, coords = parser_for(blocks=[]).get_nodes_arrays()
    assert (ids.shape, coords.shape) == ((0,), (0, 3))


# Node lines close to the common comma-separated form, each piece either a
# plain number or a small deviation from one, so that lines fall on both
# sides of the one-pass reader's boundary.
_pieces = st.one_of(
    st.integers(-2**31 - 5, 2**31 + 5).map(str),
    st.floats(allow_nan=False, allow_infinity=False).map(lambda v: f"{v:.7E}"),
    st.sampled_from(["0", "-0.", ".5", "+7", "1_0", " 3", "4 ", "", "1e400", "nan", "1.5(2)", "\u00a09",
                     "0012", "1234567890", "-2147483648", "2147483648", "1.0D+00", "x"]),
)


@settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(lines=st.lists(st.lists(_pieces, min_size=10, max_size=17).map(lambda ps: ",".join(ps)) |
                      st.lists(_pieces, min_size=10, max_size=17).map(lambda ps: ",".join(ps) + ",,"),
                      min_size=1, max_size=6))
def test_plain_node_lines_read_like_the_plain_rules(write_neu, storage, lines):
    from plain_python import PlainParser

    from tremix.core.orvex_parser import ORVEXParser

    path = write_neu(blocks=[(403, lines)])
    reference = PlainParser(path)
    parser = in_storage(ORVEXParser(path), storage)
    try:
        expected = reference.get_nodes_arrays()
    except OverflowError:
        with pytest.raises(OverflowError):
            parser.get_nodes_arrays()
        return
    ids, coords = parser.get_nodes_arrays()
    np.testing.assert_array_equal(ids, expected[0])
    assert coords.tobytes() == np.asarray(expected[1], dtype=np.float64).reshape(-1, 3).tobytes()
