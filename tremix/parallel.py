"""Reading one result vector from each of many files, in parallel processes.

    from tremix.parallel import read_vectors

    frame = read_vectors(sorted(Path("runs").glob("*.neu")), set_id_filter=1, vec_id_filter=60000)

Each worker process reads whole files on its own (a parser never leaves the
worker; only the two result arrays come back), so the work scales with the
number of cores for folders of many files. pandas is needed only to build
the result frame; importing this module does not import it.
"""

from __future__ import annotations

import io
import os
from collections.abc import Iterable, Sequence
from concurrent.futures import Future, ProcessPoolExecutor
from multiprocessing.context import BaseContext
from typing import TYPE_CHECKING, Any

import numpy as np

from tremix.reading import read

if TYPE_CHECKING:
    import pandas

COLUMNS = ("path", "set_id", "vec_id", "ent_type", "entity_id", "value")

# What a worker sends back for one file: the arrays and the vector's ids,
# or None in place of the arrays when no vector matched.
_FileResult = tuple[str, Any, Any, int, int, int]


def read_vector_arrays(path: str | os.PathLike[str], set_id_filter: int = -1, vec_id_filter: int = -1,
                       *, encoding: str | None = None, errors: str | None = None) -> _FileResult:
    """Reads one file as :func:`tremix.read` does (``.gz``, ``.bz2`` and ``.xz``
    files decompressed, in `encoding` with `errors`) and returns (path,
    entity_ids, values, set_id, vec_id, ent_type) of its first vector that
    passes the filters; the arrays are None when none does."""
    path = os.fspath(path)
    parser = read(path, encoding=encoding, errors=errors)
    return (path, *parser.get_output_vectors_arrays(set_id_filter, vec_id_filter))


def read_vector(path: str | os.PathLike[str], set_id_filter: int = -1, vec_id_filter: int = -1,
                *, skip_missing: bool = False, categories: Sequence[str] | None = None,
                encoding: str | None = None, errors: str | None = None) -> pandas.DataFrame:
    """One file's first vector that passes the filters, as a frame with the
    columns of :data:`COLUMNS` (one row per stored value); the file is read
    as :func:`read_vector_arrays` reads it.

    The ``path`` column's categories are `categories` when given (every
    path of a set of frames, so that they concatenate into one categorical
    column and agree with :func:`empty_frame` as Dask metadata), else the
    path alone (none when `skip_missing` leaves the frame without rows)."""
    _pandas()
    arrays = read_vector_arrays(path, set_id_filter, vec_id_filter, encoding=encoding, errors=errors)
    return _frame([arrays], set_id_filter, vec_id_filter, skip_missing, categories)


def empty_frame(categories: Sequence[str] = ()) -> pandas.DataFrame:
    """A frame without rows with the columns and types of :func:`read_vector`'s,
    its ``path`` categories `categories`: the metadata Dask asks for."""
    return _frame([], -1, -1, True, categories)


def read_vectors(paths: Iterable[str | os.PathLike[str]], set_id_filter: int = -1, vec_id_filter: int = -1,
                 *, max_workers: int | None = None, mp_context: BaseContext | None = None,
                 skip_missing: bool = False, encoding: str | None = None,
                 errors: str | None = None) -> pandas.DataFrame:
    """Reads every file in `paths` in a pool of worker processes (each as
    ``tremix.read(path, encoding=encoding, errors=errors)``) and gathers,
    from each file, the first vector that passes the filters into one frame.

    The frame has one row per stored value and the columns of :data:`COLUMNS`;
    files keep the order of `paths`. A file in which no vector matches raises
    LookupError, unless `skip_missing` is true, when it adds no rows (and its
    path is not among the ``path`` categories). Errors from reading a file
    (missing file, OverflowError, ...) are raised in the caller with a note
    naming the file.
    """
    _pandas()
    if isinstance(paths, (str, bytes, os.PathLike)):
        # A path is iterable too, one character at a time.
        raise TypeError(f"read_vectors() takes an iterable of paths, not a single path: {paths!r}")
    paths = [os.fspath(p) for p in paths]
    # The filters are checked here, as get_output_vectors_arrays checks
    # them, so that a bad one is not reported as an error of the first file.
    read(io.StringIO("")).get_output_vectors_arrays(set_id_filter, vec_id_filter)
    if not paths:
        return _frame([], set_id_filter, vec_id_filter, skip_missing)
    with ProcessPoolExecutor(max_workers=max_workers, mp_context=mp_context) as pool:
        futures: list[Future[_FileResult]] = []
        results = []
        try:
            for p in paths:
                futures.append(pool.submit(read_vector_arrays, p, set_id_filter, vec_id_filter,
                                           encoding=encoding, errors=errors))
            for path, future in zip(paths, futures):
                try:
                    results.append(future.result())
                except Exception as exc:
                    exc.add_note(f"while reading {path}")
                    raise
        except BaseException:
            # Files not started are not read: leaving the pool waits only
            # for those under way (Ctrl-C among the causes), also when it
            # comes while the files are still being handed to the pool,
            # which for many files takes a noticeable moment.
            for pending in futures:
                pending.cancel()
            raise
    return _frame(results, set_id_filter, vec_id_filter, skip_missing)


def _frame(results: list[_FileResult], set_id_filter: int, vec_id_filter: int,
           skip_missing: bool, categories: Sequence[str] | None = None) -> pandas.DataFrame:
    _pandas()
    import pandas

    from tremix.frames import _text_index

    found = [r for r in results if r[1] is not None]
    missing = [r[0] for r in results if r[1] is None]
    if missing and not skip_missing:
        raise LookupError(f"no output vector with set_id_filter={set_id_filter}, vec_id_filter={vec_id_filter} "
                          f"in {len(missing)} file(s): {', '.join(missing)}")
    if categories is not None and not {r[0] for r in found} <= set(categories):
        raise ValueError(f"the categories lack {sorted({r[0] for r in found} - set(categories))}")
    sizes = [len(r[1]) for r in found]

    def per_file(k: int, dtype: type) -> np.ndarray:
        return np.repeat(np.array([r[k] for r in found], dtype=dtype), sizes)

    def stacked(k: int, dtype: type) -> np.ndarray:
        return np.concatenate([r[k] for r in found]) if found else np.empty(0, dtype=dtype)

    paths = list(dict.fromkeys(r[0] for r in found) if categories is None else dict.fromkeys(categories))
    code = {path: k for k, path in enumerate(paths)}
    return pandas.DataFrame({
        # From codes: the paths themselves would be made pandas text first.
        "path": pandas.Categorical.from_codes(np.repeat(np.array([code[r[0]] for r in found], dtype=np.int64), sizes),
                                              categories=_text_index(paths)),
        "set_id": per_file(3, np.int32),
        "vec_id": per_file(4, np.int32),
        "ent_type": per_file(5, np.int32),
        "entity_id": stacked(1, np.int32),
        "value": stacked(2, np.float64),
    })


def _pandas() -> None:
    """Imports pandas (before any file is read): its ImportError names the extra it comes with."""
    try:
        import pandas  # noqa: F401
    except ImportError as exc:
        raise ImportError('tremix.parallel needs pandas (the "pandas" extra of tremix); '
                          "install it with: pip install pandas") from exc
