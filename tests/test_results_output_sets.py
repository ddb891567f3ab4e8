"""Output sets of block 450: 6-line records, set id -> {"title", "value"}."""

from __future__ import annotations

import pytest


def sets_of(parser_for, *blocks: list[str]):
    return parser_for(blocks=[(450, lines) for lines in blocks]).get_output_sets()


def record(set_id="1,", title="Case,", value="2.5,"):
    return [set_id, title, "0,", value, "0,", "0,"]


@pytest.mark.parametrize(
    "title_line, value_line, expected",
    [
        ("<NULL>", "1.5(2),", ("", 1.5)),
        ("  <NULL>,,  ", "  3e2  7", ("", 300.0)),
        ("<NULL> ,", ",,,", ("<NULL> ", 0.0)),  # whitespace goes before the commas: no "<NULL>" match
        ("  A, B  ,,", "", ("A, B  ", 0.0)),  # inner commas stay; the title line is never split
    ],
)
def test_title_and_value_rules(parser_for, title_line, value_line, expected):
    title, value = expected
    assert sets_of(parser_for, record(title=title_line, value=value_line)) == {1: {"title": title, "value": value}}


@pytest.mark.parametrize("lines, title, value", [(["7,"], "", 0.0), (["7,", "T,", "x"], "T", 0.0),
                                                 (["7,", "T,", "x", "4,"], "T", 4.0)])
def test_missing_lines_at_block_end(parser_for, lines, title, value):
    assert sets_of(parser_for, lines) == {7: {"title": title, "value": value}}


def test_failing_value_drops_the_set_and_the_walk_moves_by_one_line(parser_for):
    # Set 1's bad value drops it; its title "5 cases" is then read as set 5.
    lines = ["", "x,", "1,", "5 cases", "0,", "abc,", "0,", "0,", "y", *record("9,", "Nine,", "9.5,")]
    assert sets_of(parser_for, lines) == {5: {"title": "0", "value": 0.0}, 9: {"title": "Nine", "value": 9.5}}


def test_repeated_ids_merge_across_blocks_keeping_first_position(parser_for):
    got = sets_of(parser_for, record("2,", "old,") + record("4,"), record("2,", "new,", "5.,"))
    assert list(got) == [2, 4] and got[2] == {"title": "new", "value": 5.0}
    assert parser_for(blocks=[(100, ["t"])]).get_output_sets() == {}


def test_set_id_out_of_int32_range_raises(parser_for):
    with pytest.raises(OverflowError):
        sets_of(parser_for, record(set_id="2147483648,"))
