"""Synthetic ORVEX Neutral files of any size, for benchmarks and tests.

The generated model is a structured block of solid cells with a few shell
and bar elements mixed in, plus analysis results: nodal vectors written as
range records (with continuation lines) in blocks 1051 and elemental vectors
written as single-value records in blocks 451, one pair of blocks per output
set.  Everything is derived from a seed, so the same parameters always give
byte-identical files, and the CSV baselines can be rebuilt from the returned
metadata alone.

Bulk sections are written by filling one ``%``-format template for many
records at once, so a 200 MB file takes a few seconds.

    meta = generate("model.neu", target_mb=50, separator="comma", seed=1)
    csvs = write_csv_baselines(meta, "csv_dir")
    subsets = write_subset_files(meta, "subset_dir")
"""

from __future__ import annotations

import math
import os
from dataclasses import asdict, dataclass, field

import numpy as np

SEPARATORS = ("comma", "space")
DELIMITER = "   -1"

# Layout of a range record: values on its own line, then per continuation line.
VALUES_FIRST_LINE = 8
VALUES_PER_LINE = 10

# Records formatted per template fill.
CHUNK = 50_000

NODAL, ELEMENTAL = 7, 8  # entity type codes of the vectors

# Element kinds: property id, element type, topology code, corner count.
_BAR, _QUAD, _HEX = 0, 1, 2
_KIND_PROP = np.array([3, 2, 1], dtype=np.int64)
_KIND_TYPE = np.array([1, 2, 3], dtype=np.int64)
_KIND_TOPO = np.array([0, 4, 8], dtype=np.int64)
_KIND_WEIGHTS = (0.02, 0.08, 0.90)

_MATERIALS = (
    (1, "Steel 4340", (2.05e11, 7.9e10, 0.29, 7.85e-9, 1.2e-5, 20.0)),
    (2, "Aluminium 6061-T6", (6.89e10, 2.6e10, 0.33, 2.70e-9, 2.36e-5, 20.0)),
)
_PROPERTIES = (
    (1, 1, 3, "Solid cells"),
    (2, 2, 2, "Skin shell 2 mm"),
    (3, 1, 1, "Edge bar, 10x10"),
)
_NODAL_TITLES = ("X Displacement", "Y Displacement", "Z Displacement", "Displacement Magnitude")
_ELEMENTAL_TITLES = ("Von Mises Stress", "Max Principal Stress", "Strain Energy Density")


@dataclass
class Params:
    n_nodes: int
    n_elements: int | None = None  # None: one element per grid cell
    n_vectors: int = 8
    n_sets: int = 2
    separator: str = "comma"
    seed: int = 0
    run_len: int = 1000  # mean number of ids per range record


class _Fmt:
    """Joins fields into record lines for one separator variant."""

    def __init__(self, separator: str):
        if separator not in SEPARATORS:
            raise ValueError(f"separator must be one of {SEPARATORS}, got {separator!r}")
        self.comma = separator == "comma"

    def line(self, fields) -> str:
        if self.comma:
            return ",".join(fields) + ","
        return "  " + "  ".join(fields)

    def title(self, text: str) -> str:
        return text + "," if self.comma else text


@dataclass
class _Model:
    node_ids: np.ndarray
    xyz: np.ndarray
    elements: np.ndarray  # (m, 14): id, prop, type, topology, 10 node slots
    vectors: list = field(default_factory=list)  # walk order
    output_sets: list = field(default_factory=list)


# --------------------------------------------------------------------------
# model


def _grid_dims(n: int) -> tuple[int, int, int]:
    nz = max(2, min(9, round(n ** (1 / 3)))) if n >= 8 else 1
    per_layer = math.ceil(n / nz) if n else 0
    nx = max(1, math.ceil(math.sqrt(per_layer)))
    ny = max(1, math.ceil(per_layer / nx))
    return nx, ny, nz


def _cells(n: int, dims) -> np.ndarray:
    """Corner node ids (k, 8) of every grid cell whose corners all exist."""
    nx, ny, nz = dims
    if nx < 2 or ny < 2 or nz < 2:
        return np.zeros((0, 8), dtype=np.int64)
    ix, iy, iz = np.meshgrid(np.arange(nx - 1), np.arange(ny - 1), np.arange(nz - 1), indexing="ij")
    base = (ix + iy * nx + iz * nx * ny).transpose(2, 1, 0).ravel()  # x fastest, like node ids
    layer = nx * ny
    offs = np.array([0, 1, 1 + nx, nx, layer, layer + 1, layer + 1 + nx, layer + nx])
    cells = base[:, None] + offs[None, :] + 1
    return cells[cells.max(axis=1) <= n]


def _build_model(p: Params) -> _Model:
    rng = np.random.default_rng(p.seed)
    n = p.n_nodes
    dims = _grid_dims(n)
    nx, ny, _ = dims

    k = np.arange(n, dtype=np.int64)
    ix, iy, iz = k % nx, (k // nx) % ny, k // (nx * ny)
    x = (ix - (nx - 1) / 2) * 2.5 + rng.uniform(-0.2, 0.2, n)
    y = (iy - (ny - 1) / 2) * 2.5 + rng.uniform(-0.2, 0.2, n)
    z = iz * 4.0 + np.where(iz > 0, rng.uniform(-0.3, 0.3, n), 0.0)  # bottom layer exactly z = 0
    node_ids = k + 1
    xyz = np.column_stack((x, y, z))

    cells = _cells(n, dims)
    m = len(cells) if p.n_elements is None else p.n_elements
    elements = np.zeros((m, 14), dtype=np.int64)
    elements[:, 0] = np.arange(1, m + 1)
    if m:
        if len(cells):
            kind = rng.choice(3, size=m, p=_KIND_WEIGHTS)
            corners = cells[np.arange(m) % len(cells)]
            counts = np.array([2, 4, 8])[kind]
            slots = np.where(np.arange(8)[None, :] < counts[:, None], corners, 0)
        else:  # too few nodes for a cell: bars between consecutive nodes
            kind = np.full(m, _BAR)
            a = np.arange(m) % max(n - 1, 1) + 1
            slots = np.zeros((m, 8), dtype=np.int64)
            slots[:, 0] = np.where(a <= n, a, 0)
            slots[:, 1] = np.where(a + 1 <= n, a + 1, 0)
        elements[:, 1] = _KIND_PROP[kind]
        elements[:, 2] = _KIND_TYPE[kind]
        elements[:, 3] = _KIND_TOPO[kind]
        elements[:, 4:12] = slots

    model = _Model(node_ids, xyz, elements)
    n_sets = max(1, p.n_sets)
    model.output_sets = [(s, f"Load Case {s}", float(s)) for s in range(1, n_sets + 1)]

    # Vectors of set s: nodal and elemental alternate; nodal ones go to the
    # set's 1051 block, elemental ones to its 451 block.  Walk order is all
    # 1051 blocks first, then all 451 blocks.
    per_set = {s: [] for s in range(1, n_sets + 1)}
    for v in range(p.n_vectors):
        per_set[v % n_sets + 1].append(v // n_sets)
    nodal, elemental = [], []
    for s, slots_of_set in per_set.items():
        for j in slots_of_set:
            scale = 1.0 + 0.25 * s
            if j % 2 == 0:
                comp = (j // 2) % len(_NODAL_TITLES)
                vec_id = 1 + j // 2
                vals = _nodal_values(xyz, comp, scale, rng)
                nodal.append(dict(set_id=s, vec_id=vec_id, title=_NODAL_TITLES[comp], ent_type=NODAL,
                                  block=1051, ids=node_ids, values=vals))
            else:
                comp = (j // 2) % len(_ELEMENTAL_TITLES)
                vec_id = 60000 + j // 2
                vals = rng.lognormal(mean=3.0, sigma=1.0, size=m) * scale
                elemental.append(dict(set_id=s, vec_id=vec_id, title=_ELEMENTAL_TITLES[comp],
                                      ent_type=ELEMENTAL, block=451, ids=elements[:, 0], values=vals))
    model.vectors = nodal + elemental
    return model


def _nodal_values(xyz, comp, scale, rng):
    x, y, z = xyz[:, 0], xyz[:, 1], xyz[:, 2]
    h = max(float(z.max()) if len(z) else 1.0, 1.0)
    t = (z / h) ** 2 * scale
    parts = (
        1.0e-3 * t * np.cos(x / 40.0),
        -4.0e-4 * t * np.sin(y / 25.0),
        -2.5e-2 * t * (1.0 + 0.01 * x),
    )
    if comp < 3:
        vals = parts[comp]
    else:
        vals = np.sqrt(parts[0] ** 2 + parts[1] ** 2 + parts[2] ** 2)
    return vals + rng.normal(0.0, 1e-7, len(x))


# --------------------------------------------------------------------------
# writing


class _Out:
    """File writer that counts the bytes written per block and where each block lies."""

    def __init__(self, fh):
        self.fh = fh
        self.total = 0
        self.block_bytes: dict[int, int] = {}
        self.spans: list[tuple[int, int, int]] = []  # (block id, first byte, end), file order
        self._current = None
        self._start = 0

    def write(self, text: str):
        self.fh.write(text)
        self.total += len(text)
        if self._current is not None:
            self.block_bytes[self._current] = self.block_bytes.get(self._current, 0) + len(text)

    def open_block(self, block_id: int):
        self._current, self._start = block_id, self.total
        self.write(f"{DELIMITER}\n{block_id:>6}\n")

    def close_block(self):
        self.write(DELIMITER + "\n")
        self.spans.append((self._current, self._start, self.total))
        self._current = None


class _NullFile:
    def write(self, text):
        return len(text)


def _fill(template: str, rows: np.ndarray, out: _Out):
    """Write ``template % row`` for every row, CHUNK rows per format call."""
    for a in range(0, len(rows), CHUNK):
        part = rows[a:a + CHUNK]
        out.write((template * len(part)) % tuple(part.ravel().tolist()))


def _float_strings(values: np.ndarray) -> list[str]:
    if len(values) == 0:
        return []
    return (("%.7E\n" * len(values)) % tuple(values.tolist())).split("\n")[:-1]


def _write_header(out, fmt, p):
    out.open_block(100)
    out.write(f"ORVEX bench model, seed {p.seed}\n")
    out.write(fmt.title("11.4") + "\n")
    out.close_block()


def _write_materials(out, fmt):
    out.open_block(601)
    for mid, name, consts in _MATERIALS:
        out.write(fmt.line([str(mid), "0", "1", "0", "0", "1", "0"]) + "\n")
        out.write(fmt.title(name) + "\n")
        # Continuation lines start with a real number, never an integer.
        row = ["%.7E" % c for c in consts]
        for _ in range(3):
            out.write(fmt.line(row) + "\n")
        out.write(fmt.line(["0."] * 10) + "\n")
    out.close_block()


def _write_properties(out, fmt):
    out.open_block(402)
    for pid, mid, etype, title in _PROPERTIES:
        out.write(fmt.line([str(pid), "7", str(mid), str(etype), "1", "0"]) + "\n")
        out.write(fmt.title(title) + "\n")
        out.write(fmt.line(["0"] * 4) + "\n")
        out.write(fmt.line(["0"] * 8) + "\n")
        out.write(fmt.line(["6"]) + "\n")
        out.write(fmt.line(["%.7E" % v for v in (2.0, 0.0, 8.333333e-1, 0.0, 1.0, 0.0)]) + "\n")
        out.write(fmt.line(["0."] * 6) + "\n")
    out.close_block()


def _write_nodes(out, fmt, model):
    out.open_block(403)
    tmpl = fmt.line(["%d", "0", "0", "1", "7"] + ["0"] * 6 + ["%.7E"] * 3) + "\n"
    rows = np.column_stack((model.node_ids.astype(np.float64), model.xyz))
    _fill(tmpl, rows, out)
    out.close_block()


def _write_elements(out, fmt, model):
    out.open_block(404)
    tmpl = "\n".join([
        fmt.line(["%d", "7", "%d", "%d", "%d", "1"] + ["0"] * 10),
        fmt.line(["%d"] * 10),
        fmt.line(["0"] * 10),
        fmt.line(["0.", "0.", "0."]),
        fmt.line(["0.", "0.", "0."]),
        fmt.line(["0.", "0.", "0."]),
        fmt.line(["0"] * 16),
    ]) + "\n"
    _fill(tmpl, model.elements[:, :14], out)
    out.close_block()


def _write_output_sets(out, fmt, model):
    out.open_block(450)
    for sid, title, value in model.output_sets:
        out.write(fmt.line([str(sid)]) + "\n")
        out.write(fmt.title(title) + "\n")
        out.write(fmt.line(["0", "1"]) + "\n")
        out.write(fmt.line(["%.7E" % value]) + "\n")
        out.write(fmt.line(["1"]) + "\n")
        out.write(fmt.line(["0"] * 10) + "\n")
    out.close_block()


def _vector_head(fmt, vec) -> str:
    vals = vec["values"]
    lo, hi = (float(vals.min()), float(vals.max())) if len(vals) else (0.0, 0.0)
    absmax = max(abs(lo), abs(hi))
    comp = [str(vec["vec_id"])] + ["0"] * 9
    return "\n".join([
        fmt.line([str(vec["set_id"]), str(vec["vec_id"]), "1"]),
        fmt.title(vec["title"]),
        fmt.line(["%.7E" % lo, "%.7E" % hi, "%.7E" % absmax]),
        fmt.line(comp),
        fmt.line(["0"] * 10),
        # Entity-type line pair: four integers (the last is the entity type), then three.
        fmt.line(["1", "1", "1", str(vec["ent_type"])]),
        fmt.line(["1", "0", "1"]),
    ]) + "\n"


def _range_runs(ids: np.ndarray, run_len: int, rng) -> list[tuple[int, int]]:
    """Split positions 0..len(ids) into runs of consecutive ids of varying length."""
    runs = []
    gaps = list(np.flatnonzero(np.diff(ids) != 1) + 1) + [len(ids)]
    a = 0
    for g in gaps:
        while a < g:
            length = int(rng.integers(max(1, run_len // 2), run_len + run_len // 2 + 1))
            b = min(a + length, g)
            runs.append((a, b))
            a = b
    return runs


def _write_range_records(out, fmt, vec, run_len, rng):
    ids, strs = vec["ids"], _float_strings(vec["values"])
    lines = []
    for a, b in _range_runs(ids, run_len, rng):
        k = min(VALUES_FIRST_LINE, b - a)
        lines.append(fmt.line([str(ids[a]), str(ids[b - 1])] + strs[a:a + k]))
        for c in range(a + k, b, VALUES_PER_LINE):
            lines.append(fmt.line(strs[c:min(c + VALUES_PER_LINE, b)]))
        if len(lines) >= CHUNK:
            out.write("\n".join(lines) + "\n")
            lines = []
    if lines:
        out.write("\n".join(lines) + "\n")


def _write_single_records(out, fmt, vec):
    tmpl = fmt.line(["%d", "%.7E"]) + "\n"
    _fill(tmpl, np.column_stack((vec["ids"].astype(np.float64), vec["values"])), out)


def _write_vectors(out, fmt, model, p):
    rng = np.random.default_rng(p.seed + 1)
    marker = fmt.line(["-1", "0."]) + "\n"
    for sid, _, _ in model.output_sets:
        for block, ent in ((1051, NODAL), (451, ELEMENTAL)):
            vecs = [v for v in model.vectors if v["set_id"] == sid and v["block"] == block]
            if not vecs:
                continue
            out.open_block(block)
            for vec in vecs:
                start = out.total
                out.write(_vector_head(fmt, vec))
                if ent == NODAL:
                    _write_range_records(out, fmt, vec, p.run_len, rng)
                else:
                    _write_single_records(out, fmt, vec)
                out.write(marker)
                vec["offset"], vec["bytes"] = start, out.total - start
            out.close_block()


def _write(fh, p: Params) -> tuple[_Out, _Model]:
    fmt = _Fmt(p.separator)
    model = _build_model(p)
    out = _Out(fh)
    _write_header(out, fmt, p)
    _write_materials(out, fmt)
    _write_properties(out, fmt)
    _write_nodes(out, fmt, model)
    _write_elements(out, fmt, model)
    _write_output_sets(out, fmt, model)
    _write_vectors(out, fmt, model, p)
    return out, model


def _size_of(p: Params) -> int:
    out, _ = _write(_NullFile(), p)
    return out.total


def _nodes_for_target(target_bytes: float, p: Params) -> int:
    """Node count whose file is about target_bytes, from two trial sizes."""
    def at(n):
        return _size_of(Params(**{**asdict(p), "n_nodes": n}))

    base = at(0)
    s1 = 5_000
    n1 = max(1, int((target_bytes - base) * s1 / max(at(s1) - base, 1)))
    if n1 <= 4 * s1:
        return n1
    s2 = min(n1, 150_000)  # ids of the same width as the final file
    return max(1, int((target_bytes - base) * s2 / max(at(s2) - base, 1)))


def generate(path, *, target_mb: float | None = None, n_nodes: int | None = None,
             n_elements: int | None = None, n_vectors: int = 8, n_sets: int = 2,
             separator: str = "comma", seed: int = 0, run_len: int = 1000) -> dict:
    """Write an ORVEX Neutral file and return what it holds.

    Give either ``target_mb`` (the node count, and with it the element count,
    is scaled to reach roughly that size) or ``n_nodes`` (default 1000).
    ``n_elements`` defaults to one element per grid cell of the node grid.
    """
    if target_mb is not None and n_nodes is not None:
        raise ValueError("give target_mb or n_nodes, not both")
    _Fmt(separator)  # validates the separator
    p = Params(n_nodes=1000 if n_nodes is None else int(n_nodes), n_elements=n_elements,
               n_vectors=int(n_vectors), n_sets=int(n_sets), separator=separator,
               seed=int(seed), run_len=max(1, int(run_len)))
    if target_mb is not None:
        p.n_nodes = _nodes_for_target(target_mb * 1e6, p)

    with open(path, "w", encoding="ascii", newline="\n", buffering=1 << 22) as fh:
        out, model = _write(fh, p)
    return _metadata(path, p, out, model)


def _metadata(path, p: Params, out: _Out, model: _Model) -> dict:
    el = model.elements
    return {
        "path": os.fspath(path),
        "bytes": out.total,
        "params": asdict(p),
        "separator": p.separator,
        "seed": p.seed,
        "title": f"ORVEX bench model, seed {p.seed}",
        "version": _Fmt(p.separator).title("11.4"),
        "n_nodes": int(len(model.node_ids)),
        "n_nodes_z0": int(np.count_nonzero(model.xyz[:, 2] <= 0.0)) if len(model.xyz) else 0,
        "n_elements": int(len(el)),
        "n_connectivity": int(np.count_nonzero(el[:, 4:14])),
        "n_materials": len(_MATERIALS),
        "n_properties": len(_PROPERTIES),
        "n_output_sets": len(model.output_sets),
        "n_vectors": len(model.vectors),
        "values_per_vector": [int(len(v["values"])) for v in model.vectors],
        "vectors": [
            {k: v[k] for k in ("set_id", "vec_id", "title", "ent_type", "block", "offset", "bytes")}
            | {"n_values": int(len(v["values"]))}
            for v in model.vectors
        ],
        "block_bytes": dict(out.block_bytes),
        "block_spans": [list(span) for span in out.spans],
    }


def build_arrays(meta: dict) -> dict:
    """The numbers a file holds, as generated (before text rounding).

    Returns ``node_ids``, ``xyz``, ``element_ids``, ``prop_ids``,
    ``topologies``, ``connectivity``, ``offsets`` and ``vectors`` (a list of
    dicts with ``set_id``, ``vec_id``, ``ent_type``, ``ids``, ``values`` in
    walk order).
    """
    model = _build_model(Params(**meta["params"]))
    el = model.elements
    slots = el[:, 4:14]
    counts = np.count_nonzero(slots, axis=1)
    return {
        "node_ids": model.node_ids,
        "xyz": model.xyz,
        "element_ids": el[:, 0],
        "prop_ids": el[:, 1],
        "topologies": el[:, 3],
        "connectivity": slots[slots != 0],
        "offsets": np.concatenate(([0], np.cumsum(counts))),
        "vectors": [{k: v[k] for k in ("set_id", "vec_id", "ent_type", "ids", "values")} for v in model.vectors],
    }


def write_csv_baselines(meta: dict, out_dir) -> dict:
    """Write the numeric records of a generated file as plain CSV.

    Files (each with a header row):
      nodes.csv         id,x,y,z            every node
      results.csv       entity_id,value     every value of every vector, walk order
      first_vector.csv  entity_id,value     the first vector in walk order
    Numbers are written with the same text as in the ORVEX file.
    Returns a dict name -> path.
    """
    os.makedirs(out_dir, exist_ok=True)
    model = _build_model(Params(**meta["params"]))
    paths = {name: os.path.join(out_dir, name + ".csv") for name in ("nodes", "results", "first_vector")}

    def open_csv(name, head):
        fh = open(paths[name], "w", encoding="ascii", newline="\n", buffering=1 << 22)
        fh.write(head + "\n")
        return fh

    with open_csv("nodes", "id,x,y,z") as fh:
        rows = np.column_stack((model.node_ids.astype(np.float64), model.xyz))
        _fill("%d,%.7E,%.7E,%.7E\n", rows, _Out(fh))
    with open_csv("results", "entity_id,value") as fh:
        for vec in model.vectors:
            _fill("%d,%.7E\n", np.column_stack((vec["ids"].astype(np.float64), vec["values"])), _Out(fh))
    with open_csv("first_vector", "entity_id,value") as fh:
        if model.vectors:
            vec = model.vectors[0]
            _fill("%d,%.7E\n", np.column_stack((vec["ids"].astype(np.float64), vec["values"])), _Out(fh))
    return paths


def _copy_range(src, dst, start: int, end: int):
    src.seek(start)
    left = end - start
    while left > 0:
        piece = src.read(min(left, 1 << 22))
        if not piece:
            raise ValueError("the file is shorter than its metadata says")
        dst.write(piece)
        left -= len(piece)


def write_subset_files(meta: dict, out_dir) -> dict:
    """Write ORVEX files that hold one kind of record of a generated file.

    Files, with the very same lines as the generated file:
      nodes.neu         its node block(s) 403, delimiters included
      first_vector.neu  a 1051 (or 451) block holding only the first vector
                        in walk order: its header lines, its records and its
                        end-of-data line
    Returns a dict name -> path.
    """
    os.makedirs(out_dir, exist_ok=True)
    paths = {name: os.path.join(out_dir, name + ".neu") for name in ("nodes", "first_vector")}
    with open(meta["path"], "rb") as src:
        with open(paths["nodes"], "wb") as dst:
            for block_id, start, end in meta["block_spans"]:
                if block_id == 403:
                    _copy_range(src, dst, start, end)
        with open(paths["first_vector"], "wb") as dst:
            if meta["vectors"]:
                vec = meta["vectors"][0]
                dst.write(f"{DELIMITER}\n{vec['block']:>6}\n".encode("ascii"))
                _copy_range(src, dst, vec["offset"], vec["offset"] + vec["bytes"])
                dst.write(f"{DELIMITER}\n".encode("ascii"))
    return paths


if __name__ == "__main__":
    import argparse
    import json
    import time

    ap = argparse.ArgumentParser(description="Write a synthetic ORVEX Neutral file and print what it holds as JSON.")
    ap.add_argument("path", help="file to write")
    size = ap.add_mutually_exclusive_group()
    size.add_argument("--target-mb", type=float, metavar="MB",
                      help="scale the model to make a file of about this many megabytes")
    size.add_argument("--n-nodes", type=int, metavar="N", help="number of nodes (default: 1000)")
    ap.add_argument("--n-vectors", type=int, default=8, metavar="N",
                    help="result vectors, spread over two output sets, nodal and elemental in turn (default: 8)")
    ap.add_argument("--separator", choices=SEPARATORS, default="comma",
                    help="field separator of the records (default: comma)")
    ap.add_argument("--seed", type=int, default=0, help="seed of every generated value: the same options write the same file (default: 0)")
    ap.add_argument("--csv-dir", metavar="DIR", help="also write nodes, results and the first vector as CSV here")
    ap.add_argument("--subset-dir", metavar="DIR",
                    help="also write files holding only the node blocks and only the first vector here")
    a = ap.parse_args()
    t0 = time.perf_counter()
    info = generate(a.path, target_mb=a.target_mb, n_nodes=a.n_nodes, n_vectors=a.n_vectors,
                    separator=a.separator, seed=a.seed)
    if a.csv_dir:
        write_csv_baselines(info, a.csv_dir)
    if a.subset_dir:
        write_subset_files(info, a.subset_dir)
    info["seconds"] = round(time.perf_counter() - t0, 2)
    print(json.dumps({k: v for k, v in info.items() if k != "vectors"}, indent=1))
