"""tremix.read: every kind of source gives the parser the constructor gives for the same text."""

from __future__ import annotations

import array
import bz2
import codecs
import contextlib
import gc
import gzip
import io
import lzma
import os
import pickle
import re
import subprocess
import sys
import threading
from pathlib import Path
from types import SimpleNamespace

import pytest

import tremix
from tremix.core import _native
from tremix.core.orvex_parser import ORVEXParser
from tremix.reading import ArchiveError, default_encoding, read_stream

TEXT = ("   -1\n   100\nBracket, Zürich\n11.4,\n   -1\n"
        "stray line\n   -1\n   403\n1,0,0,1,46,0,0,0,0,0,0,1.5,2.5,0.0,\n\n  trailing  \n   -1\n"
        "   -1\n   403\n2,0,0,1,46,0,0,0,0,0,0,0.,0.,0.,\n")  # the last block runs to the end


def blocks_of(parser: ORVEXParser) -> list:
    return [(key, [(b.block_id, b.lines) for b in blocks]) for key, blocks in parser.parse().items()]


def filepath(parser: ORVEXParser) -> str | None:
    return parser.__reduce__()[2][2]  # kept for pickling only: (delimiter, blocks, path)


@pytest.fixture
def reference(tmp_path):
    path = tmp_path / "model.neu"
    path.write_text(TEXT, encoding="utf-8")
    return blocks_of(ORVEXParser(str(path)))


COMPRESSORS = {".gz": gzip.compress, ".bz2": bz2.compress, ".xz": lzma.compress}


@pytest.mark.parametrize("newline", ["\n", "\r\n", "\r"])
@pytest.mark.parametrize("kind", ["path", "Path", "binary file", "BytesIO", "text file", "StringIO",
                                  ".gz", ".bz2", ".xz", ".GZ", "latin-1", "cp1252", "utf-16", "replace"])
def test_every_source_reads_block_for_block_like_the_constructor(tmp_path, reference, kind, newline):
    text = TEXT.replace("\n", newline)
    encoding = {"latin-1": "latin-1", "cp1252": "cp1252", "utf-16": "utf-16"}.get(kind, "utf-8")
    data = text.encode(encoding)
    path = tmp_path / ("model.neu" + (kind if kind.lower() in COMPRESSORS else ""))
    path.write_bytes(COMPRESSORS[kind.lower()](data) if kind.lower() in COMPRESSORS else data)
    opened = []
    if kind == "path":
        parser = tremix.read(str(path), encoding="utf-8")
    elif kind == "Path" or kind.lower() in COMPRESSORS:
        parser = tremix.read(path, encoding="utf-8")
    elif kind == "binary file":
        opened.append(open(path, "rb"))
        parser = tremix.read(opened[0], encoding="utf-8")
    elif kind == "BytesIO":
        parser = tremix.read(io.BytesIO(data), encoding="utf-8")
    elif kind == "text file":
        opened.append(open(path, encoding="utf-8", newline=None))
        parser = tremix.read(opened[0])
    elif kind == "StringIO":
        parser = tremix.read(io.StringIO(text, newline=""))  # the newlines reach the reader untranslated
    elif kind == "replace":
        parser = tremix.read(path, encoding="utf-8", errors="replace")
    else:
        parser = tremix.read(path, encoding=encoding)
    assert type(parser) is ORVEXParser
    assert blocks_of(parser) == reference
    path_given = kind in ("path", "Path", "replace", "latin-1", "cp1252", "utf-16") or kind.lower() in COMPRESSORS
    assert filepath(pickle.loads(pickle.dumps(parser))) == (str(path) if path_given else None)
    for f in opened:
        assert not f.closed  # the caller's file stays open
        f.close()


def test_plain_path_is_the_constructor(tmp_path, monkeypatch):
    path = tmp_path / "model.neu"
    path.write_text(TEXT, encoding="utf-8")
    # With neither encoding nor errors the constructor reads the file itself
    # (its descriptor reading), not the stream route.
    monkeypatch.setattr(_native, "read_into", None)
    assert blocks_of(tremix.read(path)) == blocks_of(ORVEXParser(str(path)))


def test_a_path_or_encoding_of_a_str_subclass(tmp_path, reference):
    Text = type("Text", (str,), {})  # as numpy.str_, which an array of paths hands out
    (tmp_path / "model.neu").write_text(TEXT, encoding="utf-8")
    for encoding in (None, Text("utf-8")):
        assert blocks_of(tremix.read(Text(tmp_path / "model.neu"), encoding=encoding)) == reference


@pytest.mark.parametrize("source, encoding, error", [(42, None, TypeError), (b"model.neu", None, TypeError),
                                                     (None, None, TypeError), (io.StringIO(TEXT), "utf-8", ValueError)])
def test_not_a_source(source, encoding, error):
    with pytest.raises(error):
        tremix.read(source, encoding=encoding)
    if isinstance(source, io.StringIO):  # a text stream takes no errors either
        with pytest.raises(ValueError):
            tremix.read(source, errors="replace")


def test_errors_of_the_text(tmp_path):
    path = tmp_path / "bad.neu"
    path.write_bytes(b"   -1\n   100\n\xff title\n   -1\n")
    with path.open("rb") as opened:
        for source in (path, opened, io.BytesIO(path.read_bytes())):
            with pytest.raises(UnicodeDecodeError):
                tremix.read(source, encoding="utf-8")
    # Decoded by the interpreter (cp1252 has no character for 0x81): the
    # note places the byte in the file on every route that can tell.
    late = tmp_path / "late.neu"
    late.write_bytes(TEXT.encode() * 2000 + b"   403\n1,\x81\n")
    where = f"the byte at offset {len(TEXT.encode()) * 2000 + 9} (line {TEXT.count(chr(10)) * 2000 + 2})"
    with late.open("rb") as buffered, late.open("rb", buffering=0) as raw:
        for source, name in ((late, str(late)), (buffered, "the input"), (raw, "the input")):
            with pytest.raises(UnicodeDecodeError) as info:
                tremix.read(source, encoding="cp1252")
            assert info.value.__notes__ == [f"{where} of {name} does not decode"]
        assert not raw.closed  # the buffer put over it is detached, not closed
    with late.open("rb", buffering=0) as raw:  # handed over part-way: counted from where it stands
        raw.read(len(TEXT.encode()) * 3)
        with pytest.raises(UnicodeDecodeError) as info:
            tremix.read(raw, encoding="cp1252")
        assert info.value.__notes__[0].startswith(f"the byte at offset {len(TEXT.encode()) * 1997 + 9} (line")
    with late.open("rb", buffering=0) as raw:  # ... and after a reading that succeeds
        buffered = io.BytesIO(late.read_bytes())  # the text wrapper over it detached too
        for stream in (raw, buffered):
            tremix.read(stream, encoding="cp1252", errors="replace")
            gc.collect()
            assert not stream.closed

    mend = {"read": lambda self, n=-1: io.FileIO.read(self, n).replace(b"\x81", b"x")}  # its own read() is read
    with type("Mending", (io.FileIO,), mend)(late) as mending:
        assert tremix.read(mending, encoding="cp1252").get_blocks(403)[-1].lines[-1] == "1,x"
    assert blocks_of(tremix.read(path, encoding="latin-1"))[0][1][0][1] == ["ÿ title"]
    for source in (path, io.BytesIO(path.read_bytes())):
        assert blocks_of(tremix.read(source, encoding="utf-8", errors="replace"))[0][1][0][1] == ["\ufffd title"]
    with pytest.raises(LookupError):
        tremix.read(path, encoding="no-such-codec")
    for refused in ("no-such-codec", "rot13"):  # refused before anything is read, from a pipe too
        readable = io.BytesIO(path.read_bytes())
        with pytest.raises(LookupError):
            tremix.read(SimpleNamespace(read=readable.read), encoding=refused)
        assert readable.tell() == 0
    path.write_bytes(gzip.compress(b"   -1\n2147483648\n   -1\n"))
    with pytest.raises(OverflowError):
        tremix.read(path.rename(tmp_path / "big.neu.gz"))
    (tmp_path / "cut.neu.gz").write_bytes(gzip.compress(TEXT.encode())[:-20])
    with pytest.raises(EOFError):
        tremix.read(tmp_path / "cut.neu.gz")


def test_a_path_in_a_given_encoding_raises_the_error_text_mode_raises(tmp_path):
    # A bad byte far past the interpreter's first piece of 8 KiB: read in
    # larger pieces, the error would hold other bytes and other positions.
    text = b"   -1\n   403\n" + b"1,0.,0.,0.,\n" * 200_000
    path = tmp_path / "late.neu"
    path.write_bytes(text + b"2,\x81\n")
    for encoding, errors in (("utf-8", None), ("ascii", "strict"), (None, "strict"), ("cp1252", None)):
        with open(path, encoding=encoding, errors=errors) as fh, pytest.raises(UnicodeDecodeError) as expected:
            fh.readlines()
        with pytest.raises(UnicodeDecodeError) as info:
            tremix.read(path, encoding=encoding, errors=errors)
        assert info.value.args == expected.value.args
        assert info.value.__notes__ == [f"the byte at offset {len(text) + 2} (line 200003) of {path} does not decode"]


@pytest.mark.parametrize("suffix, kind, opener", [(".gz", "gzip", "gzip.open()"), (".bz2", "bzip2", "bz2.open()"),
                                                  (".xz", "xz", "lzma.open()")])
def test_compressed_data_that_does_not_decode_gets_a_note(tmp_path, monkeypatch, suffix, kind, opener):
    # Values that compress poorly: cp1252 meets a byte it has no character for within the first few.
    text = TEXT + "".join(f"{k},{k * 7919 % 10007}.{k * 104729 % 997}\n" for k in range(5000))
    packed = COMPRESSORS[suffix](text.encode())
    path = tmp_path / "model.neu"  # no suffix: read as text
    path.write_bytes(packed)

    def errors(routes) -> list[UnicodeDecodeError]:
        found = []
        for source, encoding in routes:
            with pytest.raises(UnicodeDecodeError) as info:
                tremix.read(source() if callable(source) else source, encoding=encoding)
            found.append(info.value)
        return found

    routes = [(path, "utf-8"), (lambda: io.BytesIO(packed), "cp1252")]
    noted = errors(routes)
    # Neither text that only begins like a compressed file nor bad bytes later in one are taken for it.
    for source in (io.BytesIO(b"BZh9 \xff" + text.encode()), io.BytesIO(text.encode() + packed),
                   Pieces([text.encode(), packed])):  # ... nor a later piece that begins like one
        with pytest.raises(UnicodeDecodeError) as info:
            tremix.read(source, encoding="utf-8")
        assert info.value.__notes__ and not any("-compressed:" in note for note in info.value.__notes__)
    monkeypatch.setattr(tremix.reading, "_note_start", lambda exc, start: None)
    for error, bare in zip(noted, errors(routes)):  # only the note is added
        assert (str(error), error.object) == (str(bare), bare.object)
        assert error.__notes__[-1] == f"the data is {kind}-compressed: tremix.read decompresses a path ending in " \
                                      f"{suffix}, or a file object from {opener}"


def Pieces(pieces):  # noqa: N802 - a stream whose reads hand out the given pieces, one a call
    pieces = list(pieces)
    return type("Pieces", (), {"read": lambda self, size=-1: pieces.pop(0) if size != 0 and pieces else b""})()


@pytest.mark.parametrize("pieces, encoding", [
    ([b"   -1\n   450\n1,\r", b"Load case\n0,\n2.5,\n   -1\n"], "utf-8"),  # a lone "\r" ends a piece
    ([b"   -1\n   100\nab\r", b"\ncd\n   -1\n"], "utf-8"),  # a "\r\n" cut in two
    ([b"   -1\n   100\nab\xc3\ncd", b"\xa9\n   -1\n"], "utf-8"),  # a character cut by a line end
    ([b"   -1\n   100\nab\xc3", b"\xa9\n   -1\n"], "utf-8"),  # ... and by the end of a piece
    ([b"   -1\n   100\nMod\xc3", b"\xa8le\n   -1\n"], "ascii"),
    ([b"   -1\n   100\na\r\xc3\xa9\nb\n   -1\n"], "utf-8"),  # a lone "\r" before a character that is not ASCII
    ([b"   -1\n   100\n\xc2\x80\xe0\xa0\x80\xed\x9f\xbf\xee\x80\x80\xf0\x90\x80\x80\xf4\x8f\xbf\xbf\n"], "utf-8"),  # range ends
    ([b"   -1\n   100\n\xc1\xbf\n"], "utf-8"),  # an overlong form
    ([b"   -1\n   100\n\xf4\x90\x80\x80\n"], "utf-8"),  # beyond U+10FFFF
])
def test_pieces_cut_where_decoding_carries_over(pieces, encoding):
    def outcome(source, encoding=None):
        try:
            return blocks_of(tremix.read(source, encoding=encoding))
        except UnicodeDecodeError as exc:
            return exc.reason, exc.object[exc.start:exc.end]

    # Against what the interpreter's text reading makes of the whole.
    whole = io.TextIOWrapper(io.BytesIO(b"".join(pieces)), encoding=encoding)
    assert outcome(Pieces(pieces), encoding) == outcome(whole)


def write_archive(tmp_path: Path, name: str, mode: str, members=("a.neu", "b.neu")) -> Path:
    """A zip (`mode` "zip") or tar archive of files holding TEXT."""
    import tarfile
    import zipfile
    for member in members:
        (tmp_path / member).write_text(TEXT, encoding="utf-8")
    if mode == "zip":
        with zipfile.ZipFile(tmp_path / name, "w") as archive:
            for member in members:
                archive.write(tmp_path / member, arcname=member)
    else:
        with tarfile.open(tmp_path / name, mode,
                          format=tarfile.GNU_FORMAT if mode == "w" else tarfile.PAX_FORMAT) as archive:
            for member in members:
                archive.add(tmp_path / member, arcname=member)
    return tmp_path / name


@pytest.mark.parametrize("name, mode", [("models.tar", "w"), ("models.tar.gz", "w:gz"), ("models.tar.xz", "w:xz"),
                                        ("models.zip", "zip")])
def test_an_archive_is_refused_not_read_as_one_file(tmp_path, name, mode):
    # Its headers decode as text (a zip's in a byte-wise encoding): read, the
    # first block is lost in the first line and the blocks of both members
    # end up in one parser.
    write_archive(tmp_path, name, mode)
    kind = "zip" if mode == "zip" else "tar"
    for encoding in ("latin-1",) if kind == "zip" else (None, "latin-1"):
        with pytest.raises(ArchiveError, match=f"is a {kind} archive") as raised:
            tremix.read(tmp_path / name, encoding=encoding)
        again = pickle.loads(pickle.dumps(raised.value))  # as a worker process hands it back
        assert (str(again), again.kind) == (str(raised.value), kind)
    with pytest.raises(ValueError, match=f"is a {kind} archive"):
        tremix.check(tmp_path / name, errors="replace")
    # Text outside blocks at the start of a file that is no archive is read as before.
    (tmp_path / "stray.neu").write_bytes(b"x\x00" * 300 + b"\n" + TEXT.encode())
    assert tremix.read(tmp_path / "stray.neu").get_header() == tremix.read(io.StringIO(TEXT)).get_header()


@pytest.mark.parametrize("mode", ["tar", "tar, a member named in UTF-8", "zip"])
def test_an_archive_read_from_a_stream_is_refused(tmp_path, mode):
    # A stream cannot be read again: the archive is told by the start of the
    # text read. A member name of two-byte characters moves the tar header's
    # fields to other character offsets than byte offsets.
    kind = mode[:3]
    members = ("\u00e9t\u00e9.neu", "b.neu") if "UTF-8" in mode else ("a.neu", "b.neu")
    data = write_archive(tmp_path, "models." + kind, "zip" if kind == "zip" else "w", members).read_bytes()
    assert data.startswith(members[0].encode()) == (kind == "tar")
    sources = [("BytesIO latin-1", lambda: io.BytesIO(data), {"encoding": "latin-1"}),
               ("cp1252 by a text layer, bytes replaced", lambda: io.BytesIO(data),
                {"encoding": "cp1252", "errors": "replace"}),
               ("read(n) only", lambda: Pieces([data[:300], data[300:]]), {"encoding": "latin-1"}),
               ("text file", lambda: io.TextIOWrapper(io.BytesIO(data), encoding="latin-1", newline=""), {}),
               ("StringIO", lambda: io.StringIO(data.decode("latin-1"), newline=""), {})]
    if kind == "tar":  # its headers decode in UTF-8 too
        sources += [("BytesIO utf-8", lambda: io.BytesIO(data), {"encoding": "utf-8"}),
                    ("utf-8, bytes replaced", lambda: io.BytesIO(data), {"encoding": "utf-8", "errors": "replace"}),
                    ("StringIO of UTF-8", lambda: io.StringIO(data.decode("utf-8"), newline=""), {})]
    for what, source, how in sources:
        with pytest.raises(ArchiveError) as raised:
            tremix.read(source(), **how)
        assert (str(raised.value).split(":")[0], raised.value.kind) == (f"the stream is a {kind} archive, not an "
                                                                        "ORVEX Neutral file", kind), what
        with pytest.raises(ArchiveError, match=f"^models.{kind} is a {kind} archive"):
            read_stream(source(), name=f"models.{kind}", **how)
    # Through a pipe, read as it arrives.
    r, w = os.pipe()

    def feed() -> None:
        with open(w, "wb") as end:
            end.write(data)

    writer = threading.Thread(target=feed)
    writer.start()
    with open(r, "rb") as pipe, pytest.raises(ArchiveError):
        tremix.read(pipe, encoding="latin-1")
    writer.join()


def test_a_stream_that_is_no_archive_is_read(tmp_path):
    # Clean text, and stray text at its start that falls short of a tar
    # header: each read from a stream as from its path.
    header = bytearray(b"x\x00" * 256)
    header[257:262] = b"ustar"  # the checksum left wrong
    for data in (TEXT.encode(), bytes(header) + b"\n" + TEXT.encode(), b"PK\x03" + b"\n" + TEXT.encode()):
        (tmp_path / "model.neu").write_bytes(data)
        expected = blocks_of(tremix.read(tmp_path / "model.neu", encoding="latin-1"))
        assert blocks_of(tremix.read(io.BytesIO(data), encoding="latin-1")) == expected
        assert blocks_of(tremix.read(io.StringIO(data.decode("latin-1")))) == expected


@pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="needs named pipes")
def test_an_archive_read_from_a_named_pipe_is_refused(tmp_path):
    # A path that is no regular file cannot be read again either.
    data = write_archive(tmp_path, "models.tar", "w").read_bytes()
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)

    def feed() -> None:
        with open(fifo, "wb") as end:
            with contextlib.suppress(BrokenPipeError):
                end.write(data)

    for how in ({}, {"encoding": "latin-1"}):
        writer = threading.Thread(target=feed, daemon=True)  # not left waiting for a reader should the test fail
        writer.start()
        with pytest.raises(ArchiveError, match=f"^{re.escape(str(fifo))} is a tar archive"):
            tremix.read(fifo, **how)
        writer.join(timeout=60)


def test_text_with_a_wide_byte_order_mark_gets_a_note(tmp_path):
    for wide in ("utf-16", "utf-32"):
        data = TEXT.encode(wide)
        path = tmp_path / "model.neu"
        path.write_bytes(data)
        (tmp_path / "model.neu.gz").write_bytes(gzip.compress(data))
        for source in (path, tmp_path / "model.neu.gz", io.BytesIO(data)):
            with pytest.raises(UnicodeDecodeError) as info:
                tremix.read(source, encoding="utf-8")
            assert info.value.__notes__[-1] == \
                f'the data starts with a {wide.upper()} byte-order mark: encoding="{wide}" reads it'
    # Read in its own encoding, a bad character later is not put down to the mark.
    path.write_bytes(TEXT.encode("utf-16") + b"\x00\xd8")
    with pytest.raises(UnicodeDecodeError) as info:
        tremix.read(path, encoding="utf-16")
    assert not any("byte-order mark" in note for note in getattr(info.value, "__notes__", ()))


def test_stream_with_read_only(reference):
    class Pipe:
        """Only read(n), in short pieces, like a socket file."""

        def __init__(self, data: bytes):
            self.data = data

        def read(self, n: int = -1) -> bytes:
            n = len(self.data) if n < 0 else min(n, 7)
            piece, self.data = self.data[:n], self.data[n:]
            return piece

    assert blocks_of(tremix.read(Pipe(TEXT.encode("utf-8")))) == reference
    assert blocks_of(tremix.read(Pipe(TEXT.encode("cp1252")), encoding="cp1252")) == reference
    # Decoded by a text wrapper, a short piece costs about its own size (asked
    # for a megabyte of text, the wrapper set up a megabyte for every piece).
    import tracemalloc
    tracemalloc.start()
    try:
        tremix.read(Pipe(TEXT.encode("cp1252")), encoding="cp1252")
        assert tracemalloc.get_traced_memory()[1] < 512 << 10
    finally:
        tracemalloc.stop()


def test_a_text_stream_is_split_without_the_interpreter_lock():
    # Another thread gets turns while the pieces of an io.StringIO (all in C) are split.
    import threading
    import time

    stream = io.StringIO("   -1\n   403\n" + "1,0.,0.,0.,\n" * 1_000_000 + "   -1\n")
    stop, turns = threading.Event(), [0]

    def other():
        while not stop.is_set():
            turns[0] += 1
            time.sleep(0)

    thread = threading.Thread(target=other)
    thread.start()
    before = turns[0]
    _native.read_into(ORVEXParser.__new__(ORVEXParser), stream, None, None, None)
    during = turns[0] - before
    stop.set()
    thread.join()
    assert during >= 20


@pytest.mark.parametrize("kind", [bytes, bytearray, str])
def test_stream_whose_read_ignores_the_size_is_refused(kind):
    """read(0) that hands out data (a stream taking 0 for "all of it") is an
    error, not a parser short of that data."""
    from tremix.core import _native

    class Careless:
        def __init__(self):
            self.data = TEXT if kind is str else kind(TEXT.encode("utf-8"))

        def read(self, n: int = -1):
            piece, self.data = self.data, self.data[:0]
            return piece

    with pytest.raises(ValueError, match=r"read\(0\) returned"):
        tremix.read(Careless())
    with pytest.raises(ValueError, match=r"read\(0\) returned"):
        _native.read_into(ORVEXParser.__new__(ORVEXParser), Careless(), None if kind is str else "utf-8", None, None)
    with pytest.raises(ValueError, match=r"read\(0\) returned 1 items instead of none"):  # one item is data too
        tremix.read(type("One", (), {"read": lambda self, size=-1: b"\n" if size == 0 else b""})())


def test_streams_that_hand_out_the_wrong_thing_get_the_readers_own_errors():
    class TextByClass(io.TextIOBase):  # taken for text by its class, yet reads bytes
        def read(self, n=-1):
            return b""

    with pytest.raises(TypeError, match="read\\(\\) should return a str, not bytes"):
        tremix.read(TextByClass())

    class Handing:  # hands out its pieces whatever the size asked for
        def __init__(self, *pieces):
            self.pieces = list(pieces)

        def read(self, n=-1):
            return self.pieces.pop(0) if n and self.pieces else b""

    wide = TEXT.encode("utf-8") * 40_000  # 2.5 MB, more than any piece asked for
    for encoding in ("utf-8", "cp1252"):  # read by the compiled reader, and through a text wrapper
        assert blocks_of(tremix.read(Handing(wide[:5], wide[5:]), encoding=encoding)) == \
            blocks_of(tremix.read(io.BytesIO(wide), encoding=encoding))
        assert blocks_of(tremix.read(Handing(memoryview(array.array("H", [0x0a20] * 4))), encoding=encoding)) == []
        with pytest.raises(BlockingIOError, match="non-blocking mode and had no data ready"):  # io's None
            tremix.read(Handing(None), encoding=encoding)


# Scripts run under a limit on the address space: `limit(mb)` leaves that
# much room above what the process has mapped.
LIMIT = """
import resource, sys
def limit(mb):
    with open("/proc/self/status") as status:
        size = next(int(line.split()[1]) << 10 for line in status if line.startswith("VmSize:"))
    resource.setrlimit(resource.RLIMIT_AS, (size + (mb << 20) if mb else resource.RLIM_INFINITY,
                                            resource.RLIM_INFINITY))

def under_limits(read, headrooms):
    # What read() gives under each headroom: its first array's length, or MemoryError.
    outcomes = set()
    for headroom in headrooms:
        limit(headroom)
        try:
            outcomes.add(str(len(read()[0])))
        except MemoryError:
            outcomes.add("MemoryError")
        limit(0)
    print(*outcomes)
"""

# One endless line outside any block, handed out in the same bytearray: the
# reading ends in MemoryError and gives the piece back like any other.
LINE_OUTSIDE_BLOCKS = """
from tremix.reading import read_stream
class Stream:
    def __init__(self, total):
        self.left, self.piece = total, bytearray(b"x" * (1 << 20))
    def read(self, size=-1):
        n = min(size, self.left) if size >= 0 else self.left
        self.left -= n
        return self.piece if n == len(self.piece) else bytearray(n)
stream = Stream(200 << 20)
limit(300)
try:
    read_stream(stream, encoding="utf-8")
except MemoryError:
    print("MemoryError")
stream.piece.clear()  # BufferError while the reader still held a view of it
print("released")
"""

# A million single-value records read under ever larger limits: memory may
# run out between an id and its value, and every reading ends in MemoryError
# or the whole vector, never in an abort.
VECTOR = """
from tremix.core.orvex_parser import ORVEXParser
head = ["1,2,1,", "Stress,", "0,0,0,", *["1,2,3,4,5,6,7,8,9,10,"] * 3, "1,1,1,7,", "0,0,1,"]
records = (f"{i},1.0000000E+00," for i in range(1_000_000))
with open(sys.argv[1], "w") as f:
    f.write("\\n".join(["   -1", "  1051", *head, *records, "-1,0.,", "   -1"]) + "\\n")
under_limits(ORVEXParser(sys.argv[1]).get_output_vectors_arrays, range(2, 40, 2))
"""


# Node arrays under ever larger limits: the arrays made up front for the
# walk to write into may not be had, or the walk's own memory may run out
# after them; either way MemoryError or every node, never an abort.
NODES = """
from tremix.core.orvex_parser import ORVEXParser
nodes = (f"{i},0,0,1,7,0,0,0,0,0,0,{i}.5,-1.,0.," for i in range(1_000_000))
with open(sys.argv[1], "w") as f:
    f.write("\\n".join(["   -1", "   403", *nodes, "   -1"]) + "\\n")
under_limits(ORVEXParser(sys.argv[1]).get_nodes_arrays, range(2, 80, 4))
"""


# Element and check walks, shared with a second thread, with the address
# space at or below what is mapped: a thread of its own cannot be had (its
# first allocation reserves room for an arena), and the walk is done on one
# thread; never an abort.
SHARED_WALKS = """
import ctypes
from tremix.checking import check
from tremix.core.orvex_parser import ORVEXParser
element = "{},1,1,1,8,1,0,0,0,0,0,0\\n1,2,3,4,5,6,7,8,0,0\\n" + "0,0,0,0,0,0,0,0,0,0\\n" + "0.,0.,0.\\n" * 2 \\
    + "0,0,0,0,0,0,0,0,0,0\\n" * 2
with open(sys.argv[1], "w") as f:
    f.write("   -1\\n   404\\n" + "".join(element.format(i) for i in range(1, 150_001)) + "   -1\\n")
parser = ORVEXParser(sys.argv[1])
walks = lambda: (parser.get_elements_arrays()[0], check(parser))
walks()  # a helper's stack is then kept for the next one: starting a thread needs no new mapping
ctypes.CDLL(None).malloc_trim(0)
under_limits(walks, (-40, -1, 1, 8, 200))  # with 200 MB to spare a helper thread runs under the limit
"""


@pytest.mark.slow  # a limit on the address space does not suit the sanitizers' allocator
@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="limits the address space through /proc")
@pytest.mark.parametrize("script, allowed", [(LINE_OUTSIDE_BLOCKS, {"MemoryError", "released"}),
                                             (VECTOR, {"MemoryError", "1000000"}),
                                             (NODES, {"MemoryError", "1000000"}),
                                             (SHARED_WALKS, {"MemoryError", "150000"})],
                         ids=["outside blocks", "vector", "nodes", "shared walks"])
def test_memory_running_out_is_a_memory_error(tmp_path, script, allowed):
    # One malloc arena, but for the shared walks: an arena that another
    # thread (the reading's own) reserved would leave room under any limit.
    env = dict(os.environ) if script is SHARED_WALKS else dict(os.environ, MALLOC_ARENA_MAX="1")
    out = subprocess.run([sys.executable, "-P", "-c", LIMIT + script, str(tmp_path / "v.neu")],
                         capture_output=True, text=True, env=env)
    assert out.returncode == 0, out.stderr[-2000:]
    assert set(out.stdout.split()) <= allowed, out.stdout
    assert ("150000" if script is SHARED_WALKS else "MemoryError") in out.stdout.split()
    if script is LINE_OUTSIDE_BLOCKS:
        assert out.stdout.split() == ["MemoryError", "released"]


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads the peak memory through resource")
def test_room_for_a_node_a_line_takes_no_memory_until_written(tmp_path):
    """Node arrays are made up front with a row for every line of the node
    blocks: lines that hold no node must cost address space only."""
    script = """
import resource, sys
from tremix.core.orvex_parser import ORVEXParser
parser = ORVEXParser(sys.argv[1])
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
ids, coords = parser.get_nodes_arrays()
print(ids.tolist(), (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) >> 10)
"""
    path = tmp_path / "blank.neu"
    # 5 million blank lines and one node: rows for 140 MB.
    path.write_text("   -1\n   403\n" + "\n" * 5_000_000 + "7,0,0,1,7,0,0,0,0,0,0,1.,2.,3.,\n   -1\n")
    out = subprocess.run([sys.executable, "-P", "-c", script, str(path)], capture_output=True, text=True)
    ids, grown_mb = out.stdout.rsplit(maxsplit=1)
    assert out.returncode == 0 and ids == "[7]", out.stderr[-2000:]
    assert int(grown_mb) < 40


@pytest.mark.parametrize("env", [{"PYTHONUTF8": "1"}, {"PYTHONUTF8": "1", "LC_ALL": "C"},
                                 {"PYTHONUTF8": "0", "LC_ALL": "C"}, {"PYTHONUTF8": "0", "LC_ALL": "C.UTF-8"}])
def test_default_encoding_is_opens(env):
    # The encoding named, and the one a binary stream is read in: UTF-8 text
    # reads as open() reads it, or fails as decoding it that way fails.
    code = ("import codecs, io, os, tremix; from tremix.reading import default_encoding\n"
            "opened = codecs.lookup(open(os.devnull).encoding).name; data = b'   -1\\n   100\\nCaf\\xc3\\xa9\\n   -1\\n'\n"
            "def lines(read):\n"
            "    try: return ascii(read())\n"
            "    except UnicodeDecodeError: return None\n"
            "print(codecs.lookup(default_encoding()).name == opened, lines(lambda: data.decode(opened).splitlines()[2:3]) "
            "== lines(lambda: tremix.read(io.BytesIO(data)).get_blocks(100)[0].lines))")
    out = subprocess.run([sys.executable, "-P", "-c", code], capture_output=True, text=True,
                         env={**{k: v for k, v in os.environ.items() if not k.startswith("LC_")}, **env})
    assert out.stdout.strip() == "True True", out.stderr
    assert codecs.lookup(default_encoding())


def test_package_exports():
    from importlib.metadata import version

    assert tremix.ORVEXParser is ORVEXParser and tremix.ORVEXBlock.__module__ == "tremix.core.orvex_parser"
    assert tremix.__version__ == version("tremix")
    # One version: the build takes it from meson.build.
    meson = (Path(__file__).resolve().parent.parent / "meson.build").read_text()
    assert f"version: '{tremix.__version__}'" in meson


def test_a_source_folder_that_shadows_the_package_says_so(tmp_path):
    """The package's Python files without its compiled modules, as in a checkout."""
    installed = Path(tremix.__file__).parent
    for source in [*installed.glob("*.py"), *installed.glob("core/*.py")]:
        target = tmp_path / "tremix" / source.relative_to(installed)
        target.parent.mkdir(exist_ok=True)
        target.write_bytes(source.read_bytes())

    def last_error() -> str:
        run = subprocess.run([sys.executable, "-c", "import tremix.results"], cwd=tmp_path, capture_output=True,
                             text=True)
        return run.stderr.strip().splitlines()[-1]

    assert last_error().startswith(f"ImportError: tremix was imported from {tmp_path / 'tremix'}, which holds no "
                                   "compiled modules")
    # Compiled modules there, but for another interpreter: their own error, no word of a source folder.
    (tmp_path / "tremix" / "core" / "_native.cpython-399-x86_64-linux-gnu.so").write_bytes(b"")
    assert last_error() == "ModuleNotFoundError: No module named 'tremix.core._native'"


# A codec named as the interpreter's UTF-8 codec is, and ones whose names no look-up takes.
@pytest.mark.parametrize("codec_name", ["utf-8", "latin\0one", "\udce9"])
def test_a_codec_under_another_name_decodes_in_its_own_way(codec_name):
    latin = codecs.lookup("latin-1")
    info = codecs.CodecInfo(latin.encode, latin.decode, incrementaldecoder=latin.incrementaldecoder,
                            incrementalencoder=latin.incrementalencoder, name=codec_name)
    search = lambda name: info if name == "tremix_test_named_utf8" else None
    codecs.register(search)
    try:
        parser = tremix.read(io.BytesIO(b"   -1\n   100\n\xe9\n   -1\n"), encoding="tremix_test_named_utf8")
        assert parser.get_blocks(100)[0].lines == ["\xe9"]
    finally:
        codecs.unregister(search)


def test_an_interruption_inside_a_streams_own_tell_or_seek_ends_the_reading():
    # An error in the stream's tell() or seek() is passed over, but not a
    # KeyboardInterrupt a signal handler raised there.
    class Untold(io.StringIO):
        def tell(self):
            raise KeyboardInterrupt

    class Unseekable(io.BytesIO):  # below a text wrapper, which only asks where it stands
        def seek(self, pos, whence=0):
            if whence == 0:
                raise KeyboardInterrupt
            return super().seek(pos, whence)

    data = TEXT.encode() * 2000 + b"   403\n1,\x81\n"  # cp1252 has no character for 0x81
    for call in (lambda: tremix.read(Untold(TEXT)),
                 lambda: tremix.read(io.TextIOWrapper(Unseekable(data), encoding="cp1252")),
                 lambda: tremix.read(Unseekable(data), encoding="cp1252")):
        with pytest.raises(KeyboardInterrupt):
            call()


def test_a_non_blocking_pipe_without_data_ready_is_an_error_not_its_end():
    # Python's text layer takes a read that finds nothing for the end of the data (a
    # character cut there for a truncated one); the reader gets None. A closed pipe ends.
    cut = "   -1\n   100\nT\u00e9".encode()[:-1]
    for mode, how, data, closed in (("r", {}, cut, False), ("rb", {"encoding": "cp1252"}, b"   -1\n", False),
                                    ("rb", {}, b"   -1\n", False), ("r", {}, cut, True)):
        r, w = os.pipe()
        os.set_blocking(r, False)
        os.write(w, data)
        with open(w, "wb") if closed else contextlib.nullcontext():
            pass
        with open(r, mode, encoding="utf-8" if mode == "r" else None) as f, \
                pytest.raises(UnicodeDecodeError if closed else BlockingIOError):
            tremix.read(f, **how)
        if not closed:
            os.close(w)
