"""``python -m tremix [FILE ...] [--json]``: print short summaries of ORVEX Neutral files."""

from tremix.cli import main

if __name__ == "__main__":
    raise SystemExit(main())
