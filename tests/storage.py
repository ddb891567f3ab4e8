"""The two ways a parser holds its blocks' lines, for running the same test
on both: the file's stored text ("text", as a parser built from a file has
it) or Python lists of str ("list", what a block has once its `lines` was
read, and what blocks made by callers have)."""

from __future__ import annotations

STORAGES = ("text", "list")


def in_storage(parser, storage: str):
    """Returns `parser` with its blocks' lines held as `storage` says."""
    if storage == "list":
        for blocks in (parser.blocks or {}).values():
            for block in blocks:
                block.lines  # noqa: B018 - reading the attribute makes the list
    return parser
