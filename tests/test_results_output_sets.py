"""Output sets of block 450: 6-line records, set id -> {"title", "value"}."""

from __future__ import annotations

import pytest

from tremix.core.orvex_parser import ORVEXBlock, ORVEXParser


def sets_of(parser_for, *blocks: list[str]):
    return parser_for(blocks=[(450, lines) for lines in blocks]).get_output_sets()


def record(set_id="1,", title="Case,", value="2.5,"):
    return [set_id, title, "0,", value, "0,", "0,"]


@pytest.mark.parametrize(
    "title_line, title",
    [
        ("Case 1,", "Case 1"),
        ("<NULL>", ""),
        ("  <NULL>,,  ", ""),
        ("<NULL> ,", "<NULL> "),  # commas go after the whitespace, then the comparison is exact
        ("A, B,", "A, B"),  # inner commas stay; the title line is never split
        ("  text  ,,", "text  "),
        ("", ""),
    ],
)
def test_title_rule(parser_for, title_line, title):
    assert sets_of(parser_for, record(title=title_line)) == {1: {"title": title, "value": 2.5}}


@pytest.mark.parametrize(
    "value_line, value",
    [("2.5,", 2.5), ("1.5(2),", 1.5), ("  3e2  7", 300.0), ("", 0.0), (",,,", 0.0), ("-inf,", float("-inf"))],
)
def test_value_is_first_field_of_fourth_line(parser_for, value_line, value):
    assert sets_of(parser_for, record(value=value_line))[1]["value"] == value


@pytest.mark.parametrize(
    "lines, expected",
    [
        (["7,"], {7: {"title": "", "value": 0.0}}),  # header on the last line
        (["7,", "T,"], {7: {"title": "T", "value": 0.0}}),
        (["7,", "T,", "x"], {7: {"title": "T", "value": 0.0}}),
        (["7,", "T,", "x", "4,"], {7: {"title": "T", "value": 4.0}}),
    ],
)
def test_missing_lines_at_block_end(parser_for, lines, expected):
    assert sets_of(parser_for, lines) == expected


def test_failing_value_drops_the_set_and_the_walk_moves_by_one_line(parser_for):
    # The bad value drops set 1; its title "5 cases" is then read as set 5.
    lines = ["1,", "5 cases", "0,", "abc,", "0,", "0,", "x", "y", "9,", "Nine,", "0,", "9.5,", "0,", "0,"]
    assert sets_of(parser_for, lines) == {
        5: {"title": "0", "value": 0.0},
        9: {"title": "Nine", "value": 9.5},
    }


def test_blank_and_bad_headers_are_passed_over_one_line_at_a_time(parser_for):
    lines = ["", "   ", "x,", *record("3,", "Three,", "3.,")]
    assert sets_of(parser_for, lines) == {3: {"title": "Three", "value": 3.0}}


def test_repeated_ids_merge_across_blocks_keeping_first_position(parser_for):
    got = sets_of(parser_for, record("2,", "old,", "1.,") + record("4,", "four,", "4.,"), record("2,", "new,", "5.,"))
    assert list(got) == [2, 4]
    assert got[2] == {"title": "new", "value": 5.0}


def test_no_block_450_gives_empty_dict(parser_for):
    assert parser_for(blocks=[(100, ["t", "v"])]).get_output_sets() == {}


@pytest.mark.parametrize("set_id", ["2147483648,", "-2147483649"])
def test_set_id_out_of_int32_range_raises(parser_for, set_id):
    with pytest.raises(OverflowError):
        sets_of(parser_for, record(set_id=set_id))


@pytest.mark.parametrize(
    "blocks, error",
    [
        ([5], r"Cannot convert int to tremix\.core\.orvex_parser\.ORVEXBlock"),
        ([None], r"Cannot convert NoneType"),
        ([ORVEXBlock(450, None)], r"object of type 'NoneType' has no len\(\)"),
        ([ORVEXBlock(450, ["1,", None])], r"Expected str, got NoneType"),
        ([ORVEXBlock(450, [b"1,"])], r"Expected str, got bytes"),
    ],
)
def test_foreign_items_raise_type_error(write_neu, blocks, error):
    class Sub(ORVEXParser):
        def get_blocks(self, block_id):
            return blocks

    with pytest.raises(TypeError, match=error):
        Sub(write_neu(blocks=[])).get_output_sets()
