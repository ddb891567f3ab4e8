"""The summary ``tremix FILE`` prints: gathered as JSON-ready data, then formatted.

Gathering reads only what a summary shows, from the compact forms: block
sizes without the lines, and one check of the file, whose record walks
(on two threads, without the interpreter lock) also give the catalogue of
result vectors with their ranges, the node coordinates and the element
topologies.
"""

from __future__ import annotations

import math
import os
from collections.abc import Callable
from concurrent.futures import Future
from importlib import resources
from typing import Any

import numpy as np

from tremix._records import dict_rows
from tremix.checking import Catalogue, _check_for_summary, _check_with_catalogue, own_method
from tremix.core import _native
from tremix.core.orvex_parser import ORVEXParser
from tremix.findings import Finding, count_by_kind, format_lines
from tremix.reading import read, regular_file_size
from tremix.results import Results

# Findings the text summary shows one by one; the rest are counted.
FINDINGS_SHOWN = 5
# tremix --strict lists at most this many findings a file, then says how many more.
STRICT_LINES = 1000
# The path of a summary of standard input, as the tremix command takes it.
STDIN = "-"


def example_path() -> str:
    """Path of the small example file shipped with the package."""
    return str(resources.files("tremix") / "data" / "example.neu")


# ---------------------------------------------------------------------------
# gathering


def summarize(path: str | os.PathLike[str], *, encoding: str | None = None,
              errors: str | None = None) -> dict[str, Any]:
    """Reads `path` (as ``tremix.read`` does) and returns its summary as plain, JSON-ready data."""
    path = os.fspath(path)
    return summary_of(read(path, encoding=encoding, errors=errors), path)


def summary_of(parser: ORVEXParser, path: str | None) -> dict[str, Any]:
    """The summary of a parser read from `path`, with what checking it finds;
    `path` None for a parser read from a file object (its summary's path and
    size are then None: no path is looked at)."""
    walked = _walked_once(parser)
    if isinstance(walked, tuple):
        found, catalogue, model = walked
        findings: Callable[[], list[Finding]] = lambda: found
        nodes = (_done(_nodes_of(*model["nodes"])) if model and model["nodes"] is not None
                 else _now(_nodes, parser))
        elements = (_done(_elements_of(model["topologies"])) if model and model["topologies"] is not None
                    else _now(_elements, parser))
    else:
        # The check's walk over the result vectors also gives their
        # catalogue, with each vector's value range. Each runs on this
        # thread: code of an override that summarises the parser again
        # then recurses on one stack, to a RecursionError, rather than
        # start thread after thread.
        checked = _now(_check_with_catalogue, parser)
        nodes = _now(_nodes, parser)
        elements = _now(_elements, parser)
        catalogue = _checked_catalogue(checked)

        def findings() -> list[Finding]:
            # The check's error, if any, is raised here, after the rest; so
            # is what the walks raised once and not again (an exception of
            # a signal handler that ran meanwhile, say).
            found: list[Finding] = checked.result()[0]
            if walked is not None:  # nodes and elements, asked for before, raised nothing either
                raise walked
            return found
    # Read here when the check gave none, its error (as the other parts')
    # raised where its part comes: the first part that fails names the error.
    catalogued = _now(lambda p: _catalogue(p, catalogue), parser)
    return {
        "path": None if path is None else os.path.abspath(path),
        # None for a pipe or a device, whose size says nothing of what was read.
        "size_bytes": None if path is None else regular_file_size(path),
        "blocks": _blocks(parser),
        "model": parser.get_header(),
        "nodes": nodes.result(),
        "elements": elements.result(),
        "properties": len(parser.get_properties()),
        "materials": len(parser.get_materials()),
        "output_sets": [
            {"id": set_id, "title": record["title"], "value": _number(record["value"])}
            for set_id, record in parser.get_output_sets().items()
        ],
        # Only a vector with a repeated entity reads its arrays, here: on
        # this thread Ctrl-C stops the reading, and nothing goes on after.
        "vectors": _vectors(catalogued.result()),
        "findings": [finding.as_dict() for finding in findings()],
    }


def _walked_once(parser: ORVEXParser
                 ) -> tuple[list[Finding], Catalogue | None, dict[str, Any] | None] | Exception | None:
    """The check, the catalogue and the model's arrays from one set of
    walks, on two threads; None when the parser's own array forms are
    replaced (their results are then asked for), or what the check raised
    (it is then run as before, so that the same error is raised in the same
    order)."""
    if not all(own_method(parser, name) for name in ("get_nodes_arrays", "get_elements_arrays")):
        return None
    try:
        return _check_for_summary(parser)
    except RecursionError:
        # An override that summarises the parser again: the check run
        # again would recurse again, at every depth.
        raise
    except Exception as exc:
        return exc


def _done(value: Any) -> Future[Any]:
    future: Future[Any] = Future()
    future.set_result(value)
    return future


def _now(function: Callable[[ORVEXParser], Any], parser: ORVEXParser) -> Future[Any]:
    """function(parser) run here, as a finished future: its result, or the
    error it raised (raised where the result is asked for). A RecursionError
    is raised at once: an override that summarises the parser again would
    otherwise recurse anew for each part of the summary, at every depth."""
    future: Future[Any] = Future()
    try:
        future.set_result(function(parser))
    except RecursionError:
        raise
    except Exception as exc:
        future.set_exception(exc)
    return future


def _checked_catalogue(checked: Future[tuple[list[Finding], Catalogue | None]]) -> Catalogue | None:
    try:
        return checked.result()[1]
    except Exception:
        # The check's error is raised where its findings are asked for.
        return None


def _catalogue(parser: ORVEXParser, catalogue: Catalogue | None) -> Catalogue:
    # Read on its own when the check gave none: a partial one is never
    # shown, and an error of reading it is raised as reading it raises.
    return catalogue if catalogue is not None else _native.vector_catalogue(parser, True)


def _vectors(catalogue: Catalogue) -> list[dict[str, Any]]:
    blocks, entries = catalogue
    results = Results._from_catalogue(blocks, entries)
    return [_vector(results, k, entry[10:]) for k, entry in enumerate(entries)]


def _blocks(parser: ORVEXParser) -> list[dict[str, int]]:
    # Sizes come without making the blocks' lines lists (about 2.5 times
    # the file in memory).
    rows: dict[int, dict[str, int]] = {}
    for block_id, lines, _first, _unclosed in _native.block_sizes(parser):
        row = rows.setdefault(block_id, {"block_id": block_id, "count": 0, "lines": 0})
        row["count"] += 1
        row["lines"] += lines or 0
    return [rows[block_id] for block_id in sorted(rows)]


def _nodes(parser: ORVEXParser) -> dict[str, Any]:
    return _nodes_of(*parser.get_nodes_arrays())


def _nodes_of(ids: np.ndarray, coords: np.ndarray) -> dict[str, Any]:
    # A repeated node id means the later record wins, as in get_nodes(): keep
    # one row per id so count and box describe the same nodes. The rows kept
    # come in no order (a sort fewer), and are put in get_nodes() order only
    # where that decides the box: a bound of 0 on an axis holding both -0.0
    # and 0.0, where the first node's zero stands.
    keep = dict_rows(ids, ordered=False)
    kept = coords if keep is None else coords[keep]
    box = _box(kept)
    if keep is not None and box is not None and any(
            _both_zeros(kept[:, axis]) for axis in range(3) if box[0][axis] == 0 or box[1][axis] == 0):
        box = _box(coords[dict_rows(ids)])
    return {"count": len(kept),
            "bounding_box": None if box is None else {"min": [_number(v) for v in box[0]],
                                                      "max": [_number(v) for v in box[1]]}}


def _box(coords: np.ndarray) -> tuple[np.ndarray, np.ndarray] | None:
    """The box of the finite coordinates, read a piece at a time; of equal
    bounds the earlier piece's stands."""
    if not len(coords):
        return None
    low, high = _box_of(coords[:_BOX_ROWS])
    for k in range(_BOX_ROWS, len(coords), _BOX_ROWS):
        more_low, more_high = _box_of(coords[k:k + _BOX_ROWS])
        low = np.where((more_low < low) | np.isnan(low), more_low, low)
        high = np.where((more_high > high) | np.isnan(high), more_high, high)
    return low, high


def _both_zeros(values: np.ndarray) -> bool:
    """Whether `values` hold both -0.0 and 0.0."""
    signs = np.signbit(values[values == 0])
    return bool(signs.any()) and not bool(signs.all())


# Rows of the node table bounded at a time: its copies stay under 2 MB.
_BOX_ROWS = 1 << 16


def _box_of(coords: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """The smallest and largest finite coordinate of each axis (NaN for an
    axis without one): fmin/fmax pass over NaN coordinates instead of
    spreading them, and each axis is reduced as one contiguous row (along
    the rows of the (n, 3) table it is seven times slower)."""
    axes = np.ascontiguousarray(coords.T)
    low, high = np.fmin.reduce(axes, axis=1), np.fmax.reduce(axes, axis=1)
    if not (np.isfinite(low).all() and np.isfinite(high).all()):
        # An infinite coordinate: the box, as a vector's range, is that of
        # the finite ones (an axis with none has no bounds).
        finite = np.where(np.isfinite(axes), axes, np.nan)
        low, high = np.fmin.reduce(finite, axis=1), np.fmax.reduce(finite, axis=1)
    for bounds in (low, high):
        _first_zero(axes, bounds)
    return low, high


def _first_zero(axes: np.ndarray, bounds: np.ndarray) -> None:
    """A bound of 0 takes the sign of the first zero on its axis: fmin and
    fmax do not tell -0.0 from 0.0, and the first of equal values stands,
    as in a vector's range."""
    for axis in np.flatnonzero(bounds == 0):
        bounds[axis] = axes[axis][np.argmax(axes[axis] == 0)]


def _elements(parser: ORVEXParser) -> dict[str, Any]:
    return _elements_of(parser.get_elements_arrays()[2])


def _elements_of(topologies: np.ndarray) -> dict[str, Any]:
    codes, counts = np.unique(topologies, return_counts=True)
    return {
        "count": len(topologies),
        "by_topology": {str(code): int(count) for code, count in zip(codes.tolist(), counts.tolist())},
    }


def _vector(results: Results, position: int, value_range: tuple[Any, ...]) -> dict[str, Any]:
    info = results[position]
    low, high, repeats = value_range
    if repeats:
        # An entity written twice: the summary ranges the entities as
        # get_output_vectors() holds them (the later value wins), which
        # takes the arrays.
        ids, values = results.arrays_at(position)
        keep = dict_rows(ids, ordered=False)
        low, high = _range_of(values if keep is None else values[keep])
        if keep is not None and 0 in (low, high) and _both_zeros(values[keep]):
            # Which zero stands depends on the entities' order, which the
            # rows kept in no order lose: taken in order only then.
            low, high = _range_of(values[dict_rows(ids)])
    return {
        "set_id": info.set_id,
        "vec_id": info.vec_id,
        "title": info.title,
        "ent_type": info.ent_type,
        "count": info.count,
        "min": None if low is None else _number(low),
        "max": None if high is None else _number(high),
    }


def _range_of(values: np.ndarray) -> tuple[Any, Any]:
    """The smallest and largest finite value, (None, None) for none; argmin
    and argmax give the first of equal values (-0.0 and 0.0), which stands,
    as where no entity repeats."""
    finite = values[np.isfinite(values)]
    return (finite[finite.argmin()], finite[finite.argmax()]) if len(finite) else (None, None)


def _number(value: float) -> float | None:
    """A float for JSON: infinities and NaN (which strict JSON lacks) become None."""
    value = float(value)
    return value if math.isfinite(value) else None


# ---------------------------------------------------------------------------
# formatting


def format_summary(summary: dict[str, Any]) -> str:
    """The summary as the text ``tremix FILE`` prints: the sections of
    :data:`SECTIONS` that have something to say, a blank line between."""
    return "\n\n".join("\n".join(lines) for lines in (section(summary) for section in SECTIONS) if lines)


def _file_section(summary: dict[str, Any]) -> list[str]:
    model = summary["model"]
    if model:
        # The version line of a file usually ends in a comma ("11.4,"): shown without it.
        version = model["version"].rstrip(",").rstrip()
        title = f"{model['title'] or '(untitled)'}  ({f'version {version}' if version else 'no version'})"
    else:
        title = "(no header)"
    path, size = summary["path"], summary["size_bytes"]
    if size is not None:
        size_text = f"{size:,} bytes"
    elif path is None or path == STDIN:
        size_text = "unknown (read as a stream)"
    else:
        size_text = "unknown (not a regular file)"
    shown = {None: "(a file object)", STDIN: f"{STDIN} (standard input)"}.get(path, path)
    return [f"File     {shown}", f"Size     {size_text}", f"Title    {title}"]


def _blocks_section(summary: dict[str, Any]) -> list[str]:
    return ["Blocks", *_table(["block", "count", "lines"],
                              [[row["block_id"], f"{row['count']:,}", f"{row['lines']:,}"]
                               for row in summary["blocks"]])]


def _model_section(summary: dict[str, Any]) -> list[str]:
    nodes, elements = summary["nodes"], summary["elements"]
    return [
        "Model",
        f"  nodes       {nodes['count']:>9,}" + _box_text(nodes["bounding_box"]),
        f"  elements    {elements['count']:>9,}" + _topology_text(elements["by_topology"]),
        f"  properties  {summary['properties']:>9,}",
        f"  materials   {summary['materials']:>9,}",
    ]


def _output_sets_section(summary: dict[str, Any]) -> list[str]:
    if not summary["output_sets"]:
        return []
    return ["Output sets", *_table(["set", "value", "title"],
                                   [[row["id"], _fmt(row["value"]), row["title"]] for row in summary["output_sets"]],
                                   left=[2])]


def _vectors_section(summary: dict[str, Any]) -> list[str]:
    if not summary["vectors"]:
        return []
    rows = [[row["set_id"], row["vec_id"], "-" if row["ent_type"] is None else row["ent_type"], f"{row['count']:,}",
             _fmt(row["min"]), _fmt(row["max"]), row["title"]] for row in summary["vectors"]]
    return ["Output vectors", *_table(["set", "vector", "entity", "values", "min", "max", "title"], rows, left=[6])]


def _findings_section(summary: dict[str, Any]) -> list[str]:
    findings = [Finding(**item) for item in summary["findings"]]
    if not findings:
        return []
    counts = count_by_kind(findings)
    lines = [f"Findings  (tremix --strict lists up to {STRICT_LINES:,} a file)",
             *_table(["kind", "count"], [[kind, f"{n:,}"] for kind, n in counts.items()], left=[0])]
    name = None if summary["path"] is None else os.path.basename(summary["path"])
    return lines + ["  " + line for line in format_lines(findings, name, limit=FINDINGS_SHOWN)]


# The sections of the text summary, in order; each gives its lines, or none
# to be left out.
SECTIONS: list[Callable[[dict[str, Any]], list[str]]] = [
    _file_section, _blocks_section, _model_section, _output_sets_section, _vectors_section, _findings_section,
]


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
