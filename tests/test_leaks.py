"""Every operation, on its success and on its failure paths, called many
times, leaves the interpreter's allocations flat: no reference is lost on
any path. (Leaks of the module's own C++ storage are the sanitizer run's
and valgrind's job; see docs/robustness.md.)"""

from __future__ import annotations

import copy
import ctypes
import gc
import os
import pickle
import sys
import tracemalloc

import pytest

import tremix
from tremix.core import orvex_parser as mod
from tremix.core.orvex_parser import ORVEXBlock, ORVEXParser

import orvex_gen
from storage import in_storage

ROUNDS = 3     # a leak shows in every round; noise that settles shows in one at most
CALLS = 150    # calls per round
LIMIT = 0.5    # allocated blocks per call: a leak of one object per call gives 1
WARMUP = 10

NODE_LINE = b"1,0,0,1,46,0,0,0,0,0,0,1.0,2.0,3.0\n"


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    d = tmp_path_factory.mktemp("leaks")
    model = d / "model.neu"
    orvex_gen.generate(model, n_nodes=30, n_vectors=2, n_sets=1)
    paths = {"model": str(model)}
    for name, data in {
        "overflow": b"   -1\n   100\nt\n1\n   -1\n   -1\n 2147483648\nx\n   -1\n",
        "undecodable": b"   -1\n   100\n\xff\xfe\x80\n   -1\n",
        "empty": b"",
        "bad_records": (
            b"   -1\n   403\n" + b"x,1,2\n" * 5 + b"1,0,0,1,46,0,0,0,0,0,0,abc,1,2\n" + b"   -1\n"
            b"   -1\n   404\n1,2,3\nnope\n   -1\n   -1\n   402\n1\n   -1\n   -1\n   450\n1\n2\n   -1\n"
            b"   -1\n  1051\n1,2\nabc\n   -1\n   -1\n   601\nz\n   -1\n"
        ),
        "node_overflow": b"   -1\n   403\n2147483648,0,0,1,46,0,0,0,0,0,0,1.0,2.0,3.0\n   -1\n",
        "vector_overflow": b"   -1\n  1051\n1,1,1,\nT\n0.,\n1,1,1,7,\n1,0,1,\n4,1.5,\n-1,0.\n2147483648,1,1,\n   -1\n",
        # The file is read in pieces of 1 Mi characters: this byte comes in
        # the second, with the lines of the first still waiting for their
        # block to end.
        "undecodable_late": b"   -1\n   403\n" + NODE_LINE * (3 * 2**19 // len(NODE_LINE)) + b"\xff\n   -1\n",
    }.items():
        path = d / f"{name}.neu"
        path.write_bytes(data)
        paths[name] = str(path)
    return paths


def settle():
    """Collects garbage and empties the interpreter's method cache. The cache
    keeps a reference to the name of each attribute looked up on a type, so
    a name string made for one lookup stays allocated until another lookup
    takes its slot: tens of blocks that come and go with what else the
    process (pytest, its plugins) looked up, and looked like leaks."""
    gc.collect()
    getattr(sys, "_clear_internal_caches", sys._clear_type_cache)()


def assert_flat(fn, calls=CALLS, limit=LIMIT, measure=sys.getallocatedblocks, unit="allocated blocks"):
    """Runs `fn` after a warm-up in rounds of `calls` calls; fails when every
    round grows `measure` by `limit` or more per call."""
    for _ in range(WARMUP):
        fn()
    growth = []
    for _ in range(ROUNDS):
        settle()
        before = measure()
        for _ in range(calls):
            fn()
        settle()
        growth.append((measure() - before) / calls)
        if growth[-1] < limit:
            return
    pytest.fail(f"{unit} grew by {growth} per call over rounds of {calls} calls (limit {limit})")


def raises(error, fn, *args, **kwargs):
    def run():
        try:
            fn(*args, **kwargs)
        except error:
            return
        raise AssertionError(f"{fn} did not raise {error}")

    return run


EXTRACTORS = [
    ("get_header", ()), ("get_nodes", ()), ("get_nodes", (True,)), ("get_nodes_arrays", ()),
    ("get_properties", ()), ("get_materials", ()), ("get_elements", ()), ("get_elements_arrays", ()),
    ("get_output_sets", ()), ("get_output_vectors", ()), ("get_output_vectors_arrays", ()),
    ("get_output_vectors_arrays", (1, 1)), ("get_output_vectors_arrays", (99, 99)),
]
EXTRACTOR_IDS = [f"{n}{a}" for n, a in EXTRACTORS]


def construction_cases(files):
    return {
        "parser": lambda: ORVEXParser(files["model"]),
        "parser_keyword": lambda: ORVEXParser(filepath=files["model"]),
        "parser_empty_file": lambda: ORVEXParser(files["empty"]),
        "parser_reinit": lambda p=ORVEXParser(files["model"]): p.__init__(files["model"]),
        "parser_missing_file": raises(FileNotFoundError, ORVEXParser, files["model"] + ".missing"),
        "parser_undecodable": raises(UnicodeDecodeError, ORVEXParser, files["undecodable"]),
        "parser_undecodable_late": raises(UnicodeDecodeError, ORVEXParser, files["undecodable_late"]),
        "parser_block_overflow": raises(OverflowError, ORVEXParser, files["overflow"]),
        "parser_none_path": raises(TypeError, ORVEXParser, None),
        "parser_bad_path_type": raises(TypeError, ORVEXParser, b"path"),
        "parser_two_args": raises(TypeError, ORVEXParser, "a", "b"),
        "parser_bad_keyword": raises(TypeError, ORVEXParser, fp="a"),
        "parser_new": lambda: ORVEXParser.__new__(ORVEXParser),
        "block": lambda: ORVEXBlock(5, ["a", "b"]),
        "block_keywords": lambda: ORVEXBlock(lines=[], block_id=5.5),
        "block_bad_id": raises(TypeError, ORVEXBlock, "5", []),
        "block_id_overflow": raises(OverflowError, ORVEXBlock, 2**40, []),
        "block_bad_lines": raises(TypeError, ORVEXBlock, 5, ("a",)),
        "block_missing_arg": raises(TypeError, ORVEXBlock, 5),
        "block_repeated_arg": raises(TypeError, ORVEXBlock, 5, [], block_id=5),
        "block_repr": lambda b=ORVEXBlock(-7, ["x"]): repr(b),
        "block_repr_none": raises(TypeError, repr, ORVEXBlock(1, None)),
    }


def attribute_cases(files):
    p = ORVEXParser(files["model"])
    b = ORVEXBlock(1, ["x"])

    def set_lines():
        b.lines = ["y"]
        del b.lines
        b.lines = None

    def set_blocks(q=ORVEXParser(files["model"])):
        q.blocks = {1: []}
        del q.blocks

    def set_block_id():
        b.block_id = 7.9
        return b.block_id

    return {
        "lines_set_delete": set_lines,
        "lines_bad_type": raises(TypeError, setattr, b, "lines", ("x",)),
        "block_id_set": set_block_id,
        "block_id_delete": raises(NotImplementedError, delattr, b, "block_id"),
        "block_id_bad": raises(TypeError, setattr, b, "block_id", "x"),
        "blocks_set_delete": set_blocks,
        "blocks_bad_type": raises(TypeError, setattr, p, "blocks", []),
        "filepath_missing": raises(AttributeError, getattr, p, "filepath"),
        "parse": p.parse,
        "get_blocks_present": lambda: p.get_blocks(403),
        "get_blocks_absent": lambda: p.get_blocks(999),
        "get_blocks_float": lambda: p.get_blocks(403.5),
        "get_blocks_bad_type": raises(TypeError, p.get_blocks, "403"),
        "get_blocks_overflow": raises(OverflowError, p.get_blocks, 2**31),
        "get_blocks_no_map": raises(AttributeError, ORVEXParser.__new__(ORVEXParser).get_blocks, 1),
        "get_blocks_not_a_list": raises(TypeError, lambda q=ORVEXParser.__new__(ORVEXParser): (
            setattr(q, "blocks", {1: ()}), q.get_blocks(1))),
        "too_many_args": raises(TypeError, p.get_nodes, 1, 2),
        "unexpected_keyword": raises(TypeError, p.get_header, x=1),
        "repeated_keyword": raises(TypeError, p.get_nodes, 1, force_2d=1),
        "unbound_without_self": raises(TypeError, ORVEXParser.get_blocks),
        "unbound_wrong_self": raises(TypeError, ORVEXParser.get_blocks, b, 1),
        "function_attributes": lambda f=ORVEXParser.get_nodes: (
            f.__code__, f.__defaults__, f.__doc__, f.__dict__, f.__annotations__, f.__globals__, repr(f),
            f.__kwdefaults__, f.__qualname__, f.func_name),
    }


def csv_line_cases():
    return {
        "comma": lambda: ORVEXParser.parse_csv_line("1, 2 ,,3,,,"),
        "space": lambda: ORVEXParser.parse_csv_line("  1\t2   3  "),
        "wide": lambda: ORVEXParser.parse_csv_line("\u3000a\u2028b,\U0001f600 c,"),
        "empty": lambda: ORVEXParser.parse_csv_line(""),
        "keyword": lambda: ORVEXParser.parse_csv_line(line="a b"),
        "none": raises(TypeError, ORVEXParser.parse_csv_line, None),
        "bytes": raises(TypeError, ORVEXParser.parse_csv_line, b"a"),
        "str_subclass": raises(TypeError, ORVEXParser.parse_csv_line, type("S", (str,), {})("a")),
    }


CONSTRUCTION_CASES = [
    "parser", "parser_keyword", "parser_empty_file", "parser_reinit", "parser_missing_file",
    "parser_undecodable", "parser_undecodable_late", "parser_block_overflow", "parser_none_path",
    "parser_bad_path_type", "parser_two_args", "parser_bad_keyword", "parser_new", "block", "block_keywords",
    "block_bad_id", "block_id_overflow", "block_bad_lines", "block_missing_arg", "block_repeated_arg",
    "block_repr", "block_repr_none",
]
ATTRIBUTE_CASES = [
    "lines_set_delete", "lines_bad_type", "block_id_set", "block_id_delete", "block_id_bad",
    "blocks_set_delete", "blocks_bad_type", "filepath_missing", "parse", "get_blocks_present",
    "get_blocks_absent", "get_blocks_float", "get_blocks_bad_type", "get_blocks_overflow",
    "get_blocks_no_map", "get_blocks_not_a_list", "too_many_args", "unexpected_keyword",
    "repeated_keyword", "unbound_without_self", "unbound_wrong_self", "function_attributes",
]


@pytest.mark.parametrize("case", CONSTRUCTION_CASES)
def test_construction_does_not_leak(files, case):
    assert_flat(construction_cases(files)[case], calls=60)


@pytest.mark.parametrize("case", ATTRIBUTE_CASES)
def test_attributes_and_lookup_do_not_leak(files, case):
    assert_flat(attribute_cases(files)[case])


@pytest.mark.parametrize("case", list(csv_line_cases()))
def test_parse_csv_line_does_not_leak(case):
    assert_flat(csv_line_cases()[case])


@pytest.mark.parametrize("name,args", EXTRACTORS, ids=EXTRACTOR_IDS)
@pytest.mark.parametrize("file", ["model", "bad_records", "empty"])
def test_extractors_do_not_leak(files, file, name, args, storage):
    p = in_storage(ORVEXParser(files[file]), storage)
    assert_flat(lambda: getattr(p, name)(*args), calls=60)


@pytest.mark.parametrize("name,args", EXTRACTORS, ids=EXTRACTOR_IDS)
def test_extractor_failures_do_not_leak(files, name, args):
    p = ORVEXParser(files["model"])
    # A record line, then a block without lines (the header reads only the first block).
    p.blocks = {k: [ORVEXBlock(k, ["x"]), ORVEXBlock(k, None)] for k in (402, 403, 404, 450, 451, 601, 1051)}
    p.blocks[100] = [ORVEXBlock(100, None)]
    assert_flat(raises(TypeError, getattr(p, name), *args), calls=60)

    class WrongType(ORVEXParser):
        def get_blocks(self, block_id):
            return ("not", "a list")

    q = WrongType(files["model"])
    assert_flat(raises(TypeError, getattr(q, name), *args), calls=60)

    class Recursive(ORVEXParser):
        def get_blocks(self, block_id):
            return getattr(self, name)(*args)

    r = Recursive(files["model"])
    assert_flat(raises(RecursionError, getattr(r, name), *args), calls=20)


@pytest.mark.parametrize("name,args", [e for e in EXTRACTORS if e[0] in ("get_nodes", "get_nodes_arrays")])
def test_overflow_inside_records_does_not_leak(files, name, args):
    p = ORVEXParser(files["node_overflow"])
    assert_flat(raises(OverflowError, getattr(p, name), *args), calls=60)


@pytest.mark.parametrize("file", ["model", "bad_records", "vector_overflow"])
def test_check_with_its_catalogue_does_not_leak(files, file):
    from tremix.core import _native

    p = ORVEXParser(files[file])
    assert_flat(lambda: _native.check(p, True), calls=60)


@pytest.mark.parametrize("name,args", [e for e in EXTRACTORS if e[0].endswith("_arrays")],
                         ids=[i for i in EXTRACTOR_IDS if "_arrays" in i])
def test_array_paths_without_native_numpy_do_not_leak(files, name, args):
    import numpy

    class Replacement:
        int32, float64 = numpy.int32, numpy.float64

        @staticmethod
        def array(items, dtype):
            return numpy.array(items, dtype=dtype)

    p = ORVEXParser(files["model"])
    saved = mod.np
    try:
        mod.np = Replacement()
        assert_flat(lambda: getattr(p, name)(*args), calls=60)
        del mod.np
        if args == (99, 99):
            return  # no vector matches: no array is made, nothing fails
        assert_flat(raises(NameError, getattr(p, name), *args), calls=60)
    finally:
        mod.np = saved


def test_overrides_do_not_leak(files):
    class Sub(ORVEXParser):
        def get_blocks(self, block_id):
            return super().get_blocks(block_id)

    p = Sub(files["model"])
    p.extra = 1

    def run():
        for name, args in EXTRACTORS:
            getattr(p, name)(*args)

    assert_flat(run, calls=60)


PICKLE_CASES = {
    "block": lambda: pickle.loads(pickle.dumps(ORVEXBlock(3, ["a", "b"]))),
    "block_none_lines": lambda: pickle.loads(pickle.dumps(ORVEXBlock(3, None))),
    "parser_copy": lambda: copy.deepcopy(ORVEXParser.__new__(ORVEXParser)),
    "bad_checksum": raises(pickle.PickleError, mod.__pyx_unpickle_ORVEXBlock, ORVEXBlock, 1, (1, [])),
    "bad_state_type": raises(TypeError, mod.__pyx_unpickle_ORVEXBlock, ORVEXBlock, 0x7EB2A63, [1, []]),
    "bad_lines_in_state": raises(TypeError, mod.__pyx_unpickle_ORVEXBlock, ORVEXBlock, 0x7EB2A63, (1, ())),
    "bad_id_in_state": raises(TypeError, mod.__pyx_unpickle_ORVEXBlock, ORVEXBlock, 0x7EB2A63, ("x", [])),
    "short_state": raises(Exception, mod.__pyx_unpickle_ORVEXParser, ORVEXParser, 0x3F1D598, (None,)),
    "setstate_none": raises(TypeError, ORVEXBlock(1, []).__setstate__, None),
    "parser_bad_blocks": raises(TypeError, mod.__pyx_unpickle_ORVEXParser, ORVEXParser, 0x3F1D598, (None, [], None)),
}


@pytest.mark.parametrize("case", list(PICKLE_CASES))
def test_pickling_does_not_leak(case):
    assert_flat(PICKLE_CASES[case])


def test_pickled_parser_does_not_leak(files):
    p = ORVEXParser(files["model"])
    assert_flat(lambda: pickle.loads(pickle.dumps(p)).get_nodes(), calls=60)


def traced_bytes():
    return tracemalloc.get_traced_memory()[0]


def test_tracemalloc_stays_flat(files):
    """The same, measured in bytes by the interpreter's allocation tracer
    (which also sees NumPy's data buffers): less than half the smallest
    object per run."""
    p = ORVEXParser(files["model"])

    def run():
        ORVEXParser(files["model"])
        for name, args in EXTRACTORS:
            getattr(p, name)(*args)
        try:
            ORVEXParser(files["overflow"])
        except OverflowError:
            pass

    tracemalloc.start()
    try:
        assert_flat(run, calls=20, limit=8, measure=traced_bytes, unit="traced bytes")
    finally:
        tracemalloc.stop()


# A vector's arrays own the memory its values were read into; node arrays
# of 4 MB or more are made on memory from malloc() rather than NumPy's
# allocator (184,000 nodes: 4.4 MB of coordinates).
@pytest.mark.parametrize("kind", ["vector", "nodes"])
def test_arrays_on_memory_of_their_own_are_traced_as_numpy_allocations(tmp_path, kind):
    """Arrays that own memory NumPy did not allocate: the allocation tracer
    counts it in NumPy's domain, as for any array NumPy allocates, while the
    arrays live, and not after; NumPy resizes it as its own."""
    import numpy

    if kind == "vector":
        records = 20_000
        lines = ["1,1,1,", "V", "0,0,0,", "1,1,1,7,", "0,0,1,", *(f"{k + 1},{k}.5," for k in range(records)), "-1,0.,"]
        block = 1051
    else:
        records = 184_000
        lines = [f"{k + 1},0,0,1,7,0,0,0,0,0,0,{k}.5,1.,2.," for k in range(records)]
        block = 403
    path = tmp_path / "arrays.neu"
    path.write_text("\n".join(["   -1", f"  {block}", *lines, "   -1"]) + "\n")
    parser = ORVEXParser(str(path))
    read = (lambda: tremix.Results(parser).arrays_at(0)) if kind == "vector" else parser.get_nodes_arrays
    domain = tracemalloc.DomainFilter(True, numpy.lib.tracemalloc_domain)

    def numpy_bytes():
        return sum(t.size for t in tracemalloc.take_snapshot().filter_traces([domain]).traces)

    tracemalloc.start()
    try:
        before = numpy_bytes()
        arrays = read()
        width = 3 if kind == "nodes" else 1
        assert numpy_bytes() - before == sum(a.nbytes for a in arrays) == records * (4 + 8 * width)
        for a in arrays:
            assert a.base is None and a.strides == numpy.empty(a.shape, a.dtype).strides
            assert a.flags.owndata and a.flags.writeable and a.flags.c_contiguous
        last = arrays[1][-1].tolist()
        arrays[1].resize((records + 2, *arrays[1].shape[1:]), refcheck=False)
        assert arrays[1][records - 1].tolist() == last and not arrays[1][records:].any()
        del arrays, a
        assert numpy_bytes() == before
    finally:
        tracemalloc.stop()


def losing_one_object(fn):
    """`fn` followed by the loss of one new object, as a missing Py_DECREF
    in the module would lose it."""
    def run():
        fn()
        ctypes.pythonapi.Py_IncRef(ctypes.py_object(object()))

    return run


def _blocks_are_counted() -> bool:
    """Whether sys.getallocatedblocks() sees new objects: not when every
    object goes through malloc (PYTHONMALLOC=malloc, as in the sanitizer run)."""
    before = sys.getallocatedblocks()
    held = [object() for _ in range(1000)]
    counted = sys.getallocatedblocks() - before >= 500
    del held
    return counted


@pytest.mark.parametrize("case", ["parser", "parser_undecodable_late", "get_blocks_no_map", "wrong_type_override",
                                  "recursion", "traced"])
def test_the_check_finds_one_lost_object_per_call(files, case):
    """The checks above, with the call counts they use, fail on a leak of
    one object per call."""
    if case != "traced" and not _blocks_are_counted():
        pytest.skip("the allocator does not count blocks here")
    class WrongType(ORVEXParser):
        def get_blocks(self, block_id):
            return ("not", "a list")

    class Recursive(ORVEXParser):
        def get_blocks(self, block_id):
            return self.get_nodes()

    fn, kwargs = {
        "parser": (construction_cases(files)["parser"], {"calls": 60}),
        "parser_undecodable_late": (construction_cases(files)["parser_undecodable_late"], {"calls": 60}),
        "get_blocks_no_map": (attribute_cases(files)["get_blocks_no_map"], {}),
        "wrong_type_override": (raises(TypeError, WrongType(files["model"]).get_header), {"calls": 60}),
        "recursion": (raises(RecursionError, Recursive(files["model"]).get_nodes), {"calls": 20}),
        "traced": (lambda: ORVEXParser(files["model"]), {"calls": 20, "limit": 8, "measure": traced_bytes}),
    }[case]
    if case == "traced":
        tracemalloc.start()
    try:
        with pytest.raises(pytest.fail.Exception, match=r"grew by \[.*\] per call"):
            assert_flat(losing_one_object(fn), **kwargs)
    finally:
        tracemalloc.stop()


def _rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc")
@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""), reason="ASan holds freed memory in quarantine")
def test_native_storage_is_released(tmp_path):
    """The arrays' C++ staging storage and the splitter's buffers: a leak of
    them would grow the process by megabytes per call."""
    path = tmp_path / "big.neu"
    orvex_gen.generate(path, n_nodes=20_000, n_vectors=2, n_sets=1)
    p = ORVEXParser(str(path))
    results = tremix.Results(p)

    def run():
        ORVEXParser(str(path))
        p.get_nodes_arrays()
        p.get_elements_arrays()
        p.get_output_vectors_arrays()
        results.arrays_at(1)

    for _ in range(3):
        run()
    gc.collect()
    before = _rss_bytes()
    for _ in range(15):
        run()
    gc.collect()
    assert _rss_bytes() - before < 16 * 2**20
