#!/usr/bin/env python
"""The package layer against the reader: the vector catalogue, reading every
vector through tremix.Results, and the tremix command's summary.

    python bench/user_layer.py [--size-mb 100] [--vectors 60] [--sets 6] [--repeat 5]

Generates (or reuses from /tmp/tremix-bench, or $TREMIX_BENCH_CACHE) a file
with that many result vectors and prints, as medians of --repeat runs:

- tremix.vectors(parser) against parser.get_output_vectors();
- every vector read through one tremix.Results (with and without making
  it) against one pass over them all, counted as each vector's values times
  the cost per value of reading the first vector of its kind (nodal range
  records, elemental single records) with get_output_vectors_arrays(),
  which then walks nothing; and the old way, one
  get_output_vectors_arrays(set_id, vec_id) call per vector;
- the summary of the tremix command (tremix.summary.summary_of) against
  constructing the parser, both in fresh processes: time, and peak memory
  above the memory before reading (VmHWM, Linux).
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import statistics
import subprocess
import sys
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import orvex_gen  # noqa: E402

import tremix  # noqa: E402
from tremix.core.orvex_parser import ORVEXParser  # noqa: E402


def median_time(run: Callable[[], Any], repeat: int) -> float:
    times = []
    for _ in range(repeat):
        gc.collect()
        start = time.perf_counter()
        run()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


class _ElementalOnly(ORVEXParser):
    """Hides the nodal blocks, so that the first vector found is elemental."""

    def get_blocks(self, block_id: int) -> list:
        return [] if block_id == 1051 else super().get_blocks(block_id)


def vectors_report(path: str, repeat: int) -> list[str]:
    parser = ORVEXParser(path)
    results = tremix.Results(parser)
    values = [len(results.arrays_at(k)[0]) for k in range(len(results))]
    total = sum(values)

    t_dicts = median_time(parser.get_output_vectors, max(1, repeat // 2))
    t_catalogue = median_time(lambda: tremix.vectors(parser), repeat)

    def read_all(made: tremix.Results) -> None:
        for k in range(len(made)):
            made.arrays_at(k)

    t_read = median_time(lambda: read_all(results), repeat)
    t_made_and_read = median_time(lambda: read_all(tremix.Results(parser)), repeat)
    t_old = median_time(lambda: [parser.get_output_vectors_arrays(i.set_id, i.vec_id) for i in results], 1)

    per_value = {}
    for kind, source in (("nodal", parser), ("elemental", _ElementalOnly(path))):
        ids, _, _, _, ent_type = source.get_output_vectors_arrays()
        per_value[ent_type] = (kind, median_time(source.get_output_vectors_arrays, repeat) / len(ids))
    t_pass = sum(per_value[info.ent_type][1] * n for info, n in zip(results, values))
    ns = {kind: f"{cost * 1e9:.1f}" for kind, cost in per_value.values()}

    return [
        f"{len(results)} vectors, {total:,} values; first-vector cost per value "
        + ", ".join(f"{kind} {v} ns" for kind, v in ns.items()),
        "",
        "| operation | s | ns per value | ratio | target |",
        "|---|---|---|---|---|",
        f"| get_output_vectors() | {t_dicts:.3f} | {t_dicts / total * 1e9:.1f} | | |",
        f"| tremix.vectors(parser) | {t_catalogue:.3f} | {t_catalogue / total * 1e9:.1f} "
        f"| {t_catalogue / t_dicts:.2f} of get_output_vectors() | 0.15 |",
        f"| one pass over all vectors (per-kind first-vector cost) | {t_pass:.3f} | {t_pass / total * 1e9:.1f} | | |",
        f"| every vector through a Results made before | {t_read:.3f} | {t_read / total * 1e9:.1f} "
        f"| {t_read / t_pass:.2f}x one pass | 1.3x |",
        f"| making the Results and reading every vector | {t_made_and_read:.3f} "
        f"| {t_made_and_read / total * 1e9:.1f} | {t_made_and_read / t_pass:.2f}x one pass | |",
        f"| get_output_vectors_arrays(set_id, vec_id) per vector | {t_old:.3f} | {t_old / total * 1e9:.1f} "
        f"| {t_old / t_pass:.2f}x one pass | |",
    ]


def probe(mode: str, path: str) -> dict[str, float]:
    """Runs in a fresh process: time and peak memory of constructing a parser
    (mode "construct") or of constructing and summarising (mode "summary")."""
    from tremix.summary import summary_of

    with open("/proc/self/clear_refs", "w") as fh:
        fh.write("5")  # resets VmHWM to the current RSS
    rss0 = _status("VmRSS")
    start = time.perf_counter()
    parser = ORVEXParser(path)
    built = time.perf_counter()
    if mode == "summary":
        summary_of(parser, path)
    done = time.perf_counter()
    return {"construct": built - start, "summary": done - built, "peak": _status("VmHWM") - rss0}


def _status(key: str) -> int:
    with open("/proc/self/status") as fh:
        for line in fh:
            if line.startswith(key + ":"):
                return int(line.split()[1]) * 1024
    raise OSError(f"no {key}")


def cli_report(path: str, repeat: int) -> list[str]:
    # NumPy loaded as the tremix command loads it: without OpenBLAS threads,
    # which would spin beside the reading for its first tenth of a second.
    env = dict(os.environ)
    env.setdefault("OPENBLAS_NUM_THREADS", "1")

    def run(mode: str) -> dict[str, float]:
        out = subprocess.run([sys.executable, "-P", __file__, "--probe", mode, path], capture_output=True,
                             text=True, check=True, env=env).stdout
        return json.loads(out)

    size = os.path.getsize(path)
    construct = [run("construct") for _ in range(repeat)]
    summary = [run("summary") for _ in range(repeat)]
    t_construct = statistics.median(r["construct"] for r in construct)
    t_summary = statistics.median(r["summary"] for r in summary)
    peak_construct = statistics.median(r["peak"] for r in construct)
    peak_summary = statistics.median(r["peak"] for r in summary)
    return [
        "| fresh process | s | peak memory above start, x file | target |",
        "|---|---|---|---|",
        f"| ORVEXParser(path) | {t_construct:.3f} | {peak_construct / size:.2f} | |",
        f"| ORVEXParser(path), then the summary | {t_construct:.3f} + {t_summary:.3f} "
        f"| {peak_summary / size:.2f} | |",
        f"| what the summary adds | {t_summary / t_construct:.2f}x construction "
        f"| {(peak_summary - peak_construct) / size:.2f} | 0.5x, 0.3 |",
    ]


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--size-mb", type=float, default=100.0)
    ap.add_argument("--vectors", type=int, default=60)
    ap.add_argument("--sets", type=int, default=6)
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--probe", nargs=2, metavar=("MODE", "PATH"), help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.probe:
        print(json.dumps(probe(*args.probe)))
        return 0
    cache = Path(os.environ.get("TREMIX_BENCH_CACHE", "/tmp/tremix-bench"))
    cache.mkdir(parents=True, exist_ok=True)
    path = cache / f"layer-{args.size_mb:g}mb-{args.vectors}v-{args.sets}s.neu"
    if not path.exists():
        orvex_gen.generate(path, target_mb=args.size_mb, n_vectors=args.vectors, n_sets=args.sets)
    lines = [f"File: {os.path.getsize(path) / 1e6:.1f} MB ({path.name}); median of {args.repeat}; "
             f"{os.cpu_count()} CPUs", ""]
    lines += vectors_report(str(path), args.repeat) + [""] + cli_report(str(path), args.repeat)
    print("\n".join(lines))
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
