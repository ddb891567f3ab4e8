"""A line on standard error for the command, from its start on: nothing is
imported here that could fail or take long (the compiled reader, NumPy)."""

from __future__ import annotations

import contextlib
import sys


def say(text: str) -> None:
    """Writes `text` and a line end on standard error; nothing when it is
    closed (print() would write to standard output when it is None) or
    cannot be written."""
    if sys.stderr is not None:
        with contextlib.suppress(OSError, ValueError):
            print(text, file=sys.stderr, flush=True)
