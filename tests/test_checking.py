"""tremix.check: one file per kind of finding, clean files, the two ways a
parser holds its lines, and the presentations the command line uses."""

from __future__ import annotations

import gzip
import itertools
import pickle
import re
from importlib import resources
from pathlib import Path

import pytest

import orvex_gen
import tremix
from conftest import ROOT, neu_text
from storage import in_storage
from tremix.core import _native
from tremix.core.orvex_parser import ORVEXParser
from tremix.findings import KINDS, count_by_kind, format_lines

NODE = "{},0,0,1,46,0,0,0,0,0,0,{},0.,0.,"
VEC_HEAD = ["0.,0.,0.,", "1,1,1,7,", "1,0,1,"]  # v + 2, then the entity-type pair


def vector(set_id, vec_id, *records, head=VEC_HEAD, marker=True):
    return [f"{set_id},{vec_id},1,", "Title,", *head, *records] + (["-1,0.,"] if marker else [])


# (file text, [(kind, block id, line, words the message holds), ...]); lines are file lines.
CASES = {
    "empty": ("", [("no-blocks", None, None, "empty")]),
    "one_line": ("solid cube\n", [
        ("stray-text", None, 1, "1 line with text outside any block (line 1, starting 'solid cube') is not read"),
        ("no-blocks", None, None, "the file's only line opens no block")]),
    "other_format": ("solid cube\n  facet normal 0 0 1\nendsolid\n", [
        ("stray-text", None, 1, "3 lines with text outside any block (lines 1 to 3, starting 'solid cube') are not read"),
        ("no-blocks", None, None, "none of the file's 3 lines opens a block")]),
    "cut_short": (neu_text((403, [NODE.format(1, "0.5")]))
                  + "   -1\n  1051\n" + "\n".join(vector(1, 1)[:4]) + "\n", [
        ("vector-without-entity-type", 1051, 7, "(set 1, vector 1) starting here has no entity-type lines"),
        ("unclosed-block", 1051, 10, "ends inside this block")]),
    # Cut short inside a vector's data: the unclosed block says why it has no end-of-data line.
    "cut_in_a_vector": ("   -1\n  1051\n1,1,1,\nT\n0,0,0,\n1,0,0,7,\n1,0,1,\n5,2.5,\n", [
        ("unclosed-block", 1051, 8, "ends inside this block")]),
    "node_lines": (neu_text((403, [NODE.format(1, "1.0D-01"), "short", "", NODE.format("7.0", 1)])), [
        ("skipped-line", 403, 3, "x coordinate '1.0D-01' (field 11) is not a number (a D exponent"),
        ("skipped-line", 403, 4, "'short' is passed over: a node line needs at least 14 fields, it has 1"),
        ("skipped-line", 403, 6, "node id '7.0' (field 0) is not an integer")]),
    "records": (neu_text((402, ["1,1", "1,0,x,"]), (404, ["1,0,1,0,4,", "1,2,z,", "", "", "", "", ""]),
                         (450, ["1,", "Case", "0,", "abc,", "0,", "0,"]), (601, ["junk", "1.5,"])), [
        ("skipped-line", 402, 3, "first line of a property record needs at least 3 fields, it has 2"),
        ("skipped-line", 402, 4, "material id 'x' (field 2) is not an integer"),
        ("skipped-line", 404, 8, "the element record starting here is dropped: node id 'z' (field 2) on line 9"),
        ("skipped-line", 404, 9, "'1,2,z,' is passed over: the first line of an element record needs"),
        ("skipped-line", 450, 18, "output set record starting here is dropped: its value 'abc' on line 21"),
        ("skipped-line", 450, 19, "its output set id 'Case' (field 0) is not an integer")]),
    "vectors": (neu_text((1051, vector(1, 1, "10,1.5,", "11,abc,", "12,2.5,")),
                         (451, vector(2, 2, head=["x", "-1,0.,", "-1,0.,", "1,1,1,8", "1,1,1"]))), [  # the first marker is named
        ("skipped-line", 1051, 3, "(set 1, vector 1) starting here is dropped with 7 lines: field 1 ('abc') on line 9 does not convert"),
        ("skipped-line", 1051, 10, "'12,2.5,' is passed over: its vector id '2.5' (field 1) is not an integer"),
        ("skipped-line", 1051, 11, "'-1,0.,' is passed over: its vector id '0.' (field 1)"),
        ("vector-overrun", 451, 15, "entity-type lines only on line 20, past its own end-of-data line (line 18)")]),
    # Read again from its start once text that is not ASCII turns up: the stray run is still told.
    "stray_text_before_text_not_ascii": ("notes\n" * 12 + "Modèle\n" + neu_text((100, ["t", "v"])), [
        ("stray-text", None, 1, "13 lines with text outside any block (lines 1 to 13")]),
    # A value that lost its entity id, or a word, inside a vector's data holds no record.
    "lone_fields_in_vector_data": (neu_text((1051, vector(1, 1, "10,1.5,", "2.0,", "", "junk", "12,2.5,"))), [
        ("skipped-line", 1051, 9, "'2.0,' is passed over: a data line of a result vector needs at least 2 fields, "
                                  "it has 1"),
        ("skipped-line", 1051, 11, "'junk' is passed over: a data line")]),
    # The first search ends on an end-of-data line; the second vector is too short to search and passes none.
    # More lines of other walks than of vectors keep both vector blocks in one walk.
    "searches_in_turn": (neu_text((1051, vector(1, 1, head=["0.,0.,0.,", "0,"])), (1051, vector(2, 2, head=[], marker=False)),
                                  (601, ["1,"] * 9)), [
        ("vector-without-entity-type", 1051, 3, "before the end of its block, searching past its own end-of-data line (line 7)"),
        ("vector-without-entity-type", 1051, 11, "before the end of its block: it gets no entity type")]),
    "unterminated": (neu_text((1051, vector(1, 1, "10,1.5,", marker=False)), (450, ["1,", "A"])), [
        ("vector-unterminated", 1051, 3, "(set 1, vector 1) starting here has no end-of-data line (-1, 0.) "
                                         "before its block ends (line 8)")]),
    # Range records with fewer values than ids (cut by the end-of-data line or the block's end), more, or none.
    "ranges": (neu_text((1051, vector(1, 1, "1,4,1.5,2.5,", "3.5,") + vector(2, 2, "1,2,1.5,", "2.5,3.5,")
                         + vector(3, 3, "5,4,1.5,", "10,2.5,")), (451, vector(4, 4, "7,9,1.5,", marker=False)),
                         (450, ["1,", "A"])), [
        ("range-count", 1051, 8, "is for entities 1 to 4 (4 values) but only 3 come before the vector's end-of-data "
                                 "line (line 10): entities 1 to 3 get them in order and entity 4 gets none"),
        ("range-count", 1051, 16, "but its lines hold 3: the last 1 value, to line 17, is not read"),
        ("range-count", 1051, 24, "runs from entity 5 down to 4: it gives no entity a value"),
        ("vector-unterminated", 451, 30, "before its block ends (line 35)"),
        ("range-count", 451, 35, "only 1 comes before its block ends (line 35): entity 7 gets it and entities 8 to 9")]),
    "out_of_range": (neu_text((403, ["short", NODE.format(2147483648, 1), "x"]), (601, ["1,", "-2147483649,"])), [
        ("skipped-line", 403, 3, "'short'"),
        ("out-of-range", 403, 4, "'2147483648' is beyond the 32-bit integer range: get_nodes() and"),
        ("out-of-range", 601, 10, "get_materials() raises OverflowError")]),
    "outside_blocks": ("notes\n" + neu_text((100, ["t", "v"])) + "   -1\n   4O3\n1,2\n  -1\n   -1\n  100\n", [
        ("stray-text", None, 1, "1 line with text outside any block (line 1, starting 'notes') is not read"),
        ("bad-block-number", None, 8, "followed by '4O3', which is not a block number: no block opens there, "
                                      "and lines 8 to 10 (3 lines with text)"),
        ("delimiter-like-line", None, 10, "a line reading -1 outside any block (lines 8 to 10)"),
        ("unclosed-block", 100, 12, "")]),
    "bad_number_inside_stray_text": ("notes\n   -1\n   4O3\n" + neu_text((100, ["t", "v"])), [
        ("bad-block-number", None, 3, "lines 1 to 3 (2 lines with text)")]),
    "blank_after_a_delimiter": ("   -1\n\nnotes\n" + neu_text((100, ["t", "v"])), [
        ("bad-block-number", None, 2, "followed by '', which is not a block number: no block opens there, "
                                      "and lines 2 to 3 (1 line with text) lie outside any block, unread; a file "
                                      "with an empty line after every line has its line ends written twice")]),
    "damaged_delimiter_in_a_block": (neu_text((403, [NODE.format(1, "0.5"), "  -1", "   450"])), [
        ("skipped-line", 403, 4, "'-1' is passed over: a node line needs at least 14 fields, it has 1; the line "
                                 "reads -1 but is not a delimiter line (`   -1`), so the block does not end there"),
        ("skipped-line", 403, 5, "'450' is passed over")]),
    "delimiter_like_inside_stray_text": ("notes\n  -1\n" + neu_text((100, ["t", "v"])), [
        ("delimiter-like-line", None, 2, "(lines 1 to 2)")]),
    "delimiter_as_the_last_line": (neu_text((100, ["t", "v"])) + "   -1\n", [
        ("delimiter-at-end", None, 6, "cut short")]),
    # A vector without an end in a closed block is not put down to the file ending in a later block.
    "unterminated_then_cut_short": (neu_text((1051, vector(1, 1, "10,1.5,", marker=False))) + "   -1\n  1051\n2,2,1,\n", [
        ("vector-unterminated", 1051, 3, "before its block ends (line 8)"),
        ("unclosed-block", 1051, 12, "ends inside this block"),
        ("vector-without-entity-type", 1051, 12, "nothing more of the block (to line 12) is read")]),
    "names_of_what_is_passed_over": (neu_text((403, [NODE.replace(",0.,0.,", ",y,0.,").format(1, "0.5")]),
                                              (1051, vector(1, 5, "10,abc,"))), [
        ("skipped-line", 403, 3, "its y coordinate 'y' (field 12) is not a number"),
        ("skipped-line", 1051, 7, "(set 1, vector 5) starting here is dropped with 6 lines: field 1 ('abc') on line 12"),
        ("skipped-line", 1051, 13, "'-1,0.,' is passed over")]),
}


@pytest.mark.parametrize("name", list(CASES))
def test_findings_of_each_kind(write_neu, name):
    """Also with lines held as lists: the same findings, located by item."""
    text, expected = CASES[name]
    path = write_neu(text)
    findings = tremix.check(path)
    assert [(f.kind, f.block_id, f.line) for f in findings] == [e[:3] for e in expected]
    for finding, (*_, words) in zip(findings, expected):
        assert words in finding.message
    parser = in_storage(ORVEXParser(path), "list")
    assert {(f.kind, f.block_id) for f in tremix.check(parser)} == {(f.kind, f.block_id) for f in findings}
    for finding in tremix.check(pickle.loads(pickle.dumps(parser))):
        assert finding.line is None and ("item " in finding.message or finding.kind == "no-blocks")


@pytest.mark.parametrize("name, by_item", [("node_lines", ["skipped-line"] * 3),
                                           ("cut_in_a_vector", ["vector-unterminated"])])
def test_blocks_of_another_file_are_placed_by_item(write_neu, name, by_item):
    """Lines of a file another parser read are not numbered as lines of this
    parser's file, nor is that file's end taken for this one's."""
    path = write_neu(CASES[name][0])
    other = ORVEXParser(path)

    class Merged(ORVEXParser):
        def get_blocks(self, block_id):
            return super().get_blocks(block_id) + other.get_blocks(block_id)

    own, merged = tremix.check(other), tremix.check(Merged(path))
    assert [(f.kind, f.line) for f in merged if f.line is not None] == [(f.kind, f.line) for f in own]
    assert [f.kind for f in merged if f.line is None] == by_item  # the other file's cut vector told too
    assert all("of the lines of the 2nd block" in f.message for f in merged if f.line is None)
    parser = ORVEXParser(path)  # its text freed, a text read next may take its place in memory
    parser.blocks = {}
    parser.blocks = ORVEXParser(path).blocks
    assert all(f.line is None for f in tremix.check(parser) if f.kind != "unclosed-block")


def test_lines_assigned_are_not_the_block_the_file_ended_in(write_neu):
    parser = ORVEXParser(write_neu(CASES["cut_in_a_vector"][0]))
    block = parser.get_blocks(1051)[0]
    block.lines = list(block.lines)
    assert [f.kind for f in tremix.check(parser)] == ["unclosed-block", "vector-unterminated"]


def test_range_records_noted_for_one_vector_are_capped(parser_for):
    records = [f"{k},{k},1.5,2.5," for k in range(1, 1201)]  # each holds a value too many
    findings = tremix.check(parser_for(neu_text((1051, vector(1, 1, *records)))))
    assert count_by_kind(findings) == {"range-count": 1000, "more-findings": 1}
    assert findings[-1].message.startswith("200 more findings")


def test_clean_files_have_no_findings(tmp_path, storage):
    assert tremix.check(Path(str(resources.files("tremix") / "data" / "example.neu"))) == []
    for separator in orvex_gen.SEPARATORS:
        path = tmp_path / f"{separator}.neu"
        orvex_gen.generate(path, n_nodes=2000, n_vectors=6, separator=separator, seed=3, run_len=37)
        assert tremix.check(in_storage(ORVEXParser(str(path)), storage)) == []
    # Lines of commas and blanks hold no field: outside blocks they are no stray text.
    for blank in (",", " , ,\t", ",,\x0c,"):
        path.write_text(f"{blank}\n" + neu_text((100, ["t", "v"])) + f"{blank}\n")
        assert tremix.check(in_storage(ORVEXParser(str(path)), storage)) == []


def test_check_leaves_the_parser_as_it_was(write_neu):
    parser = ORVEXParser(write_neu(CASES["records"][0] + CASES["cut_short"][0]))
    before = _native.block_sizes(parser)
    assert tremix.check(parser) == tremix.check(parser)
    assert _native.block_sizes(parser) == before  # no lines list was made
    parser.get_blocks(1051)[0].lines  # noqa: B018 - makes the list
    assert "unclosed-block" in count_by_kind(tremix.check(parser))


def test_many_findings_are_capped_with_a_count(parser_for):
    gap = "text\n"
    findings = tremix.check(parser_for(gap.join(neu_text((403, ["x"] * 40_000)) for _ in range(70))))
    counts = count_by_kind(findings)
    assert counts == {"stray-text": 64, "skipped-line": 100_000, "more-findings": 2}
    more = [f.message for f in findings if f.kind == "more-findings"]
    assert more == [f"5 more stretches of text outside blocks, after line {64 * 40_004}, are not listed",
                    "2,700,000 more findings of the record walks are not listed"]


def test_one_more_and_block_zero(write_neu):
    findings = tremix.check(write_neu("text\n".join(neu_text((100, ["t", "v"])) for _ in range(66)) + "   -1\n0\nx\n"))
    assert [f.format() for f in findings[-2:]] == [
        "398: block 0: the file ends inside this block, without its closing delimiter line: the file may be cut "
        "short, and the block's last record with it",
        "1 more stretch of text outside blocks, after line 384, is not listed"]


def test_sources_and_errors(write_neu, tmp_path):
    path = write_neu(CASES["node_lines"][0])
    assert tremix.check(Path(path)) == tremix.check(path) == tremix.check(ORVEXParser(path))
    packed = tmp_path / "node_lines.neu.gz"
    packed.write_bytes(gzip.compress(Path(path).read_bytes()))
    assert tremix.check(packed) == tremix.check(path)  # read as tremix.read reads it
    with open(path, "rb") as binary, open(path, encoding="utf-8") as text:
        assert tremix.check(binary) == tremix.check(text) == tremix.check(path)
    for source in (42, path.encode()):  # a bytes path, as tremix.read refuses it
        with pytest.raises(TypeError, match="needs a path, a file object or an ORVEXParser"):
            tremix.check(source)
    with pytest.raises(FileNotFoundError):
        tremix.check(tmp_path / "missing.neu")
    with pytest.raises(OverflowError):
        tremix.check(write_neu("   -1\n2147483648\n"))
    parser = ORVEXParser(path)
    parser.blocks = None
    assert [f.kind for f in tremix.check(parser)] == ["no-blocks"]


def test_a_parser_serving_another_parsers_blocks_is_checked_through_them(write_neu):
    other = ORVEXParser(write_neu(CASES["node_lines"][0]))

    class Serving(ORVEXParser):
        def __init__(self, other):
            self.other = other

        def get_blocks(self, block_id):
            return self.other.get_blocks(block_id)

    assert tremix.check(Serving(other)) == tremix.check(other) != []
    # Nothing to serve: the parser holds no blocks, however get_blocks is reached.
    empty = ORVEXParser(write_neu(""))

    class Passing(ORVEXParser):
        def get_blocks(self, block_id):
            return super().get_blocks(block_id)

    for parser in (Serving(empty), Passing(write_neu(""))):
        assert [f.kind for f in tremix.check(parser)] == ["no-blocks"]

    class Ambiguous:  # compares to anything as an array does: to what bool() refuses
        def __eq__(self, other):
            return self

        def __bool__(self):
            raise ValueError("ambiguous")

    class Replaced(ORVEXParser):
        get_blocks = Ambiguous()

    with pytest.raises(TypeError, match="'Ambiguous' object is not callable"):  # as asking for blocks raises
        tremix.check(Replaced(write_neu("")))
    # Served blocks of a file cut short inside a vector: only the vector's own finding tells it.
    cut = ORVEXParser(write_neu(CASES["cut_in_a_vector"][0]))
    assert [f.kind for f in tremix.check(Serving(cut))] == ["vector-unterminated"]

    class ServingWithItsOwnFile(Serving):  # which ends inside a block of another number
        def __init__(self, path, other):
            ORVEXParser.__init__(self, path)
            self.other = other

    assert [f.kind for f in tremix.check(ServingWithItsOwnFile(write_neu("   -1\n  100\nt\n"), cut))] == \
        ["unclosed-block", "vector-unterminated"]


def test_a_check_sees_the_parser_before_or_after_a_reading_into_it(write_neu):
    # Read again (as another thread's __init__ would) while the check takes its
    # blocks: checked as it stands after, never one report with other blocks.
    damaged, clean = write_neu("notes\n" + CASES["node_lines"][0]), write_neu(neu_text((100, ["t", "v"])))

    class ReadAgain(ORVEXParser):
        def get_blocks(self, block_id):
            if self.get_blocks_calls == 0:
                self.__init__(clean)
            self.get_blocks_calls += 1
            return super().get_blocks(block_id)

    parser = ReadAgain(damaged)
    parser.get_blocks_calls = 0
    assert tremix.check(ORVEXParser(damaged)) != [] == tremix.check(parser) == tremix.check(ORVEXParser(clean))


def test_encoding_and_errors_read_a_path_as_read_does(write_neu):
    path = write_neu("Träger notes\n" + neu_text((100, ["t", "v"])), encoding="latin-1")
    assert "'Träger notes'" in tremix.check(path, encoding="latin-1")[0].message
    assert "'Tr\ufffdger notes'" in tremix.check(path, encoding="utf-8", errors="replace")[0].message
    with open(path, "rb") as binary:
        assert tremix.check(binary, encoding="latin-1") == tremix.check(path, encoding="latin-1")
    with pytest.raises(ValueError, match="a parser is already read"):
        tremix.check(tremix.read(path, encoding="latin-1"), errors="replace")
    with open(path, encoding="latin-1") as text, pytest.raises(ValueError, match="a text stream is already decoded"):
        tremix.check(text, encoding="latin-1")


@pytest.mark.parametrize("text, message", [
    (neu_text((100, ["t", "v"])), "the parser holds no blocks, though the file it was read from has some"),
    (CASES["other_format"][0], "none of the file's 3 lines opens a block"),
])
def test_an_emptied_parser_is_told_from_a_file_without_blocks(write_neu, text, message):
    parser = ORVEXParser(write_neu(text))
    parser.blocks = {}
    assert tremix.check(parser)[-1].message.startswith(message)


def test_text_outside_blocks_read_with_surrogateescape(tmp_path):
    path = tmp_path / "escaped.neu"
    path.write_bytes(b"   -1\n   100\ntitle\n11.4,\n   -1\njunk \xff here\n   -1\n\xfe 100\n   -1\n")
    parser = tremix.read(path, errors="surrogateescape")
    [stray] = _native.read_report(parser)["stray"]
    assert (stray["first_text"], stray["bad_number_text"]) == ("junk \udcff here", "\udcfe 100")
    assert [f.kind for f in tremix.check(parser)] == ["bad-block-number", "delimiter-at-end"]


BYTE_ORDER_MARK = ('the file starts with a byte-order mark (U+FEFF), read here as text: encoding="utf-8-sig" '
                   "(tremix --encoding utf-8-sig) reads a UTF-8 file that has one")


@pytest.mark.parametrize("text, kind, line", [
    (neu_text((100, ["t", "v"]), (403, [NODE.format(1, "0.5")])), "stray-text", 1),  # block 100 lost
    ("notes\n   -1\n   4O3\n" + neu_text((100, ["t", "v"])), "bad-block-number", 3),  # the finding on lines 1 to 3
])
def test_a_byte_order_mark_is_named_with_the_encoding_that_reads_it(tmp_path, text, kind, line):
    path = tmp_path / "marked.neu"
    path.write_text("\ufeff" + text, encoding="utf-8")
    for encoding in ("utf-8", "cp1252", "latin-1"):  # the mark as three characters in the last two
        first = tremix.check(path, encoding=encoding)[0]
        assert (first.kind, first.line) == (kind, line) and first.message.endswith("; " + BYTE_ORDER_MARK)
    assert not any(BYTE_ORDER_MARK in f.message for f in tremix.check(path, encoding="utf-8-sig"))
    path.write_text(neu_text((100, ["t", "v"])) + "\ufeff" + text, encoding="utf-8")  # not at the start: no mark
    assert not any(BYTE_ORDER_MARK in f.message for f in tremix.check(path))


def test_hints_and_places_only_where_they_fit(write_neu):
    parser = ORVEXParser(write_neu(neu_text((403, [NODE.format(1, "1.0D-01x")]))))
    (found,) = tremix.check(parser)
    assert "x coordinate '1.0D-01x'" in found.message and "D exponent" not in found.message
    (again,) = tremix.check(pickle.loads(pickle.dumps(parser)))  # no file lines: placed by item
    assert "item 0 of the lines of the 1st block 403" in again.message
    parser = pickle.loads(pickle.dumps(ORVEXParser(write_neu(CASES["vectors"][0]))))
    (overrun,) = [f for f in tremix.check(parser) if f.kind == "vector-overrun"]
    assert "only on item 5 of the block's lines, past its own end-of-data line (item 3 of" in overrun.message


def test_a_walk_that_stops_ends_the_check_with_its_own_error(tmp_path, storage):
    """The first error in walk order is raised (404 before 450)."""
    path = tmp_path / "elements.neu"
    orvex_gen.generate(path, n_nodes=100, n_elements=20_000, n_vectors=0, n_sets=0)
    parser = in_storage(ORVEXParser(str(path)), storage)
    parser.blocks[450] = [object()]
    with pytest.raises(TypeError, match="Cannot convert object to"):
        tremix.check(parser)
    parser.blocks[404].append(42)
    with pytest.raises(TypeError, match="Cannot convert int to"):
        tremix.check(parser)


def test_documents_show_what_check_does(capsys):
    guide = (ROOT / "docs" / "guide.md").read_text()
    (code,) = re.findall(r"```python\n(.*?)```", guide.split("\n## Checking a file\n")[1].split("\n## ")[0], re.S)
    exec(code, {})  # the example prints what its closing comments show
    shown = [line[2:] for line in reversed(list(itertools.takewhile(
        lambda line: line.startswith("# "), reversed(code.splitlines()))))]
    assert capsys.readouterr().out.splitlines() == shown
    assert [kind for kind in KINDS if f"| `{kind}` |" not in guide] == []
    listed = (ROOT / "docs" / "api.md").read_text().split("\n`KINDS`\n")[1].split("\n\n")[0]
    assert re.findall(r"`([a-z-]+)`", listed) == list(KINDS)


def test_presentations():
    findings = [tremix.Finding("skipped-line", 403, 12, "m1"), tremix.Finding("no-blocks", None, None, "m2"),
                tremix.Finding("skipped-line", 403, None, "m3")]
    assert [f.format("a.neu") for f in findings] == ["a.neu:12: block 403: m1", "a.neu: m2", "a.neu: block 403: m3"]
    assert findings[0].format() == "12: block 403: m1"
    assert findings[1].as_dict() == {"kind": "no-blocks", "block_id": None, "line": None, "message": "m2"}
    assert list(count_by_kind(findings).items()) == [("no-blocks", 1), ("skipped-line", 2)]
    assert format_lines(findings, "a.neu", limit=1) == ["a.neu:12: block 403: m1", "... and 2 more findings"]
    assert format_lines(findings[:2], limit=1)[-1] == "... and 1 more finding"
    assert format_lines(findings, limit=-1) == ["... and 3 more findings"]
    assert format_lines(findings, "a.neu") == [f.format("a.neu") for f in findings]
    more = tremix.Finding("more-findings", None, None, "9 more findings are not listed")  # shown, not counted
    assert format_lines([*findings, more], limit=1)[1:] == ["... and 2 more findings", more.message]
    with pytest.raises(AttributeError):
        findings[0].line = 3  # type: ignore[misc]
