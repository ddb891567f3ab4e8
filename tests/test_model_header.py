"""Block 100: the header's title and version."""

from __future__ import annotations

import pytest

from tremix.core.orvex_parser import ORVEXBlock, ORVEXParser


@pytest.mark.parametrize(
    "lines, expected",
    [
        (["<NULL>", "11.4,"], ("", "11.4,")),
        (["  Bracket model  ", "  11.4  "], ("Bracket model", "11.4")),
        ([" <NULL> ", "1"], ("", "1")),
        (["<null>", "1"], ("<null>", "1")),
        (["<NULL>,", "2,"], ("<NULL>,", "2,")),  # only whitespace is stripped: commas stay
        (["a", "b", "c"], ("a", "b")),
    ],
)
def test_title_and_version(parser_for, lines, expected):
    header = parser_for(blocks=[(100, lines)]).get_header()
    assert list(header.items()) == [("title", expected[0]), ("version", expected[1])]


@pytest.mark.parametrize(
    "blocks",
    [[], [(100, [])], [(100, ["title"])], [(100, ["title"]), (100, ["title", "11.4"])]],
)
def test_no_usable_first_block_gives_none(parser_for, blocks):
    assert parser_for(blocks=blocks).get_header() is None


class Line:
    """A foreign object standing in for a line."""

    def __init__(self, result, on_strip=lambda: None):
        self.result, self.on_strip = result, on_strip

    def strip(self):
        self.on_strip()
        return self.result


def header_of(*items):
    p = ORVEXParser.__new__(ORVEXParser)
    p.blocks = {100: list(items)}
    return p.get_header()


def test_foreign_line_is_stripped_by_its_own_method():
    assert header_of(ORVEXBlock(100, [Line(" as returned "), "v"])) == {"title": " as returned ", "version": "v"}


@pytest.mark.parametrize("shrink", ["clear", "pop"])  # to no line, and to the title's line alone
def test_line_list_shrunk_by_a_strip_method(shrink):
    lines = []
    lines += [Line("t", on_strip=getattr(lines, shrink)), "v"]
    with pytest.raises(IndexError):
        header_of(ORVEXBlock(100, lines))


@pytest.mark.parametrize(
    "first, error, message",
    [
        (ORVEXBlock(100, ["t", 5]), AttributeError, "strip"),
        (ORVEXBlock(100, ["t", Line(b"v")]), TypeError, "Expected str, got bytes"),
        (ORVEXBlock(100, [Line(None), "v"]), TypeError, "Expected str, got NoneType"),
        (ORVEXBlock(100, [Line(type("StrSub", (str,), {})("t")), "v"]), TypeError, "Expected str, got StrSub"),
        (None, TypeError, "Cannot convert NoneType to tremix.core.orvex_parser.ORVEXBlock"),
        (ORVEXBlock(100, None), TypeError, "object of type 'NoneType' has no len()"),
    ],
)
def test_unusable_first_block(first, error, message):
    with pytest.raises(error, match=message):
        header_of(first, ORVEXBlock(100, ["t", "v"]))


def test_override_of_get_blocks(write_neu):
    class Sub(ORVEXParser):
        def get_blocks(self, block_id):
            return self.answer

    p = Sub(write_neu(blocks=[(100, ["a", "b"])]))
    p.answer = [ORVEXBlock(7, ["  t ", "v"])]
    assert p.get_header() == {"title": "t", "version": "v"}
    p.answer = None
    assert p.get_header() is None
