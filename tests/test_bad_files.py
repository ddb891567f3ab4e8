"""Files that are not what a reader expects: binary garbage, text that does
not decode, NUL characters, nothing but delimiters, one enormous line, a
block of a million empty lines, an id of thousands of digits."""

from __future__ import annotations

import codecs
import locale
import resource
import time

import pytest

from tremix.core.orvex_parser import ORVEXParser

import plain_python
from storage import in_storage

ENCODING = locale.getpreferredencoding(False)
EXTRACTORS = [
    ("get_header", ()), ("get_nodes", ()), ("get_nodes", (True,)), ("get_nodes_arrays", ()),
    ("get_properties", ()), ("get_materials", ()), ("get_elements", ()), ("get_elements_arrays", ()),
    ("get_output_sets", ()), ("get_output_vectors", ()), ("get_output_vectors_arrays", ()),
]


def undecodable(data: bytes) -> bool:
    try:
        data.decode(ENCODING)
    except UnicodeDecodeError:
        return True
    return False


def write(tmp_path, data: bytes, name="bad.neu") -> str:
    path = tmp_path / name
    path.write_bytes(data)
    return str(path)


def blocks_of(parser):
    return {k: [(b.block_id, b.lines) for b in v] for k, v in parser.blocks.items()}


GARBAGE = {
    "random_bytes": bytes((i * 7919 + 13) % 256 for i in range(4096)),
    "lone_continuation_byte": b"   -1\n   100\ntitle\x80\n11.4\n   -1\n",
    "truncated_sequence_at_end": b"   -1\n   100\ntitle\n11.4\n   -1\n\xe2\x82",
    "encoded_surrogate": b"   -1\n   403\n\xed\xa0\x80\n   -1\n",
    "utf16_text": "   -1\n   100\ntitle\n".encode("utf-16"),
}


@pytest.mark.parametrize("data", list(GARBAGE.values()), ids=list(GARBAGE))
def test_text_that_does_not_decode_raises_unicode_decode_error(tmp_path, data):
    if not undecodable(data):
        pytest.skip(f"valid {ENCODING}")
    path = write(tmp_path, data)
    with pytest.raises(UnicodeDecodeError):
        ORVEXParser(path)
    # An existing parser read again: the error comes before any block is filed.
    p = ORVEXParser(write(tmp_path, b"   -1\n   100\nt\nv\n   -1\n", "good.neu"))
    with pytest.raises(UnicodeDecodeError):
        p.__init__(path)
    assert p.blocks == {}


def test_decode_error_late_in_a_large_file(tmp_path):
    good = b"   -1\n   403\n" + b"1,0,0,1,46,0,0,0,0,0,0,1.0,2.0,3.0\n" * 200_000 + b"   -1\n"
    path = write(tmp_path, good + b"   -1\n   100\n\xff\n   -1\n")
    if not undecodable(b"\xff"):
        pytest.skip(f"valid {ENCODING}")
    with pytest.raises(UnicodeDecodeError):
        ORVEXParser(path)


@pytest.mark.parametrize(
    "text,expected",
    [
        ("   -1\n   403\n1,\0,2\n\0\n   -1\n", {403: [(403, ["1,\0,2", "\0"])]}),
        ("   -1\n4\x0003\n   -1\n   100\nt\n   -1\n", {100: [(100, ["t"])]}),
        ("   -1\0\n   100\nt\n   -1\n", {}),
        ("\0   -1\n   100\nt\n   -1\n", {}),
        ("   -1\n\0 100 \0\n   -1\n   100\nx\n   -1\n", {100: [(100, ["x"])]}),
    ],
    ids=["nul_in_data", "nul_in_id", "nul_after_delimiter", "nul_before_delimiter", "nul_around_id"],
)
def test_nul_is_an_ordinary_character(tmp_path, text, expected):
    p = ORVEXParser(write(tmp_path, text.encode()))
    assert blocks_of(p) == expected
    assert ORVEXParser.parse_csv_line("1,\0,2") == ["1", "\0", "2"]
    assert ORVEXParser.parse_csv_line("\0 \0") == ["\0", "\0"]


def test_nul_in_records(tmp_path, storage):
    node = "1,0,0,1,46,0,0,0,0,0,0,1.0,2.0,3.0"
    nul_in_x = node.replace("1.0", "1\0")
    nul_id = node.replace("1,", "\0,", 1)
    text = "\n".join(["   -1", "   403", node, nul_in_x, nul_id, "   -1", ""])
    p = in_storage(ORVEXParser(write(tmp_path, text.encode())), storage)
    assert p.get_nodes() == {1: (1.0, 2.0, 3.0)}


def test_byte_order_mark_is_a_character_of_the_first_line(tmp_path):
    data = codecs.BOM_UTF8 + b"   -1\n   100\nt\nv\n   -1\n   -1\n   403\n   -1\n"
    if ENCODING.replace("-", "").lower() != "utf8":
        pytest.skip("the mark is only a character in UTF-8 text")
    p = ORVEXParser(write(tmp_path, data))
    assert blocks_of(p) == blocks_of(plain_python.PlainParser(write(tmp_path, data, "b.neu")))
    assert 100 not in p.blocks


@pytest.mark.parametrize("count", [1, 2, 3, 4, 1001, 100_000])
@pytest.mark.parametrize("newline", ["\n", "\r\n", "\r"])
def test_a_file_of_only_delimiter_lines(tmp_path, count, newline):
    p = ORVEXParser(write(tmp_path, (("   -1" + newline) * count).encode()))
    assert p.blocks == {}
    for name, args in EXTRACTORS:
        result = getattr(p, name)(*args)
        assert result is None or len(result) in (0, 2, 5)


def test_delimiters_with_ids_and_nothing_else(tmp_path, storage):
    text = "   -1\n   403\n" * 50_000
    p = in_storage(ORVEXParser(write(tmp_path, text.encode())), storage)
    # Each block opens, takes the next delimiter as its end: 403 with no lines, then the id line is outside.
    assert blocks_of(p) == blocks_of(plain_python.PlainParser(write(tmp_path, text.encode(), "p.neu")))
    assert len(p.blocks[403]) == 25_000
    assert p.get_nodes() == {}


@pytest.fixture(scope="module")
def million_empty_lines(tmp_path_factory):
    path = tmp_path_factory.mktemp("million") / "empty_lines.neu"
    with open(path, "w") as f:
        for block_id in (100, 402, 403, 404, 450, 451, 601, 1051):
            f.write(f"   -1\n{block_id:>6}\n" + "\n" * 1_000_000 + "   -1\n")
    return str(path)


def test_block_of_a_million_empty_lines(million_empty_lines):
    start = time.perf_counter()
    p = ORVEXParser(million_empty_lines)
    lines = p.get_blocks(403)[0].lines
    assert len(lines) == 1_000_000 and set(lines) == {""}
    assert p.get_header() == {"title": "", "version": ""}
    for name, args in EXTRACTORS[1:]:
        result = getattr(p, name)(*args)
        if name == "get_output_vectors_arrays":
            assert result == (None, None, -1, -1, -1)
        elif name.endswith("_arrays"):
            assert all(len(a) == (1 if i == 4 and name == "get_elements_arrays" else 0) for i, a in enumerate(result))
        else:
            assert len(result) == 0
    assert time.perf_counter() - start < 30


def _peak_rss_mb():
    try:
        with open("/proc/self/status") as f:
            return next(int(line.split()[1]) for line in f if line.startswith("VmHWM:")) / 1024
    except (OSError, StopIteration):
        return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def _reset_peak_rss():
    """Lowers the peak to what the process holds now, where Linux allows it:
    else a higher peak of an earlier test would hide this one's."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
    except OSError:
        pass


HUNDRED_MB = 100 * 2**20


@pytest.mark.parametrize("where", ["outside_blocks", "inside_a_block"])
@pytest.mark.parametrize("newline", [b"\n", b"\r\n"], ids=["read_in_place", "decoded"])
def test_a_single_line_of_a_hundred_mb(tmp_path, where, newline):
    path = tmp_path / "long_line.neu"
    with open(path, "wb") as f:
        if where == "inside_a_block":
            f.write(b"   -1" + newline + b"   403" + newline)
        for _ in range(HUNDRED_MB // 2**20):
            f.write(b"1,2 " * (2**18))
        f.write(newline.join([b"", b"   -1", b"   -1", b"   100", b"t", b"v", b"   -1", b""]))
    _reset_peak_rss()
    rss_before = _peak_rss_mb()
    start = time.perf_counter()
    p = ORVEXParser(str(path))
    elapsed = time.perf_counter() - start
    assert p.get_header() == {"title": "t", "version": "v"}
    if where == "inside_a_block":
        (line,) = p.get_blocks(403)[0].lines
        assert len(line) == HUNDRED_MB and line.startswith("1,2 1,2")
        del line
    else:
        assert list(p.blocks) == [100]
    # The text, the line and the reading buffers: a few times the line's size,
    # not more; about its size when no str is made of it, and no more than
    # the text itself when the text is read in place.
    bound = 8 if where == "inside_a_block" else 1.5 if newline == b"\n" else 3
    assert _peak_rss_mb() - rss_before < bound * HUNDRED_MB / 2**20
    assert elapsed < 20


@pytest.mark.slow
def test_records_of_a_hundred_mb_line(tmp_path):
    """A 100 MB record line with fifty million fields goes through every
    extractor (about 6 s on an idle machine, several times that on a busy
    one: each splits the line). No time bound: a hang is the timeout's."""
    path = tmp_path / "long_record.neu"
    with open(path, "wb") as f:
        f.write(b"   -1\n   403\n" + b"1," * (HUNDRED_MB // 2) + b"\n   -1\n")
    p = ORVEXParser(str(path))
    p.blocks = dict.fromkeys((402, 403, 404, 450, 601, 1051), p.blocks[403])  # one text for every walk
    assert p.get_nodes() == {1: (1.0, 1.0, 1.0)}
    assert p.get_materials() == {1: {"id": 1}}
    for name, args in EXTRACTORS:
        getattr(p, name)(*args)
