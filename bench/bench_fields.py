"""Micro-benchmark of the field tokenizer and number conversion (not a test).

Times, in a C++ loop inside the test hook, splitting a typical node line and
converting what a node record reads (field 0 as int32, fields 11-13 as
doubles), and reading node and result lines the way exporters write them
without splitting them. Prints the best of many short runs, which is the
figure least disturbed by other work on the machine.

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

RESULT_LINE = "-1.2084482E-07,1.2493515E-03,9.2894503E+08,0.0000000E+00,-3.4567890E+02,7.1234567E-11,"
SINGLE_LINE = "12,-1.2084482E-07,"


def main(rounds: int = 30, repeat: int = 20000) -> None:
    best = {name: [float("inf"), float("inf")] for name in LINES}
    for _ in range(rounds):
        for name, line in LINES.items():
            best[name][0] = min(best[name][0], _fieldcheck.node_line_ns(line, repeat))
            best[name][1] = min(best[name][1], _fieldcheck.split_ns(line, repeat))
    for name, (both, split) in best.items():
        print(f"{name:20s} split+convert {both:7.1f} ns/line   split only {split:6.1f} ns/line")
    plain = {"node line": [float("inf"), 1], "result line": [float("inf"), RESULT_LINE.count(",")],
             "single record": [float("inf"), 1]}
    for _ in range(rounds):
        plain["node line"][0] = min(plain["node line"][0], _fieldcheck.plain_node_ns(LINES["commas"], repeat))
        plain["result line"][0] = min(plain["result line"][0], _fieldcheck.plain_values_ns(RESULT_LINE, repeat))
        plain["single record"][0] = min(plain["single record"][0], _fieldcheck.plain_single_ns(SINGLE_LINE, repeat))
    for name, (ns, values) in plain.items():
        print(f"{name:20s} read whole    {ns:7.1f} ns/line   {ns / values:6.1f} ns/value")


if __name__ == "__main__":
    main()
