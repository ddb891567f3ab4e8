#!/usr/bin/env python
"""Reading one result vector from each of many files: serial, threads,
worker processes (tremix.parallel) and Dask.

    python bench/many_files.py [--files 8] [--size-mb 25] [--workers 2] [--repeat 3]

Generates the files once (cached in /tmp/tremix-bench or
$TREMIX_BENCH_CACHE), then times each way of reading vector (1, 60000) of
every file into one pandas frame, as the median of --repeat runs. Dask is
timed when it is installed (``pip install ".[dask]"``), its cluster's start
apart from the reading. Prints a Markdown table.
"""

from __future__ import annotations

import argparse
import os
import statistics
import sys
import time
from collections.abc import Callable
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import orvex_gen  # noqa: E402
import pandas as pd  # noqa: E402

from tremix.parallel import empty_frame, read_vector, read_vectors  # noqa: E402

SET_ID, VEC_ID = 1, 60000


def make_files(count: int, size_mb: float) -> list[str]:
    cache = Path(os.environ.get("TREMIX_BENCH_CACHE", "/tmp/tremix-bench")) / f"many-{size_mb:g}mb"
    cache.mkdir(parents=True, exist_ok=True)
    paths = []
    for k in range(count):
        path = cache / f"run{k:03d}.neu"
        if not path.exists():
            orvex_gen.generate(path, target_mb=size_mb, n_vectors=8, n_sets=2, seed=k)
        paths.append(str(path))
    return paths


def timed(run: Callable[[], pd.DataFrame], repeat: int) -> tuple[float, int]:
    times, rows = [], 0
    for _ in range(repeat):
        start = time.perf_counter()
        rows = len(run())
        times.append(time.perf_counter() - start)
    return statistics.median(times), rows


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--files", type=int, default=8)
    ap.add_argument("--size-mb", type=float, default=25.0)
    ap.add_argument("--workers", type=int, default=2)
    ap.add_argument("--repeat", type=int, default=3)
    args = ap.parse_args()
    paths = make_files(args.files, args.size_mb)
    total_mb = sum(os.path.getsize(p) for p in paths) / 1e6
    w = args.workers

    def serial() -> pd.DataFrame:
        return pd.concat([read_vector(p, SET_ID, VEC_ID, categories=paths) for p in paths], ignore_index=True)

    def threads() -> pd.DataFrame:
        with ThreadPoolExecutor(max_workers=w) as pool:
            frames = list(pool.map(lambda p: read_vector(p, SET_ID, VEC_ID, categories=paths), paths))
        return pd.concat(frames, ignore_index=True)

    def processes() -> pd.DataFrame:
        return read_vectors(paths, SET_ID, VEC_ID, max_workers=w)

    ways: list[tuple[str, Callable[[], pd.DataFrame]]] = [
        ("serial (one thread)", serial),
        (f"threads: ThreadPoolExecutor({w})", threads),
        (f"processes: tremix.parallel.read_vectors(max_workers={w})", processes),
    ]
    rows_out = []
    try:
        import dask
        import dask.dataframe as dd
        from distributed import Client, LocalCluster
    except ImportError:
        dask = None
    if dask is not None:
        def dask_threads() -> pd.DataFrame:
            parts = [dask.delayed(read_vector)(p, SET_ID, VEC_ID, categories=paths) for p in paths]
            return dd.from_delayed(parts, meta=empty_frame(paths)).compute(scheduler="threads", num_workers=w)

        ways.append((f"dask.dataframe.from_delayed, threaded scheduler ({w})", dask_threads))
        start = time.perf_counter()
        cluster = LocalCluster(n_workers=w, threads_per_worker=1, processes=True, dashboard_address=None)
        client = Client(cluster)
        client.run(lambda: __import__("tremix.parallel"))  # warm the workers' imports
        rows_out.append((f"(starting a LocalCluster of {w} worker processes)", time.perf_counter() - start, None))

        def dask_cluster() -> pd.DataFrame:
            futures = client.map(read_vector, paths, set_id_filter=SET_ID, vec_id_filter=VEC_ID, categories=paths,
                                 pure=False)  # no results kept from an earlier run
            return pd.concat(client.gather(futures), ignore_index=True)

        ways.append((f"Dask LocalCluster({w} processes), client.map", dask_cluster))

    base = None
    for name, run in ways:
        seconds, rows = timed(run, args.repeat)
        base = base or seconds
        rows_out.append((name, seconds, base / seconds))
    if dask is not None:
        client.close()
        cluster.close()

    print(f"{len(paths)} files, {total_mb:.0f} MB in all; vector ({SET_ID}, {VEC_ID}) of each, "
          f"{rows:,} values; median of {args.repeat}; {os.cpu_count()} CPUs\n")
    print("| way | s | speed-up vs serial |\n|---|---|---|")
    for name, seconds, speedup in rows_out:
        print(f"| {name} | {seconds:.3f} | {'' if speedup is None else f'{speedup:.2f}x'} |")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
