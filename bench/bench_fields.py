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

DEFAULT_NODE_LINE = "1234,0,0,1,7,0,0,0,0,0,0,-2.2119522E+02,-2.2143531E+02,0.0000000E+00,"
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
    plain = {
        "commas": lambda: _fieldcheck.plain_node_ns(LINES["commas"], repeat),
        "node, default shape": lambda: _fieldcheck.plain_node_ns(DEFAULT_NODE_LINE, repeat),
        "result line": lambda: _fieldcheck.plain_values_ns(RESULT_LINE, repeat),
        "single record": lambda: _fieldcheck.plain_single_ns(SINGLE_LINE, repeat),
    }
    fastest = {name: min(time() for _ in range(rounds)) for name, time in plain.items()}
    for name, ns in fastest.items():
        print(f"{name:20s} read whole    {ns:7.1f} ns/line", end="")
        print(f"   {ns / RESULT_LINE.count(','):6.1f} ns/value" if name == "result line" else "")


if __name__ == "__main__":
    main()
