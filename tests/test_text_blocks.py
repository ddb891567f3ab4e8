"""Blocks read from a file keep the file's text; their `lines` lists are
made only when Python code asks for them, and reading the text needs
neither the lists nor the interpreter lock."""

from __future__ import annotations

import gc
import os
import pickle
import resource
import shutil
import subprocess
import sys
import threading
import time
import timeit
from pathlib import Path

import pytest

from storage import in_storage
from tremix.core.orvex_parser import ORVEXParser

D = "   -1"
NODE = "1,0,0,1,7,0,0,0,0,0,0,-2.1994522E+02,1.5,0.,"


def block_text(block_id, lines):
    return "\n".join([D, f"{block_id:>6}", *lines, D]) + "\n"


def test_lines_are_made_only_when_asked(write_neu):
    p = ORVEXParser(write_neu(block_text(403, [NODE] * 3) + block_text(100, ["T", "1,"])))
    blocks = [b for v in p.parse().values() for b in v]
    for name in ["get_header", "get_nodes", "get_nodes_arrays", "get_elements", "get_output_vectors",
                 "get_output_vectors_arrays", "get_properties", "get_materials", "get_output_sets"]:
        getattr(p, name)()
    assert [repr(b) for b in blocks] == ["ORVEXBlock(id=403, lines=3)", "ORVEXBlock(id=100, lines=2)"]
    assert all(gc.get_referents(b) == [] for b in blocks)  # no list anywhere yet

    nodes = p.get_blocks(403)[0]
    lines = nodes.lines
    assert lines is nodes.lines and gc.get_referents(nodes) == [lines] and lines == [NODE] * 3
    lines.append(NODE.replace("1,", "2,", 1))  # from now on the list is the block's truth
    assert list(p.get_nodes()) == [1, 2]
    nodes.lines = None
    with pytest.raises(TypeError, match="has no len"):
        p.get_nodes()


def test_lines_assigned_while_the_list_is_made_are_kept(write_neu):
    # A collection started while the list is made assigns the block's lines: they win.
    block = ORVEXParser(write_neu(block_text(100, ["t", "v"]))).get_blocks(100)[0]
    assigned, old = ["assigned during the collection"], gc.get_threshold()
    assign = lambda phase, info: gc.callbacks.remove(assign) or setattr(block, "lines", assigned)  # noqa: E731
    gc.collect()
    gc.set_threshold(1)
    gc.callbacks.append(assign)
    try:
        got = block.lines
    finally:
        gc.set_threshold(*old)
    assert assign not in gc.callbacks and got is assigned and block.lines is assigned


def test_text_and_lists_pickle_alike(write_neu):
    path = write_neu(block_text(403, [NODE, "x"]) + block_text(1051, ["1,1,", "T"]) + block_text(403, []))
    from_text = pickle.dumps(ORVEXParser(path), protocol=4)
    from_lists = pickle.dumps(in_storage(ORVEXParser(path), "list"), protocol=4)
    assert from_text == from_lists


@pytest.mark.parametrize("storage", ["text", "list"])
def test_text_of_every_width(write_neu, storage):
    lines = ["ascii, only", "caf\u00e9 1,2", "\u4e2d\u6587 3", "\U0001f600 4", "", "plain again"]
    path = write_neu(block_text(100, lines[:2]) + block_text(402, ["1,0,3", lines[2]]) + block_text(601, lines)
                     + block_text(450, ["1", lines[3], "", "2.5"]) + block_text(999, lines[:1]), encoding="utf-8")
    p = in_storage(ORVEXParser(path), storage)
    assert p.get_blocks(601)[0].lines == lines
    assert p.get_header() == {"title": "ascii, only", "version": "caf\u00e9 1,2"}
    assert p.get_properties() == {1: {"material_id": 3, "title": lines[2]}}
    assert p.get_output_sets() == {1: {"title": lines[3], "value": 2.5}}
    # Every str is in its canonical form: an ASCII line of a wide block is ASCII.
    for line in (p.get_blocks(601)[0].lines[-1], p.get_blocks(999)[0].lines[0]):  # of a wide block, of an ASCII one
        assert line.isascii() and sys.getsizeof(line) == sys.getsizeof("x" * len(line))


def decoding_error(path):
    with pytest.raises(UnicodeDecodeError) as caught:
        ORVEXParser(path)
    return caught.value


@pytest.mark.parametrize("offset", [0, 5, 9000, 1 << 20, (1 << 20) + 3, 3 << 20])
@pytest.mark.parametrize("bad", [b"\xff", b"\xe2\x82", b"\xed\xa0\x80"])
def test_bytes_that_do_not_decode(tmp_path, offset, bad):
    if sys.flags.utf8_mode == 0 and "utf" not in (os.device_encoding(0) or "utf-8").lower():
        pytest.skip("the locale's encoding is not UTF-8")
    good = (b"x" * 40 + b"\n") * (offset // 41 + 1)
    text = good[:offset] + bad + b"\nmore\n"
    path = tmp_path / "bad.neu"
    path.write_bytes(b"   -1\n   100\n" + text)
    error = decoding_error(str(path))
    # The interpreter's own error, as reading the file's lines gives it: its
    # positions are within the piece of bytes being decoded.
    with pytest.raises(UnicodeDecodeError) as direct:
        with open(path) as f:
            f.readlines()
    assert (str(error), error.object) == (str(direct.value), direct.value.object)
    where = 13 + offset
    line = 3 + text[:offset].count(b"\n")
    assert error.__notes__ == [f"the byte at offset {where} (line {line}) of {path} does not decode"]


@pytest.mark.parametrize("late", ["", "\u00e9", "\r"])
def test_a_large_file_reads_the_same_in_place_or_decoded(tmp_path, late):
    """A file of 17 MB is read in place while it is plain, on a second
    thread while its lines are found; a byte that is not plain near its end
    makes it be read again through the decoder. Read three times, the later
    readings go into memory the allocator kept from the earlier ones."""
    lines = [f"{k},0,0,1,7,0,0,0,0,0,0,{k}.5,-1.25E+01,0.," for k in range(1, 400_001)]
    lines[-7] += late + "x"
    path = tmp_path / "large.neu"
    path.write_bytes(block_text(403, lines).encode())
    assert path.stat().st_size > 16 << 20
    if late == "\r":  # a lone carriage return ends a line, as text mode reads it
        lines[-7:-6] = lines[-7].split("\r")
    for _ in range(3):
        parser = ORVEXParser(str(path))
        assert parser.get_blocks(403)[0].lines == lines
        ids, xyz = parser.get_nodes_arrays()
        assert len(ids) == 400_000 and xyz[-1].tolist() == [400_000.5, -12.5, 0.0]
        del parser


def test_ascii_locale(tmp_path):
    """Where text mode decodes ASCII, the bytes are checked as ASCII."""
    ok, bad = tmp_path / "ok.neu", tmp_path / "bad.neu"
    ok.write_bytes(b"   -1\n   100\nT\nV\n   -1\n")
    bad.write_bytes(b"   -1\n   100\nT\xc3\xa9\nV\n   -1\n")
    code = ("import sys; from tremix.core.orvex_parser import ORVEXParser\n"
            f"print(ORVEXParser({str(ok)!r}).get_header())\n"
            f"try: ORVEXParser({str(bad)!r})\n"
            "except UnicodeDecodeError as e: print(e.encoding, e.__notes__)\n")
    env = dict(os.environ, LC_ALL="C", LANG="C", PYTHONCOERCECLOCALE="0", PYTHONUTF8="0")
    out = subprocess.run([sys.executable, "-P", "-c", code], env=env, capture_output=True, text=True, check=True)
    assert out.stdout.splitlines() == [
        "{'title': 'T', 'version': 'V'}",
        f"ascii ['the byte at offset 14 (line 3) of {bad} does not decode']",
    ]


def test_other_threads_run_while_blocks_are_read(tmp_path):
    """The core reads without the interpreter lock: a Python thread makes
    progress in the middle of a single long call."""
    orvex_gen = pytest.importorskip("orvex_gen")
    path = tmp_path / "big.neu"
    orvex_gen.generate(path, target_mb=8, seed=5)
    p = ORVEXParser(str(path))
    ticks, stop = [0], threading.Event()

    def count():
        while not stop.is_set():
            ticks[0] += 1

    counter = threading.Thread(target=count)
    old = sys.getswitchinterval()
    sys.setswitchinterval(0.05)  # longer than a call: without the core letting go, no tick in it
    try:
        counter.start()
        progress = []
        for _ in range(3):
            before = ticks[0]
            p.get_elements_arrays()
            progress.append(ticks[0] - before)
    finally:
        stop.set()
        counter.join()
        sys.setswitchinterval(old)
    assert max(progress) > 0


def test_a_long_call_beside_a_busy_thread_takes_the_lock_back_seldom(tmp_path):
    """While the core reads, signals are looked for seldom: taking the lock
    back waits a switch interval for a thread that runs Python code."""
    path = tmp_path / "many_lines.neu"
    path.write_text(block_text(403, ["x"] * 1_000_000))  # a million lines to walk, none a node
    p, stop, old = ORVEXParser(str(path)), threading.Event(), sys.getswitchinterval()
    # The walk alone, on this machine and under its present load.
    alone = min(timeit.repeat(p.get_nodes_arrays, number=1, repeat=2))
    busy = threading.Thread(target=lambda: stop.wait(0) or [None for _ in iter(stop.is_set, True)])
    sys.setswitchinterval(0.2)
    try:
        busy.start()
        start = time.perf_counter()
        assert len(p.get_nodes_arrays()[0]) == 0
        elapsed = time.perf_counter() - start
    finally:
        stop.set()
        busy.join()
        sys.setswitchinterval(old)
    # The walk takes milliseconds (a second under the sanitizers); 0.2 s per poll took 6 s.
    assert elapsed < 2 * alone + 1.5


@pytest.mark.skipif(not hasattr(os, "sched_getaffinity") or len(os.sched_getaffinity(0)) < 2,
                    reason="needs a second processor this process may use")
def test_a_helper_thread_starts_beside_its_starter_and_is_then_free():
    """A scheduler that starts a new thread on its maker's processor has the
    two take turns; a helper kept off that processor at its start, and left
    pinned to the others, could wait for a busy one while its maker's idles."""
    from tremix.core import _fieldcheck

    before = os.sched_getaffinity(0)
    for _ in range(20):
        starter, started_on, free, _ = _fieldcheck.helper_placement()
        if starter < 0:
            pytest.skip("this system does not tell where threads run")
        assert started_on != starter and free
    assert os.sched_getaffinity(0) == before


@pytest.mark.skipif(sys.platform != "linux", reason="helper threads are sized on Linux")
def test_a_helper_threads_stack_does_not_follow_the_main_threads_limit():
    # A stack limit raised for deep recursion (ulimit -s) sizes new threads'
    # stacks by default: address space a helper would take from the reading.
    child = "from tremix.core import _fieldcheck; print(_fieldcheck.helper_placement()[3])"
    hard = resource.getrlimit(resource.RLIMIT_STACK)[1]
    big = 256 << 20 if hard == resource.RLIM_INFINITY else min(256 << 20, hard)
    run = subprocess.run([sys.executable, "-P", "-c", child], capture_output=True, text=True, timeout=120,
                         preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_STACK, (big, hard)))
    assert run.returncode == 0, run.stderr
    assert 0 < int(run.stdout) <= 4 << 20


def long_vector(vec_id: int, records: int, more: str) -> list[str]:
    """A vector of `records` range records of ten values on three lines,
    the two further lines of each being `more` (values)."""
    lines = [f"1,{vec_id},1,", f"V{vec_id},", "0,0,0,", *["1,2,3,4,5,6,7,8,9,10,"] * 3, "1,1,1,7,", "0,0,1,"]
    for r in range(records):
        first = 10 * r + 1
        lines += [f"{first},{first + 9},{r}.5E-01,-{r}.25E+02,1.0E-0{r % 9},2.5,", more, more]
    return lines + ["-1,0.,"]


def big_model(elements: int, nodes: int, change: str) -> str:
    """Blocks long enough to be read on two threads, with one change put
    into the first or the second half of each."""
    node_lines = [f"{k},0,0,1,7,0,0,0,0,0,0,{k}.5,-{k}.25,1.0E-0{k % 9}," for k in range(1, nodes + 1)]
    # Halfway through the second vector's data falls on a line of integer
    # values, which looks like a record's first line.
    vectors = long_vector(1, 10000, "3.5E+00,-7.25E-03,1.0E+01,") + long_vector(2, 10001, "5,6,7,")
    late_value = len(vectors) * 3 // 8
    # Every element line holds integers and the node ids five of them, so
    # that a walk started on the wrong line of a record reads one.
    element_lines = []
    for k in range(1, elements + 1):
        element_lines += [f"{k},1,2,1,8,", f"{k},{k + 1},0,{k + 2},{k + 3},", "0,0,", "0,", "0,", "0,", "0,"]
    early, late = 10, len(element_lines) * 3 // 4
    if change == "short_line_early":  # the first half's records fall out of step with the split
        element_lines[early:early] = ["x"] * 6  # ... by a line less than a record: on the node ids
        node_lines.insert(early, "x")  # ... and it has a node less than lines: the second half's move down
        vectors.insert(11, "x")
    elif change == "host_text_late":  # texts only the interpreter's int() and float() settle
        node_lines[nodes * 3 // 4] = "1_000" + node_lines[nodes * 3 // 4][1:]
        element_lines[late // 7 * 7 + 1] = "0_5,6,"
        vectors[late_value] = "1_5,2.5,3.5,"
    elif change == "bad_record_late":
        element_lines[late // 7 * 7 + 1] = "5,abc,"
        vectors[late_value] = "abc,2.5,3.5,"
    elif change == "overflow_late":
        node_lines[nodes * 3 // 4] = "2147483648" + node_lines[nodes * 3 // 4][1:]
        element_lines[late // 7 * 7] = "2147483648,1,2,1,8,"
        vectors[late_value - (late_value - 8) % 3] = "2147483648,1,2,3,4,5,"  # a record's first line
    return block_text(403, node_lines) + block_text(404, element_lines) + block_text(1051, vectors)


@pytest.mark.parametrize("change", ["clean", "short_line_early", "host_text_late", "bad_record_late", "overflow_late"])
def test_long_walks_give_the_one_thread_result(tmp_path, change, storage):
    plain_python = pytest.importorskip("plain_python")
    path = tmp_path / "big.neu"
    path.write_text(big_model(16000, 110000, change))
    ours, ref = in_storage(ORVEXParser(str(path)), storage), plain_python.PlainParser(path)

    def outcome(parser, name, *args):
        try:
            return [getattr(a, "tolist", lambda: a)() for a in getattr(parser, name)(*args)]
        except OverflowError:
            return "OverflowError"

    for name, args in [("get_nodes_arrays", ()), ("get_elements_arrays", ()), ("get_output_vectors_arrays", ()),
                       ("get_output_vectors_arrays", (1, 2))]:
        assert outcome(ours, name, *args) == outcome(ref, name, *args), name


def test_a_shared_vector_in_a_later_block_fails_where_one_thread_does(write_neu):
    """An id beyond 32 bits in the second half of a long vector read on two
    threads, in the walk's second block: the error names that block."""
    data = [f"{k},{k}.5," for k in range(1, 25001)]
    data[20000] = "2147483648,1.5,"
    head = ["0,0,0,", "1,2,3,7,", "1,2,3,"]
    p = ORVEXParser(write_neu(block_text(1051, ["9,9,1,", "T", *head, "-1,0.,"])
                              + block_text(451, ["1,1,1,", "T", *head, *data, "-1,0.,"])))
    with pytest.raises(OverflowError) as raised:
        p.get_output_vectors_arrays(1, 1)
    assert "'2147483648' in block 451, line 20017" in raised.value.__notes__[0]


# The core's own harness, built with walks shared from 64 lines on, room
# for 1000 element node ids, files read 100 bytes at a time on a second
# thread, room for 8 values asked for before a vector is read and the text
# of files over 512 bytes kept in mapped room, so that a small file splits
# its walks, reaches the limit, is read in pieces while its lines are found,
# has vectors outgrow their first room and is kept in either kind of room.
ROOT = Path(__file__).resolve().parent.parent
LIMITS = ["-DTREMIX_MIN_SHARED_LINES=64", "-DTREMIX_MAX_ELEMENT_NODE_IDS=1000", "-DTREMIX_READ_PIECE=100",
          "-DTREMIX_MIN_READ_AHEAD=1", "-DTREMIX_MOST_VALUES_RESERVED=8",
          "-DTREMIX_MOST_ALLOCATED_ROOM=512"]


@pytest.fixture(scope="module")
def core_harness(tmp_path_factory):
    compiler = next((c for c in ("c++", "g++", "clang++") if shutil.which(c)), None)
    if compiler is None:
        pytest.skip("no C++ compiler")
    if (os.cpu_count() or 1) < 2:
        pytest.skip("walks are shared only with two CPUs or more")
    exe = tmp_path_factory.mktemp("harness") / "fuzz_core"
    src = ROOT / "tremix" / "core" / "src"
    # Unoptimised: its runs are short, and compiling the core takes a quarter of the time at -O1.
    subprocess.run([compiler, "-std=c++20", "-O0", "-pthread", "-DFUZZ_CORE_MAIN", *LIMITS, f"-I{src}",
                    str(ROOT / "tools" / "fuzz_core.cpp"), *map(str, sorted((src / "reading").glob("*.cpp"))),
                    "-o", str(exe)], check=True, capture_output=True, timeout=600)
    return exe


@pytest.mark.slow  # builds the harness first
@pytest.mark.parametrize("first, second, too_big, shift", [
    (60, 200, None, 0),  # the second half alone passes the limit, later than the whole walk does
    (60, 90, None, 0),   # only the two halves together pass it
    (60, 90, 17, 0),     # ... before the second half meets an element id beyond 32 bits
    (120, 60, None, 0),  # the first half passes it
    (40, 50, None, 0),   # it is never reached
    (40, 50, 17, 0),     # only the element id fails
    (40, 50, None, 6),   # the split falls on a node id line, which reads as a record's first line
])
def test_a_shared_element_walk_fails_where_one_thread_does(core_harness, tmp_path, first, second, too_big, shift):
    """Twenty elements (`first`, then `second` node ids; element `too_big` beyond 32 bits) after `shift` stray
    lines: split after about ten, the walk gives the one-thread tables or fails at the same place."""
    lines = ["x"] * shift
    for k in range(20):
        ids = ",".join(str(j % 50 + 1) for j in range(first if k < 10 else second))
        element = 2**31 if k == too_big else k + 1
        lines += [f"{element},1,2,1,8,", ids + ",", *["0,"] * 5]
    path = tmp_path / "elements.in"
    path.write_bytes(b"\x07\x00" + block_text(404, lines).encode())  # seed byte, then ASCII
    run = subprocess.run([str(core_harness), str(path)], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0 and "ran 1 inputs" in run.stdout, run.stderr


MALLOC_ARRAY_LIMITS = r"""
#include <cstdint>
#include <cstdio>
#include <new>
#include <stdexcept>
#include "reading/malloc_array.hpp"
using tremix::reading::MallocArray;

template <typename F> void expect_length_error(const char* what, F f) {
    try {
        f();
        std::printf("%s: no error\n", what);
    } catch (const std::length_error&) {
        std::printf("%s: length_error\n", what);
    } catch (const std::bad_alloc&) {
        std::printf("%s: bad_alloc\n", what);
    }
}

int main() {
    MallocArray<double> a;
    expect_length_error("resize", [&] { a.resize(SIZE_MAX / 4); });
    expect_length_error("reserve", [&] { a.reserve(SIZE_MAX / 4); });
    a.push_back(1.5);
    expect_length_error("append", [&] { a.append(a.data(), SIZE_MAX - 1); });
    std::printf("kept: %zu %g\n", a.size(), a[0]);
}
"""


def test_a_vector_buffer_refuses_sizes_beyond_its_limit(tmp_path):
    """The buffers a vector's values are read into throw std::length_error,
    as std::vector does, for a size they can never hold (growing towards it
    by doubling never got there), and keep what they held."""
    compiler = next((c for c in ("c++", "g++", "clang++") if shutil.which(c)), None)
    if compiler is None:
        pytest.skip("no C++ compiler")
    source, exe = tmp_path / "limits.cpp", tmp_path / "limits"
    source.write_text(MALLOC_ARRAY_LIMITS)
    subprocess.run([compiler, "-std=c++20", "-O1", f"-I{ROOT / 'tremix' / 'core' / 'src'}", str(source), "-o", str(exe)],
                   check=True, capture_output=True, timeout=300)
    run = subprocess.run([str(exe)], capture_output=True, text=True, timeout=30)
    assert run.stdout.splitlines() == ["resize: length_error", "reserve: length_error", "append: length_error",
                                       "kept: 1 1.5"]


def vector_lines(set_id, count, value="{}.5E+00"):
    lines = []
    for v in range(1, count + 1):
        lines += [f"{set_id},{v},1,", f"V{v},", "0,0,0,", *["1,2,3,4,5,6,7,8,9,10,"] * 3, "1,1,1,7,", "0,0,1,"]
        lines += [f"{i}," + (value if v == 2 else "{}.5E+00").format(i) + "," for i in range(1, 11)] + ["-1,0.,"]
    return lines


@pytest.mark.slow  # builds the harness first
@pytest.mark.parametrize("value", ["{}.5E+00", "x{}", "1_{}"], ids=["clean", "dropped", "interpreter"])
def test_a_shared_catalogue_lists_what_the_full_read_does(core_harness, tmp_path, value):
    """Two result blocks of three vectors, the catalogue's walk shared out
    at the block boundary: a vector of the second block left out for a
    value that does not convert, or with a value only the interpreter
    reads, must be listed as the one-thread full read lists it."""
    path = tmp_path / "vectors.in"
    text = block_text(1051, vector_lines(1, 3)) + block_text(1051, vector_lines(2, 3, value))
    path.write_bytes(b"\x07\x00" + text.encode())
    run = subprocess.run([str(core_harness), str(path)], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0 and "ran 1 inputs" in run.stdout, run.stderr


EXAMPLE = (ROOT / "tremix" / "data" / "example.neu").read_bytes()


@pytest.mark.slow  # builds the harness first
@pytest.mark.parametrize("data", [
    EXAMPLE,
    EXAMPLE.rstrip(b"\n"),                                 # the last line has no line end
    EXAMPLE[: len(EXAMPLE) // 2],                          # the file ends inside a block
    EXAMPLE.replace(b"\n", b"\r\n"),                      # not plain from the first line on
    EXAMPLE[:-300] + "\u00e9".encode() + EXAMPLE[-300:],   # not plain after many pieces ...
    EXAMPLE[:-300] + b"\xff" + EXAMPLE[-300:],              # ... and not decodable there
    EXAMPLE[:4000] + b"\r" + EXAMPLE[4000:],                # a lone carriage return ends a line
], ids=["plain", "no-final-line-end", "cut", "crlf", "late-latin1", "late-undecodable", "lone-cr"])
def test_a_file_split_in_place_reads_like_its_pieces(core_harness, tmp_path, data):
    """Plain ASCII read from a file stays where it was read, and any other
    byte makes the whole file be read again through the decoder: in every
    encoding the blocks, lines, report and errors must be those of the
    bytes fed piece by piece (the harness compares them and aborts)."""
    paths = []
    for encoding in range(3):
        paths.append(tmp_path / f"in-{encoding}")
        paths[-1].write_bytes(bytes([7, encoding]) + data)
    run = subprocess.run([str(core_harness), *map(str, paths)], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0 and "ran 3 inputs" in run.stdout, run.stderr


def node_lines(count, passed=()):
    return ["x" if k in passed else f"{k + 1},0,0,1,7,0,0,0,0,0,0,{k}.5,-1.,0.," for k in range(count)]


@pytest.mark.slow  # builds the harness first
@pytest.mark.parametrize("blocks", [
    [node_lines(100)],                            # the halves meet: nothing moves
    [node_lines(100, passed=range(0, 50, 5))],    # the first half passes lines over: the second's nodes move down
    [node_lines(100, passed=range(50, 100, 5))],  # only the second half passes lines over
    [node_lines(100, passed=range(49, 52))],      # lines passed over on both sides of the split
    [["x"] * 30 + node_lines(10), node_lines(80)],  # split in the second block, the first mostly passed over
])
def test_a_shared_node_walk_writes_each_node_where_the_one_thread_walk_does(core_harness, tmp_path, blocks):
    """The node walk split half-way, each half writing into room for a node
    a line: the nodes must fit, and come out as the one-thread walk's, with
    the second half's moved down over what the first half passed over (the
    harness compares them, also in room too small for all, and aborts on
    any difference)."""
    path = tmp_path / "nodes.in"
    path.write_bytes(b"\x07\x00" + "".join(block_text(403, lines) for lines in blocks).encode())
    run = subprocess.run([str(core_harness), str(path)], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0 and "ran 1 inputs" in run.stdout, run.stderr


@pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="no named pipes here")
@pytest.mark.parametrize("data", [b"   -1\n   100\nT\nV\n   -1\n", b"   -1\n   100\nT\xff\nV\n   -1\n"])
def test_a_named_pipe_is_read_like_a_file(tmp_path, data):
    """A pipe cannot be read twice: bytes that do not decode are reported
    without reading them again."""
    pipe = tmp_path / "pipe"
    os.mkfifo(pipe)
    writer = threading.Thread(target=pipe.write_bytes, args=(data,))
    writer.start()
    try:
        if b"\xff" in data:
            error = decoding_error(str(pipe))
            assert error.__notes__ == [f"the byte at offset 14 (line 3) of {pipe} does not decode"]
        else:
            assert ORVEXParser(str(pipe)).get_header() == {"title": "T", "version": "V"}
    finally:
        writer.join()


EXIT_WHILE_READING = """
import sys, threading
from tremix.core.orvex_parser import ORVEXParser

parser, started = ORVEXParser(sys.argv[1]), threading.Event()

def read_forever():
    while True:
        for name in ("get_nodes_arrays", "get_elements_arrays", "get_output_vectors_arrays"):
            getattr(parser, name)()
            started.set()

threading.Thread(target=read_forever, daemon=True).start()
started.wait()
"""


@pytest.mark.parametrize("attempt", range(3))
def test_the_process_exits_while_another_thread_reads(tmp_path, attempt):
    """A daemon thread in the middle of a reading when the interpreter shuts
    down is stopped where it asks for the lock back, never unwound through
    the reading: the process ends normally."""
    path = tmp_path / "f.neu"
    pytest.importorskip("orvex_gen").generate(path, target_mb=4, seed=3)
    run = subprocess.run([sys.executable, "-P", "-c", EXIT_WHILE_READING, str(path)],
                         capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr[-2000:]
