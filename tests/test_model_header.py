"""Block 100: the header's title and version."""

from __future__ import annotations

import pytest

from tremix.core.orvex_parser import ORVEXBlock, ORVEXParser


@pytest.mark.parametrize(
    "lines, expected",
    [
        (["<NULL>", "11.4,"], {"title": "", "version": "11.4,"}),
        (["  Bracket model  ", "  11.4  "], {"title": "Bracket model", "version": "11.4"}),
        ([" <NULL> ", "1"], {"title": "", "version": "1"}),
        (["<null>", "1"], {"title": "<null>", "version": "1"}),
        # Only whitespace is stripped from the title: its commas stay.
        (["Model,,", "2,"], {"title": "Model,,", "version": "2,"}),
        (["<NULL>,", "2"], {"title": "<NULL>,", "version": "2"}),
        (["a", "b", "c", "d"], {"title": "a", "version": "b"}),
        (["", ""], {"title": "", "version": ""}),
    ],
)
def test_title_and_version(parser_for, lines, expected):
    header = parser_for(blocks=[(100, lines)]).get_header()
    assert header == expected
    assert list(header) == ["title", "version"]


@pytest.mark.parametrize(
    "blocks",
    [
        [],
        [(100, [])],
        [(100, ["only a title"])],
        # Only the first block 100 counts, even when it is unusable.
        [(100, ["title"]), (100, ["title", "11.4"])],
    ],
)
def test_no_usable_header_gives_none(parser_for, blocks):
    assert parser_for(blocks=blocks).get_header() is None


def test_each_call_builds_a_new_dict(parser_for):
    p = parser_for(blocks=[(100, ["t", "v"])])
    first, second = p.get_header(), p.get_header()
    assert first == second and first is not second


class _Line:
    """A foreign object standing in for a line."""

    def __init__(self, result, on_strip=None):
        self.result, self.on_strip = result, on_strip

    def strip(self):
        if self.on_strip:
            self.on_strip()
        return self.result


def _parser_with_lines(lines):
    p = ORVEXParser.__new__(ORVEXParser)
    p.blocks = {100: [ORVEXBlock(100, lines)]}
    return p


def test_foreign_line_is_stripped_through_its_own_method():
    p = _parser_with_lines([_Line("  kept as returned "), "v"])
    assert p.get_header() == {"title": "  kept as returned ", "version": "v"}


@pytest.mark.parametrize(
    "line, error, message",
    [
        (5, AttributeError, "strip"),
        (_Line(b"bytes"), TypeError, "Expected str, got bytes"),
        (_Line(None), TypeError, "Expected str, got NoneType"),
    ],
)
def test_non_str_line(line, error, message):
    with pytest.raises(error, match=message):
        _parser_with_lines(["title", line]).get_header()


def test_line_list_shrunk_by_a_strip_method():
    lines = []
    lines += [_Line("t", on_strip=lines.clear), "v"]
    with pytest.raises(IndexError):
        _parser_with_lines(lines).get_header()


@pytest.mark.parametrize(
    "first, error, message",
    [
        (None, TypeError, "Cannot convert NoneType to tremix.core.orvex_parser.ORVEXBlock"),
        ("x", TypeError, "Cannot convert str to tremix.core.orvex_parser.ORVEXBlock"),
        (ORVEXBlock(100, None), TypeError, "object of type 'NoneType' has no len()"),
    ],
)
def test_unusable_first_block(first, error, message):
    p = ORVEXParser.__new__(ORVEXParser)
    p.blocks = {100: [first, ORVEXBlock(100, ["t", "v"])]}
    with pytest.raises(error, match=message):
        p.get_header()


def test_blocks_from_an_override_of_get_blocks(write_neu):
    class Sub(ORVEXParser):
        def get_blocks(self, block_id):
            return None if self.mode == "none" else [ORVEXBlock(block_id, ["  t ", str(block_id)])]

    p = Sub(write_neu(blocks=[(100, ["a", "b"])]))
    p.mode = "list"
    assert p.get_header() == {"title": "t", "version": "100"}
    p.mode = "none"
    assert p.get_header() is None
