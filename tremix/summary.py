"""Readable summary of an ORVEX Neutral file, for ``tremix`` / ``python -m tremix``."""

from __future__ import annotations

import argparse
import json
import math
import os
import sys
from importlib import resources
from typing import Any

import numpy as np

from tremix.core.orvex_parser import ORVEXParser

PROG = "tremix"


def example_path() -> str:
    """Path of the small example file shipped with the package."""
    return str(resources.files("tremix") / "data" / "example.neu")


# ---------------------------------------------------------------------------
# gathering


def summarize(path: str) -> dict[str, Any]:
    """Reads `path` and returns its summary as plain, JSON-ready data."""
    parser = ORVEXParser(path)
    return {
        "path": os.path.abspath(path),
        "size_bytes": os.path.getsize(path),
        "blocks": _blocks(parser),
        "model": parser.get_header(),
        "nodes": _nodes(parser),
        "elements": _elements(parser),
        "properties": len(parser.get_properties()),
        "materials": len(parser.get_materials()),
        "output_sets": [
            {"id": set_id, "title": record["title"], "value": _number(record["value"])}
            for set_id, record in parser.get_output_sets().items()
        ],
        "vectors": [_vector(vector) for vector in parser.get_output_vectors()],
    }


def _blocks(parser: ORVEXParser) -> list[dict[str, int]]:
    blocks = parser.parse() or {}
    return [
        {
            "block_id": block_id,
            "count": len(blocks[block_id]),
            "lines": sum(len(block.lines or ()) for block in blocks[block_id]),
        }
        for block_id in sorted(blocks)
    ]


def _nodes(parser: ORVEXParser) -> dict[str, Any]:
    ids, coords = parser.get_nodes_arrays()
    # A repeated node id means the later record wins, as in get_nodes(): keep
    # the last row of every id so count and box describe the same nodes.
    _, last_rows = np.unique(ids[::-1], return_index=True)
    coords = coords[::-1][last_rows]
    box = None
    if len(coords):
        # fmin/fmax pass over NaN coordinates instead of spreading them.
        box = {
            "min": [_number(v) for v in np.fmin.reduce(coords, axis=0)],
            "max": [_number(v) for v in np.fmax.reduce(coords, axis=0)],
        }
    return {"count": len(coords), "bounding_box": box}


def _elements(parser: ORVEXParser) -> dict[str, Any]:
    topologies = parser.get_elements_arrays()[2]
    codes, counts = np.unique(topologies, return_counts=True)
    return {
        "count": len(topologies),
        "by_topology": {str(code): int(count) for code, count in zip(codes.tolist(), counts.tolist())},
    }


def _vector(vector: dict[str, Any]) -> dict[str, Any]:
    values = np.fromiter(vector["results"].values(), dtype=np.float64, count=len(vector["results"]))
    finite = values[np.isfinite(values)]
    return {
        "set_id": vector["set_id"],
        "vec_id": vector["vec_id"],
        "title": vector["title"],
        "ent_type": vector["ent_type"],
        "count": len(values),
        "min": _number(finite.min()) if len(finite) else None,
        "max": _number(finite.max()) if len(finite) else None,
    }


def _number(value: float) -> float | None:
    """A float for JSON: infinities and NaN (which strict JSON lacks) become None."""
    value = float(value)
    return value if math.isfinite(value) else None


# ---------------------------------------------------------------------------
# formatting


def format_summary(summary: dict[str, Any]) -> str:
    model = summary["model"]
    nodes, elements = summary["nodes"], summary["elements"]
    lines = [
        f"File     {summary['path']}",
        f"Size     {summary['size_bytes']:,} bytes",
        "Title    " + (f"{model['title'] or '(untitled)'}  (version {model['version']})" if model else "(no header)"),
        "",
        "Blocks",
        *_table(
            ["block", "count", "lines"],
            [[row["block_id"], row["count"], f"{row['lines']:,}"] for row in summary["blocks"]],
        ),
        "",
        "Model",
        f"  nodes       {nodes['count']:>9,}" + _box_text(nodes["bounding_box"]),
        f"  elements    {elements['count']:>9,}" + _topology_text(elements["by_topology"]),
        f"  properties  {summary['properties']:>9,}",
        f"  materials   {summary['materials']:>9,}",
    ]
    if summary["output_sets"]:
        lines += [
            "",
            "Output sets",
            *_table(
                ["set", "value", "title"],
                [[row["id"], _fmt(row["value"]), row["title"]] for row in summary["output_sets"]],
                left=[2],
            ),
        ]
    if summary["vectors"]:
        lines += [
            "",
            "Output vectors",
            *_table(
                ["set", "vector", "entity", "values", "min", "max", "title"],
                [
                    [row["set_id"], row["vec_id"], "-" if row["ent_type"] is None else row["ent_type"],
                     f"{row['count']:,}", _fmt(row["min"]), _fmt(row["max"]), row["title"]]
                    for row in summary["vectors"]
                ],
                left=[6],
            ),
        ]
    return "\n".join(lines)


def _table(headers: list[str], rows: list[list[Any]], left: tuple[int, ...] | list[int] = ()) -> list[str]:
    """Columns right-aligned (numbers) except those in `left` (text), two-space gaps."""
    cells = [headers] + [[str(cell) for cell in row] for row in rows]
    widths = [max(len(row[k]) for row in cells) for k in range(len(headers))]
    out = []
    for row in cells:
        parts = [cell.ljust(w) if k in left else cell.rjust(w) for k, (cell, w) in enumerate(zip(row, widths))]
        out.append(("  " + "  ".join(parts)).rstrip())
    return out


def _fmt(value: float | None) -> str:
    return "-" if value is None else f"{value + 0.0:.6g}"  # + 0.0 shows -0.0 as 0


def _box_text(box: dict[str, list[float | None]] | None) -> str:
    if box is None:
        return ""
    spans = ", ".join(f"{axis} {_fmt(lo)} .. {_fmt(hi)}" for axis, lo, hi in zip("xyz", box["min"], box["max"]))
    return f"   box {spans}"


def _topology_text(by_topology: dict[str, int]) -> str:
    if not by_topology:
        return ""
    return "   by topology " + ", ".join(f"{code}: {count:,}" for code, count in by_topology.items())


# ---------------------------------------------------------------------------
# command


def _error_text(path: str, exc: BaseException) -> str:
    """One line saying what went wrong with `path`, in the user's terms."""
    if isinstance(exc, FileNotFoundError):
        return f"no such file: {path}"
    if isinstance(exc, IsADirectoryError):
        return f"{path} is a directory, not a file"
    if isinstance(exc, PermissionError):
        return f"permission denied: {path}"
    if isinstance(exc, UnicodeDecodeError):
        return (f"{path} is not readable as {exc.encoding} text "
                f"(byte 0x{exc.object[exc.start]:02x} at offset {exc.start})")
    if isinstance(exc, OverflowError):
        return f"{path} holds a number outside the signed 32-bit range ({exc})"
    if isinstance(exc, OSError):
        return f"cannot read {path}: {exc.strerror or exc}"
    return f"cannot read {path}: {exc}"


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(
        prog=PROG,
        description="Summarise an ORVEX Neutral file: its blocks, model and analysis results.",
    )
    ap.add_argument("file", nargs="?", help="file to read (default: the example file shipped with tremix)")
    ap.add_argument("--json", action="store_true", help="print the summary as JSON")
    args = ap.parse_args(argv)
    path = args.file or example_path()
    try:
        summary = summarize(path)
    except (OSError, UnicodeDecodeError, OverflowError) as exc:
        print(f"{PROG}: error: {_error_text(path, exc)}", file=sys.stderr)
        return 1
    text = json.dumps(summary, indent=2, allow_nan=False) if args.json else format_summary(summary)
    try:
        print(text)
        sys.stdout.flush()
    except BrokenPipeError:
        # The reader (head, less) went away: not an error of ours. Point stdout
        # at devnull so the interpreter's final flush stays quiet.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
    return 0
