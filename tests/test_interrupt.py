"""Ctrl-C stops reading a large file, and every extractor, within 0.2 s.

The file's numbers are written with underscores, which the reader converts
through the interpreter's own int() and float(): every extractor then works
for most of a second, so a signal lands inside it, not after it."""

from __future__ import annotations

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
    """Calls `call` until a SIGALRM handled as Ctrl-C (DELAY seconds after the
    first call starts) interrupts it; returns how long after the signal.

    The kernel's timer sends the signal on time even while a call holds the
    interpreter lock, which a Python timer thread could not."""
    previous = signal.signal(signal.SIGALRM, signal.default_int_handler)
    try:
        start = time.perf_counter()
        signal.setitimer(signal.ITIMER_REAL, DELAY)
        with pytest.raises(KeyboardInterrupt):
            while True:
                call()
        return time.perf_counter() - start - DELAY
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


def test_reading_stops_promptly(slow_file):
    assert seconds_to_interrupt(lambda: ORVEXParser(slow_file)) < PROMPT


def test_sigint_from_another_thread_stops_reading(slow_file):
    main = threading.get_ident()
    sent = []

    def interrupt():
        sent.append(time.perf_counter())
        signal.pthread_kill(main, signal.SIGINT)

    timer = threading.Timer(DELAY, interrupt)
    timer.start()
    with pytest.raises(KeyboardInterrupt):
        while True:
            ORVEXParser(slow_file)
    assert time.perf_counter() - sent[0] < PROMPT
    timer.join()


@pytest.fixture(scope="module")
def slow_parser(slow_file):
    return ORVEXParser(slow_file)


@pytest.mark.parametrize("name", EXTRACTORS + ["check"])
def test_extractors_stop_promptly(slow_parser, name):
    call = (lambda: tremix.check(slow_parser)) if name == "check" else getattr(slow_parser, name)
    assert seconds_to_interrupt(call) < PROMPT
    assert call() is not None  # an interrupted call leaves the parser as it was


@pytest.mark.parametrize("block_id,line", [(403, "1," * 10_000_000), (1051, "1,5000000," + "1.5," * 5_000_000)])
def test_one_very_long_line_stops_promptly(tmp_path, block_id, line):
    path = tmp_path / "long.neu"
    vector_head = "1,1,1,\nT\n0\n1,1,1,7,\n1,0,1,\n" if block_id == 1051 else ""
    path.write_text(f"   -1\n{block_id:>6}\n{vector_head}{line}\n   -1\n")
    parser = ORVEXParser(str(path))
    call = parser.get_nodes if block_id == 403 else parser.get_output_vectors_arrays
    assert seconds_to_interrupt(call) < PROMPT
