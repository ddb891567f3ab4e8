"""Reading a file and splitting it into numbered blocks."""

from __future__ import annotations

import os
import shutil
import subprocess
import sys

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from tremix.core.orvex_parser import ORVEXBlock, ORVEXParser

D = "   -1"


def plain_split(path):
    """The block grammar in plain Python: the rules the module must follow."""
    with open(path, "r") as f:
        lines = f.readlines()
    n = len(lines)
    blocks: dict[int, list[list[str]]] = {}
    at = lambda k: lines[k].rstrip("\n")  # noqa: E731
    i = 0
    while i < n:
        if at(i) != D:
            i += 1
            continue
        if i + 1 >= n:
            break
        id_text = lines[i + 1].strip()
        if id_text == "-1":
            i += 1
            continue
        try:
            block_id = int(id_text)
        except ValueError:
            i += 1
            continue
        if not -2**31 <= block_id < 2**31:
            raise OverflowError
        data = []
        k = i + 2
        while k < n:
            if at(k) == D:
                break
            data.append(at(k))
            k += 1
        i = k + 1 if k < n else n
        blocks.setdefault(block_id, []).append(data)
    return blocks


def as_plain(parser):
    return {k: [b.lines for b in v] for k, v in parser.parse().items()}


def test_blocks_in_file_order_with_repeats(parser_for):
    p = parser_for(blocks=[(403, ["a"]), (404, ["b", "c"]), (403, ["d"])])
    assert list(p.blocks) == [403, 404]
    assert as_plain(p) == {403: [["a"], ["d"]], 404: [["b", "c"]]}
    blocks = p.get_blocks(403)
    assert all(type(b) is ORVEXBlock for b in blocks)
    assert [b.block_id for b in blocks] == [403, 403]
    assert blocks is p.get_blocks(403) and p.parse() is p.blocks


@pytest.mark.parametrize("text, expected", [
    ("", {}),
    ("no blocks here\njust text\n", {}),
    (f"{D}\n100\n{D}\n", {100: [[]]}),
    (f"{D}\n100\nline 1\n  trailing  \n\nlast", {100: [["line 1", "  trailing  ", "", "last"]]}),
    # a last line of one or two characters without its line end
    (f"{D}\n100\n0,\n7", {100: [["0,", "7"]]}),
    (f"{D}\n100\n0,\n78", {100: [["0,", "78"]]}),
    (f"{D}\n100\n{D}\n{D}\n5\n7", {100: [[]], 5: [["7"]]}),
    (f"text\n{D}", {}),
    (f"{D}\n", {}),
    # a closing delimiter followed by an opening one never makes a block -1
    (f"{D}\n1\na\n{D}\n{D}\n2\nb\n{D}\n", {1: [["a"]], 2: [["b"]]}),
    (f"{D}\n-1\n{D}\n5\nx\n", {5: [["x"]]}),
    # ids that int() rejects: no block, the walk resumes at the id line
    (f"{D}\nabc\n{D}\n7\nx\n{D}\n", {7: [["x"]]}),
    (f"{D}\n\n{D}\n7\n{D}\n", {7: [[]]}),
    (f"{D}\n1.0\nx\n{D}\n8\n{D}\n", {8: [[]]}),
    # ids with whitespace, sign and underscores
    (f"{D}\n   403  \n{D}\n{D}\n+403\n{D}\n{D}\n4_03\n{D}\n", {403: [[], [], []]}),
    (f"{D}\n\u0664\u0660\u0663\n{D}\n", {403: [[]]}),
    (f"{D}\n-7\n{D}\n", {-7: [[]]}),
    # look-alikes of the delimiter are data lines
    (f"{D}\n1\n  -1\n    -1\n{D} \n\t-1\n-1\n{D}\n", {1: [["  -1", "    -1", f"{D} ", "\t-1", "-1"]]}),
    # a delimiter inside a block ends it; the rest is outside text
    (f"{D}\n1\na\n{D}\nb\n{D}\n2\n{D}\n", {1: [["a"]], 2: [[]]}),
    (f"{D}\n2147483647\n{D}\n{D}\n-2147483648\n{D}\n", {2147483647: [[]], -2147483648: [[]]}),
])
def test_block_grammar(write_neu, text, expected):
    path = write_neu(text)
    assert as_plain(ORVEXParser(path)) == expected
    assert plain_split(path) == expected


@pytest.mark.parametrize("id_text", ["2147483648", "-2147483649", "99999999999999999999"])
def test_block_number_out_of_range(write_neu, id_text):
    with pytest.raises(OverflowError):
        ORVEXParser(write_neu(f"{D}\n1\n{D}\n{D}\n{id_text}\n{D}\n"))


def test_huge_digit_count_id_is_skipped(write_neu):
    path = write_neu(f"{D}\n{'1' * 5000}\n{D}\n3\n{D}\n")
    assert as_plain(ORVEXParser(path)) == {3: [[]]}


@pytest.mark.parametrize("newline", ["\r\n", "\r"])
def test_line_ends_are_universal(write_neu, newline):
    text = f"{D}\n100\nTitle  \n11.4,\n{D}\n{D}\n403\n1,2\n"
    unix = as_plain(ORVEXParser(write_neu(text)))
    assert as_plain(ORVEXParser(write_neu(text, newline=newline))) == unix


def test_non_ascii_text_keeps_its_characters(write_neu):
    lines = ["Modèle ünïcode", "\u4e2d\u6587 1,2", "emoji \U0001F600", "nbsp\u00a0x"]
    p = ORVEXParser(write_neu(f"{D}\n100\n" + "\n".join(lines) + f"\n{D}\n"))
    assert p.get_blocks(100)[0].lines == lines


@pytest.mark.parametrize("make_path, error", [
    (lambda tmp: str(tmp / "missing.neu"), FileNotFoundError),
    (lambda tmp: str(tmp), IsADirectoryError),
])
def test_unreadable_paths(tmp_path, make_path, error):
    with pytest.raises(error):
        ORVEXParser(make_path(tmp_path))


def test_invalid_text_in_default_encoding(tmp_path):
    path = tmp_path / "bad.neu"
    path.write_bytes(f"{D}\n100\n".encode() + b"\xff\xfe\xfa bad\n")
    with pytest.raises(UnicodeDecodeError):
        ORVEXParser(str(path))


def test_none_path_is_opens_type_error():
    with pytest.raises(TypeError):
        ORVEXParser(None)


def test_get_blocks_for_absent_number(parser_for):
    p = parser_for(blocks=[(100, ["t", "v"])])
    first, second = p.get_blocks(999), p.get_blocks(999)
    assert first == [] and second == [] and first is not second
    assert 999 not in p.blocks
    p.get_blocks(100).append("extra")
    assert p.parse()[100][-1] == "extra"


def test_blocks_attribute_rules(parser_for):
    p = parser_for(blocks=[(100, ["t", "v"])])
    with pytest.raises(TypeError, match=r"^Expected dict, got list$"):
        p.blocks = []
    with pytest.raises(TypeError, match=r"^Expected dict, got D$"):
        p.blocks = type("D", (dict,), {})()
    assert list(p.blocks) == [100]
    p.blocks = {5: "not a list"}
    with pytest.raises(TypeError, match=r"^Expected list, got str$"):
        p.get_blocks(5)
    p.blocks = None
    assert p.parse() is None
    with pytest.raises(AttributeError):
        p.get_blocks(100)
    del p.blocks
    assert p.blocks is None


def test_fresh_instance_and_reinitialisation(write_neu):
    fresh = ORVEXParser.__new__(ORVEXParser)
    assert fresh.blocks is None and fresh.parse() is None
    first = write_neu(blocks=[(1, ["a"])])
    second = write_neu(blocks=[(2, ["b"])])
    p = ORVEXParser(first)
    old = p.blocks
    p.__init__(second)
    assert as_plain(p) == {2: [["b"]]} and old == {1: old[1]}
    with pytest.raises(FileNotFoundError):
        p.__init__(second + ".missing")
    assert p.blocks == {}


def test_failed_reinitialisation_keeps_earlier_blocks(write_neu):
    path = write_neu(f"{D}\n1\na\n{D}\n{D}\n2147483648\n{D}\n")
    p = ORVEXParser(write_neu(""))
    with pytest.raises(OverflowError):
        p.__init__(path)
    assert as_plain(p) == {1: [["a"]]}


# --- generated messy files -------------------------------------------------

id_lines = st.sampled_from(["100", " 403 ", "+404", "4_50", "1051", "-7", "1.0", "abc", "", "-1", "0x10",
                            "\u00a0601\u3000", "1__0", "2147483647"])
delimiter_like = st.sampled_from([D, D, D, "  -1", "    -1", f"{D} ", f"{D}\t", "\t-1", "-1", " -1 "])
data_lines = st.text(alphabet=st.sampled_from(list("0123456789,.-+eE ab\t_(") + ["\u00a0", "\u2028", "\x1c",
                                                                                  "\u00e9", "\u4e2d", "\U0001F600"]),
                     max_size=12)
line = st.one_of(delimiter_like, id_lines, data_lines)


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(lines=st.lists(line, max_size=40), newline=st.sampled_from(["\n", "\r\n", "\r"]),
       final=st.booleans())
def test_generated_files_split_like_the_plain_rules(tmp_path, lines, newline, final):
    text = newline.join(lines) + (newline if final and lines else "")
    path = tmp_path / "gen.neu"
    with open(path, "w", newline="") as f:
        f.write(text)
    try:
        expected = plain_split(str(path))
    except OverflowError:  # a data line that reads as a number beyond 32 bits after a delimiter
        with pytest.raises(OverflowError):
            ORVEXParser(str(path))
    else:
        assert as_plain(ORVEXParser(str(path))) == expected
    os.remove(path)


# --- large files: the text is read and split in pieces ---------------------

def big_text(seed: int) -> str:
    """About 3 MB of blocks whose lines cross every kind of piece boundary:
    long lines, non-ASCII stretches of each width, CRLF ends, blank lines."""
    import random

    rnd = random.Random(seed)
    out = []
    for b in range(60):
        out.append(D)
        out.append(str(rnd.choice([100, 403, 404, 1051, 451])))
        for _ in range(rnd.randint(0, 400)):
            kind = rnd.random()
            if kind < 0.01:
                out.append("x" * rnd.randint(50_000, 1_500_000))  # longer than a piece
            elif kind < 0.05:
                out.append("é" * 7 + "\u4e2d" * rnd.randint(1, 40) + "\U0001F600")
            elif kind < 0.08:
                out.append(rnd.choice(["  -1", f"{D} ", "", "-1"]))
            else:
                out.append(",".join(str(rnd.randint(-9, 99999)) for _ in range(rnd.randint(1, 14))))
        if rnd.random() < 0.9:
            out.append(D)
    return "\n".join(out)


@pytest.mark.parametrize("seed, newline", [(1, "\n"), (2, "\r\n"), (3, "\r")])
def test_large_files_split_like_the_plain_rules(tmp_path, seed, newline):
    path = tmp_path / "big.neu"
    with open(path, "w", newline=newline) as f:
        f.write(big_text(seed))
    assert as_plain(ORVEXParser(str(path))) == plain_split(str(path))


def test_reading_error_wins_over_a_bad_block_number(tmp_path):
    path = tmp_path / "bad.neu"
    good = f"{D}\n7\nline\n{D}\n{D}\n2147483648\n{D}\n" + "filler line\n" * 300_000
    path.write_bytes(good.encode() + b"\xff\n")
    with pytest.raises(UnicodeDecodeError):
        ORVEXParser(str(path))


def test_reading_error_late_in_the_file_stores_nothing(tmp_path, write_neu):
    path = tmp_path / "bad.neu"
    good = f"{D}\n7\nline\n{D}\n" + "filler line\n" * 300_000
    path.write_bytes(good.encode() + b"\xff\n")
    p = ORVEXParser(write_neu(""))
    with pytest.raises(UnicodeDecodeError):
        p.__init__(str(path))
    assert p.blocks == {}


# --- a Latin-1 locale: the file's bytes are decoded by the module ----------

LATIN1_FILES = r"""
import random, sys
sys.path.insert(0, sys.argv[1])
from test_splitting import D, as_plain, plain_split
from tremix.core import _native
from tremix.core.orvex_parser import ORVEXParser

assert open(sys.argv[2], "w").encoding == "ISO-8859-1"
rnd = random.Random(7)
pieces = [D + "\n", D + "\r\n", D + "\r", "  403\n", "1,2,3\n", "\r", "\n", "\xe9t\xe9,\xff", "\x85\xa0", "x" * 300]
for trial in range(120):
    text = "".join(rnd.choice(pieces) for _ in range(rnd.randrange(80))) * (20_000 if trial % 40 == 0 else 1)
    with open(sys.argv[2], "w", newline="") as f:
        f.write(text)
    before = _native.bytes_read()  # read as bytes by the module, not as text by open()
    assert as_plain(ORVEXParser(sys.argv[2])) == plain_split(sys.argv[2]) and _native.bytes_read() - before == len(text)
print("ok")
"""


def test_files_in_a_latin1_locale_split_like_the_plain_rules(tmp_path):
    # A Latin-1 locale of our own (none may be installed), made with localedef.
    made = subprocess.run(["localedef", "-i", "en_US", "-f", "ISO-8859-1", str(tmp_path / "en_US.ISO-8859-1")],
                          capture_output=True) if shutil.which("localedef") else None
    if made is None or made.returncode not in (0, 1):  # 1: made, with warnings
        pytest.skip("localedef and its locale sources are needed to make a Latin-1 locale")
    env = dict(os.environ, LOCPATH=str(tmp_path), LC_ALL="en_US.ISO-8859-1", PYTHONUTF8="0", PYTHONCOERCECLOCALE="0")
    out = subprocess.run([sys.executable, "-P", "-c", LATIN1_FILES, os.path.dirname(__file__), str(tmp_path / "f.neu")],
                         env=env, capture_output=True, text=True, timeout=300)
    assert out.stdout.strip() == "ok", out.stderr[-3000:]
