"""Pickling and copying of blocks and parsers, and rebuilding them from
hand-made pickle data."""

from __future__ import annotations

import builtins
import copy
import multiprocessing
import operator
import os
import pickle
import sys

import numpy
import pytest

import tremix.core.orvex_parser as mod
from tremix.core.orvex_parser import ORVEXBlock, ORVEXParser

unpickle_block = mod.__pyx_unpickle_ORVEXBlock
unpickle_parser = mod.__pyx_unpickle_ORVEXParser
BLOCK_SUMS = (0x7EB2A63, 0xC7DD1C6, 0xDCF7CA8)
PARSER_SUMS = (0x3F1D598, 0xC51E58, 0xA29F31B)
EXTRACTORS = ["get_header", "get_nodes", "get_nodes_arrays", "get_properties", "get_materials", "get_elements",
              "get_elements_arrays", "get_output_sets", "get_output_vectors", "get_output_vectors_arrays"]


# Subclasses live at module level so pickle finds them by name.
class SubBlock(ORVEXBlock):
    pass


class SubParser(ORVEXParser):
    pass


class SlotBlock(ORVEXBlock):
    __slots__ = ("extra",)


class OddDictBlock(ORVEXBlock):
    """Its `__dict__` is not a dict: state goes through that object's `update`."""
    updates: list = []

    @property
    def __dict__(self):
        return type("Recorder", (), {"update": staticmethod(OddDictBlock.updates.append)})()


def same(a, b) -> bool:
    """Deep equality that also compares blocks and NumPy arrays."""
    if isinstance(a, ORVEXBlock):
        return type(a) is type(b) and (a.block_id, a.lines) == (b.block_id, b.lines)
    if isinstance(a, numpy.ndarray):
        return a.dtype == b.dtype and numpy.array_equal(a, b)
    if isinstance(a, dict):
        return type(b) is dict and list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    if isinstance(a, (list, tuple)):
        return type(a) is type(b) and len(a) == len(b) and all(map(same, a, b))
    return type(a) is type(b) and a == b


def fields(obj):
    """The fields as the object's own pickling reports them."""
    reduced = obj.__reduce__()
    return reduced[2] if len(reduced) == 3 else reduced[1][2]


@pytest.fixture
def sample_parser(tmp_path):
    orvex_gen = pytest.importorskip("orvex_gen")  # writes a file with every kind of block
    orvex_gen.generate(tmp_path / "model.neu", n_nodes=60, n_vectors=3, n_sets=2)
    return ORVEXParser(str(tmp_path / "model.neu"))


@pytest.mark.parametrize("cls", [ORVEXBlock, ORVEXParser])
def test_types_carry_all_four_names(cls):
    for name in ("__reduce__", "__setstate__", "__reduce_cython__", "__setstate_cython__"):
        assert name in cls.__dict__
    assert cls.__reduce__.__qualname__ == f"{cls.__name__}.__reduce_cython__"
    assert cls.__setstate__.__qualname__ == f"{cls.__name__}.__setstate_cython__"
    obj = cls.__new__(cls)
    assert obj.__reduce__() == obj.__reduce_cython__()


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_round_trips(sample_parser, protocol):
    for block_id, lines in [(403, ["    1,0,0", "", "ünï  "]), (-2**31, []), (2**31 - 1, None)]:
        back = pickle.loads(pickle.dumps(ORVEXBlock(block_id, lines), protocol))
        assert type(back) is ORVEXBlock and (back.block_id, back.lines) == (block_id, lines)
    data = pickle.dumps(sample_parser, protocol)
    os.remove(fields(sample_parser)[2])  # an unpickled parser never reads its file
    back = pickle.loads(data)
    assert type(back) is ORVEXParser and same(back.parse(), sample_parser.parse())
    assert fields(back)[::2] == fields(sample_parser)[::2] and fields(back)[0] == "   -1"
    assert all(same(back.get_blocks(k), sample_parser.get_blocks(k)) for k in sample_parser.parse())


def test_copy_and_deepcopy(sample_parser):
    shallow, deep = copy.copy(sample_parser), copy.deepcopy(sample_parser)
    assert shallow.blocks is sample_parser.blocks
    assert deep.blocks is not sample_parser.blocks and same(deep.blocks, sample_parser.blocks)
    first, deep_first = (next(iter(p.blocks.values()))[0] for p in (sample_parser, deep))
    assert deep_first is not first and deep_first.lines is not first.lines
    block = ORVEXBlock(5, ["a"])
    assert copy.copy(block).lines is block.lines
    assert copy.deepcopy(block).lines == ["a"] and copy.deepcopy(block).lines is not block.lines


def test_unpickled_parser_extractors_match(sample_parser):
    """Read from the stored text before pickling (which makes the lists), and
    from the unpickled lists after."""
    before = {name: getattr(sample_parser, name)() for name in EXTRACTORS}
    back = pickle.loads(pickle.dumps(sample_parser))
    for name in EXTRACTORS:
        assert same(getattr(back, name)(), before[name]), name


@pytest.mark.parametrize("obj, form", [
    (ORVEXBlock(5, None), 2), (ORVEXBlock(5, []), 3), (ORVEXParser.__new__(ORVEXParser), 2),
    (SubParser.__new__(SubParser), 2), (SubBlock(1, None), 2), (SlotBlock(1, None), 2),
])
def test_reduce_form(obj, form):
    is_block = isinstance(obj, ORVEXBlock)
    reduced = obj.__reduce__()
    assert len(reduced) == form
    assert reduced[0] is (unpickle_block if is_block else unpickle_parser)
    assert reduced[1][:2] == (type(obj), BLOCK_SUMS[0] if is_block else PARSER_SUMS[0])
    state = reduced[2] if form == 3 else reduced[1][2]
    assert form == 2 or reduced[1][2] is None
    assert type(state) is tuple and len(state) == (2 if is_block else 3)


def test_unpickle_function_is_looked_up_at_reduce_time(monkeypatch):
    marker = object()
    monkeypatch.setattr(mod, "__pyx_unpickle_ORVEXBlock", marker)
    assert ORVEXBlock(1, None).__reduce__()[0] is marker
    monkeypatch.delattr(mod, "__pyx_unpickle_ORVEXBlock")
    with pytest.raises(NameError, match=r"^name '__pyx_unpickle_ORVEXBlock' is not defined$"):
        ORVEXBlock(1, None).__reduce__()
    monkeypatch.setattr(builtins, "__pyx_unpickle_ORVEXBlock", marker, raising=False)
    assert ORVEXBlock(1, None).__reduce__()[0] is marker


@pytest.mark.parametrize("protocol", [0, pickle.HIGHEST_PROTOCOL])
def test_subclasses(protocol, write_neu):
    block = SubBlock(4, ["l"])
    assert block.__reduce__()[2] == (4, ["l"])  # an empty __dict__ is left out
    assert type(copy.deepcopy(block)) is SubBlock and vars(copy.deepcopy(block)) == {}
    block.note, block.me = "kept", block
    back = pickle.loads(pickle.dumps(block, protocol))
    assert type(back) is SubBlock and (back.block_id, back.lines, back.note) == (4, ["l"], "kept")
    assert back.me is back
    parser = SubParser(write_neu(blocks=[(9, ["q"])]))
    parser.tag = {"k": [1, 2]}
    assert len(parser.__reduce__()[2]) == 4
    back = pickle.loads(pickle.dumps(parser, protocol))
    assert type(back) is SubParser and back.tag == {"k": [1, 2]} and same(back.parse(), parser.parse())
    slotted = SlotBlock(2, ["s"])
    slotted.extra = "slots are not part of the state"
    back = pickle.loads(pickle.dumps(slotted, protocol))
    assert type(back) is SlotBlock and back.lines == ["s"] and not hasattr(back, "extra")


def test_extra_state_goes_to_the_instance_dict():
    assert unpickle_block(SubBlock, BLOCK_SUMS[0], (1, None, [("pair", 2)])).pair == 2  # dict.update rules
    OddDictBlock.updates.clear()
    assert type(unpickle_block(OddDictBlock, BLOCK_SUMS[0], (1, None, {"x": 1}))) is OddDictBlock
    assert OddDictBlock.updates == [{"x": 1}]
    assert unpickle_block(ORVEXBlock, BLOCK_SUMS[0], (1, None, {})).block_id == 1  # a false extra is ignored
    with pytest.raises(AttributeError, match=r"has no attribute '__dict__'"):
        unpickle_block(ORVEXBlock, BLOCK_SUMS[0], (1, None, {"x": 1}))


@pytest.mark.parametrize("index", range(3))
def test_accepted_checksums_are_equivalent(index):
    lines, blocks = ["one line"], {1: [ORVEXBlock(1, [])]}
    block = unpickle_block(ORVEXBlock, BLOCK_SUMS[index], (7, lines))
    assert type(block) is ORVEXBlock and block.block_id == 7 and block.lines is lines
    parser = unpickle_parser(ORVEXParser, PARSER_SUMS[index], ("   -1", blocks, "gone.neu"))
    assert parser.parse() is blocks and parser.get_blocks(1) is blocks[1]


@pytest.mark.parametrize("func, cls, checksum, shown", [
    (unpickle_block, ORVEXBlock, PARSER_SUMS[0], "0x3f1d598"),
    (unpickle_block, ORVEXBlock, 2**80, "0x100000000000000000000"),
    (unpickle_parser, ORVEXParser, -5, "0x-5"),
    (unpickle_parser, ORVEXParser, BLOCK_SUMS[1], "0xc7dd1c6"),
])
def test_unknown_checksum_raises_pickle_error(func, cls, checksum, shown):
    with pytest.raises(pickle.PickleError) as info:
        func(cls, checksum, None)
    expected = ("(0x7eb2a63, 0xc7dd1c6, 0xdcf7ca8) = (block_id, lines)" if cls is ORVEXBlock
                else "(0x3f1d598, 0xc51e58, 0xa29f31b) = (BLOCK_DELIMITER, blocks, filepath)")
    assert str(info.value) == f"Incompatible checksums ({shown} vs {expected})"


def test_numbers_follow_the_integer_rule():
    assert type(unpickle_block(ORVEXBlock, float(BLOCK_SUMS[2]) + 0.5, None)) is ORVEXBlock
    block = unpickle_block(__pyx_state=(5.9, None), __pyx_checksum=BLOCK_SUMS[0], __pyx_type=SubBlock)
    assert type(block) is SubBlock and fields(block) == (5, None)


B, P = ORVEXBlock(1, []), ORVEXParser.__new__(ORVEXParser)


@pytest.mark.parametrize("call, error, text", [
    (lambda: B.__reduce__(2), TypeError, r"^__reduce_cython__\(\) takes exactly 0 positional arguments \(1 given\)$"),
    (lambda: P.__reduce__(protocol=2), TypeError, r"unexpected keyword argument 'protocol'"),
    (lambda: B.__setstate__(None), TypeError,
     r"^cannot pass None into a C function argument that is declared 'not None'$"),
    (lambda: P.__setstate__([None, None, None]), TypeError, r"^Expected tuple, got list$"),
    (lambda: B.__setstate__(), TypeError, r"^__setstate_cython__\(\) takes exactly 1 positional argument \(0 given\)$"),
    (lambda: unpickle_block(ORVEXBlock, BLOCK_SUMS[0]), TypeError,
     r"^__pyx_unpickle_ORVEXBlock\(\) takes exactly 3 positional arguments \(2 given\)$"),
    (lambda: unpickle_parser(ORVEXParser, PARSER_SUMS[0], None, None), TypeError,
     r"^__pyx_unpickle_ORVEXParser\(\) takes exactly 3 positional arguments \(4 given\)$"),
    (lambda: unpickle_block(ORVEXBlock, str(BLOCK_SUMS[0]), None), TypeError, r"^an integer is required$"),
    (lambda: unpickle_block(ORVEXBlock, BLOCK_SUMS[0], [1, []]), TypeError,
     r"^Argument '__pyx_state' has incorrect type \(expected tuple, got list\)$"),
    (lambda: unpickle_parser(ORVEXParser, PARSER_SUMS[0], type("T", (tuple,), {})()), TypeError,
     r"^Argument '__pyx_state' has incorrect type \(expected tuple, got T\)$"),
    (lambda: unpickle_block(ORVEXParser, BLOCK_SUMS[0], None), TypeError, r"is not a subtype of"),
    (lambda: unpickle_parser(SubBlock, PARSER_SUMS[0], None), TypeError, r"is not a subtype of"),
    (lambda: unpickle_block("ORVEXBlock", BLOCK_SUMS[0], None), TypeError, r"is not a type object"),
    (lambda: B.__setstate__((1,)), ValueError, r"^ORVEXBlock state must hold at least 2 items \(block_id, lines\), got 1$"),
    (lambda: unpickle_parser(ORVEXParser, PARSER_SUMS[0], ("   -1", {})), ValueError,
     r"^ORVEXParser state must hold at least 3 items \(BLOCK_DELIMITER, blocks, filepath\), got 2$"),
    (lambda: unpickle_block(ORVEXBlock, BLOCK_SUMS[0], ("7", [])), TypeError, r"^an integer is required$"),
    (lambda: unpickle_block(ORVEXBlock, BLOCK_SUMS[0], (2**31, [])), OverflowError, None),
    (lambda: unpickle_block(ORVEXBlock, BLOCK_SUMS[0], (1, ("a",))), TypeError, r"^Expected list, got tuple$"),
    (lambda: P.__setstate__((b"   -1", {}, None)), TypeError, r"^Expected str, got bytes$"),
    (lambda: P.__setstate__((None, [], None)), TypeError, r"^Expected dict, got list$"),
    (lambda: P.__setstate__((None, None, 3)), TypeError, r"^Expected str, got int$"),
])
def test_errors(call, error, text):
    with pytest.raises(error, match=text):
        call()


def test_setstate_assigns_fields_in_order():
    parser = ORVEXParser.__new__(ORVEXParser)
    with pytest.raises(TypeError, match=r"^Expected dict, got list$"):
        parser.__setstate__(("delim", [], "path"))
    assert fields(parser) == ("delim", None, None)
    block = ORVEXBlock(1, ["old"])
    with pytest.raises(TypeError, match=r"^Expected list, got str$"):
        block.__setstate__((2, "new"))
    assert fields(block) == (2, ["old"])
    with pytest.raises(ValueError):
        block.__setstate__((3,))  # too short: nothing is touched
    assert fields(block) == (2, ["old"])


def test_failed_unpickling_keeps_no_references():
    lines = ["held"]
    base = sys.getrefcount(lines)
    for _ in range(2000):
        for args in [(ORVEXBlock, BLOCK_SUMS[0], (lines, lines)), (ORVEXBlock, 1, (1, lines)),
                     (ORVEXBlock, BLOCK_SUMS[0], (1, lines, {"x": lines}))]:
            with pytest.raises((TypeError, AttributeError, pickle.PickleError)):
                unpickle_block(*args)
        with pytest.raises(TypeError):
            unpickle_parser(ORVEXParser, PARSER_SUMS[0], (None, {1: lines}, 5))
        unpickle_block(ORVEXBlock, BLOCK_SUMS[0], (1, lines)).__reduce__()
    del args
    assert sys.getrefcount(lines) == base


@pytest.mark.parametrize("blocks", [
    {403: [1, "x", None]},
    {403: "not a list", 404: (1,), 100: {}},
    {k: [ORVEXBlock(k, None)] for k in (100, 402, 403, 404, 450, 451, 601, 1051)},
    {k: [ORVEXBlock(k, [1, None, b"x", ["1,2,3"]])] for k in (100, 402, 403, 404, 450, 451, 601, 1051)},
    {k: [SubBlock(k, ["1,2,3", "   -1", "", "a,b,c"])] for k in (100, 402, 403, 404, 450, 451, 601, 1051)},
    {"403": [ORVEXBlock(403, ["1"])], 2**40: []},
    None,
])
def test_foreign_contents_raise_cleanly(blocks):
    parser = unpickle_parser(ORVEXParser, PARSER_SUMS[0], (None, blocks, None))
    assert parser.parse() is blocks
    for name in EXTRACTORS:
        try:
            getattr(parser, name)()
        except (NotImplementedError, TypeError, ValueError, IndexError, AttributeError, OverflowError):
            pass


def test_parser_used_in_another_process(sample_parser):
    with multiprocessing.get_context("spawn").Pool(2) as pool:
        maps = pool.map(operator.methodcaller("parse"), [sample_parser, sample_parser])
        lists = pool.map(operator.methodcaller("get_blocks", 403), [sample_parser])
    assert all(same(blocks, sample_parser.parse()) for blocks in maps)
    assert same(lists[0], sample_parser.get_blocks(403)) and lists[0]
