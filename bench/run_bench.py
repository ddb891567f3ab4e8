#!/usr/bin/env python
"""Throughput and memory benchmark of the ORVEX Neutral reader.

    python bench/run_bench.py [--size-mb 100] [--repeat 5] [--out table.md]
    python bench/run_bench.py --quick          # ~5 MB smoke run

Generates (or reuses from the cache directory) a model-and-results file of
at least the given size, the files derived from it, and two smaller files
for the threads measurement, then reports, times being medians of several
runs, all in the same run:
  * the targets table: every ratio the reader is held to, measured below;
  * ORVEXParser(path), and every extractor on its own on a built parser,
    against the plain-Python reader (bench/plain_python.py);
  * end to end (construct + array form) on ORVEX files holding only the
    nodes, or only the first result vector, against pandas.read_csv,
    pyarrow.csv.read_csv (one thread) and numpy.loadtxt on CSV files of the
    same records;
  * the floor: open(path).read();
  * two files read on two threads against one after the other;
  * peak and retained RSS of construction, in fresh processes;
  * the share of the extension's C++ lines that no Python or NumPy header
    reaches.
Results are printed as Markdown tables.  Missing optional packages (pandas,
pyarrow) or a missing compiled module are reported in the notes and their
cells left empty.
"""

from __future__ import annotations

import argparse
import gc
import hashlib
import json
import os
import platform
import re
import statistics
import subprocess
import sys
import sysconfig
import tempfile
import threading
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
CXX_SOURCES = HERE.parent / "tremix" / "core" / "src"
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


def prepare_files(size_mb: float, separator: str, seed: int, cache_dir: Path, log,
                  derived: bool = True) -> dict:
    """Generate (or reuse) an ORVEX file; return its metadata.

    With `derived`, also its CSV twins (meta["csv"]) and the ORVEX files
    holding only its nodes or its first vector (meta["subsets"]).
    """
    key = f"orvex_{separator}_{size_mb:g}mb_s{seed}_{_generator_digest()}"
    path = cache_dir / f"{key}.txt"
    meta_path = cache_dir / f"{key}.json"
    derived_dir = cache_dir / f"{key}_csv"
    if meta_path.exists() and path.exists():
        meta = json.loads(meta_path.read_text())
        wanted = [*meta.get("csv", {}).values(), *meta.get("subsets", {}).values()]
        if path.stat().st_size == meta["bytes"] and (not derived or "subsets" in meta) \
                and all(Path(p).exists() for p in wanted):
            log(f"reusing {path} ({meta['bytes'] / MB:.1f} MB)")
            return meta
    cache_dir.mkdir(parents=True, exist_ok=True)
    t0 = time.perf_counter()
    target = size_mb * 1.01
    meta = orvex_gen.generate(path, target_mb=target, separator=separator, seed=seed)
    if meta["bytes"] < size_mb * MB:  # the size estimate fell short: scale up once
        meta = orvex_gen.generate(path, target_mb=target * size_mb * MB / meta["bytes"] * 1.01,
                                  separator=separator, seed=seed)
    if derived:
        meta["csv"] = orvex_gen.write_csv_baselines(meta, derived_dir)
        meta["subsets"] = orvex_gen.write_subset_files(meta, derived_dir)
    meta["block_bytes"] = {str(k): v for k, v in meta["block_bytes"].items()}
    meta_path.write_text(json.dumps(meta, indent=1))
    log(f"generated {path} ({meta['bytes'] / MB:.1f} MB) in {time.perf_counter() - t0:.1f} s")
    return meta


# --------------------------------------------------------------------------
# timing


def interleaved_medians(fns: dict, repeat: int, notes: list, label: str = "", *,
                        runs: dict | None = None, warm: bool = True) -> dict:
    """Median wall time of each of fns (name -> fn), the runs taken in turns.

    Each fn runs `repeat` times (or runs[name] times), once per round, in
    an order that rotates from round to round: a change in the machine's
    load then touches all of them alike, which keeps the ratios between
    them steadier than the times. With `warm`, every fn first runs once
    untimed (the page cache, the code). A fn that raises is left out with
    a note, so a reader that is still missing operations can be measured
    on the rest.
    """
    counts = {name: max(1, (runs or {}).get(name, repeat)) for name in fns}
    times = {name: [] for name in fns}
    failed = set()

    def run(name, timed):
        gc.collect()
        t0 = time.perf_counter()
        try:
            result = fns[name]()
        except Exception as exc:  # noqa: BLE001 - reported in the notes
            failed.add(name)
            notes.append(f"{label}{name} raised {type(exc).__name__}: {exc}")
            return
        elapsed = time.perf_counter() - t0
        del result
        if timed:
            times[name].append(elapsed)

    if warm:
        for name in fns:
            run(name, False)
    order = list(fns)
    for r in range(max(counts.values(), default=0)):
        for name in order[r % len(order):] + order[:r % len(order)]:
            if counts[name] > r and name not in failed:
                run(name, True)
    return {name: statistics.median(ts) for name, ts in times.items() if ts and name not in failed}


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


# (task, array method, key of the subset file and of its CSV twin, CSV column kind)
END_TO_END = [
    ("nodes", "get_nodes_arrays", "nodes", "nodes"),
    ("first result vector", "get_output_vectors_arrays", "first_vector", "values"),
]

FLOOR = ("open(path).read()", 'open(path, "rb").read()')


def bench_construction(impls: dict, path: str, repeat: int, runs: dict, notes: list) -> tuple[dict, dict]:
    """Times of reading the file's text and bytes, in turns with building each reader on it.

    Returns (floor name -> time, reader name -> construction time).
    """
    def read():
        with open(path) as fh:
            return fh.read()

    def read_bytes():
        with open(path, "rb") as fh:
            return fh.read()

    fns = dict(zip(FLOOR, (read, read_bytes)))
    fns.update({name: (lambda cls=cls: cls(path)) for name, cls in impls.items()})
    times = interleaved_medians(fns, repeat, notes, "construct: ", runs=runs)
    return {k: times[k] for k in FLOOR}, {k: times[k] for k in impls if k in times}


def bench_extractors(impls: dict, meta: dict, repeat: int, runs: dict, log, notes: list) -> dict:
    """Times of every extractor of every reader on a built parser, the readers in turns.

    Returns reader name -> {extractor label: time}.
    """
    out = {name: {} for name in impls}
    parsers = {name: cls(meta["path"]) for name, cls in impls.items()}
    for label, method, args, _ in extractor_calls(meta):
        fns = {name: (lambda p=p: getattr(p, method)(*args)) for name, p in parsers.items()}
        for name, t in interleaved_medians(fns, repeat, notes, f"{label}: ", runs=runs, warm=False).items():
            out[name][label] = t
            log(f"{name}: {label} {t:.3f} s")
    return out


def csv_readers():
    """name -> (reader(path, kind) or None, note)."""
    readers = {}
    try:
        import pandas as pd

        readers["pandas.read_csv"] = (lambda p, kind: pd.read_csv(p, engine="c"), f"pandas {pd.__version__}")
    except ImportError:
        readers["pandas.read_csv"] = (None, "pandas not installed: skipped")
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
    readers["numpy.loadtxt"] = (lambda p, kind: np.loadtxt(p, delimiter=",", skiprows=1), f"numpy {np.__version__}")
    return readers


def bench_end_to_end(impls: dict, meta: dict, repeat: int, runs: dict, log, notes: list) -> dict:
    """Each reader end to end on the ORVEX file of one kind of record, in
    turns with the CSV readers on the CSV file of the same records.

    Returns (reader name, task) -> time, for ORVEX and CSV readers alike.
    """
    times = {}
    readers = csv_readers()
    notes += [f"{name}: {note}" for name, (_, note) in readers.items()]
    for task, method, key, kind in END_TO_END:
        fns = {name: (lambda cls=cls, p=meta["subsets"][key]: getattr(cls(p), method)())
               for name, cls in impls.items()}
        fns.update({name: (lambda r=reader, p=meta["csv"][key]: r(p, kind))
                    for name, (reader, _) in readers.items() if reader is not None})
        for name, t in interleaved_medians(fns, repeat, notes, f"{task}: ", runs=runs).items():
            times[(name, task)] = t
            log(f"{name} {task}: {t:.3f} s")
    return times


def _read_all(cls, path):
    """What each thread does: construct, then the three array forms."""
    parser = cls(path)
    parser.get_nodes_arrays()
    parser.get_elements_arrays()
    parser.get_output_vectors_arrays()


def bench_threads(cls, paths: list, repeat: int, notes: list) -> dict:
    """Median times of reading the files one after the other and on one thread each."""
    def one_after_the_other():
        for p in paths:
            _read_all(cls, p)

    def on_threads():
        errors = []

        def run(p):
            try:
                _read_all(cls, p)
            except BaseException as exc:  # noqa: BLE001 - raised again below
                errors.append(exc)

        threads = [threading.Thread(target=run, args=(p,)) for p in paths]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        if errors:
            raise errors[0]

    return interleaved_medians({"one after the other": one_after_the_other, "two threads": on_threads},
                               repeat, notes, "threads: ")


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


def memory_probe(impl: str, path: str) -> dict:
    """RSS growth of building one parser: its peak, and what stays with the parser alive."""
    import resource

    cls = impl_class(impl)
    gc.collect()
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


def measure_memory(impl: str, path: str, notes: list) -> dict | None:
    cmd = [sys.executable, str(Path(__file__).resolve()), "--memory-probe", impl, path]
    proc = subprocess.run(cmd, capture_output=True, text=True)
    if proc.returncode != 0:
        err = (proc.stderr.strip().splitlines() or ["no message"])[-1]
        notes.append(f"memory probe {impl} failed: {err}")
        return None
    return json.loads(proc.stdout.strip().splitlines()[-1])


# --------------------------------------------------------------------------
# layering of the C++ sources

_INCLUDE = re.compile(r'^[ \t]*#[ \t]*include[ \t]*([<"])([^>"\n]+)[>"]', re.M)


def _is_python_header(name: str, python_include: Path) -> bool:
    return name == "Python.h" or name.startswith("numpy/") or (python_include / name).is_file()


def cxx_layering(src_dir: Path) -> dict | None:
    """Lines of every .cpp/.hpp under src_dir, split by whether the file
    reaches a Python or NumPy header, directly or through project headers.

    A `#include "..."` is looked up next to the including file, then from
    src_dir; an include that names no project file is a Python header if it
    is Python.h, under numpy/, or one of the interpreter's own headers.
    """
    src_dir = Path(src_dir)
    files = sorted(p.resolve() for p in src_dir.rglob("*") if p.suffix in (".cpp", ".hpp") and p.is_file())
    if not files:
        return None
    python_include = Path(sysconfig.get_paths()["include"])
    texts = {f: f.read_text(errors="replace") for f in files}
    project, direct = {}, set()
    for f, text in texts.items():
        project[f] = []
        for kind, name in _INCLUDE.findall(text):
            local = [f.parent / name, src_dir / name] if kind == '"' else []
            found = next((c.resolve() for c in local if c.is_file()), None)
            if found is not None:
                project[f].append(found)
            elif _is_python_header(name, python_include):
                direct.add(f)

    def reaches_python(f):
        seen, todo = {f}, [f]
        while todo:
            g = todo.pop()
            if g in direct:
                return True
            for h in project.get(g, ()):
                if h not in seen:
                    seen.add(h)
                    todo.append(h)
        return False

    lines = {f: len(text.splitlines()) for f, text in texts.items()}
    free = [f for f in files if not reaches_python(f)]
    return {"files": len(files), "lines": sum(lines.values()),
            "free_files": len(free), "free_lines": sum(lines[f] for f in free)}


# --------------------------------------------------------------------------
# report


def _s(t):
    return "" if t is None else f"{t:.3f}"


def _rate(nbytes, t):
    return "" if not t else f"{nbytes / MB / t:.1f}"


def _x(r):
    return "" if r is None else (f"{r:.1f}x" if r >= 1 else f"{r:.2g}x")


def _ratio(base, ours):
    return None if base is None or not ours else base / ours


def _with_ratio(base, ours):
    if base is None:
        return ""
    return f"{base:.3f} ({_x(_ratio(base, ours))})" if ours else f"{base:.3f}"


def _table(head, rows):
    lines = ["| " + " | ".join(head) + " |", "|" + "|".join("---" for _ in head) + "|"]
    lines += ["| " + " | ".join(str(c) for c in row) + " |" for row in rows]
    return "\n".join(lines)


PANDAS, ARROW = "pandas.read_csv", "pyarrow.csv (1 thread)"


def targets(meta, ours, plain, csv_times, floor, threads, memory, layering) -> list:
    """(figure, measured, target, met) for every figure the reader is held to."""
    ours, plain = ours or {}, plain or {}
    rows = []

    def add(figure, value, bound, at_most=False, fmt=_x):
        target = ("at most " if at_most else "at least ") + (f"{bound:.0%}" if bound < 1 else f"{bound:g}x")
        if value is None:
            rows.append([figure, "", target, "not measured"])
        else:
            rows.append([figure, fmt(value), target, "met" if (value <= bound if at_most else value >= bound)
                         else "missed"])

    mem = (memory or {}).get("tremix")
    add("peak memory of construction over the process before it, x file",
        mem["peak"] / meta["bytes"] if mem else None, 1.3, at_most=True, fmt=lambda r: f"{r:.2f}x")
    tc, tf = ours.get("construct"), floor.get("open(path).read()")
    add("construction time / open(path).read()", tc / tf if tc and tf else None, 1.1, at_most=True,
        fmt=lambda r: f"{r:.2f}x")
    for task, label in (("nodes", "nodes-only file"), ("first result vector", "first-vector-only file")):
        for reader in (PANDAS, ARROW):
            add(f"end to end, {label} vs {reader}, records/s",
                _ratio(csv_times.get((reader, task)), ours.get("e2e " + task)), 2)
    for name in ("get_nodes_arrays()", "get_elements_arrays()", "get_output_vectors_arrays() (first vector)"):
        add(f"{name} vs plain Python", _ratio(plain.get(name), ours.get(name)), 40)
    add("two files on two threads vs one after the other",
        _ratio((threads or {}).get("one after the other"), (threads or {}).get("two threads")), 1.6)
    add("share of C++ lines that reach no Python or NumPy header",
        layering["free_lines"] / layering["lines"] if layering else None, 0.35, fmt=lambda r: f"{r:.0%}")
    return rows


def report(meta, args, ours, plain, csv_times, floor, threads, thread_metas, memory, layering, notes) -> str:
    size = meta["bytes"]
    block_bytes = meta["block_bytes"]
    values = sum(meta["values_per_vector"])
    out = [
        "# ORVEX reader benchmark",
        "",
        f"File: {size / MB:.1f} MB, {meta['separator']}-separated; {meta['n_nodes']:,} nodes, "
        f"{meta['n_elements']:,} elements, {meta['n_vectors']} result vectors ({values:,} values).  ",
        f"Median of {args.repeat} runs ({args.slow_repeat} for the plain-Python reader); "
        "what is compared in a row is timed in turns.  ",
        f"Python {platform.python_version()}, numpy {np.__version__}, {platform.machine()}, "
        f"{os.cpu_count()} CPUs.  ",
        "Speed-up = baseline time / tremix time (above 1x: tremix is faster).",
        "",
        "## Targets",
        "",
        _table(["figure", "measured", "target", "met?"],
               targets(meta, ours, plain, csv_times, floor, threads, memory, layering)),
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
        rows.append([label, f"{nb / MB:.1f}", _s(t), _rate(size, t), _rate(nb, t), _s(tp),
                     _x(_ratio(tp, t))])
    out.append(_table(["operation", "MB read", "tremix s", "MB/s file", "MB/s read", "plain Python s",
                       "speed-up vs plain"], rows))

    subset_sizes = {k: os.path.getsize(p) for k, p in meta["subsets"].items()}
    csv_sizes = {k: os.path.getsize(p) for k, p in meta["csv"].items()}
    records = {"nodes": meta["n_nodes"], "first_vector": meta["values_per_vector"][0] if values else 0}
    out += ["", "## End to end: construct + array form, on a file of those records only", "",
            "tremix and plain Python read an ORVEX file holding only the records in question, with "
            "the very lines of the generated file (nodes: its node block; first vector: one result "
            "block holding that vector up to its end-of-data line); the CSV readers read a CSV of the "
            "same records with the same number texts. All read the same records, so the speed-up is "
            "also the ratio of records per second.", ""]
    readers = [r for r in csv_readers() if any(k[0] == r for k in csv_times)]
    head = ["task", "records", "ORVEX MB", "CSV MB", "tremix s", "tremix records/s",
            "plain Python s (speed-up)"] + [f"{r} s (speed-up)" for r in readers]
    rows = []
    for task, _, key, _ in END_TO_END:
        t, tp = (ours or {}).get("e2e " + task), (plain or {}).get("e2e " + task)
        row = [task, f"{records[key]:,}", f"{subset_sizes[key] / MB:.1f}", f"{csv_sizes[key] / MB:.1f}", _s(t),
               f"{records[key] / t / 1e6:.1f} M" if t else "", _with_ratio(tp, t)]
        row += [_with_ratio(csv_times.get((r, task)), t) for r in readers]
        rows.append(row)
    out.append(_table(head, rows))

    out += ["", "## Floor", ""]
    rows = []
    for name, tf in floor.items():
        tc = (ours or {}).get("construct")
        rows.append([name, _s(tf), _rate(size, tf), f"{tc / tf:.2f}x" if tc else ""])
    out.append(_table(["reading the ORVEX file", "s", "MB/s", "ORVEXParser(path) time / this"], rows))

    if threads:
        sizes = ", ".join(f"{m['bytes'] / MB:.1f}" for m in thread_metas)
        out += ["", "## Two files on two threads", "",
                f"Two generated files ({sizes} MB, other seeds); each is read by constructing a parser, "
                "then get_nodes_arrays(), get_elements_arrays() and get_output_vectors_arrays(). "
                "The two ways alternate within each of the runs.", ""]
        seq = threads["one after the other"]
        out.append(_table(["reading both files", "s", "speed-up"],
                          [[k, _s(v), _x(seq / v)] for k, v in threads.items()]))

    if memory:
        out += ["", "## Memory of a built parser (multiple of the file size)", "",
                "Each figure comes from a fresh process that imports the reader, then builds one parser.  "
                "RSS peak = peak RSS during construction (VmHWM, reset just before; ru_maxrss where "
                "that is unavailable) minus RSS before it (every allocation, page-granular); "
                "RSS retained = RSS with the parser alive, after gc, minus RSS before.", ""]
        rows = [[label, f"{m['peak'] / size:.2f}", f"{m['retained'] / size:.2f}"]
                for impl, label in (("tremix", "tremix"), ("plain", "plain Python"))
                if (m := memory.get(impl))]
        out.append(_table(["reader", "RSS peak", "RSS retained"], rows))

    if layering:
        free, total = layering["free_lines"], layering["lines"]
        out += ["", "## C++ sources by Python dependence", "",
                "Lines of every .cpp/.hpp under tremix/core/src (the test-only module's source included); "
                "a file depends on Python when it, or a project header it includes at any depth, "
                "includes a Python or NumPy header.", ""]
        out.append(_table(["files", "count", "lines", "share of lines"], [
            ["no Python or NumPy header", layering["free_files"], f"{free:,}", f"{free / total:.0%}"],
            ["reaching a Python or NumPy header", layering["files"] - layering["free_files"],
             f"{total - free:,}", f"{(total - free) / total:.0%}"],
        ]))

    if notes:
        out += ["", "## Notes", ""] + [f"- {n}" for n in notes]
    return "\n".join(out) + "\n"


# --------------------------------------------------------------------------


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--size-mb", type=float, help="minimum size of the main file (default 100; --quick: 5)")
    ap.add_argument("--thread-mb", type=float,
                    help="minimum size of each of the two files read on threads (default 35; --quick: 1)")
    ap.add_argument("--repeat", type=int, help="runs per measurement of tremix and the floor (default 5; --quick: 2)")
    ap.add_argument("--slow-repeat", type=int, default=None,
                    help="runs per measurement of plain Python (default min(repeat, 3))")
    ap.add_argument("--separator", choices=orvex_gen.SEPARATORS, default="comma")
    ap.add_argument("--seed", type=int, default=0)
    ap.add_argument("--cache-dir", type=Path,
                    default=Path(os.environ.get("TREMIX_BENCH_CACHE", Path(tempfile.gettempdir()) / "tremix-bench")))
    ap.add_argument("--out", type=Path, help="also write the Markdown report to this file")
    ap.add_argument("--quick", action="store_true", help="smoke run: small files, 2 runs")
    ap.add_argument("--no-plain", action="store_true", help="skip the plain-Python reader")
    ap.add_argument("--no-memory", action="store_true", help="skip the memory measurements")
    ap.add_argument("--memory-probe", nargs=2, metavar=("IMPL", "PATH"), help=argparse.SUPPRESS)
    args = ap.parse_args(argv)

    if args.memory_probe:
        impl, path = args.memory_probe
        print(json.dumps(memory_probe(impl, path)))
        return 0

    defaults = (5.0, 1.0, 2) if args.quick else (100.0, 35.0, 5)
    for name, value in zip(("size_mb", "thread_mb", "repeat"), defaults):
        if getattr(args, name) is None:
            setattr(args, name, value)
    if args.slow_repeat is None:
        args.slow_repeat = min(args.repeat, 3)

    def log(msg):
        print(f"[bench] {msg}", file=sys.stderr, flush=True)

    notes = []
    meta = prepare_files(args.size_mb, args.separator, args.seed, args.cache_dir, log)
    thread_metas = [prepare_files(args.thread_mb, args.separator, args.seed + k, args.cache_dir, log,
                                  derived=False) for k in (1, 2)]
    path = meta["path"]

    cls, note = load_parser_class()
    if note:
        notes.append(note)
    impls = {"tremix": cls} if cls else {}
    if args.no_plain:
        notes.append("plain-Python reader skipped (--no-plain)")
    else:
        impls["plain"] = PlainParser
    runs = {"plain": args.slow_repeat}
    floor, construct = bench_construction(impls, path, args.repeat, runs, notes)
    log(f"floor: {floor}, construction: {construct}")
    times = bench_extractors(impls, meta, args.repeat, runs, log, notes)
    for name, t in construct.items():
        times[name]["construct"] = t
    e2e = bench_end_to_end(impls, meta, args.repeat, runs, log, notes)
    for (name, task), t in list(e2e.items()):
        if name in impls:
            times[name]["e2e " + task] = t
            del e2e[(name, task)]
    ours, plain = times.get("tremix"), times.get("plain")

    threads = None
    if cls:
        threads = bench_threads(cls, [m["path"] for m in thread_metas], args.repeat, notes)
        log(f"threads: {threads}")

    memory = {}
    if not args.no_memory:
        for impl in (["tremix"] if cls else []) + ([] if args.no_plain else ["plain"]):
            memory[impl] = measure_memory(impl, path, notes)
            log(f"memory {impl}: {memory[impl]}")

    layering = cxx_layering(CXX_SOURCES)
    if layering is None:
        notes.append(f"no C++ sources under {CXX_SOURCES}: their share is not measured")

    text = report(meta, args, ours, plain, e2e, floor, threads, thread_metas, memory, layering, notes)
    print(text)
    if args.out:
        args.out.write_text(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
