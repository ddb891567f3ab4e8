"""``tremix.read``: a parser from a path, a compressed path or an open file.

A plain path read with the default encoding goes straight to the
constructor, which reads the file descriptor itself. Everything else is fed
to the compiled reader as a stream: binary streams in an encoding it decodes
itself (UTF-8, ASCII, Latin-1, strict) are decoded in C++, any other
encoding through an ``io.TextIOWrapper``; text streams are read as they are.
Every route splits the text by the same block rules, so the parsers are
equal block for block.
"""

from __future__ import annotations

import bz2
import codecs
import contextlib
import errno
import gzip
import io
import locale
import lzma
import os
import re
import stat
import sys
import zlib
from collections.abc import Callable, Iterator
from typing import TYPE_CHECKING, Any, BinaryIO, Protocol, TypeAlias, cast

if TYPE_CHECKING:
    from _typeshed import WriteableBuffer

from tremix.core import _native
from tremix.core.orvex_parser import ORVEXParser


class BinaryStream(Protocol):
    """A file object opened for reading bytes: ``read(n)`` gives bytes, empty at the end."""

    def read(self, size: int = -1, /) -> bytes: ...


class TextStream(Protocol):
    """A file object opened for reading text: ``read(n)`` gives str, empty at the end."""

    def read(self, size: int = -1, /) -> str: ...


Source: TypeAlias = str | os.PathLike[str] | BinaryStream | TextStream

# Suffix -> the format's name, how its files begin, and a decompressing
# reader over the opened binary file. A bzip2 file's "BZh" is followed by
# its block size (1 to 9) and the magic of a first block or of the end of
# an empty stream: three letters alone also begin plain text.
_COMPRESSED: dict[str, tuple[str, re.Pattern[bytes], Callable[[BinaryStream], io.BufferedIOBase]]] = {
    ".gz": ("gzip", re.compile(b"\x1f\x8b"), lambda raw: gzip.GzipFile(fileobj=cast(BinaryIO, raw), mode="rb")),
    ".bz2": ("bzip2", re.compile(b"BZh[1-9](?:1AY&SY|\x17rE8P\x90)"), lambda raw: bz2.BZ2File(cast(BinaryIO, raw), "rb")),
    ".xz": ("xz", re.compile(b"\xfd7zXZ\x00"), lambda raw: lzma.LZMAFile(cast(BinaryIO, raw), "rb")),
}
# Bytes enough to tell every format's start.
_MAGIC_BYTES = 10
# A tar archive's header block.
_TAR_BLOCK = 512

# Byte-order marks of the wide Unicode encodings, whose text decodes in no
# byte-wise encoding; a UTF-32 little-endian mark begins as the UTF-16 one does.
_WIDE_MARKS = ((codecs.BOM_UTF32_LE, "utf-32"), (codecs.BOM_UTF32_BE, "utf-32"),
               (codecs.BOM_UTF16_LE, "utf-16"), (codecs.BOM_UTF16_BE, "utf-16"))

# How a zip archive begins: a file's local header, or the end of an empty archive.
_ZIP_MAGIC = re.compile(b"PK(?:\x03\x04|\x05\x06)")

# Compressed formats that are not read (no decompressor in the standard
# library), by the magic number their frames begin with.
_UNREAD_COMPRESSED = ((b"\x28\xb5\x2f\xfd", "zstd"), (b"\x04\x22\x4d\x18", "lz4"))

# How to read each format decompressed from a file object.
_OPENERS = {"gzip": "gzip.open", "bzip2": "bz2.open", "xz": "lzma.open"}

# The reader's note on a byte that does not decode: its offset from where reading began.
_BAD_BYTE_NOTE = re.compile(r"the byte at offset (\d+) ")
# Where the error of a stream that cannot seek back keeps how its data began.
_DATA_START = "_tremix_data_start"


def read(source: Source, *, encoding: str | None = None, errors: str | None = None) -> ORVEXParser:
    """Reads `source` into a new :class:`ORVEXParser`.

    `source` is a path (``str`` or ``os.PathLike``; ``.gz``, ``.bz2`` and
    ``.xz`` files are decompressed on the fly) or a file object opened in
    binary or text mode. `encoding` and `errors` mean what they mean for
    ``open()``; by default the text is decoded as ``open(path, "r")`` would
    (the locale's encoding, or UTF-8 in UTF-8 mode), strictly. They do not
    apply to a text stream, which is already decoded.

    The parser's path, which it keeps for pickling, is the path as ``str``,
    or None for a file object; a file object is read to its end and left
    open.

    A ``UnicodeDecodeError`` for data that begins as a gzip, bzip2 or xz
    file, a zip archive or zstd or lz4 data does, or with a UTF-16 or UTF-32
    byte-order mark, carries a note saying so.
    """
    # A str of a subclass (numpy.str_, from an array of paths) is passed on
    # as the plain str the compiled reader takes.
    encoding, errors = _plain(encoding), _plain(errors)
    if isinstance(source, (str, os.PathLike)):
        path = os.fspath(source)
        if not isinstance(path, str):
            raise TypeError(f"read() needs a str path, not {type(path).__name__}")
        path = str.__str__(path)
        try:
            if encoding is None and errors is None and decompressor_for(path) is None:
                parser = ORVEXParser(path)
            else:
                with open_binary(path) as stream:
                    parser = read_stream(stream, encoding=encoding, errors=errors, name=path)
        except UnicodeDecodeError as exc:
            error = _error_of_lines(path, encoding, errors, exc)
            _note_start(error, start_in(path, error))
            if error is exc:
                raise
            raise error from None
        refuse_archive(parser, path)
        return parser
    if callable(getattr(source, "read", None)):
        try:
            return read_stream(source, encoding=encoding, errors=errors, name=None)
        except UnicodeDecodeError as exc:
            _note_start(exc, start_piece(exc))
            raise
    raise TypeError(f"read() needs a path or a file object, not {type(source).__name__}")


def _error_of_lines(path: str, encoding: str | None, errors: str | None,
                    exc: UnicodeDecodeError) -> UnicodeDecodeError:
    """The error that reading the lines of the regular file `path` in text
    mode raises, with `exc`'s notes: its positions are within the piece the
    interpreter decoded, as the constructor's are, not within the reader's
    larger piece. `exc` itself when the constructor read the file, when the
    file is compressed or not a regular file, or when reading it again
    raises no such error (it changed meanwhile)."""
    if (encoding is None and errors is None) or decompressor_for(path) is not None \
            or regular_file_size(path) is None:
        return exc
    try:
        # The default named, as read_stream decoded it: no EncodingWarning.
        with open(path, encoding=encoding if encoding is not None else default_encoding(), errors=errors) as fh:
            for _ in fh:
                pass
    except UnicodeDecodeError as again:
        # An error handler may raise the same exception object every time.
        if again is exc:
            return exc
        for note in getattr(exc, "__notes__", ()):
            again.add_note(note)
        return again
    except Exception:  # noqa: BLE001 - the first error stands
        return exc
    return exc


def _plain(text: str | None) -> str | None:
    return str.__str__(text) if isinstance(text, str) else text


def start_in(path: str, exc: UnicodeDecodeError) -> bytes:
    """The first bytes of the data `path` gave, which raised `exc` (b"" when
    not known): a regular file read as it is stored can be looked at again
    from its start; a pipe or decompressed data only through the error's bytes."""
    if decompressor_for(path) is None and regular_file_size(path) is not None:
        return _file_start(path)
    return start_piece(exc)


def start_piece(exc: UnicodeDecodeError) -> bytes:
    """The error's bytes when they are the first piece read (the reader's
    note puts the bad byte at the same offset in the data as in the piece);
    else how the data of a stream that cannot seek back began, as the
    reading kept it; b"" when neither tells."""
    for note in getattr(exc, "__notes__", ()):
        found = _BAD_BYTE_NOTE.match(note)
        if found is not None:
            return bytes(exc.object) if int(found[1]) == exc.start else b""
    start = getattr(exc, _DATA_START, b"")
    return start if isinstance(start, bytes) else b""


def marked_encoding(data: bytes) -> str | None:
    """The encoding, ``"utf-16"`` or ``"utf-32"``, whose byte-order mark `data` begins with; None otherwise."""
    return next((name for mark, name in _WIDE_MARKS if data.startswith(mark)), None)


def _note_start(exc: UnicodeDecodeError, start: bytes) -> None:
    found = compressed_start(start)
    if found is not None:
        kind, suffix = found
        exc.add_note(f"the data is {kind}-compressed: tremix.read decompresses a path ending in {suffix}, "
                     f"or a file object from {_OPENERS[kind]}()")
    elif is_zip_start(start):
        exc.add_note("the data is a zip archive: tremix.read reads a file in it opened with "
                     "zipfile.ZipFile(path).open(name)")
    elif (packed := unread_compression(start)) is not None:
        exc.add_note(f"the data is {packed}-compressed, which tremix.read does not decompress: "
                     "decompress it first")
    elif (wide := marked_encoding(start)) is not None and not exc.encoding.lower().startswith(wide):
        exc.add_note(f"the data starts with a {wide.upper()} byte-order mark: encoding=\"{wide}\" reads it")


class ArchiveError(ValueError):
    """The file is a tar or zip archive, whose headers decoded as text:
    its members' text would be read as one file. `kind` is "tar" or "zip"."""

    def __init__(self, message: str, kind: str) -> None:
        super().__init__(message)
        self.kind = kind

    def __reduce__(self) -> tuple[Any, ...]:
        # Made again from both (a worker process's error comes back pickled), notes kept.
        return type(self), (str(self), self.kind), self.__dict__


# How to read a member of each kind of archive, from a path and from a file object.
_MEMBER_OPENERS = {"tar": "tarfile.open(path).extractfile(name)", "zip": "zipfile.ZipFile(path).open(name)"}
_STREAM_MEMBER_OPENERS = {"tar": "tarfile.open(fileobj=file).extractfile(name)",
                          "zip": "zipfile.ZipFile(file).open(name)"}


def refuse_archive(parser: ORVEXParser, path: str) -> None:
    """Raises ArchiveError when `path`, which `parser` was read from, is a
    tar or zip archive. An archive's header decodes as text (a tar header
    always: NULs, the member's name, octal numbers; a zip header in a
    byte-wise encoding or with an error handler) and no line end ends it,
    so the first member's first line, a delimiter line, is lost in it: the
    file would read as one whose first block is missing, with the blocks of
    every member in one parser. Looked at only when the first line of the
    file lies outside any block: the first bytes of a regular file
    (decompressed when its suffix says so) are read again; anything else (a
    pipe) is told by its text, as a stream is."""
    if not _stray_start(parser):
        return
    if regular_file_size(path) is None:
        refuse_archive_text(parser, path, default_encoding())
        return
    try:
        with open_binary(path) as stream:
            header = stream.read(_TAR_BLOCK)
    except (OSError, EOFError, ValueError, zlib.error, lzma.LZMAError):
        return
    kind = archive_kind(header)
    if kind is not None:
        raise _archive_error(kind, path)


def refuse_archive_text(parser: ORVEXParser, name: str | None, encoding: str | None) -> None:
    """Raises ArchiveError when the text `parser` was read from (a stream,
    which cannot be read again; `name` None when it has none) began as a tar
    or zip archive. The start of its first line, kept by the reading, is
    turned back into bytes in `encoding` (the one it was decoded from, when
    known), UTF-8 or Latin-1, bytes kept by surrogateescape as they were:
    a tar header's checksum holds only for its own bytes. A header with
    bytes an error handler replaced is not recognised."""
    start = _stray_start(parser)
    if not start:
        return
    for candidate in dict.fromkeys(e for e in (encoding, "utf-8", "latin-1") if e):
        try:
            header = start.encode(candidate, "surrogateescape")
        except (LookupError, ValueError, TypeError):  # not a text encoding, or a character it lacks
            continue
        kind = archive_kind(header)
        if kind is not None:
            raise _archive_error(kind, name)


def _stray_start(parser: ORVEXParser) -> str:
    """The start of the first line `parser` read when it lies outside any block; "" otherwise."""
    report = _native.read_report(parser)
    return report["first_line_text"] if report else ""


def _archive_error(kind: str, name: str | None) -> ArchiveError:
    subject, opener = (name, _MEMBER_OPENERS[kind]) if name is not None \
        else ("the stream", _STREAM_MEMBER_OPENERS[kind])
    return ArchiveError(f"{subject} is a {kind} archive, not an ORVEX Neutral file: its members would be read as "
                        f"one text; extract the file first, or read a member opened with {opener}", kind)


def archive_kind(header: bytes) -> str | None:
    """"tar" or "zip" when `header` begins as that kind of archive does; None otherwise."""
    return "tar" if is_tar_start(header) else "zip" if is_zip_start(header) else None


def is_tar_start(data: bytes) -> bool:
    """Whether `data` begins with a tar header (POSIX or GNU): "ustar" at
    offset 257 and the header's checksum right."""
    if len(data) < _TAR_BLOCK or data[257:262] != b"ustar":
        return False
    try:
        stored = int(data[148:156].strip(b" \x00"), 8)
    except ValueError:
        return False
    # The checksum is taken with its own eight bytes read as spaces.
    return stored == sum(data[:148]) + 8 * ord(" ") + sum(data[156:_TAR_BLOCK])


def parser_of(source: ORVEXParser | Source, *, encoding: str | None = None,
              errors: str | None = None) -> ORVEXParser:
    """`source` itself when it is a parser (`encoding` and `errors` must then
    be None), else what :func:`read` makes of it."""
    if isinstance(source, ORVEXParser):
        if encoding is not None or errors is not None:
            raise ValueError("a parser is already read: encoding and errors apply to paths and binary file objects")
        return source
    return read(source, encoding=encoding, errors=errors)


def read_stream(stream: BinaryStream | TextStream, *, encoding: str | None = None, errors: str | None = None,
                name: str | None = None) -> ORVEXParser:
    """Reads an open binary or text stream to its end into a new parser whose
    ``filepath`` is `name`. The stream is left open. A tar or zip archive,
    whose members would read as one text, raises ArchiveError."""
    parser = ORVEXParser.__new__(ORVEXParser)
    if _is_text(stream):
        if encoding is not None or errors is not None:
            raise ValueError("a text stream is already decoded: encoding and errors apply to paths and binary streams")
        _read_text(parser, cast(TextStream, stream), name)
        decoded_from = getattr(stream, "encoding", None)
        refuse_archive_text(parser, name, decoded_from if isinstance(decoded_from, str) else None)
        return parser
    encoding = encoding if encoding is not None else default_encoding()
    _read_bytes(parser, cast(BinaryStream, stream), encoding, errors, name)
    refuse_archive_text(parser, name, encoding)
    return parser


def _read_text(parser: ORVEXParser, stream: TextStream, name: str | None) -> None:
    try:
        _native.read_into(parser, stream, None, None, name)
    except UnicodeDecodeError as exc:
        if isinstance(stream, io.TextIOWrapper):
            _check_cut_short(stream.buffer, exc)
        raise
    if isinstance(stream, io.TextIOWrapper):
        _check_drained(stream.buffer)


def _read_bytes(parser: ORVEXParser, stream: BinaryStream, encoding: str, errors: str | None,
                name: str | None) -> None:
    if _native.decodes_itself(encoding, errors):
        _native.read_into(parser, stream, encoding, errors, name)
        return
    buffer = _buffered(stream)
    try:
        text = io.TextIOWrapper(buffer, encoding=encoding, errors=errors, newline=None)
        try:
            # A pipe decoded here gets no note placing a bad byte, nor can its
            # start be read again: how it begins is looked at now, for the
            # error; after the wrapper took the encoding, so that one it
            # refuses leaves the stream unread.
            start = _peeked_start(buffer)
            _native.read_into(parser, text, None, None, name)
            _check_drained(buffer)
        except UnicodeDecodeError as exc:
            _check_cut_short(buffer, exc)
            if start:
                setattr(exc, _DATA_START, start)
            raise
        finally:
            text.detach()
    finally:
        # So that collecting the buffer does not close the caller's file.
        if isinstance(buffer, io.BufferedReader) and buffer.raw is stream:
            buffer.detach()


def default_encoding() -> str:
    """The encoding ``open(path, "r")`` decodes with."""
    return "utf-8" if sys.flags.utf8_mode else locale.getencoding()


def decompressor_for(path: str) -> Callable[[BinaryStream], io.BufferedIOBase] | None:
    """The decompressing reader a path's suffix asks for, or None."""
    found = _COMPRESSED.get(os.path.splitext(path)[1].lower())
    return found[2] if found is not None else None


def _file_start(path: str) -> bytes:
    """The first bytes of the regular file at `path`, enough to tell a
    compressed file or a byte-order mark; b"" when it cannot be read."""
    try:
        with open(path, "rb") as fh:
            return fh.read(_MAGIC_BYTES)
    except OSError:
        return b""


def compressed_start(data: bytes) -> tuple[str, str] | None:
    """(format, suffix) when `data` begins as a compressed file does; None otherwise."""
    return next(((name, suffix) for suffix, (name, magic, _) in _COMPRESSED.items() if magic.match(data)), None)


def unread_compression(data: bytes) -> str | None:
    """The name of the compressed format `data` begins as, among those that
    are not decompressed (zstd, lz4); None otherwise."""
    return next((name for magic, name in _UNREAD_COMPRESSED if data.startswith(magic)), None)


def is_zip_start(data: bytes) -> bool:
    """Whether `data` begins as a zip archive does."""
    return _ZIP_MAGIC.match(data) is not None


def regular_file_size(path: str) -> int | None:
    """The size of `path` when it is a regular file; None for anything else
    (missing, a directory, a pipe, a device)."""
    try:
        info = os.stat(path)
    except (OSError, ValueError):
        return None
    return info.st_size if stat.S_ISREG(info.st_mode) else None


@contextlib.contextmanager
def open_binary(path: str, wrap: Callable[[BinaryStream], BinaryStream] | None = None) -> Iterator[BinaryStream]:
    """Opens `path` for reading bytes, decompressed when its suffix says so.
    `wrap` wraps the file itself, under any decompressor (to count bytes)."""
    with contextlib.ExitStack() as stack:
        stream: BinaryStream = stack.enter_context(open(path, "rb", buffering=0))
        if wrap is not None:
            stream = wrap(stream)
        decompress = decompressor_for(path)
        if decompress is not None:
            stream = stack.enter_context(decompress(stream))
        yield stream


def _is_text(stream: BinaryStream | TextStream) -> bool:
    if isinstance(stream, io.TextIOBase):
        return True
    if isinstance(stream, (io.RawIOBase, io.BufferedIOBase)):
        return False
    probe = stream.read(0)
    # Data here would be lost: the reading starts with the next read().
    if isinstance(probe, (str, bytes, bytearray, memoryview)) and len(probe):
        raise ValueError(f"read(0) returned {len(probe)} items instead of none: the stream's read(size) must "
                         "return at most size characters or bytes")
    return isinstance(probe, str)


class RawReader(io.RawIOBase):
    """A raw file around an object that only has read(n). Closing it leaves
    that object open."""

    def __init__(self, stream: BinaryStream) -> None:
        super().__init__()
        self._stream = stream
        self._left = memoryview(b"")

    def readable(self) -> bool:
        return True

    def readinto(self, buffer: WriteableBuffer, /) -> int:
        view = memoryview(buffer).cast("B")
        if not self._left:
            # As the compiled reader takes a piece: any bytes-like object,
            # more than was asked for kept for the next calls: copied once
            # (the stream may reuse its buffer), then handed out in slices.
            got = self._stream.read(len(view))
            if got is None:  # io's "no data ready" of a non-blocking stream, as the compiled reader takes it
                raise BlockingIOError(errno.EAGAIN, NO_DATA_READY)
            with memoryview(got) as piece, piece.cast("B") as data:
                n = min(len(data), len(view))
                view[:n] = data[:n]
                if len(data) > n:
                    self._left = memoryview(bytes(data[n:]))
                return n
        n = min(len(self._left), len(view))
        view[:n] = self._left[:n]
        self._left = self._left[n:]
        return n


def _can_tell(stream: io.FileIO) -> bool:
    """Whether `stream` is a file that can tell where it stands and seek:
    a byte that does not decode is then located from where the reading
    began, at its start or part-way through the file."""
    try:
        return stream.seekable() and stream.tell() >= 0
    except (OSError, ValueError):
        return False


def _peeked_start(buffer: BinaryIO) -> bytes:
    """The first bytes of a stream that cannot seek back, looked at without
    taking them; b"" for one that can seek, and for any but io's own
    buffered reader, whose peek() is known to take nothing. An error of
    reading them is the reading's own, raised as it is."""
    if type(buffer) is not io.BufferedReader:
        return b""
    try:
        seekable = buffer.seekable()
    except (OSError, ValueError):
        seekable = False
    return b"" if seekable else bytes(buffer.peek(_MAGIC_BYTES)[:_MAGIC_BYTES])


# What a stream in non-blocking mode that had no data ready while it was
# read raises (the compiled reader says the same).
NO_DATA_READY = ("the stream is in non-blocking mode and had no data ready: its data was not all read; "
                 "read it in blocking mode")


def _check_drained(buffer: BinaryIO) -> None:
    """Raises BlockingIOError when `buffer` is a non-blocking file that had
    no data ready: the text layer takes that for the end of the data, which
    would leave the rest unread without a word. A blocking file (a terminal,
    whose end is typed) is not read again. The byte read to tell is lost
    with the reading, which fails either way; a non-blocking terminal whose
    end was typed has no end to tell either, and fails too."""
    try:
        blocking = os.get_blocking(buffer.fileno())
    except (AttributeError, OSError, ValueError):
        return
    if not blocking and buffer.read(1) != b"":
        raise BlockingIOError(errno.EAGAIN, NO_DATA_READY)


def _check_cut_short(buffer: BinaryIO, exc: UnicodeDecodeError) -> None:
    """The same for `exc` raised at the end of what the text layer took for
    the whole data (a character whose bytes had not all come yet, which the
    decoder then calls truncated): BlockingIOError from `exc` when that end
    was a non-blocking file without data ready."""
    if exc.end == len(exc.object):
        try:
            _check_drained(buffer)
        except BlockingIOError as stalled:
            raise stalled from exc


def _buffered(stream: BinaryStream) -> BinaryIO:
    """`stream` as io.TextIOWrapper takes it."""
    if isinstance(stream, io.BufferedIOBase):
        return cast(BinaryIO, stream)
    if type(stream) is io.FileIO and _can_tell(stream):
        # A buffer that can tell where it stands, so that a byte that does
        # not decode is located in the file (detached after the reading).
        # Not for a subclass, whose read() the buffer would pass over.
        return cast(BinaryIO, io.BufferedReader(stream))
    # Closing the buffer closes the raw file under it, never `stream` itself.
    return cast(BinaryIO, io.BufferedReader(RawReader(stream)))
