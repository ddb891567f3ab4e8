"""``python -m tremix [FILE] [--json]``: print a short summary of an ORVEX Neutral file."""

from tremix.summary import main

if __name__ == "__main__":
    raise SystemExit(main())
