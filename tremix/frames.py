"""A parser's model and results as pandas frames, built from the array forms.

    from tremix import frames, read

    parser = read("bracket.neu")
    frames.nodes(parser)                 # x, y, z by node id
    frames.vector(parser, 1, 9001)       # values by entity id

Each function also takes what ``tremix.read`` takes (a path, a file object)
and reads it first, with the `encoding` and `errors` given.

Frames hold one row per id, as the dict results do: when a file writes an
id twice, the later record's values stand at the first record's place.
pandas is an optional dependency of tremix (the ``pandas`` extra).
"""

from __future__ import annotations

import numpy as np
import numpy.typing as npt

try:
    import pandas as pd
except ImportError as exc:  # pragma: no cover - depends on the environment
    raise ImportError('tremix.frames needs pandas (the "pandas" extra of tremix); '
                      "install it with: pip install pandas") from exc

from tremix._records import dict_rows
from tremix.core.orvex_parser import ORVEXParser
from tremix.reading import Source, parser_of
from tremix.results import Results

__all__ = ["elements", "nodes", "output_sets", "vector"]


def nodes(source: ORVEXParser | Source, *, encoding: str | None = None, errors: str | None = None) -> pd.DataFrame:
    """Columns ``x``, ``y``, ``z`` (float64), indexed by node id (``node_id``,
    int32), in file order: the nodes of ``get_nodes()``."""
    ids, coords = _distinct_nodes(parser_of(source, encoding=encoding, errors=errors))
    return pd.DataFrame(coords, index=pd.Index(ids, name="node_id"), columns=["x", "y", "z"])


def elements(source: ORVEXParser | Source, *, encoding: str | None = None, errors: str | None = None) -> pd.DataFrame:
    """One row per element of ``get_elements_arrays()``, indexed by element id
    (``element_id``; repeated ids kept, as there), with the columns

    - ``prop_id``, ``topology``, ``node_count`` (int32);
    - ``node_0`` ... ``node_{k-1}``: the element's node ids, k being the
      largest node count; <NA> past an element's own count (nullable Int32);
    - ``row_0`` ... ``row_{k-1}``: the same nodes as row positions in
      :func:`nodes` (so ``nodes(parser).to_numpy()[row]`` is a node's x, y,
      z); <NA> past the count and for a node id that no node record has.
    """
    parser = parser_of(source, encoding=encoding, errors=errors)
    element_ids, prop_ids, topologies, connectivity, offsets = parser.get_elements_arrays()
    counts = np.diff(offsets).astype(np.int32)
    m, width = len(counts), int(counts.max()) if len(counts) else 0
    owner = np.repeat(np.arange(m), counts)
    slot = np.arange(len(connectivity)) - offsets[:-1][owner]
    node_ids, _ = _distinct_nodes(parser)
    rows = pd.Index(node_ids).get_indexer(pd.Index(connectivity))  # -1: no such node

    columns: dict[str, object] = {"prop_id": prop_ids, "topology": topologies, "node_count": counts}
    no_gaps = np.zeros(len(connectivity), dtype=bool)
    columns.update(_slot_columns("node", owner, slot, (m, width), connectivity, no_gaps))
    columns.update(_slot_columns("row", owner, slot, (m, width), rows.astype(np.int32), rows < 0))
    return pd.DataFrame(columns, index=pd.Index(element_ids, name="element_id"))


def vector(source: ORVEXParser | Results | Source, set_id: int, vec_id: int, occurrence: int = 0, *,
           encoding: str | None = None, errors: str | None = None) -> pd.Series[float]:
    """The values (float64) of one result vector indexed by entity id
    (``entity_id``, int32), named by the vector's title: the ``results`` of
    that vector in ``get_output_vectors()``. `occurrence` picks among
    vectors with the same ids (0 the first, -1 the last).

    Pass a :class:`tremix.Results` to read many vectors of one file: made
    from a parser, it is a walk over every vector's lines first.
    KeyError when the file has no such vector."""
    if isinstance(source, Results):
        if encoding is not None or errors is not None:
            raise ValueError("a Results is already read: encoding and errors apply to paths and binary file objects")
        results = source
    else:
        results = Results(source, encoding=encoding, errors=errors)
    position = results.position(set_id, vec_id, occurrence)
    ids, values = results.arrays_at(position)
    # One row per id, the later value kept: the catalogue's count may no
    # longer say whether an id repeats, after an edit Results still reads.
    keep = dict_rows(ids)
    if keep is not None:
        ids, values = ids[keep], values[keep]
    return pd.Series(values, index=pd.Index(ids, name="entity_id"), name=results[position].title)


def output_sets(source: ORVEXParser | Source, *, encoding: str | None = None,
                errors: str | None = None) -> pd.DataFrame:
    """Columns ``title`` and ``value`` (float64), indexed by set id
    (``set_id``, int32): ``get_output_sets()``."""
    sets = parser_of(source, encoding=encoding, errors=errors).get_output_sets()
    return pd.DataFrame(
        # Typed as text even without rows (an empty list would make a float
        # column), so that frames of several files concatenate alike.
        {"title": _text_index([record["title"] for record in sets.values()]),
         "value": np.array([record["value"] for record in sets.values()], dtype=np.float64)},
        index=pd.Index(np.array(list(sets), dtype=np.int32), name="set_id"),
    )


def _text_index(texts: list[str]) -> pd.Index:
    """`texts` as pandas' text type, or as Python objects when one holds a
    lone surrogate (text read with errors="surrogateescape", a file name
    that is not UTF-8): pandas' text type, stored by pyarrow where that is
    installed, holds only what UTF-8 can encode."""
    try:
        return pd.Index(texts, dtype=str)
    except UnicodeEncodeError:
        return pd.Index(texts, dtype=object)


def _distinct_nodes(parser: ORVEXParser) -> tuple[npt.NDArray[np.int32], npt.NDArray[np.float64]]:
    ids, coords = parser.get_nodes_arrays()
    keep = dict_rows(ids)
    return (ids, coords) if keep is None else (ids[keep], coords[keep])


def _slot_columns(prefix: str, owner: npt.NDArray[np.intp], slot: npt.NDArray[np.intp], shape: tuple[int, int],
                  values: npt.NDArray[np.int32], missing: npt.NDArray[np.bool_]) -> dict[str, object]:
    """Per-element values laid out one column per slot, masked past each
    element's count and where `missing`."""
    table = np.zeros(shape, dtype=np.int32)
    mask = np.ones(shape, dtype=bool)
    table[owner, slot] = values
    mask[owner, slot] = missing
    return {f"{prefix}_{j}": pd.arrays.IntegerArray(table[:, j].copy(), mask[:, j].copy()) for j in range(shape[1])}
