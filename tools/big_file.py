#!/usr/bin/env python
"""Reads a generated result file whose one block holds more than 4 Gi
characters, and checks what comes out: a block that size stores its line
starts in 64 bits from the line that passes the limit on, which no test
file reaches.

    python tools/big_file.py [--gib 4.7] [--crlf] [--dir /tmp] [--keep]

The file (written to --dir, about --gib GiB, removed afterwards unless
--keep) holds one vector of single-value records, "000000001,2.5000000E-01,"
and so on, ids from 1 and values (id % 997) / 4, so every value is exact.
With --crlf its lines end in "\\r\\n", which is read through decoding rather
than in place. Prints the timings and the peak memory of the process
(Linux), and exits with status 1 when anything read differs.
"""

from __future__ import annotations

import argparse
import os
import sys
import time
from pathlib import Path

import numpy as np

LINE = 25  # "000000001,2.4900000E+02," and "\n"
CHUNK = 8_000_000


def value_texts() -> np.ndarray:
    texts = [f"{k / 4:.7E}".encode() for k in range(997)]
    assert {len(t) for t in texts} == {13}
    return np.frombuffer(b"".join(texts), dtype=np.uint8).reshape(997, 13)


def write_file(path: Path, count: int, crlf: bool) -> None:
    end = b"\r\n" if crlf else b"\n"
    head = ["   -1", "   451", "1,1,1,", "Big vector,", "0.,0.,0.,", ",".join(["0"] * 10) + ",",
            ",".join(["0"] * 10) + ",", "1,1,1,7,", "0,0,1,"]
    texts = value_texts()
    width = LINE + len(end) - 1
    with open(path, "wb") as out:
        out.write(end.join(h.encode() for h in head) + end)
        for first in range(1, count + 1, CHUNK):
            ids = np.arange(first, min(first + CHUNK, count + 1), dtype=np.int64)
            rows = np.empty((len(ids), width), dtype=np.uint8)
            for d in range(9):
                rows[:, 8 - d] = 48 + (ids // 10**d) % 10
            rows[:, 9] = ord(",")
            rows[:, 10:23] = texts[ids % 997]
            rows[:, 23] = ord(",")
            rows[:, 24:] = np.frombuffer(end, dtype=np.uint8)
            out.write(rows.tobytes())
        out.write(end.join([b"-1,0.,", b"   -1"]) + end)


def peak_gib() -> float:
    """The process's peak memory so far, in GiB (Linux)."""
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 2**20
    return float("nan")


def reset_peak() -> None:
    # Writing the file takes memory of its own: the reading is measured from here.
    try:
        with open("/proc/self/clear_refs", "w") as refs:
            refs.write("5")
    except OSError:
        pass


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--gib", type=float, default=4.7, help="size of the file (more than 4 to pass the limit)")
    ap.add_argument("--crlf", action="store_true", help='lines end in "\\r\\n"')
    ap.add_argument("--dir", default="/tmp")
    ap.add_argument("--keep", action="store_true", help="keep the file")
    args = ap.parse_args(argv)

    import tremix
    from tremix.core import _native

    count = int(args.gib * 2**30) // LINE
    path = Path(args.dir) / f"tremix-big-{count}{'-crlf' if args.crlf else ''}.neu"
    failures = []
    try:
        if not path.exists():
            t = time.perf_counter()
            write_file(path, count, args.crlf)
            print(f"wrote {path} ({path.stat().st_size / 2**30:.2f} GiB, {count:,} records) "
                  f"in {time.perf_counter() - t:.1f} s")
        size = path.stat().st_size
        reset_peak()
        before = peak_gib()
        t = time.perf_counter()
        parser = tremix.read(path)
        print(f"construction {time.perf_counter() - t:.1f} s, peak {peak_gib():.2f} GiB "
              f"({(peak_gib() - before) * 2**30 / size:.2f}x the file above the start)")

        sizes = [(block_id, lines) for block_id, lines, _first, _unclosed in _native.block_sizes(parser)]
        if sizes != [(451, count + 8)]:
            failures.append(f"blocks {sizes}, expected [(451, {count + 8})]")

        t = time.perf_counter()
        ids, values, set_id, vec_id, ent_type = parser.get_output_vectors_arrays()
        print(f"get_output_vectors_arrays() {time.perf_counter() - t:.1f} s, peak {peak_gib():.2f} GiB")
        expected_ids = np.arange(1, count + 1, dtype=np.int32)
        if (set_id, vec_id, ent_type) != (1, 1, 7):
            failures.append(f"vector {(set_id, vec_id, ent_type)}, expected (1, 1, 7)")
        if not np.array_equal(ids, expected_ids):
            failures.append(f"ids differ ({len(ids):,} read, {count:,} written)")
        elif not np.array_equal(values, (expected_ids % 997) / 4):
            bad = int(np.flatnonzero(values != (expected_ids % 997) / 4)[0])
            failures.append(f"values differ, first at record {bad + 1:,}: {values[bad]!r}")
        del ids, values, expected_ids

        t = time.perf_counter()
        infos = tremix.vectors(parser)
        found = tremix.check(parser)
        print(f"tremix.vectors() and tremix.check() {time.perf_counter() - t:.1f} s")
        if [(v.set_id, v.vec_id, v.count) for v in infos] != [(1, 1, count)]:
            failures.append(f"catalogue {infos}")
        if found:
            failures.append(f"findings: {found[:3]}")
    finally:
        if not args.keep:
            path.unlink(missing_ok=True)
    for failure in failures:
        print("FAILED:", failure)
    print("ok" if not failures else f"{len(failures)} failures")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
