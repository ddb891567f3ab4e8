"""The block record: construction, attributes and repr."""

from __future__ import annotations

import gc
import weakref

import pytest

from tremix.core.orvex_parser import ORVEXBlock, ORVEXParser


@pytest.mark.parametrize("block_id, lines, text", [
    (100, [], "ORVEXBlock(id=100, lines=0)"),
    (-7, ["a", "b"], "ORVEXBlock(id=-7, lines=2)"),
    (403, ["x"] * 12, "ORVEXBlock(id=403, lines=12)"),
    (-2**31, [None, 1], "ORVEXBlock(id=-2147483648, lines=2)"),
])
def test_repr_shows_id_and_line_count(block_id, lines, text):
    block = ORVEXBlock(block_id, lines)
    assert repr(block) == str(block) == text


def test_lines_none_is_accepted_but_repr_fails():
    block = ORVEXBlock(5, None)
    assert block.lines is None
    with pytest.raises(TypeError, match=r"^object of type 'NoneType' has no len\(\)$"):
        repr(block)


def test_fresh_instance_defaults():
    block = ORVEXBlock.__new__(ORVEXBlock)
    assert block.block_id == 0 and block.lines is None


def test_lines_is_shared_not_copied():
    lines = ["a"]
    block = ORVEXBlock(1, lines)
    assert block.lines is lines
    block.lines.append("b")
    assert lines == ["a", "b"]


def test_attribute_rules():
    block = ORVEXBlock(1, ["a"])
    with pytest.raises(TypeError, match=r"^Expected list, got tuple$"):
        block.lines = ("a",)
    with pytest.raises(TypeError, match=r"^Expected list, got L$"):
        block.lines = type("L", (list,), {})()
    assert block.lines == ["a"]
    del block.lines
    assert block.lines is None
    block.lines = []
    with pytest.raises(NotImplementedError, match=r"^__del__$"):
        del block.block_id
    block.block_id = 5.9
    assert block.block_id == 5
    block.block_id = type("I", (int,), {"__int__": lambda self: 7})(6)  # an int's own value, not its __int__
    assert block.block_id == 6
    block.block_id = 5
    with pytest.raises(OverflowError):
        block.block_id = 2**31
    assert block.block_id == 5


def test_failed_construction_leaves_fields_unchanged():
    block = ORVEXBlock(1, ["a"])
    with pytest.raises(TypeError):
        block.__init__(2, ("b",))
    with pytest.raises(TypeError):
        block.__init__("2", ["b"])
    assert block.block_id == 1 and block.lines == ["a"]


def test_subclass_and_cycles_are_collected():
    class Sub(ORVEXBlock):
        pass

    sub = Sub(3, [])
    sub.extra = "attribute"
    assert repr(sub) == "ORVEXBlock(id=3, lines=0)"
    cycle = ORVEXBlock(1, [])
    cycle.lines.append(cycle)
    sub.lines.append(sub)
    alive = weakref.ref(sub)
    del cycle, sub
    assert gc.collect() >= 1 and alive() is None


def test_blocks_read_from_a_file_are_tracked_once_they_hold_a_list(tmp_path):
    # Untracked while they hold no Python object (millions of blocks would
    # slow every full collection); a cycle through a list made or assigned
    # is collected.
    path = tmp_path / "two.neu"
    path.write_text("   -1\n1\na\n   -1\n   -1\n2\nb\n   -1\n")
    parser = ORVEXParser(str(path))
    made, assigned = parser.blocks[1][0], parser.blocks[2][0]
    assert not gc.is_tracked(made) and not gc.is_tracked(assigned)
    witnesses = [type("Witness", (), {})() for _ in range(2)]
    made.lines.extend([made, witnesses[0]])
    assigned.lines = [assigned, witnesses[1]]
    alive = [weakref.ref(witness) for witness in witnesses]
    del parser, made, assigned, witnesses
    gc.collect()
    assert [ref() for ref in alive] == [None, None]
