"""Block 404: elements as a list of dicts and as five int32 arrays."""

from __future__ import annotations

import gc
import weakref

import numpy as np
import pytest


def element(eid, prop, topo, nodes1=(), nodes2=(), sep=","):
    """The seven lines of an element record."""
    join = (lambda f: ",".join(map(str, f)) + ",") if sep == "," else (lambda f: "  ".join(map(str, f)))
    return [
        join([eid, 124, prop, 17, topo, 1, 0, 0]),
        join(nodes1),
        join(nodes2),
        join(["0.", "0.", "0."]),
        join(["0.", "0.", "0."]),
        join(["0.", "0.", "0."]),
        join([0] * 16),
    ]


def as_records(arrays):
    ids, props, topos, conn, offsets = (a.tolist() for a in arrays)
    return [
        {"id": ids[k], "prop_id": props[k], "topology": topos[k], "nodes": conn[offsets[k]:offsets[k + 1]]}
        for k in range(len(ids))
    ]


def both_forms(parser):
    """get_elements, after checking that get_elements_arrays says the same."""
    records = parser.get_elements()
    arrays = parser.get_elements_arrays()
    assert all(a.dtype == np.int32 and a.ndim == 1 for a in arrays)
    assert arrays[4][0] == 0 and len(arrays[4]) == len(arrays[0]) + 1
    assert as_records(arrays) == records
    return records


def test_record_layout(parser_for):
    lines = (
        element(12, 3, 4, [5, 0, 7, -2], [0, 0, 9], sep=",")
        + ["", "1 2 3 4"]                                   # short lines are passed over one by one
        + element(13, 1, 8, [1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12], [0] * 10, sep="  ")
        + element(12, 5, 6, [0, 0], [0])                    # a repeated id is another element
    )
    records = both_forms(parser_for(blocks=[(404, lines)]))
    assert records == [
        {"id": 12, "prop_id": 3, "topology": 4, "nodes": [5, 7, -2, 9]},
        {"id": 13, "prop_id": 1, "topology": 8, "nodes": list(range(1, 13))},
        {"id": 12, "prop_id": 5, "topology": 6, "nodes": []},
    ]
    assert list(records[0]) == ["id", "prop_id", "topology", "nodes"]


def test_a_cycle_through_a_node_list_is_collected(parser_for):
    record = parser_for(blocks=[(404, element(12, 3, 4, [5, 7], [9]))]).get_elements()[0]
    nodes = record["nodes"]
    nodes.append(nodes)
    nodes.append(record)  # and one through the element's dict
    gone = weakref.ref(held := type("Held", (), {})())
    nodes.append(held)
    del held, nodes, record
    gc.collect()
    assert gone() is None


def test_header_fields_1_and_3_play_no_part(parser_for):
    records = both_forms(parser_for(blocks=[(404, ["12, x, 3, y, 4", "1", "2"])]))
    assert records == [{"id": 12, "prop_id": 3, "topology": 4, "nodes": [1, 2]}]


@pytest.mark.parametrize(
    "lines, nodes",
    [
        (["1,0,2,0,3"], []),
        (["1,0,2,0,3", "4,5"], [4, 5]),
        (["x", "1,0,2,0,3", "4,5", "6"], [4, 5, 6]),
    ],
)
def test_record_cut_short_by_the_block_end(parser_for, lines, nodes):
    assert both_forms(parser_for(blocks=[(404, lines)]))[0]["nodes"] == nodes


def test_failed_header_retries_at_the_next_line(parser_for):
    # Field 2 of the header is 1.5: the record is dropped and its first node
    # line, which has five integer fields, becomes a header of its own.
    lines = ["1,0,1.5,0,4", "2,0,3,0,5", "6,7", "8", "x", "x", "x", "x", "9,0,1,0,2", "3", ""]
    records = both_forms(parser_for(blocks=[(404, lines)]))
    assert records == [
        {"id": 2, "prop_id": 3, "topology": 5, "nodes": [6, 7, 8]},
        {"id": 9, "prop_id": 1, "topology": 2, "nodes": [3]},
    ]


def test_bad_node_field_drops_the_whole_record(parser_for):
    lines = ["1,0,1,0,1", "1,2", "3,abc", "", "", "", "", "2,0,1,0,1", "5"]
    assert both_forms(parser_for(blocks=[(404, lines)])) == [{"id": 2, "prop_id": 1, "topology": 1, "nodes": [5]}]


def test_walk_resumes_inside_a_dropped_record(parser_for):
    # After a dropped record every following line is tried as a header: the
    # record's last line (sixteen zeros) reads as an element with id 0.
    lines = element(1, 1, 1, [1, 2]) + element(2, 1, 1, [3, "abc"]) + element(3, 1, 1, [4], [5])
    records = both_forms(parser_for(blocks=[(404, lines)]))
    assert records == [
        {"id": 1, "prop_id": 1, "topology": 1, "nodes": [1, 2]},
        {"id": 0, "prop_id": 0, "topology": 0, "nodes": [3, 124, 1, 17, 1, 1, 4]},
        {"id": 0, "prop_id": 0, "topology": 0, "nodes": []},
    ]


def test_arrays_across_blocks(parser_for):
    p = parser_for(blocks=[(404, element(1, 2, 3, [1, 2, 3])), (403, []),
                           (404, element(2, 2, 3, [4, 5], [6, 7]) + element(3, 2, 3))])
    ids, props, topos, conn, offsets = p.get_elements_arrays()
    assert ids.tolist() == [1, 2, 3]
    assert conn.tolist() == [1, 2, 3, 4, 5, 6, 7]
    assert offsets.tolist() == [0, 3, 7, 7]
    both_forms(p)


def test_no_element(parser_for):
    p = parser_for(blocks=[(404, ["1,2,3,4"])])
    assert p.get_elements() == []
    arrays = p.get_elements_arrays()
    assert [a.shape for a in arrays] == [(0,), (0,), (0,), (0,), (1,)]
    assert arrays[4].tolist() == [0]
    assert parser_for(blocks=[]).get_elements() == []


@pytest.mark.parametrize(
    "lines",
    [
        element(2147483648, 1, 1),
        element(1, -2147483649, 1),
        element(1, 1, 1, [1, 2147483648]),
        element(1, 1, 1, [1], [10**40]),
        # Converted in order: the overflow comes before the bad node field.
        element(1, 1, 1, [2147483648, "abc"]),
    ],
)
@pytest.mark.parametrize("method", ["get_elements", "get_elements_arrays"])
def test_int32_overflow_ends_the_call(parser_for, lines, method):
    with pytest.raises(OverflowError):
        getattr(parser_for(blocks=[(404, element(1, 1, 1, [1]) + lines)]), method)()


def test_int32_limits(parser_for):
    p = parser_for(blocks=[(404, element(2147483647, -2147483648, 0, [2147483647, -2147483648]))])
    assert both_forms(p) == [
        {"id": 2147483647, "prop_id": -2147483648, "topology": 0, "nodes": [2147483647, -2147483648]}
    ]


def test_invalid_text_before_an_overflow_drops_the_record(parser_for):
    # Field 0 fails first, so field 2's overflow is never reached.
    records = both_forms(parser_for(blocks=[(404, ["x,0,2147483648,0,1", "1,0,2,0,3"])]))
    assert records == [{"id": 1, "prop_id": 2, "topology": 3, "nodes": []}]
