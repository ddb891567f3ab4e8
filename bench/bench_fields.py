"""Micro-benchmark of the field tokenizer and number conversion (not a test).

Times, in a C++ loop inside the test hook, splitting a typical node line and
converting what a node record reads (field 0 as int32, fields 11-13 as
doubles). Prints the best of many short runs, which is the figure least
disturbed by other work on the machine.

    python -P bench/bench_fields.py
"""

from __future__ import annotations

from tremix.core import _fieldcheck

LINES = {
    "commas": "1,0,0,1,46,0,0,0,0,0,0,1.234567E+01,2.000000E+00,0.000000E+00,",
    "spaces": "       1       0       0       1      46       0       0       0       0       0       0"
    "  1.234567E+01  2.000000E+00  0.000000E+00",
    "commas, 2-byte str": "1,0,0,1,46,0,0,0,0,0,0,1.234567E+01,2.000000E+00,0.000000E+00,\u0100",
}


def main(rounds: int = 30, repeat: int = 20000) -> None:
    best = {name: [float("inf"), float("inf")] for name in LINES}
    for _ in range(rounds):
        for name, line in LINES.items():
            best[name][0] = min(best[name][0], _fieldcheck.node_line_ns(line, repeat))
            best[name][1] = min(best[name][1], _fieldcheck.split_ns(line, repeat))
    for name, (both, split) in best.items():
        print(f"{name:20s} split+convert {both:7.1f} ns/line   split only {split:6.1f} ns/line")


if __name__ == "__main__":
    main()
