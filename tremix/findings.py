"""What checking a file reports: the Finding record and its presentations
(one line per finding, counts per kind, JSON-ready data)."""

from __future__ import annotations

import os
from collections.abc import Iterable
from dataclasses import dataclass
from typing import Any

# Every kind of finding, in the order reports list them.
KINDS = (
    "no-blocks",
    "unclosed-block",
    "delimiter-at-end",
    "stray-text",
    "bad-block-number",
    "delimiter-like-line",
    "skipped-line",
    "vector-overrun",
    "vector-without-entity-type",
    "vector-unterminated",
    "range-count",
    "out-of-range",
    "more-findings",
)


@dataclass(frozen=True)
class Finding:
    """One thing the reader passes over, cuts short or cannot read.

    `line` is the 1-based line number in the file, or None where no file line
    is known (blocks whose lines were replaced or made by a program, an
    unpickled parser, findings about the whole file); `message` then says
    where. `block_id` is the number of the block concerned, or None for text
    outside blocks and for the whole file.
    """

    kind: str
    block_id: int | None
    line: int | None
    message: str

    def format(self, path: str | os.PathLike[str] | None = None) -> str:
        """`FILE:LINE: block B: message`; parts that are not known are left out."""
        head = "" if path is None else os.fspath(path)
        if self.line is not None:
            head = f"{head}:{self.line}" if head else str(self.line)
        parts = [head] if head else []
        if self.block_id is not None:
            parts.append(f"block {self.block_id}")
        parts.append(self.message)
        return ": ".join(parts)

    def as_dict(self) -> dict[str, Any]:
        """The finding as JSON-ready data."""
        return {"kind": self.kind, "block_id": self.block_id, "line": self.line, "message": self.message}


def count_by_kind(findings: Iterable[Finding]) -> dict[str, int]:
    """How many findings of each kind, kinds in report order (absent kinds left out)."""
    counts = dict.fromkeys(KINDS, 0)
    for finding in findings:
        counts[finding.kind] = counts.get(finding.kind, 0) + 1
    return {kind: n for kind, n in counts.items() if n}


def format_lines(findings: Iterable[Finding], path: str | os.PathLike[str] | None = None, limit: int | None = None) -> list[str]:
    """One `FILE:LINE: block B: message` line per finding; past `limit` lines,
    one line tells how many more there are. A more-findings finding past the
    limit is still shown after it: it alone counts what checking left out,
    so the line of the rest does not count it as one finding."""
    findings = list(findings)
    shown = findings if limit is None else findings[: max(limit, 0)]
    lines = [finding.format(path) for finding in shown]
    counts = [finding for finding in findings[len(shown):] if finding.kind == "more-findings"]
    rest = len(findings) - len(shown) - len(counts)
    if rest:
        lines.append(f"... and {rest:,} more finding{'s' if rest != 1 else ''}")
    return lines + [finding.format(path) for finding in counts]
