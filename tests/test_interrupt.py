"""Ctrl-C stops reading a large file, and every extractor, within 0.2 s.

Numbers written with underscores go through the interpreter's int() and float(),
so every extractor takes a good part of a second; reading a file is quicker, so
the signal comes a third of the way into it."""

from __future__ import annotations

import gc
import os
import signal
import time
import timeit

import pytest

import tremix
from tremix.core import _native
from tremix.core.orvex_parser import ORVEXParser
from tremix.summary import summary_of

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


def seconds_to_interrupt(call, delay=DELAY, handler=signal.default_int_handler, raised=KeyboardInterrupt,
                         tries=4) -> float:
    """Seconds from a Ctrl-C (or a signal that `handler` turns into `raised`)
    sent `delay` s into `call()` to its exception.

    A delay taken from a timing run that a busy machine slowed down can be
    longer than the call: the call is then made again with the delay cut by
    a sixth, and the test fails only if it returns first every time.

    The kernel's timer fires on time even while the call holds the interpreter lock."""
    previous = signal.signal(signal.SIGALRM, handler)
    try:
        for _ in range(tries):
            returned = False
            start = time.perf_counter()
            signal.setitimer(signal.ITIMER_REAL, delay)
            try:
                call()
                returned = True
                signal.setitimer(signal.ITIMER_REAL, 0)
            except raised:
                if not returned:
                    return time.perf_counter() - start - delay
            took, delay = time.perf_counter() - start, delay * 5 / 6
        pytest.fail(f"the call returned {took:.3f} s after it started, before the signal, {tries} times")
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


def stops_promptly(call, delay=DELAY) -> bool:
    """Whether a Ctrl-C sent `delay` s into `call()` interrupts it within PROMPT s.

    A shared machine now and then stalls the process for longer than that:
    a second try is given, which a call that never looks for signals fails too."""
    return any(seconds_to_interrupt(call, delay) < PROMPT for _ in range(2))


def time_of(call) -> float:
    start = time.perf_counter()
    call()
    return time.perf_counter() - start


@pytest.fixture(scope="module")
def stray_file(tmp_path_factory):
    """Short lines outside any block: split several times slower than a large
    file is read, so the bytes read soon run far ahead of the lines found."""
    path = tmp_path_factory.mktemp("interrupt") / "stray.neu"
    with open(path, "w") as f:
        for _ in range(64):
            f.write("x\n" * (1 << 20))  # 128 MB
    return str(path)


@pytest.mark.parametrize("name", ["slow_file", "stray_file"])
def test_reading_stops_promptly(request, name):
    path = request.getfixturevalue(name)
    # Readings here now and then take several times as long: the quickest
    # of three is the one to go by.
    whole = min(time_of(lambda: ORVEXParser(path)) for _ in range(3))
    assert stops_promptly(lambda: ORVEXParser(path), whole / 3)


def test_filing_millions_of_blocks_stops_promptly(tmp_path):
    # Two million empty blocks: making their objects is the reading's last
    # part, where the signal comes; what was filed goes without the report
    # of the whole file. The collector is off: a signal handled inside its
    # callback (the test runner has one) is lost.
    path = tmp_path / "blocks.neu"
    path.write_text("   -1\n1\n   -1\n" * 2_000_000)
    parser = ORVEXParser.__new__(ORVEXParser)  # kept: the freeing of its blocks is not timed
    gc.disable()
    try:
        def interrupted_while_filing() -> bool:  # timed as interrupted (collector off), anew each try
            whole = min(time_of(lambda: parser.__init__(str(path))) for _ in range(2))
            return (seconds_to_interrupt(lambda: parser.__init__(str(path)), whole * 0.8) < PROMPT
                    and 0 < len(parser.blocks.get(1, ())) < 2_000_000)
        assert any(interrupted_while_filing() for _ in range(4))
    finally:
        gc.enable()
    assert _native.read_report(parser) is None


@pytest.fixture(scope="module")
def slow_parser(slow_file):
    return ORVEXParser(slow_file)


@pytest.mark.parametrize("name", EXTRACTORS + ["check"])
def test_extractors_stop_promptly(slow_parser, name):
    call = (lambda: tremix.check(slow_parser)) if name == "check" else getattr(slow_parser, name)
    assert stops_promptly(call)
    assert call() is not None  # an interrupted call leaves the parser as it was


def vector_parser(path, records) -> ORVEXParser:
    with open(path, "w") as f:
        write_block(f, 1051, ["1,1,1,\nT\n0\n1,1,1,7,\n1,0,1,\n", *records, "-1,0.\n"])
    return ORVEXParser(str(path))


def test_counting_ids_out_of_order_stops_promptly(tmp_path):
    # Ids in no order: a run for each record, sorted when counted, in the last half or more of the time.
    parser = vector_parser(tmp_path / "shuffled.neu", (f"{k * 1_000_003 % 2_000_000},1.5,\n" for k in range(2_000_000)))
    quickest = min(time_of(lambda: tremix.vectors(parser)) for _ in range(3))
    assert stops_promptly(lambda: tremix.vectors(parser), quickest * 3 / 4)


def test_an_exception_of_a_signal_handler_ends_the_summary(tmp_path):
    # Values the interpreter converts: slow enough to be stopped within the first walks, and the
    # exception is not lost when they are run again.
    parser = vector_parser(tmp_path / "vector.neu", (f"{i}_0,1_0.5,\n" for i in range(300_000)))

    def timeout(*_):
        raise TimeoutError

    quickest = min(time_of(lambda: summary_of(parser, None)) for _ in range(3))
    seconds_to_interrupt(lambda: summary_of(parser, None), quickest / 3, timeout,
                         TimeoutError)


def test_making_a_blocks_lines_stops_promptly(slow_file):
    # The time of making the lines alone (5.6 million): the reading of the file
    # can take longer than they do, and a third of both be too late a signal.
    timed = ORVEXParser(slow_file)
    whole = time_of(lambda: timed.get_blocks(402)[0].lines)
    del timed
    parser = ORVEXParser(slow_file)
    assert stops_promptly(lambda: parser.get_blocks(402)[0].lines, whole / 3)
    assert len(parser.get_blocks(402)[0].lines) == 5_600_000  # made whole when asked again


# Lines that must be split whole: a node line read at a glance stops after
# its fourteenth field, so this one has no id.
@pytest.mark.parametrize("block_id,line", [(403, "x," * 10_000_000), (1051, "1,5000000," + "1.5," * 5_000_000)])
def test_one_very_long_line_stops_promptly(tmp_path, block_id, line):
    path = tmp_path / "long.neu"
    vector_head = "1,1,1,\nT\n0\n1,1,1,7,\n1,0,1,\n" if block_id == 1051 else ""
    path.write_text(f"   -1\n{block_id:>6}\n{vector_head}{line}\n   -1\n")
    parser = ORVEXParser(str(path))
    call = parser.get_nodes if block_id == 403 else parser.get_output_vectors_arrays
    assert stops_promptly(call)


def test_check_stops_promptly_in_the_elements_read_again(tmp_path):
    # Materials on the first thread; elements the second gives back at once (their numbers need the
    # interpreter) and the first reads again; a vector after them. Interrupted in that second reading,
    # the check reads no vectors before it raises.
    path = tmp_path / "given_back.neu"
    with open(path, "w") as f:
        write_block(f, 601, ["1,\n"] * 2_000_000)
        write_block(f, 404, (f"{i}_0,1,2_0,1,4_0,\n1_1,2_2,3_3,4_4,\n0\n0\n0\n0\n0\n" for i in range(150_000)))
        write_block(f, 1051, ["1,1,1,\nT\n0\n1,1,1,7,\n1,0,1,\n", *(f"{i}_0,1_0.5,\n" for i in range(1_000_000)),
                              "-1,0.\n"])
    parser = ORVEXParser(str(path))

    def quickest_check(block_ids):
        trimmed = ORVEXParser(str(path))
        trimmed.blocks = {k: v for k, v in trimmed.blocks.items() if k in block_ids}
        return min(timeit.repeat(lambda: tremix.check(trimmed), number=1, repeat=3))

    middle = (quickest_check({601}) + quickest_check({601, 404})) / 2
    assert stops_promptly(lambda: tremix.check(parser), middle)


def test_a_walk_left_to_the_second_thread_is_stopped_while_waiting():
    # The first thread, done with its walks, still looks for a signal while the second reads on: the
    # check gives the second thread most of the result vectors when the other walks hold more lines.
    from tremix.core import _fieldcheck

    start = time.perf_counter()
    assert _fieldcheck.stop_while_waiting(3) == (False, 4)
    assert time.perf_counter() - start < 1


@pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="reads a named pipe")
@pytest.mark.parametrize("more", [b"", b"1.5,2.5,3.5\n" * 5000], ids=["waiting", "feeding"])
def test_ctrl_c_stops_a_pipe_that_brings_nothing_more(tmp_path, more):
    """A Ctrl-C soon after a look for one, while the read waits for data or
    while a piece is fed (which cuts no read short): the reading must not
    wait for the next data. (It comes 3 s on: a failure is slow, not a hang.)"""
    import threading

    fifo = tmp_path / "pipe"
    os.mkfifo(fifo)
    writer = os.open(fifo, os.O_RDWR)  # opening never waits for the reader
    done = threading.Event()

    def write():
        os.write(writer, b"   -1\n   100\n" + b"1.5,2.5,3.5\n" * 100)
        time.sleep(0.005)  # looked for a signal, waits for data again
        os.write(writer, more)
        os.kill(os.getpid(), signal.SIGINT)
        done.wait(3)
        os.write(writer, b"   -1\n")
        os.close(writer)

    thread = threading.Thread(target=write)
    start = time.perf_counter()
    thread.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            ORVEXParser(str(fifo))
        assert time.perf_counter() - start < 1.5
    finally:
        done.set()
        thread.join()


@pytest.mark.skipif(not hasattr(os, "fork") or not hasattr(os, "mkfifo"), reason="forks and reads a named pipe")
def test_a_child_forked_by_another_thread_stops_promptly(tmp_path):
    """The child's main thread is the thread that forked it: a Ctrl-C there
    stops a reading of a pipe that brings no more data."""
    import threading
    import warnings

    small = tmp_path / "small.neu"
    small.write_text("   -1\n   100\nt\n1\n   -1\n")
    ORVEXParser(str(small))  # the parent has noted its main thread
    fifo = str(tmp_path / "pipe")
    os.mkfifo(fifo)
    status = []

    def fork_and_wait():
        # Open for reading and writing, so that opening never waits for the child.
        writer = os.open(fifo, os.O_RDWR)
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", DeprecationWarning)  # forking a process that runs threads
                pid = os.fork()
            if pid == 0:
                code = 1
                try:
                    code = 0 if seconds_to_interrupt(lambda: ORVEXParser(fifo)) < PROMPT else 2
                finally:
                    os._exit(code)
            os.write(writer, b"   -1\n   100\n")
            deadline = time.monotonic() + 5
            while not (ended := os.waitpid(pid, os.WNOHANG))[0]:
                if time.monotonic() > deadline:
                    os.kill(pid, signal.SIGKILL)
                    os.waitpid(pid, 0)
                    status.append("hung")
                    return
                time.sleep(0.01)
            status.append(os.waitstatus_to_exitcode(ended[1]))
        finally:
            os.close(writer)

    thread = threading.Thread(target=fork_and_wait)
    thread.start()
    thread.join()
    assert status == [0]

