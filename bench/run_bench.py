#!/usr/bin/env python
"""Throughput and memory benchmark of the ORVEX Neutral reader.

    python bench/run_bench.py [--size-mb 200] [--repeat 5] [--out table.md]
    python bench/run_bench.py --quick          # ~5 MB smoke run

Generates (or reuses from the cache directory) a file of at least the given
size, then times, as the median of several runs:
  * ORVEXParser(path), and every extractor on its own on a built parser;
  * end to end (construct + array form) for nodes, elements and one vector;
  * the same with the plain-Python reader (bench/plain_python.py);
  * pandas.read_csv, numpy.loadtxt and pyarrow.csv.read_csv (one thread) on
    CSV files holding the same numeric records;
  * the floor: open(path).read().
Memory of a built parser is measured in fresh subprocesses.  Results are
printed as Markdown tables.  Missing optional packages (pandas, pyarrow) or a
missing compiled module are reported in the notes and their columns left empty.
"""

from __future__ import annotations

import argparse
import gc
import hashlib
import json
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import numpy as np  # noqa: E402

import orvex_gen  # noqa: E402
from plain_python import PlainParser  # noqa: E402

MB = 1e6


# --------------------------------------------------------------------------
# the module under test: the only place that names it


def load_parser_class():
    """Return (ORVEXParser or None, note)."""
    try:
        from tremix.core.orvex_parser import ORVEXParser
    except ImportError as exc:
        return None, f"`tremix.core.orvex_parser` is not importable ({exc}); its columns are empty."
    return ORVEXParser, None


IMPLS = {"plain": PlainParser}


def impl_class(name):
    if name == "tremix":
        cls, note = load_parser_class()
        if cls is None:
            raise ImportError(note)
        return cls
    return IMPLS[name]


# --------------------------------------------------------------------------
# input files


def _generator_digest() -> str:
    return hashlib.sha1((HERE / "orvex_gen.py").read_bytes()).hexdigest()[:10]


def prepare_files(size_mb: float, separator: str, seed: int, cache_dir: Path, log) -> dict:
    """Generate (or reuse) the ORVEX file and its CSV twins; return the metadata."""
    key = f"orvex_{separator}_{size_mb:g}mb_s{seed}_{_generator_digest()}"
    path = cache_dir / f"{key}.txt"
    meta_path = cache_dir / f"{key}.json"
    csv_dir = cache_dir / f"{key}_csv"
    if meta_path.exists() and path.exists():
        meta = json.loads(meta_path.read_text())
        if path.stat().st_size == meta["bytes"] and all(Path(p).exists() for p in meta["csv"].values()):
            log(f"reusing {path} ({meta['bytes'] / MB:.1f} MB)")
            return meta
    cache_dir.mkdir(parents=True, exist_ok=True)
    t0 = time.perf_counter()
    target = size_mb * 1.01
    meta = orvex_gen.generate(path, target_mb=target, separator=separator, seed=seed)
    if meta["bytes"] < size_mb * MB:  # the size estimate fell short: scale up once
        meta = orvex_gen.generate(path, target_mb=target * size_mb * MB / meta["bytes"] * 1.01,
                                  separator=separator, seed=seed)
    meta["csv"] = orvex_gen.write_csv_baselines(meta, csv_dir)
    meta["block_bytes"] = {str(k): v for k, v in meta["block_bytes"].items()}
    meta_path.write_text(json.dumps(meta, indent=1))
    log(f"generated {path} ({meta['bytes'] / MB:.1f} MB) in {time.perf_counter() - t0:.1f} s")
    return meta


# --------------------------------------------------------------------------
# timing


def median_time(fn, repeat: int) -> float:
    """Median wall time of fn() over `repeat` runs; the result is dropped between runs."""
    times = []
    for _ in range(max(1, repeat)):
        gc.collect()
        t0 = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - t0)
        del result
    return statistics.median(times)


def extractor_calls(meta: dict):
    """(label, method name, args, what it reads) for every extractor.

    What it reads is a list of block ids, or a byte count.
    """
    last = meta["vectors"][-1] if meta["vectors"] else {"set_id": 0, "vec_id": 0}
    first_bytes = meta["vectors"][0]["bytes"] if meta["vectors"] else 0
    return [
        ("get_header()", "get_header", (), ["100"]),
        ("get_materials()", "get_materials", (), ["601"]),
        ("get_properties()", "get_properties", (), ["402"]),
        ("get_nodes()", "get_nodes", (), ["403"]),
        ("get_nodes(force_2d=True)", "get_nodes", (True,), ["403"]),
        ("get_nodes_arrays()", "get_nodes_arrays", (), ["403"]),
        ("get_elements()", "get_elements", (), ["404"]),
        ("get_elements_arrays()", "get_elements_arrays", (), ["404"]),
        ("get_output_sets()", "get_output_sets", (), ["450"]),
        ("get_output_vectors()", "get_output_vectors", (), ["1051", "451"]),
        ("get_output_vectors_arrays() (first vector)", "get_output_vectors_arrays", (), first_bytes),
        (f"get_output_vectors_arrays({last['set_id']}, {last['vec_id']}) (last vector)",
         "get_output_vectors_arrays", (last["set_id"], last["vec_id"]), ["1051", "451"]),
    ]


END_TO_END = [
    ("nodes", "get_nodes_arrays", "nodes"),
    ("elements", "get_elements_arrays", None),
    ("first result vector", "get_output_vectors_arrays", "first_vector"),
]


def bench_parser(cls, path: str, meta: dict, repeat: int, log, label: str, notes: list) -> dict:
    """Times of construction, of each extractor and of the end-to-end tasks.

    An operation that raises is left out of the results with a note, so a
    reader that is still missing operations can be measured on the rest.
    """
    out = {}

    def timed(key, fn):
        try:
            out[key] = median_time(fn, repeat)
        except Exception as exc:  # noqa: BLE001 - reported in the notes
            notes.append(f"{label}: {key} raised {type(exc).__name__}: {exc}")
            return
        log(f"{label}: {key} {out[key]:.3f} s")

    timed("construct", lambda: cls(path))
    parser = cls(path)
    for name, method, args, _ in extractor_calls(meta):
        fn = getattr(parser, method)
        timed(name, lambda: fn(*args))
    del parser
    for task, method, _ in END_TO_END:
        timed("e2e " + task, lambda: getattr(cls(path), method)())
    return out


def csv_readers():
    """name -> (reader(path, kind) or None, note)."""
    readers = {}
    try:
        import pandas as pd

        readers["pandas.read_csv"] = (lambda p, kind: pd.read_csv(p, engine="c"), f"pandas {pd.__version__}")
    except ImportError:
        readers["pandas.read_csv"] = (None, "pandas not installed: skipped")
    readers["numpy.loadtxt"] = (lambda p, kind: np.loadtxt(p, delimiter=",", skiprows=1), f"numpy {np.__version__}")
    try:
        import pyarrow as pa
        import pyarrow.csv as pacsv

        types = {"nodes": {"id": pa.int32(), "x": pa.float64(), "y": pa.float64(), "z": pa.float64()},
                 "values": {"entity_id": pa.int32(), "value": pa.float64()}}

        def read_arrow(p, kind):
            return pacsv.read_csv(p, read_options=pacsv.ReadOptions(use_threads=False),
                                  convert_options=pacsv.ConvertOptions(column_types=types[kind]))

        readers["pyarrow.csv (1 thread)"] = (read_arrow, f"pyarrow {pa.__version__}")
    except ImportError:
        readers["pyarrow.csv (1 thread)"] = (None, "pyarrow not installed: skipped")
    return readers


CSV_FILES = [("nodes", "nodes", "nodes"), ("first_vector", "first result vector", "values"),
             ("results", "all result vectors", "values")]


def bench_csv(meta: dict, repeat: int, log) -> tuple[dict, list]:
    times, notes = {}, []
    for name, (reader, note) in csv_readers().items():
        notes.append(f"{name}: {note}")
        if reader is None:
            continue
        for key, task, kind in CSV_FILES:
            path = meta["csv"][key]
            times[(name, task)] = median_time(lambda: reader(path, kind), repeat)
            log(f"{name} {task}: {times[(name, task)]:.3f} s")
    return times, notes


def bench_floor(path: str, repeat: int) -> dict:
    def read():
        with open(path) as fh:
            return fh.read()

    def readlines():
        with open(path) as fh:
            return fh.readlines()

    read()  # warm the page cache
    return {"open(path).read()": median_time(read, repeat),
            "open(path).readlines()": median_time(readlines, repeat)}


# --------------------------------------------------------------------------
# memory, in a fresh process per measurement


def _rss_bytes() -> int:
    with open("/proc/self/statm") as fh:
        return int(fh.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def _reset_peak_rss() -> bool:
    """Reset the kernel's peak-RSS mark of this process (Linux 4.0+)."""
    try:
        with open("/proc/self/clear_refs", "w") as fh:
            fh.write("5")
        return True
    except OSError:
        return False


def _peak_rss_bytes() -> int:
    with open("/proc/self/status") as fh:
        for line in fh:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    raise OSError("no VmHWM")


def memory_probe(impl: str, path: str, mode: str) -> dict:
    import resource

    cls = impl_class(impl)
    gc.collect()
    if mode == "tracemalloc":
        import tracemalloc

        tracemalloc.start()
        parser = cls(path)
        gc.collect()
        retained, peak = tracemalloc.get_traced_memory()
        tracemalloc.stop()
    else:
        # ru_maxrss of a child started by a big parent starts at the parent's
        # size, so prefer the resettable VmHWM mark where the kernel has it.
        resettable = _reset_peak_rss()
        rss0 = _rss_bytes()
        parser = cls(path)
        gc.collect()
        if resettable:
            peak = _peak_rss_bytes() - rss0
        else:
            peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024 - rss0
        retained = _rss_bytes() - rss0
    del parser
    return {"peak": peak, "retained": retained}


def measure_memory(impl: str, path: str, mode: str, notes: list) -> dict | None:
    cmd = [sys.executable, str(Path(__file__).resolve()), "--memory-probe", impl, mode, path]
    proc = subprocess.run(cmd, capture_output=True, text=True)
    if proc.returncode != 0:
        err = (proc.stderr.strip().splitlines() or ["no message"])[-1]
        notes.append(f"memory probe {impl}/{mode} failed: {err}")
        return None
    return json.loads(proc.stdout.strip().splitlines()[-1])


# --------------------------------------------------------------------------
# report


def _s(t):
    return "" if t is None else f"{t:.3f}"


def _rate(nbytes, t):
    return "" if not t else f"{nbytes / MB / t:.1f}"


def _ratio(base, ours):
    if base is None or not ours:
        return ""
    r = base / ours
    return f"{r:.1f}x" if r >= 1 else f"{r:.2g}x"


def _with_ratio(base, ours):
    if base is None:
        return ""
    return f"{base:.3f} ({_ratio(base, ours)})" if ours else f"{base:.3f}"


def _table(head, rows):
    lines = ["| " + " | ".join(head) + " |", "|" + "|".join("---" for _ in head) + "|"]
    lines += ["| " + " | ".join(str(c) for c in row) + " |" for row in rows]
    return "\n".join(lines)


def report(meta, args, ours, plain, csv_times, floor, memory, notes) -> str:
    size = meta["bytes"]
    block_bytes = meta["block_bytes"]
    csv_sizes = {k: os.path.getsize(p) for k, p in meta["csv"].items()}
    values = sum(meta["values_per_vector"])
    out = [
        "# ORVEX reader benchmark",
        "",
        f"File: {size / MB:.1f} MB, {meta['separator']}-separated; {meta['n_nodes']:,} nodes, "
        f"{meta['n_elements']:,} elements, {meta['n_vectors']} result vectors ({values:,} values).  ",
        f"Median of {args.repeat} runs ({args.slow_repeat} for the plain-Python reader and the CSV readers).  ",
        f"Python {platform.python_version()}, numpy {np.__version__}, {platform.machine()}, "
        f"{os.cpu_count()} CPUs.  ",
        "Speed-up = baseline time / tremix time (above 1x: tremix is faster).",
        "",
        "## Construction and extractors",
        "",
        "Extractors run on a parser that is already built; MB/s is given against the whole file "
        "and against the text the extractor reads (its blocks; for the first vector, that vector).",
        "",
    ]
    rows = []
    items = [("ORVEXParser(path)", "construct", None)] + [(n, n, b) for n, _, _, b in extractor_calls(meta)]
    for label, key, blocks in items:
        t, tp = (ours or {}).get(key), (plain or {}).get(key)
        if blocks is None:
            nb = size
        elif isinstance(blocks, int):
            nb = blocks
        else:
            nb = sum(block_bytes.get(b, 0) for b in blocks)
        rows.append([label, f"{nb / MB:.1f}", _s(t), _rate(size, t), _rate(nb, t), _s(tp), _ratio(tp, t)])
    out.append(_table(["operation", "MB read", "tremix s", "MB/s file", "MB/s read", "plain Python s",
                       "speed-up vs plain"], rows))

    out += ["", "## End to end: construct + array form", "",
            "CSV readers read a CSV holding only the records in question "
            f"(nodes.csv {csv_sizes['nodes'] / MB:.1f} MB, first_vector.csv {csv_sizes['first_vector'] / MB:.1f} MB, "
            f"results.csv {csv_sizes['results'] / MB:.1f} MB); tremix and plain Python read the whole "
            f"{size / MB:.1f} MB ORVEX file.", ""]
    readers = sorted({r for r, _ in csv_times})
    head = ["task", "tremix s", "MB/s file", "plain Python s (speed-up)"] + [f"{r} s (speed-up)" for r in readers]
    rows = []
    for task, _, csv_key in END_TO_END:
        t, tp = (ours or {}).get("e2e " + task), (plain or {}).get("e2e " + task)
        row = [task, _s(t), _rate(size, t), _with_ratio(tp, t)]
        for r in readers:
            row.append(_with_ratio(csv_times.get((r, task)) if csv_key else None, t))
        rows.append(row)
    tall = [csv_times.get((r, "all result vectors")) for r in readers]
    rows.append(["(all result vectors, CSV only)", "", "", ""] + [
        f"{_s(tc)}, {_rate(csv_sizes['results'], tc)} MB/s" if tc else "" for tc in tall])
    out.append(_table(head, rows))

    out += ["", "## Floor", ""]
    rows = []
    for name, tf in floor.items():
        tc = (ours or {}).get("construct")
        rows.append([name, _s(tf), _rate(size, tf), f"{tc / tf:.2f}x" if tc else ""])
    out.append(_table(["reading the ORVEX file", "s", "MB/s", "ORVEXParser(path) time / this"], rows))

    if memory:
        out += ["", "## Memory of a built parser (multiple of the file size)", "",
                "Each figure comes from a fresh process that imports the reader, then builds one parser.  "
                "RSS peak = peak RSS during construction (VmHWM, reset just before; ru_maxrss where "
                "that is unavailable) minus RSS before it (every allocation, page-granular); RSS retained = RSS with the parser alive, after gc, minus RSS before.  "
                "tracemalloc counts only memory taken through Python's allocators (all Python objects "
                "and NumPy data, not raw C/C++ heap use).", ""]
        rows = []
        for impl, label in (("tremix", "tremix"), ("plain", "plain Python")):
            m = memory.get(impl)
            if not m:
                continue
            cells = []
            for mode in ("rss", "tracemalloc"):
                r = m.get(mode)
                cells += [f"{r['peak'] / size:.2f}", f"{r['retained'] / size:.2f}"] if r else ["", ""]
            rows.append([label] + cells)
        out.append(_table(["reader", "RSS peak", "RSS retained", "tracemalloc peak", "tracemalloc retained"], rows))

    if notes:
        out += ["", "## Notes", ""] + [f"- {n}" for n in notes]
    return "\n".join(out) + "\n"


# --------------------------------------------------------------------------


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--size-mb", type=float, default=200.0, help="minimum file size (default 200)")
    ap.add_argument("--repeat", type=int, default=5, help="runs per measurement of tremix and the floor")
    ap.add_argument("--slow-repeat", type=int, default=None,
                    help="runs per measurement of plain Python and CSV readers (default min(repeat, 3))")
    ap.add_argument("--separator", choices=orvex_gen.SEPARATORS, default="comma")
    ap.add_argument("--seed", type=int, default=0)
    ap.add_argument("--cache-dir", type=Path,
                    default=Path(os.environ.get("TREMIX_BENCH_CACHE", Path(tempfile.gettempdir()) / "tremix-bench")))
    ap.add_argument("--out", type=Path, help="also write the Markdown report to this file")
    ap.add_argument("--quick", action="store_true", help="smoke run: ~5 MB file, 2 runs")
    ap.add_argument("--no-plain", action="store_true", help="skip the plain-Python reader")
    ap.add_argument("--no-memory", action="store_true", help="skip the memory measurements")
    ap.add_argument("--memory-probe", nargs=3, metavar=("IMPL", "MODE", "PATH"), help=argparse.SUPPRESS)
    args = ap.parse_args(argv)

    if args.memory_probe:
        impl, mode, path = args.memory_probe
        print(json.dumps(memory_probe(impl, path, mode)))
        return 0

    if args.quick:
        args.size_mb, args.repeat = 5.0, 2
    if args.slow_repeat is None:
        args.slow_repeat = min(args.repeat, 3)

    def log(msg):
        print(f"[bench] {msg}", file=sys.stderr, flush=True)

    notes = []
    meta = prepare_files(args.size_mb, args.separator, args.seed, args.cache_dir, log)
    path = meta["path"]

    cls, note = load_parser_class()
    if note:
        notes.append(note)
    floor = bench_floor(path, args.repeat)
    ours = bench_parser(cls, path, meta, args.repeat, log, "tremix", notes) if cls else None
    plain = None if args.no_plain else bench_parser(PlainParser, path, meta, args.slow_repeat, log, "plain", notes)
    if args.no_plain:
        notes.append("plain-Python reader skipped (--no-plain)")
    csv_times, csv_notes = bench_csv(meta, args.slow_repeat, log)
    notes += csv_notes

    memory = {}
    if not args.no_memory:
        for impl in (["tremix"] if cls else []) + ([] if args.no_plain else ["plain"]):
            memory[impl] = {mode: measure_memory(impl, path, mode, notes) for mode in ("rss", "tracemalloc")}
            log(f"memory {impl}: {memory[impl]}")

    text = report(meta, args, ours, plain, csv_times, floor, memory, notes)
    print(text)
    if args.out:
        args.out.write_text(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
