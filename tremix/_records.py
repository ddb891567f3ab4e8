"""Array rows as the dict results keep them."""

from __future__ import annotations

import numpy as np
import numpy.typing as npt


def dict_rows(ids: npt.NDArray[np.int32], *, ordered: bool = True) -> npt.NDArray[np.intp] | None:
    """The rows a dict keyed by id keeps: one per distinct id, in order of the
    id's first occurrence, holding its last occurrence (the later record
    wins, the key keeps its first position). None when every id is distinct,
    so that callers can use the arrays as they are. With `ordered` false the
    rows come in no particular order, for what does not depend on it (a
    count, a range of values), which saves a sort."""
    if len(ids) < 2:
        return None
    if bool((ids[1:] > ids[:-1]).all()):
        return None  # ascending, as files mostly write them: distinct without a sort
    # One stable sort groups each id's rows in file order; it is quick on
    # ids that rise in runs, as files write them when they do not rise
    # throughout (a group of elements after another, an id written again).
    order = np.argsort(ids, kind="stable")
    grouped = ids[order]
    ends = np.empty(len(ids), dtype=bool)  # the last row of each id's group
    np.not_equal(grouped[1:], grouped[:-1], out=ends[:-1])
    ends[-1] = True
    del grouped
    if ends.all():
        return None
    last = order[ends]
    if not ordered:
        return last
    starts = np.empty_like(ends)
    starts[0] = True
    starts[1:] = ends[:-1]
    return last[np.argsort(order[starts], kind="stable")]
