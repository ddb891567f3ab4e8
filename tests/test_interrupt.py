"""Ctrl-C stops reading a large file, and every extractor, within 0.2 s.

The file's numbers are written with underscores, which the reader converts
through the interpreter's own int() and float(): reading it and every
extractor then work for a good part of a second. Each test sends the signal
only while its call is under way, and fails when the call ended first."""

from __future__ import annotations

import os
import signal
import threading
import time

import pytest

import tremix
from tremix.core.orvex_parser import ORVEXParser

pytestmark = pytest.mark.slow

PROMPT = 0.2  # seconds from the signal to KeyboardInterrupt
DELAY = 0.1   # seconds from the start of a call to the signal

EXTRACTORS = ["get_nodes", "get_nodes_arrays", "get_properties", "get_materials", "get_elements",
              "get_elements_arrays", "get_output_sets", "get_output_vectors", "get_output_vectors_arrays"]


def write_block(f, block_id, lines):
    f.write(f"   -1\n{block_id:>6}\n")
    f.writelines(lines)
    f.write("   -1\n")


@pytest.fixture(scope="module")
def slow_file(tmp_path_factory):
    path = tmp_path_factory.mktemp("interrupt") / "slow.neu"
    with open(path, "w") as f:
        write_block(f, 403, (f"{i}_0,0,0,1,46,0,0,0,0,0,0,1_0.5,2_0.5,3_0.5,\n" for i in range(600_000)))
        write_block(f, 404, (f"{i}_0,1,2_0,1,4_0,\n1_1,2_2,3_3,4_4,\n0\n0\n0\n0\n0\n" for i in range(400_000)))
        write_block(f, 402, (f"{i}_0,1,2_0,\nT\n0\n0\n0\n0\n0\n" for i in range(800_000)))
        write_block(f, 601, (f"{i}_0,\n" for i in range(1_000_000)))
        write_block(f, 450, (f"{i}_0,\nT\n0\n1_0.5\n0\n0\n" for i in range(600_000)))
        write_block(f, 1051, ["1,1,1,\nT\n0\n1,1,1,7,\n1,0,1,\n", *(f"{i}_0,1_0.5,\n" for i in range(1_000_000)),
                              "-1,0.\n"])
    return str(path)


def seconds_to_interrupt(call) -> float:
    """Makes the one call `call()` and has a SIGALRM handled as Ctrl-C sent
    DELAY seconds after it starts; returns how long after the signal the
    call raised KeyboardInterrupt. A call that returns before the signal
    proves nothing and fails the test.

    The kernel's timer sends the signal on time even while a call holds the
    interpreter lock, which a Python timer thread could not."""
    previous = signal.signal(signal.SIGALRM, signal.default_int_handler)
    returned = False
    try:
        start = time.perf_counter()
        signal.setitimer(signal.ITIMER_REAL, DELAY)
        try:
            call()
            returned = True
            signal.setitimer(signal.ITIMER_REAL, 0)
        except KeyboardInterrupt:
            if not returned:
                return time.perf_counter() - start - DELAY
        pytest.fail(f"the call returned {time.perf_counter() - start:.3f} s after it started, before the signal")
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


def test_reading_stops_promptly(slow_file):
    assert seconds_to_interrupt(lambda: ORVEXParser(slow_file)) < PROMPT


def offset_in(path: str) -> int | None:
    """How far this process has read the file `path` (a real path) through a
    descriptor it holds open, or None while it holds none."""
    for fd in os.listdir("/proc/self/fd"):
        try:
            if os.readlink(f"/proc/self/fd/{fd}") == path:
                with open(f"/proc/self/fdinfo/{fd}") as info:
                    return int(info.readline().split()[1])  # "pos:\t<offset>"
        except (OSError, ValueError, IndexError):
            continue  # closed meanwhile
    return None


@pytest.mark.skipif(not os.path.isdir("/proc/self/fdinfo"), reason="watching the reading needs /proc")
def test_sigint_from_another_thread_stops_reading(slow_file):
    """The other thread sends SIGINT as soon as it sees the file open and
    read past its start but not to its end: the reading is under way."""
    main, path, size = threading.get_ident(), os.path.realpath(slow_file), os.path.getsize(slow_file)
    sent, done = [], threading.Event()

    def interrupt_when_under_way():
        while not done.is_set():
            offset = offset_in(path)
            if offset is not None and 0 < offset < size:
                sent.append(time.perf_counter())
                signal.pthread_kill(main, signal.SIGINT)
                return
            time.sleep(0.001)

    watcher = threading.Thread(target=interrupt_when_under_way)
    returned = False
    watcher.start()
    try:
        try:
            ORVEXParser(slow_file)
            returned = True
        finally:
            done.set()
            watcher.join()
    except KeyboardInterrupt:
        stopped = time.perf_counter()
    assert sent and not returned, "the reading ended before the other thread saw it under way"
    assert stopped - sent[0] < PROMPT


@pytest.fixture(scope="module")
def slow_parser(slow_file):
    return ORVEXParser(slow_file)


@pytest.mark.parametrize("name", EXTRACTORS + ["check"])
def test_extractors_stop_promptly(slow_parser, name):
    call = (lambda: tremix.check(slow_parser)) if name == "check" else getattr(slow_parser, name)
    assert seconds_to_interrupt(call) < PROMPT
    assert call() is not None  # an interrupted call leaves the parser as it was


# Lines that must be split whole: a node line read at a glance stops after
# its fourteenth field, so this one has no id.
@pytest.mark.parametrize("block_id,line", [(403, "x," * 10_000_000), (1051, "1,5000000," + "1.5," * 5_000_000)])
def test_one_very_long_line_stops_promptly(tmp_path, block_id, line):
    path = tmp_path / "long.neu"
    vector_head = "1,1,1,\nT\n0\n1,1,1,7,\n1,0,1,\n" if block_id == 1051 else ""
    path.write_text(f"   -1\n{block_id:>6}\n{vector_head}{line}\n   -1\n")
    parser = ORVEXParser(str(path))
    call = parser.get_nodes if block_id == 403 else parser.get_output_vectors_arrays
    assert seconds_to_interrupt(call) < PROMPT
