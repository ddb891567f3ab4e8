"""A status line on a terminal, and a binary file that reports its reading."""

from __future__ import annotations

import errno
import os
import time
import unicodedata
from collections.abc import Callable
from typing import TYPE_CHECKING, TextIO

from tremix.reading import NO_DATA_READY, BinaryStream, RawReader

if TYPE_CHECKING:
    from _typeshed import WriteableBuffer


class StatusLine:
    """One line of text on `stream`, rewritten in place (at most every
    `interval` seconds unless forced) until :meth:`clear` erases it."""

    def __init__(self, stream: TextIO, interval: float = 0.1) -> None:
        self._stream: TextIO | None = stream
        self._interval = interval
        self._shown_at = float("-inf")
        self._width = 0

    def show(self, text: str, *, force: bool = False) -> None:
        now = time.monotonic()
        if not force and now - self._shown_at < self._interval:
            return
        self._shown_at = now
        # As the stream writes it (escaped where its encoding falls short),
        # measured in the terminal's columns: spaces cover what is left of
        # a wider earlier text, and clear() all of it.
        encoding = getattr(self._stream, "encoding", None) or "utf-8"
        text = _fitted(text.encode(encoding, "backslashreplace").decode(encoding), self._room())
        width = _columns(text)
        self._write("\r" + text + " " * max(0, self._width - width))
        self._width = width

    def _room(self) -> int | None:
        """The terminal's width less one (a line that fills it would wrap,
        and "\\r" then return to its second row only); None when not known."""
        try:
            return os.get_terminal_size(self._stream.fileno()).columns - 1  # type: ignore[union-attr]
        except (AttributeError, OSError, ValueError):
            return None

    def clear(self) -> None:
        if self._width:
            self._write("\r" + " " * self._width + "\r")
            self._width = 0

    def _write(self, text: str) -> None:
        # A terminal gone (hung up, closed) ends the display, not the reading.
        if self._stream is None:
            return
        try:
            self._stream.write(text)
            self._stream.flush()
        except (OSError, ValueError):
            self._stream = None


def _columns(text: str) -> int:
    """The terminal columns `text` takes: two for a wide or full-width
    character (CJK), none for a combining mark, one for any other."""
    return sum(0 if unicodedata.combining(c) else 2 if unicodedata.east_asian_width(c) in "WF" else 1
               for c in text)


def _fitted(text: str, columns: int | None) -> str:
    """`text` cut in its middle (where a file name stands) to `columns`."""
    if columns is None or columns < 8 or _columns(text) <= columns:
        return text
    head, tail = text[:len(text) // 2], text[len(text) // 2:]
    while _columns(head) + 3 + _columns(tail) > columns:
        if len(head) >= len(tail):
            head = head[:-1]
        else:
            tail = tail[1:]
    return head + "..." + tail


class CountingReader(RawReader):
    """Reads from `raw` and calls `on_read` with the number of bytes read so
    far after every read. Closing it leaves `raw` open."""

    def __init__(self, raw: BinaryStream, on_read: Callable[[int], None]) -> None:
        super().__init__(raw)
        self._on_read = on_read
        self._total = 0

    def read(self, size: int = -1) -> bytes:
        data = self._stream.read(size)
        if data is None:  # as RawReader.readinto: no data ready is not the end
            raise BlockingIOError(errno.EAGAIN, NO_DATA_READY)
        self._count(len(data))
        return data

    def readinto(self, buffer: WriteableBuffer, /) -> int:
        n = super().readinto(buffer)
        self._count(n)
        return n

    def _count(self, n: int) -> None:
        self._total += n
        self._on_read(self._total)
