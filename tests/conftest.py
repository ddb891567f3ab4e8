"""Shared helpers for the test suite.

Tests import the installed package (pytest runs with --import-mode=importlib
and `python -P`, so the source folder never shadows the built module).
"""

from __future__ import annotations

import os
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
# The benchmark's file generator and plain-Python reader are importable for
# tests that compare the module with the plain rules on generated files.
sys.path.insert(0, str(ROOT / "bench"))
# Shared Hypothesis strategies and helpers that sit beside the tests.
sys.path.insert(0, str(ROOT / "tests"))

from storage import STORAGES, in_storage  # noqa: E402

DELIMITER = "   -1"

# A run whose process may end without a word (the sanitizer run: a runtime
# that exits on its own) names the test it was in: each test's id is written
# to this file as it starts.
_LAST_TEST = os.environ.get("TREMIX_LAST_TEST_FILE")
if _LAST_TEST:

    def pytest_runtest_logstart(nodeid, location):
        with open(_LAST_TEST, "w") as f:
            f.write(nodeid + "\n")

# UndefinedBehaviorSanitizer's runtime, preloaded after AddressSanitizer's,
# hands its log_path to AddressSanitizer's runtime (the call that sets it is
# resolved to the first runtime loaded) and keeps writing its own reports to
# standard error, where pytest holds them until the test ends: a report that
# ends the process would vanish with it. Its own setter, looked up in its
# own library, sends them to the file the run prints.
_UBSAN_LOG = os.environ.get("TREMIX_UBSAN_LOG_PATH")
if _UBSAN_LOG:
    import ctypes

    ctypes.CDLL(os.environ["TREMIX_UBSAN_LIB"], mode=os.RTLD_NOLOAD | os.RTLD_LAZY).__sanitizer_set_report_path(
        os.fsencode(_UBSAN_LOG))


def neu_text(*blocks: tuple[int | str, list[str]]) -> str:
    """Text of a file made of the given (block id, data lines) blocks."""
    out: list[str] = []
    for block_id, lines in blocks:
        out.append(DELIMITER)
        out.append(f"{block_id:>6}" if isinstance(block_id, int) else block_id)
        out.extend(lines)
        out.append(DELIMITER)
    return "\n".join(out) + "\n"


@pytest.fixture
def write_neu(tmp_path):
    """Writes a file and returns its path: `write_neu(text)` with raw text, or
    `write_neu(blocks=[(403, [...]), ...])`."""
    counter = iter(range(10**9))

    def write(text: str | None = None, *, blocks=None, encoding: str = "utf-8", newline: str | None = None) -> str:
        if text is None:
            text = neu_text(*(blocks or []))
        path = tmp_path / f"file{next(counter)}.neu"
        with open(path, "w", encoding=encoding, newline=newline) as f:
            f.write(text)
        return str(path)

    return write


@pytest.fixture(params=STORAGES)
def storage(request):
    """Where a parser's lines are held: every test that uses it runs on both."""
    return request.param


@pytest.fixture
def parser_for(write_neu, storage):
    """`parser_for(blocks=[...])` or `parser_for(text)`: a parser of that file,
    its lines held as stored text and again as lists."""
    from tremix.core.orvex_parser import ORVEXParser

    def make(text: str | None = None, *, blocks=None) -> ORVEXParser:
        return in_storage(ORVEXParser(write_neu(text, blocks=blocks)), storage)

    return make
