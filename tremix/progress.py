"""A status line on a terminal, and a binary file that reports its reading."""

from __future__ import annotations

import time
from collections.abc import Callable
from typing import TYPE_CHECKING, TextIO

from tremix.reading import BinaryStream, RawReader

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
        # Spaces cover what is left of a longer earlier text.
        self._write("\r" + text + " " * max(0, self._width - len(text)))
        self._width = len(text)

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


class CountingReader(RawReader):
    """Reads from `raw` and calls `on_read` with the number of bytes read so
    far after every read. Closing it leaves `raw` open."""

    def __init__(self, raw: BinaryStream, on_read: Callable[[int], None]) -> None:
        super().__init__(raw)
        self._on_read = on_read
        self._total = 0

    def read(self, size: int = -1) -> bytes:
        data = self._stream.read(size)
        self._count(len(data))
        return data

    def readinto(self, buffer: WriteableBuffer, /) -> int:
        n = super().readinto(buffer)
        self._count(n)
        return n

    def _count(self, n: int) -> None:
        self._total += n
        self._on_read(self._total)
