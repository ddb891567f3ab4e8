"""Block 402 (properties) and block 601 (materials)."""

from __future__ import annotations

import pytest


def prop(pid, mid, title, sep=","):
    """The seven lines of a property record."""
    head = f"{pid}{sep}110{sep}{mid}{sep}25{sep}1{sep}0" + ("," if sep == "," else "")
    return [head, title, "0,0,0,0,", "0,0,0,0,0,0,0,0,", "6,", "2.,0.,0.8,0.,1.,0.,", "0.,0.,0.,0.,0.,0.,"]


@pytest.mark.parametrize(
    "title, expected",
    [
        ("Solid cells,", "Solid cells"),
        ("<NULL>", ""),
        ("  <NULL>,,,", ""),
        ("<NULL> ,", "<NULL> "),       # whitespace goes before the commas
        ("Name,  ", "Name"),
        ("Name ,", "Name "),
        ("Plate, 2 mm, rev B", "Plate, 2 mm, rev B"),
        ("", ""),
        (",,,", ""),
    ],
)
def test_title_rule(parser_for, title, expected):
    props = parser_for(blocks=[(402, prop(1, 2, title))]).get_properties()
    assert props == {1: {"material_id": 2, "title": expected}}
    assert list(props[1]) == ["material_id", "title"]


def test_record_layout(parser_for):
    lines = (
        prop(1, 1, "First")
        + prop(2, 2, "Second", sep="  ")
        + ["7,0"]                      # two integer fields are not a header
        + ["1.0,0,5"]                  # field 0 reads 1.0: the next line is tried
        + ["3,0,9", "Third,", "", "", "", "", ""]
        + ["9,0,1", "<NULL>", "", "", "", "", ""]
        + prop(1, 7, "First again")    # repeated id: earlier place, later value
        + ["4,x,6"]                    # a header on the block's last line has no title
    )
    props = parser_for(blocks=[(402, lines), (402, prop(5, 5, "Other block"))]).get_properties()
    assert props == {
        1: {"material_id": 7, "title": "First again"},
        2: {"material_id": 2, "title": "Second"},
        3: {"material_id": 9, "title": "Third"},
        9: {"material_id": 1, "title": ""},
        4: {"material_id": 6, "title": ""},
        5: {"material_id": 5, "title": "Other block"},
    }
    assert list(props) == [1, 2, 3, 9, 4, 5]


def test_record_never_spans_two_blocks(parser_for):
    props = parser_for(blocks=[(402, ["1,0,2"]), (402, ["title?", "3,0,4", "t"])]).get_properties()
    assert props == {1: {"material_id": 2, "title": ""}, 3: {"material_id": 4, "title": "t"}}


@pytest.mark.parametrize("header", ["2147483648,0,1", "1,0,-2147483649", "2147483648,0,x"])
def test_property_overflow_ends_the_call(parser_for, header):
    with pytest.raises(OverflowError):
        parser_for(blocks=[(402, prop(1, 1, "a") + [header, "t"])]).get_properties()


def test_materials(parser_for):
    lines = [
        "1,-601,55,0,0,1,0,",
        "Steel,",
        "2.0500000E+11,7.9E+10,0.29,",   # real numbers never name a material
        "word 5",
        "",                              # a blank line does not stop the walk
        "  2   -601  55",
        "0,0,0,0,0,0,0,0,0,0,",          # a row of integer flags names material 0
        "1",
        "+3_0",
        "-2147483648",
    ]
    materials = parser_for(blocks=[(601, lines), (601, ["7"])]).get_materials()
    assert materials == {1: {"id": 1}, 2: {"id": 2}, 0: {"id": 0}, 30: {"id": 30},
                         -2147483648: {"id": -2147483648}, 7: {"id": 7}}
    assert list(materials) == [1, 2, 0, 30, -2147483648, 7]


@pytest.mark.parametrize("first", ["2147483648", "-2147483649", "99999999999999999999999"])
def test_material_overflow_ends_the_call(parser_for, first):
    with pytest.raises(OverflowError):
        parser_for(blocks=[(601, ["1", f"{first},2.5"])]).get_materials()


@pytest.mark.parametrize("method, block", [("get_properties", 402), ("get_materials", 601)])
def test_no_block_gives_empty_dict(parser_for, method, block):
    assert getattr(parser_for(blocks=[(999, ["1,2,3"])]), method)() == {}
