"""Model extractors given altered blocks, odd overrides and a replaced `np`:
an exception or the specified result, never a crash."""

from __future__ import annotations

import gc

import numpy as np
import pytest

import tremix.core.orvex_parser as mod
from tremix.core.orvex_parser import ORVEXBlock, ORVEXParser

NODE = "1,0,0,0,0,0,0,0,0,0,0,1.,2.,3.,"
ELEMENT = ["1,0,2,0,3", "4,5", "6", "", "", "", ""]
# (method, block number, lines that give one result entry)
EXTRACTORS = [
    ("get_nodes", 403, [NODE]),
    ("get_nodes_arrays", 403, [NODE]),
    ("get_properties", 402, ["1,0,2", "title"]),
    ("get_materials", 601, ["1"]),
    ("get_elements", 404, ELEMENT),
    ("get_elements_arrays", 404, ELEMENT),
]
IDS = [e[0] for e in EXTRACTORS]


def bare_parser(blocks):
    p = ORVEXParser.__new__(ORVEXParser)
    p.blocks = blocks
    return p


class Block(ORVEXBlock):
    pass


@pytest.mark.parametrize("method, block_id, lines", EXTRACTORS, ids=IDS)
@pytest.mark.parametrize(
    "item, message",
    [
        (None, "Cannot convert NoneType to tremix.core.orvex_parser.ORVEXBlock"),
        ("text", "Cannot convert str to tremix.core.orvex_parser.ORVEXBlock"),
        (ORVEXBlock(1, None), "object of type 'NoneType' has no len()"),
    ],
)
def test_foreign_block_list_item(method, block_id, lines, item, message):
    p = bare_parser({block_id: [ORVEXBlock(block_id, list(lines)), item]})
    with pytest.raises(TypeError, match=message):
        getattr(p, method)()


@pytest.mark.parametrize("method, block_id, lines", EXTRACTORS, ids=IDS)
@pytest.mark.parametrize("position", ["first", "inside"])
def test_non_str_line(method, block_id, lines, position):
    lines = list(lines)
    at = 0 if position == "first" else 1  # a title or node line
    if position == "inside" and len(lines) == 1:
        pytest.skip("record of one line")
    lines[at] = 12
    with pytest.raises(TypeError, match="Expected str, got int"):
        getattr(bare_parser({block_id: [ORVEXBlock(block_id, lines)]}), method)()


@pytest.mark.parametrize("method, block_id, lines", EXTRACTORS, ids=IDS)
def test_override_of_get_blocks(write_neu, method, block_id, lines):
    asked = []

    class Sub(ORVEXParser):
        def get_blocks(self, number):
            asked.append(number)
            return self.answer

    p = Sub(write_neu(blocks=[]))
    p.answer = [ORVEXBlock(7, list(lines)), Block(7, list(lines))]
    result = getattr(p, method)()
    assert asked == [block_id]
    entries = result[0] if isinstance(result, tuple) else result
    assert len(entries) == (1 if isinstance(result, dict) else 2)
    p.answer = (ORVEXBlock(7, list(lines)),)
    with pytest.raises(TypeError, match="Expected list, got tuple"):
        getattr(p, method)()
    p.answer = None
    with pytest.raises(TypeError, match="'NoneType' object is not iterable"):
        getattr(p, method)()
    p.answer = []
    assert getattr(p, method)() is not None


@pytest.mark.parametrize("method", ["get_nodes_arrays", "get_elements_arrays"])
def test_np_removed_from_the_module(monkeypatch, parser_for, method):
    p = parser_for(blocks=[(403, [NODE]), (404, ELEMENT)])
    monkeypatch.delattr(mod, "np")
    with pytest.raises(NameError, match="name 'np' is not defined"):
        getattr(p, method)()


class FakeNumpy:
    """Stands in for NumPy: its `array` is a Python function."""

    int32, float64 = "i4-tag", "f8-tag"

    def __init__(self):
        self.calls = []

    def array(self, items, dtype):
        self.calls.append((items, dtype))
        return np.array(items, dtype={"i4-tag": np.int32, "f8-tag": np.float64}[dtype])


@pytest.fixture
def fake_np(monkeypatch):
    fake = FakeNumpy()
    monkeypatch.setattr(mod, "np", fake)
    yield fake
    monkeypatch.undo()
    assert mod.np is np


def test_replaced_np_gets_lists(parser_for, fake_np):
    p = parser_for(blocks=[(403, [NODE, NODE.replace("1,", "2,", 1)]), (404, ELEMENT + ELEMENT)])
    ids, coords = p.get_nodes_arrays()
    assert fake_np.calls == [([1, 2], "i4-tag"), ([(1.0, 2.0, 3.0), (1.0, 2.0, 3.0)], "f8-tag")]
    assert type(fake_np.calls[0][0]) is list and coords.shape == (2, 3)
    assert all(gc.is_tracked(items) for items, _ in fake_np.calls)  # ordinary lists once handed over
    fake_np.calls.clear()
    arrays = p.get_elements_arrays()
    assert fake_np.calls == [([1, 1], "i4-tag"), ([2, 2], "i4-tag"), ([3, 3], "i4-tag"),
                             ([4, 5, 6, 4, 5, 6], "i4-tag"), ([0, 3, 6], "i4-tag")]
    assert [a.tolist() for a in arrays] == [c[0] for c in fake_np.calls]


def test_replaced_np_without_nodes(parser_for, fake_np):
    ids, coords = parser_for(blocks=[]).get_nodes_arrays()
    assert fake_np.calls == [([], "i4-tag"), ([], "f8-tag")]
    assert ids.shape == (0,) and coords.shape == (0, 3)


@pytest.mark.parametrize("method, block_id, lines", EXTRACTORS, ids=IDS)
@pytest.mark.parametrize("change", ["truncate", "non-str", "lines None", "blocks None"])
def test_block_changed_by_a_collector_callback(method, block_id, lines, change):
    """Python code run by the garbage collector in the middle of a walk may
    change the lines being read: the walk notices, it does not crash."""
    # Enough records to outlast the interpreter's free lists, whose reuse
    # does not count towards a collection.
    records = [list(lines) + [""] * (7 - len(lines)) for _ in range(3000)]
    all_lines = [line for record in records for line in record]
    block = ORVEXBlock(block_id, all_lines)
    p = bare_parser({block_id: [block]})
    calls = [0]

    def callback(phase, info):
        calls[0] += 1
        if calls[0] != 3:
            return
        if change == "truncate":
            del all_lines[len(all_lines) // 2:]
        elif change == "non-str":
            all_lines[-1] = 5
            all_lines[len(all_lines) // 2:] = [None] * (len(all_lines) - len(all_lines) // 2)
        elif change == "lines None":
            block.lines = None
        else:
            p.blocks = None

    old = gc.get_threshold()
    kept = []
    gc.callbacks.append(callback)
    gc.set_threshold(1, 1, 1)
    try:
        for _ in range(5):
            try:
                getattr(p, method)()
            except (IndexError, TypeError, AttributeError):
                pass
            # Collections happen even when the extractor itself allocates
            # no container.
            kept.append([Block(0, []) for _ in range(5)])
    finally:
        gc.callbacks.remove(callback)
        gc.set_threshold(*old)
    assert calls[0] >= 6
