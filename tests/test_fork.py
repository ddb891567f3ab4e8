"""fork() in the middle of a reading: a signal handler that forks runs inside
the call, and the child goes on with it. A file is read, and long walks are
shared, on a second thread that stays with the parent."""

from __future__ import annotations

import os
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
    walks shared. A title at its end is not ASCII, so that the text read
    so far is decoded again from its start, after the second thread stops."""
    path = tmp_path_factory.mktemp("fork") / "big.neu"
    nodes = "".join(f"{i},0,0,1,46,0,0,0,0,0,0,{i}.5,{i % 97}.25,-{i % 13}.125,\n" for i in range(1, 20_001))
    elements = "".join(f"{i},1,2,1,4,\n{i},{i + 1},{i + 2},{i + 3},\n0\n0\n0\n0\n0\n" for i in range(1, 20_001))
    with open(path, "w") as f:
        f.write("   -1\n   403\n")
        f.writelines(nodes for _ in range(100))
        f.write("   -1\n   -1\n   404\n")
        f.writelines(elements for _ in range(80))
        f.write("   -1\n   -1\n   100\nTr\u00e4ger\n11.4,\n   -1\n")
    return str(path)


def digest(value) -> str:
    if isinstance(value, tremix.ORVEXParser):
        return repr(sorted((k, [len(b.lines) for b in v]) for k, v in value.parse().items()))
    if isinstance(value, list):  # findings
        return repr(value)
    return repr([float(np.asarray(a, dtype=np.float64).sum()) for a in value])


def forked_mid_call(call, expected: str, delay: float, only_if=lambda: True) -> bool:
    """Whether a signal handler forked `delay` s into call(); fails unless
    both this process and the child finish the call with `expected`."""
    forked: dict[str, int] = {}

    def handler(signum, frame):
        if not forked and only_if():
            forked["pid"] = os.fork()

    previous = signal.signal(signal.SIGALRM, handler)
    try:
        signal.setitimer(signal.ITIMER_REAL, delay)
        try:
            result = digest(call())
        finally:
            signal.setitimer(signal.ITIMER_REAL, 0)
            if forked.get("pid") == 0:
                os._exit(0 if result == expected and _native.readings_under_way() == 0 else 1)
    finally:
        signal.signal(signal.SIGALRM, previous)
    assert result == expected
    if "pid" not in forked:
        return False
    deadline = time.monotonic() + CHILD_SECONDS
    while (status := os.waitpid(forked["pid"], os.WNOHANG))[0] == 0:
        if time.monotonic() > deadline:
            os.kill(forked["pid"], signal.SIGKILL)
            pytest.fail(f"the forked child did not finish the call within {CHILD_SECONDS} s")
        time.sleep(0.01)
    assert os.waitstatus_to_exitcode(status[1]) == 0, "the child's result or its count of readings differs"
    return True


@pytest.mark.parametrize("call", ["read", "check"])
def test_a_child_forked_mid_call_finishes_it(big_file, call):
    # A reading forks while its second thread reads the file (only then:
    # bytes have come and not all); a check, while it waits for its second thread.
    parser = tremix.read(big_file)
    run = (lambda: tremix.ORVEXParser(big_file)) if call == "read" else (lambda: tremix.check(parser))
    expected, size, forks = digest(run()), os.path.getsize(big_file), 0
    for delay in (0.002, 0.01, 0.03):
        before = _native.bytes_read()
        forks += forked_mid_call(run, expected, delay,
                                 only_if=lambda: call == "check" or 0 < _native.bytes_read() - before < size)
    if forks == 0:
        pytest.skip("no timer fired in the middle of the call")


def test_a_child_forked_while_another_thread_reads_counts_none_of_its_readings(big_file):
    # A reading shares its work with a second thread only while no other is
    # under way: those of threads the child does not have must not count.
    stop = threading.Event()
    reader = threading.Thread(target=lambda: [tremix.ORVEXParser(big_file) for _ in iter(stop.is_set, True)])
    reader.start()
    try:
        while _native.readings_under_way() == 0:
            time.sleep(0.001)
        pid = os.fork()
        if pid == 0:
            os._exit(_native.readings_under_way())
        assert os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) == 0
    finally:
        stop.set()
        reader.join()
