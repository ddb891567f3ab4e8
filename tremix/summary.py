"""Readable summary of an ORVEX Neutral file, for ``python -m tremix``."""

from __future__ import annotations

import argparse
import os
import sys
from importlib import resources

from tremix.core.orvex_parser import ORVEXParser


def example_path() -> str:
    """Path of the small example file shipped with the package."""
    return str(resources.files("tremix") / "data" / "example.neu")


def summarize(path: str) -> dict:
    """Reads `path` and returns its summary as plain data."""
    parser = ORVEXParser(path)
    blocks = parser.parse()
    return {
        "path": os.path.abspath(path),
        "size_bytes": os.path.getsize(path),
        "blocks": [
            {
                "block_id": block_id,
                "count": len(block_list),
                "lines": sum(len(block.lines) for block in block_list),
            }
            for block_id, block_list in blocks.items()
        ],
    }


def format_summary(summary: dict) -> str:
    lines = [
        f"File:  {summary['path']}",
        f"Size:  {summary['size_bytes']:,} bytes",
        "",
        "Blocks",
        f"  {'block':>6}  {'count':>5}  {'lines':>9}",
    ]
    for row in summary["blocks"]:
        lines.append(f"  {row['block_id']:>6}  {row['count']:>5}  {row['lines']:>9,}")
    return "\n".join(lines)


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(prog="python -m tremix", description="Summarise an ORVEX Neutral file.")
    ap.add_argument("file", nargs="?", help="file to read (default: the bundled example)")
    args = ap.parse_args(argv)
    path = args.file or example_path()
    try:
        summary = summarize(path)
    except (OSError, UnicodeDecodeError, OverflowError) as exc:
        print(f"error: cannot read {path}: {exc}", file=sys.stderr)
        return 1
    print(format_summary(summary))
    return 0
