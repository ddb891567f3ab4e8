"""Notes (PEP 678) on OverflowError and UnicodeDecodeError say where in the file the error is."""

from __future__ import annotations

import codecs
import gzip
import io
import locale
import os
import subprocess
import sys
import threading

import pytest

import tremix
from conftest import neu_text
from storage import in_storage
from tremix.core import _native
from tremix.core.orvex_parser import ORVEXParser

BIG = "2147483648"
NODE = "1,0,0,1,46,0,0,0,0,0,0,1.,2.,3.,"
# Per extractor: a file whose line 4 holds an integer beyond 32 bits.
OVERFLOWS = {
    "get_nodes": (403, ["x", NODE.replace("1,", f"{BIG},", 1)]),
    "get_nodes_arrays": (403, ["x", NODE.replace("1,", f"{BIG},", 1)]),
    "get_properties": (402, ["x", f"1,1,{BIG},", "T"]),
    "get_materials": (601, ["x", f"-{int(BIG) + 1},"]),
    "get_elements": (404, ["x", "1,1,1,1,4,", f"1,2,{BIG},"]),
    "get_elements_arrays": (404, ["x", f"1,1,1,1,{BIG},"]),
    "get_output_sets": (450, ["x y", f"{BIG},", "T"]),
    "get_output_vectors": (1051, ["1,1,1,", "T", "0,", "1,1,1,7,", "1,0,1,", f"{BIG},1.5,"]),
    "get_output_vectors_arrays": (1051, ["1,1,1,", "T", "0,", f"1,1,1,{BIG},", "1,0,1,"]),
}


@pytest.mark.parametrize("name", list(OVERFLOWS))
def test_overflow_in_an_extractor_names_field_block_and_line(write_neu, storage, name):
    block_id, lines = OVERFLOWS[name]
    path = write_neu(blocks=[(100, ["t", "v"]), (block_id, lines)])
    parser = in_storage(ORVEXParser(path), storage)
    with pytest.raises(OverflowError) as info:
        getattr(parser, name)()
    assert info.value.args == ("value too large to convert to int",)
    field = f"-{int(BIG) + 1}" if name == "get_materials" else BIG
    item = next(i for i, text in enumerate(lines) if field in text)
    where = f"line {8 + item} of {path}" if storage == "text" else f"item {item} of its lines"
    assert info.value.__notes__ == [f"the field '{field}' in block {block_id}, {where}"]
    if storage == "text":  # read from a stream: the line, of no named file
        with open(path, "rb") as stream, pytest.raises(OverflowError) as info:
            getattr(tremix.read(stream), name)()
        assert info.value.__notes__ == [f"the field '{field}' in block {block_id}, line {8 + item} of the file"]


def test_overflow_in_blocks_of_another_parser_names_their_file(write_neu):
    results = write_neu(blocks=[OVERFLOWS["get_nodes"]])
    parser = ORVEXParser(write_neu(blocks=[(100, ["t", "v"])]))
    parser.blocks[403] = ORVEXParser(results).get_blocks(403)
    with pytest.raises(OverflowError) as info:
        parser.get_nodes()
    assert info.value.__notes__ == [f"the field '{BIG}' in block 403, line 4 of {results}"]


def test_overflow_in_a_block_number_names_its_line(write_neu):
    path = write_neu(neu_text((100, ["t", "v"])) + f"   -1\n {BIG}\n")
    with pytest.raises(OverflowError) as info:
        ORVEXParser(path)
    assert info.value.args == ("value too large to convert to int",)
    assert info.value.__notes__ == [f"the block number on line 7 of {path}"]
    with open(path, "rb") as stream, pytest.raises(OverflowError) as info:
        tremix.read(stream)
    assert info.value.__notes__ == ["the block number on line 7"]


@pytest.mark.skipif(b"\xff".decode(locale.getpreferredencoding(False), "replace") != "\ufffd",
                    reason="the byte decodes in this locale")
def test_undecodable_byte_after_crlf_lines(tmp_path):
    path = tmp_path / "bad.neu"
    prefix = b"   -1\r\n   403\r\n" + b"1,2,3\r\n" * 400_000 + b"x\r"
    path.write_bytes(prefix + b"\xff\r\nrest\r\n")
    with pytest.raises(UnicodeDecodeError) as info:
        ORVEXParser(str(path))
    assert info.value.__notes__ == [f"the byte at offset {len(prefix)} (line 400004) of {path} does not decode"]


# A locale encoding the reader does not decode itself, set on the open() the module captures at import.
OTHER_ENCODING = """
import builtins, functools, io, sys
builtins.open = functools.partial(io.open, encoding=sys.argv[1])
from tremix.core.orvex_parser import ORVEXParser
try:
    ORVEXParser(sys.argv[2])
except UnicodeDecodeError as e:
    print(e.__notes__[0] if getattr(e, "__notes__", None) else "no note")
    try:
        with open(sys.argv[2]) as f:
            f.readlines()
    except UnicodeDecodeError as direct:
        print(str(e) == str(direct) and e.object == direct.object)
"""
BAD = {"cp1252": b"\x81", "shift_jis": b"\x81\x20", "utf-16": b"\x00\xdc"}


@pytest.mark.parametrize("encoding", list(BAD))
def test_undecodable_byte_in_other_encodings(tmp_path, encoding):
    good = "   -1\r\n   403\r\n" + "1,2,3\r\n" * 100_000 + "x"
    path = tmp_path / "bad.neu"
    path.write_bytes(good.encode(encoding) + BAD[encoding] + "\n".encode(encoding))
    run = subprocess.run([sys.executable, "-P", "-c", OTHER_ENCODING, encoding, str(path)],
                         capture_output=True, text=True, check=True)
    offset = len(good.encode(encoding))
    assert run.stdout.split("\n") == [f"the byte at offset {offset} (line 100003) of {path} does not decode", "True", ""]


def test_undecodable_byte_in_a_stream():
    data = b"   -1\n   100\n" + "\u00e9".encode("utf-8") * 10 + b"\n\xff\n"
    for stream, encoding in ((io.BytesIO(data), "utf-8"), (io.TextIOWrapper(io.BytesIO(data), "utf-8"), None)):
        parser = ORVEXParser.__new__(ORVEXParser)
        with pytest.raises(UnicodeDecodeError) as info:
            _native.read_into(parser, stream, encoding, "strict", "in.neu")
        assert info.value.__notes__ == ["the byte at offset 34 (line 4) of in.neu does not decode"]
    # Counted past a character cut over three pieces, and over lone "\r" line ends of a text stream.
    pieces = [b"   -1\n   100\n\xf0", b"\x9f", b"\x98\x80\n\xff\n"]
    stream = type("Pieces", (), {"read": lambda self, size=-1: pieces.pop(0) if size and pieces else b""})()
    cr_ends = io.TextIOWrapper(io.BytesIO(b"first\r" + b"x\r" * 5 + b"\x81\n"), encoding="cp1252")
    for source, where in ((stream, "offset 18 (line 4)"), (cr_ends, "offset 16 (line 7)")):
        with pytest.raises(UnicodeDecodeError) as info:
            tremix.read(source, encoding="utf-8" if source is stream else None)
        assert info.value.__notes__[0] == f"the byte at {where} of the input does not decode"


HEAD = b"   -1\n   100\n"
# Bytes that do not decode where a piece of the reading ends: the data's
# end inside a character, a character begun in one 1 MiB piece and broken
# in the next, a bad byte in a piece that begins with the end of a character.
STREAM_ENDS = {
    "cut_by_the_end": b"abc\xf0\x90\x80",
    "across_pieces": b"a" * (2**20 - len(HEAD) - 1) + b"\xe2\x82(\n",
    "after_a_character_across_pieces": b"a" * (2**20 - len(HEAD) - 1) + "\u00e9".encode() + b"\nabc\xff\n",
}


def read_from_pipe(data: bytes):
    read_end, write_end = os.pipe()
    writer = threading.Thread(target=lambda: open(write_end, "wb").write(data))  # closed as it is collected
    writer.start()
    try:
        return tremix.read(f"/dev/fd/{read_end}")
    finally:
        writer.join()
        os.close(read_end)


def test_a_stream_read_from_its_middle_is_counted_from_there():
    data = b"first line\n" + b"x\n" * 5000 + b"\x81\n"
    for wrap, encoding in [(io.BytesIO, "utf-8"), (io.BytesIO, "cp1252"),  # decoded here, wrapped, given as text
                           (lambda data: io.TextIOWrapper(io.BytesIO(data), encoding="cp1252"), None)]:
        (source := wrap(data)).readline()
        with pytest.raises(UnicodeDecodeError) as info:
            tremix.read(source, encoding=encoding)
        assert info.value.__notes__[0] == "the byte at offset 10000 (line 5001) of the input does not decode"


def test_a_pipe_whose_data_is_compressed_or_wide_says_so():
    # A pipe cannot be looked at again from its start: the error holds the data from its first byte.
    for data, note in [(gzip.compress(HEAD), "the data is gzip-compressed"),
                       (HEAD.decode().encode("utf-16"), "the data starts with a UTF-16 byte-order mark")]:
        with pytest.raises(UnicodeDecodeError) as info:
            read_from_pipe(data)
        assert info.value.object == data[:len(info.value.object)]
        assert info.value.__notes__[-1].startswith(note)


@pytest.mark.parametrize("tail", list(STREAM_ENDS.values()), ids=list(STREAM_ENDS))
@pytest.mark.parametrize("source", ["stream", "pipe"])
def test_a_stream_decode_error_is_the_interpreters_own(tail, source):
    data = HEAD + tail
    with pytest.raises(UnicodeDecodeError) as whole:
        data.decode("utf-8")
    with pytest.raises(UnicodeDecodeError) as info:
        tremix.read(io.BytesIO(data), encoding="utf-8") if source == "stream" else read_from_pipe(data)
    error, expected = info.value, whole.value
    # What it says of the bytes it holds is what decoding them says.
    with pytest.raises(UnicodeDecodeError) as again:
        error.object.decode("utf-8")
    assert (again.value.start, again.value.end, again.value.reason) == (error.start, error.end, error.reason)
    assert error.reason == expected.reason
    assert error.object[error.start:error.end] == data[expected.start:expected.end]
    assert error.__notes__[0].startswith(f"the byte at offset {expected.start} ")


def _mend_81(exc):
    if exc.object[exc.start] != 0x81:
        raise exc
    return "?", exc.start + 1


class _OneError(UnicodeDecodeError):
    def add_note(self, note):  # fails where notes would be added without end
        assert len(getattr(self, "__notes__", ())) < 5
        super().add_note(note)


def test_notes_with_error_handlers(tmp_path):
    # The text before the bad byte decodes with the handler that mended a
    # byte on the way; a handler raising one error object every time gets
    # one note on it, though the lines are read again in text mode.
    codecs.register_error("tremix-test-mend-81", _mend_81)
    data = b"   -1\n   100\na\x81b\nline\n\xff\n   -1\n"
    path = tmp_path / "mended.neu"
    path.write_bytes(data)
    with open(path, "rb") as raw:
        for source, name in ((path, str(path)), (raw, "the input"), (io.BytesIO(data), "the input")):
            with pytest.raises(UnicodeDecodeError) as info:
                tremix.read(source, encoding="utf-8", errors="tremix-test-mend-81")
            assert info.value.__notes__ == [f"the byte at offset 22 (line 5) of {name} does not decode"]
    raised = []

    def one_error(exc):
        raised[:] = raised or [_OneError(exc.encoding, exc.object, exc.start, exc.end, exc.reason)]
        raise raised[0]

    codecs.register_error("tremix-test-one-error", one_error)
    with pytest.raises(_OneError) as info:
        tremix.read(path, encoding="utf-8", errors="tremix-test-one-error")
    assert info.value.__notes__ == [f"the byte at offset 14 (line 3) of {path} does not decode"]
