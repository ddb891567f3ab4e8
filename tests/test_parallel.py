"""Reading many files in worker processes: tremix.parallel and the recipes of the guide."""

from __future__ import annotations

import gzip
import pathlib
import multiprocessing
import pickle
import threading
from concurrent.futures import ProcessPoolExecutor, ThreadPoolExecutor
from operator import methodcaller

import numpy as np
import pytest

import tremix.parallel
from tremix.core.orvex_parser import ORVEXParser
from tremix.parallel import COLUMNS, empty_frame, read_vector, read_vectors
from tremix.summary import example_path

pd = pytest.importorskip("pandas")


def _unbuilt(call, *errors: type[Exception]) -> str | None:
    try:
        call()
    except (NotImplementedError, *errors) as exc:
        return f"{type(exc).__name__}: {exc}"
    return None


_no_vectors = _unbuilt(lambda: ORVEXParser(example_path()).get_output_vectors_arrays())
pytestmark = pytest.mark.skipif(_no_vectors is not None, reason=f"vector extractor not built yet ({_no_vectors})")
_no_pickling = _unbuilt(lambda: pickle.dumps(ORVEXParser(example_path())), TypeError)

SPAWN = multiprocessing.get_context("spawn")
HEAD = ["0,0,0,0,0,0,0,0,0,0,"] * 3 + ["0,0,0,{ent},", "0,0,0,"]


def vector_lines(set_id: int, vec_id: int, ent_type: int, values: dict[int, float]) -> list[str]:
    return ([f"{set_id},{vec_id},1,", f"Vector {vec_id},", *(line.format(ent=ent_type) for line in HEAD)]
            + [f"{entity},{value!r}," for entity, value in values.items()] + ["-1,0."])


@pytest.fixture
def result_files(write_neu):
    """Three files, each with a vector of set 1 and one of set 2; file k's
    set 2 vector has k + 1 values."""
    paths = []
    for k in range(3):
        set2 = {100 + j: k * 10.0 + j + 0.5 for j in range(k + 1)}
        paths.append(write_neu(blocks=[(1051, vector_lines(1, 1, 7, {1: -1.0}) + vector_lines(2, 9, 8, set2))]))
    return paths


def test_frame_holds_each_files_vector_in_path_order(result_files):
    frame = read_vectors(result_files, set_id_filter=2, max_workers=2, mp_context=SPAWN)
    assert tuple(frame.columns) == COLUMNS
    assert {c: str(t) for c, t in frame.dtypes.items() if c != "path"} == {
        "set_id": "int32", "vec_id": "int32", "ent_type": "int32", "entity_id": "int32", "value": "float64"}
    assert list(frame["path"].cat.categories) == result_files
    for path, rows in frame.groupby("path", observed=True, sort=False):
        ids, values, set_id, vec_id, ent_type = ORVEXParser(path).get_output_vectors_arrays(2)
        np.testing.assert_array_equal(rows["entity_id"], ids)
        np.testing.assert_array_equal(rows["value"], values)
        assert set(zip(rows["set_id"], rows["vec_id"], rows["ent_type"])) == {(set_id, vec_id, ent_type)}
    assert frame.groupby("path", observed=True).size().tolist() == [1, 2, 3]
    by_vector = read_vector(result_files[0], vec_id_filter=9)
    assert by_vector[["set_id", "vec_id", "value"]].values.tolist() == [[2, 9, 0.5]]


def test_files_without_a_match_raise_or_are_skipped(result_files, write_neu):
    paths = result_files + [write_neu(blocks=[(1051, vector_lines(1, 1, 7, {1: 2.0}))])]
    with pytest.raises(LookupError, match=paths[-1]):
        read_vectors(paths, set_id_filter=2, max_workers=2, mp_context=SPAWN)
    frame = read_vectors(paths, set_id_filter=2, max_workers=2, mp_context=SPAWN, skip_missing=True)
    assert paths[-1] not in set(frame["path"]) and len(frame) == 6
    assert list(frame["path"].cat.categories) == result_files  # the skipped path is no category
    assert list(read_vector(paths[-1], 2, skip_missing=True)["path"].cat.categories) == []


def test_arguments_checked_first_and_categories_in_path_order(result_files):
    for single in ("model.neu", b"model.neu", pathlib.Path("model.neu")):  # not read character by character
        with pytest.raises(TypeError, match="an iterable of paths, not a single path"):
            read_vectors(single)
    with pytest.raises(TypeError):  # with no file to read either
        read_vectors([], set_id_filter="1")
    a, b = result_files[:2]
    assert list(read_vectors([b, a], max_workers=1, mp_context=SPAWN)["path"].cat.categories) == [b, a]
    assert list(read_vector(a, categories=[a])["path"].cat.categories) == [a]


def test_workers_read_compressed_files_in_the_given_encoding(write_neu, tmp_path):
    lines = vector_lines(1, 1, 7, {1: 2.5, 2: -1.0})
    lines[1] = "Spannung Träger,"  # 0xe4 in Latin-1: UTF-8 does not decode it
    packed = tmp_path / "latin.neu.gz"
    packed.write_bytes(gzip.compress(open(write_neu(blocks=[(1051, lines)], encoding="latin-1"), "rb").read()))
    frame = read_vectors([packed], max_workers=1, mp_context=SPAWN, encoding="latin-1")
    assert frame["value"].tolist() == [2.5, -1.0]
    with pytest.raises(UnicodeDecodeError):
        read_vectors([packed], max_workers=1, mp_context=SPAWN, encoding="utf-8")
    replaced = read_vectors([packed], max_workers=1, mp_context=SPAWN, encoding="utf-8", errors="replace")
    assert replaced["value"].tolist() == [2.5, -1.0]
    assert read_vector(packed, encoding="utf-8", errors="replace")["value"].tolist() == [2.5, -1.0]


def test_a_failing_file_names_itself(result_files, tmp_path):
    missing = str(tmp_path / "gone.neu")  # given first, named after the others
    with pytest.raises(FileNotFoundError) as info:
        read_vectors([missing] + result_files, max_workers=2, mp_context=SPAWN)
    assert f"while reading {missing}" in info.value.__notes__


@pytest.mark.parametrize("when", ["reading", "handing over"])
def test_ctrl_c_leaves_the_files_not_started_unread(result_files, monkeypatch, when):
    # One worker (a thread here, to see the calls); Ctrl-C arrives while the
    # first file is read, or while the sixth is handed to the pool.
    calls, leaving = [], threading.Event()

    def reading(path, *args, **kwargs):
        calls.append(path)
        if when == "handing over" or len(calls) > 1:  # busy as a worker process would be, until the pool is left
            leaving.wait(60)
        if when == "reading":
            raise KeyboardInterrupt
        return path, None, None, -1, -1, -1

    class Pool(ThreadPoolExecutor):
        handed = 0

        def submit(self, *args, **kwargs):
            if when == "handing over" and self.handed == 5:
                raise KeyboardInterrupt
            self.handed += 1
            return super().submit(*args, **kwargs)

        def shutdown(self, *args, **kwargs):
            leaving.set()
            super().shutdown(*args, **kwargs)

    monkeypatch.setattr(tremix.parallel, "read_vector_arrays", reading)
    monkeypatch.setattr(tremix.parallel, "ProcessPoolExecutor", lambda **how: Pool(1))
    with pytest.raises(KeyboardInterrupt):
        read_vectors(result_files * 10)
    # The file under way (and, interrupted in it, perhaps the next one, taken before the rest were cancelled).
    assert 1 <= len(calls) <= (2 if when == "reading" else 1)


@pytest.mark.skipif(_no_pickling is not None, reason=f"parsers do not pickle in this build ({_no_pickling})")
def test_a_parser_sent_to_a_worker_answers_like_the_original(result_files):
    parsers = [ORVEXParser(p) for p in result_files]
    with ProcessPoolExecutor(max_workers=2, mp_context=SPAWN) as pool:
        answers = list(pool.map(methodcaller("get_output_vectors_arrays", 2, 9), parsers))
    for parser, (ids, values, *rest) in zip(parsers, answers):
        here_ids, here_values, *here_rest = parser.get_output_vectors_arrays(2, 9)
        np.testing.assert_array_equal(ids, here_ids)
        np.testing.assert_array_equal(values, here_values)
        assert rest == here_rest


def test_frames_with_shared_categories_concatenate_into_one(result_files):
    expected = read_vectors(result_files, set_id_filter=2, max_workers=2, mp_context=SPAWN)
    parts = [read_vector(p, 2, categories=result_files) for p in result_files]
    pd.testing.assert_frame_equal(pd.concat(parts, ignore_index=True), expected)
    meta = empty_frame(result_files)
    assert len(meta) == 0 and meta.dtypes.equals(expected.dtypes)
    assert list(meta["path"].cat.categories) == result_files
    with pytest.raises(ValueError, match="lack"):
        read_vector(result_files[0], 2, categories=result_files[1:])  # would be NaN otherwise


def test_dask_recipes_give_the_same_frame(result_files):
    distributed = pytest.importorskip("distributed")
    dask = pytest.importorskip("dask")
    dd = pytest.importorskip("dask.dataframe")
    expected = read_vectors(result_files, set_id_filter=2, max_workers=2, mp_context=SPAWN)
    with distributed.LocalCluster(n_workers=1, threads_per_worker=2, processes=False,
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as client:
        futures = client.map(read_vector, result_files, set_id_filter=2, categories=result_files)
        frame = pd.concat(client.gather(futures), ignore_index=True)
    pd.testing.assert_frame_equal(frame, expected)
    parts = [dask.delayed(read_vector)(p, 2, categories=result_files) for p in result_files]
    lazy = dd.from_delayed(parts, meta=empty_frame(result_files))
    pd.testing.assert_frame_equal(lazy.compute(scheduler="sync").reset_index(drop=True), expected)
