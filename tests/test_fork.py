"""fork() in the middle of a reading: a signal handler that forks runs inside
the call, and the child goes on with it. A file is read, and long walks are
shared, on a second thread that stays with the parent."""

from __future__ import annotations

import os
import select
import signal
import threading
import time

import numpy as np
import pytest

import tremix
from tremix.core import _native

pytestmark = [pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork()"), pytest.mark.slow]

CHILD_SECONDS = 60


@pytest.fixture(scope="module")
def big_file(tmp_path_factory):
    """About 200 MB, so that a reading outlasts the 40 ms it runs before it
    first looks for signals: read on a second thread, its node and element
    walks shared."""
    path = tmp_path_factory.mktemp("fork") / "big.neu"
    nodes = "".join(f"{i},0,0,1,46,0,0,0,0,0,0,{i}.5,{i % 97}.25,-{i % 13}.125,\n" for i in range(1, 20_001))
    elements = "".join(f"{i},1,2,1,4,\n{i},{i + 1},{i + 2},{i + 3},\n0\n0\n0\n0\n0\n" for i in range(1, 20_001))
    with open(path, "w") as f:
        f.write("   -1\n   403\n")
        f.writelines(nodes for _ in range(100))
        f.write("   -1\n   -1\n   404\n")
        f.writelines(elements for _ in range(80))
        f.write("   -1\n")
    return str(path)


def digest(value) -> str:
    if isinstance(value, tremix.ORVEXParser):
        return repr(sorted((k, [len(b.lines) for b in v]) for k, v in value.parse().items()))
    if isinstance(value, list):  # findings
        return repr(value)
    return repr([float(np.asarray(a, dtype=np.float64).sum()) for a in value])


def forked_mid_call(call, delay: float, only_if=lambda: True) -> tuple[str, str | None]:
    """(digest of call()'s result in this process, in a child forked by a
    signal handler `delay` s into the call; None when the handler did not
    fork, as `only_if()` said no)."""
    read_end, write_end = os.pipe()
    forked: dict[str, int | bool] = {}

    def handler(signum, frame):
        if forked or not only_if():
            return
        pid = os.fork()
        forked["pid" if pid else "child"] = pid or True

    previous = signal.signal(signal.SIGALRM, handler)
    try:
        signal.setitimer(signal.ITIMER_REAL, delay)
        try:
            result = digest(call())
        finally:
            signal.setitimer(signal.ITIMER_REAL, 0)
            if forked.get("child"):
                try:
                    os.write(write_end, result.encode())
                finally:
                    os._exit(0)
    finally:
        signal.signal(signal.SIGALRM, previous)
        os.close(write_end)
    try:
        if "pid" not in forked:
            return result, None
        ready, _, _ = select.select([read_end], [], [], CHILD_SECONDS)
        if not ready:
            os.kill(int(forked["pid"]), signal.SIGKILL)
            pytest.fail(f"the forked child did not finish the call within {CHILD_SECONDS} s")
        chunks = []
        while chunk := os.read(read_end, 1 << 16):
            chunks.append(chunk)
        os.waitpid(int(forked["pid"]), 0)
        return result, b"".join(chunks).decode()
    finally:
        os.close(read_end)


def test_a_child_forked_during_a_file_read_finishes_it(big_file):
    size = os.path.getsize(big_file)
    mid_reads = 0
    for delay in (0.002, 0.01, 0.03):
        before = _native.bytes_read()
        here, there = forked_mid_call(lambda: tremix.ORVEXParser(big_file), delay,
                                      only_if=lambda: 0 < _native.bytes_read() - before < size)
        if there is not None:
            mid_reads += 1
            assert there == here
    if mid_reads == 0:
        pytest.skip("no timer fired while the file was being read")


@pytest.mark.parametrize("call", ["get_nodes_arrays", "get_elements_arrays", "check"])
def test_a_child_forked_during_a_shared_walk_finishes_it(big_file, call):
    parser = tremix.read(big_file)
    run = (lambda: tremix.check(parser)) if call == "check" else getattr(parser, call)
    expected = digest(run())
    for delay in (0.002, 0.03):
        here, there = forked_mid_call(run, delay)
        assert here == expected
        assert there in (expected, None)


def test_a_child_forked_while_another_thread_reads_counts_none_of_its_readings(big_file):
    # Readings under way decide whether a reading shares its work with a
    # second thread: those of threads the child does not have must not count.
    stop = threading.Event()

    def read_on():
        while not stop.is_set():
            tremix.ORVEXParser(big_file)

    reader = threading.Thread(target=read_on)
    reader.start()
    try:
        deadline = time.monotonic() + 10
        while _native.readings_under_way() == 0 and time.monotonic() < deadline:
            time.sleep(0.001)
        pid = os.fork()
        if pid == 0:
            os._exit(_native.readings_under_way())
        assert os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) == 0
    finally:
        stop.set()
        reader.join()
