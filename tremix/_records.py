"""Array rows as the dict results keep them."""

from __future__ import annotations

import numpy as np
import numpy.typing as npt


def dict_rows(ids: npt.NDArray[np.int32]) -> npt.NDArray[np.intp] | None:
    """The rows a dict keyed by id keeps: one per distinct id, in order of the
    id's first occurrence, holding its last occurrence (the later record
    wins, the key keeps its first position). None when every id is distinct,
    so that callers can use the arrays as they are."""
    if len(ids) < 2:
        return None
    if bool((ids[1:] > ids[:-1]).all()):
        return None  # ascending, as files mostly write them: distinct without a sort
    distinct, first = np.unique(ids, return_index=True)
    if len(distinct) == len(ids):
        return None
    # Both np.unique calls list the same distinct ids in the same (sorted)
    # order, so first[k] and last[k] belong to one id.
    _, from_end = np.unique(ids[::-1], return_index=True)
    last = len(ids) - 1 - from_end
    return last[np.argsort(first, kind="stable")]
