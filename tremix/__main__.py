"""``python -m tremix [FILE ...] [--json]``: print short summaries of ORVEX Neutral files."""

from __future__ import annotations

import sys


def main(argv: list[str] | None = None) -> int:
    try:
        # NumPy and the compiled reader load here, a noticeable moment in
        # which Ctrl-C is as welcome as later on.
        from tremix.cli import EXIT_INTERRUPTED, main as run
    except KeyboardInterrupt:
        print("tremix: interrupted", file=sys.stderr)
        return 130
    try:
        return run(argv)
    except KeyboardInterrupt:  # between the command's own handlers
        print("tremix: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED


if __name__ == "__main__":
    raise SystemExit(main())
