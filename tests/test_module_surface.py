"""The module's Python-visible surface: names, function objects, argument
checking, the integer-argument rule and the override rule."""

from __future__ import annotations

import importlib
import inspect
import pickle
import sys
import typing
import warnings

import numpy
import pytest

import tremix.core.orvex_parser as mod
from tremix.core.orvex_parser import ORVEXBlock, ORVEXParser

PUBLIC_METHODS = [
    "parse", "get_blocks", "get_header", "get_nodes", "get_nodes_arrays", "get_properties",
    "get_materials", "get_elements", "get_elements_arrays", "get_output_sets", "get_output_vectors",
    "get_output_vectors_arrays",
]
NO_ARG_METHODS = [m for m in PUBLIC_METHODS if m not in ("get_blocks", "get_nodes", "get_output_vectors_arrays")]


def test_namespace_is_exactly_the_published_names():
    names = {n for n in vars(mod) if n not in ("__name__", "__doc__", "__spec__")}
    assert names == {
        "ORVEXBlock", "ORVEXParser", "__pyx_unpickle_ORVEXBlock", "__pyx_unpickle_ORVEXParser", "np",
        "Dict", "List", "Tuple", "Optional", "__test__", "__builtins__", "__loader__", "__file__", "__package__",
    }
    assert mod.np is numpy
    assert (mod.Dict, mod.List, mod.Tuple, mod.Optional) == (typing.Dict, typing.List, typing.Tuple, typing.Optional)
    assert mod.__test__ == {}
    assert mod.__package__ == "tremix.core"
    assert mod.__name__ == "tremix.core.orvex_parser"


def test_module_docstring():
    lines = mod.__doc__.split("\n")
    assert lines[0] == "" and lines[-1] == ""
    assert lines[1].startswith("ORVEX Neutral File Parser (")
    assert lines[2:5] == [
        "",
        "This module parses ORVEX Neutral files and extracts structured data blocks.",
        "ORVEX files contain blocks identified by IDs, and blocks can appear in any order.",
    ]


def test_second_import_returns_same_module_and_types():
    again = importlib.import_module("tremix.core.orvex_parser")
    assert again is mod and again.ORVEXParser is ORVEXParser
    assert importlib.reload(mod) is mod
    assert mod.ORVEXParser is ORVEXParser and mod.ORVEXBlock is ORVEXBlock


def test_type_docstrings_and_names():
    assert ORVEXBlock.__doc__ == "Represents a single ORVEX data block."
    assert ORVEXParser.__doc__ == (
        "\n    Parser for ORVEX Neutral files.\n\n"
        "    Handles blocks in any order and supports repeated blocks of the same type.\n    "
    )
    assert ORVEXBlock.__module__ == ORVEXParser.__module__ == "tremix.core.orvex_parser"
    assert ORVEXParser.__qualname__ == "ORVEXParser"


@pytest.mark.parametrize("name", PUBLIC_METHODS)
def test_methods_are_function_objects(name):
    fn = ORVEXParser.__dict__[name]
    assert fn.__name__ == fn.func_name == name
    assert fn.__qualname__ == f"ORVEXParser.{name}"
    assert fn.__module__ == "tremix.core.orvex_parser"
    assert fn.__globals__ is vars(mod) and fn.func_globals is fn.__globals__
    assert fn.__closure__ is None and fn.func_closure is None
    assert fn.__code__ is fn.func_code and fn.__code__.co_varnames[0] == "self"
    assert fn.__doc__ == fn.func_doc and fn.__doc__
    assert fn.__kwdefaults__ is None
    assert fn.__annotations__ == {}
    fn.__dict__["marker"] = 1
    assert fn.func_dict["marker"] == 1 and fn.marker == 1
    del fn.__dict__["marker"]
    # Binds like a Python function and pickles by qualified name.
    assert getattr(ORVEXParser, name) is fn
    assert pickle.loads(pickle.dumps(fn)) is fn


def test_signatures_and_defaults():
    assert str(inspect.signature(ORVEXParser.get_nodes)) == "(self, force_2d=False)"
    assert str(inspect.signature(ORVEXParser.get_output_vectors_arrays)) == (
        "(self, set_id_filter=-1, vec_id_filter=-1)")
    assert str(inspect.signature(ORVEXParser.get_blocks)) == "(self, block_id)"
    assert str(inspect.signature(ORVEXParser.parse_csv_line)) == "(line) -> 'list'"
    assert ORVEXParser.get_nodes.__defaults__ == (False,)
    assert ORVEXParser.get_output_vectors_arrays.__defaults__ == (-1, -1)
    assert ORVEXParser.get_nodes.func_defaults == (False,)
    assert isinstance(ORVEXParser.__dict__["parse_csv_line"], staticmethod)
    assert ORVEXParser.parse_csv_line.__annotations__ == {"return": "list"}
    assert ORVEXParser.parse_csv_line.__qualname__ == "ORVEXParser.parse_csv_line"
    for fn in (mod.__pyx_unpickle_ORVEXBlock, mod.__pyx_unpickle_ORVEXParser):
        assert fn.__qualname__ == fn.__name__
        assert str(inspect.signature(fn)) == "(__pyx_type, __pyx_checksum, __pyx_state)"


def test_extractor_docstring_layout():
    for name in PUBLIC_METHODS[2:]:
        doc = ORVEXParser.__dict__[name].__doc__
        assert doc.startswith("\n        ") and doc.endswith("\n        ")
        assert "        Returns:\n            " in doc
    assert ORVEXParser.get_nodes.__doc__ == (
        "\n        Extract all nodes from Block 403.\n\n"
        "        Args:\n            force_2d: If True, skip nodes where z != 0.0\n\n"
        "        Returns:\n            Dictionary mapping node IDs to (x, y, z) coordinates\n        ")


def test_parse_csv_line_on_class_and_instance(parser_for):
    p = parser_for("")
    assert ORVEXParser.parse_csv_line("1, 2,,3,,") == p.parse_csv_line("1, 2,,3,,") == ["1", "2", "3"]
    assert p.parse_csv_line(line="a b") == ["a", "b"]


@pytest.fixture
def empty_parser(parser_for):
    return parser_for("")


@pytest.mark.parametrize("name", NO_ARG_METHODS)
def test_no_argument_methods_reject_arguments(empty_parser, name):
    method = getattr(empty_parser, name)
    with pytest.raises(TypeError, match=rf"^{name}\(\) takes exactly 0 positional arguments \(1 given\)$"):
        method(1)
    with pytest.raises(TypeError, match=rf"^{name}\(\) got an unexpected keyword argument 'foo'$"):
        method(foo=1)


@pytest.mark.parametrize("call, message", [
    (lambda p: p.get_nodes(1, 2), r"get_nodes() takes at most 1 positional argument (2 given)"),
    (lambda p: p.get_nodes(True, force_2d=True), r"get_nodes() got multiple values for keyword argument 'force_2d'"),
    (lambda p: p.get_nodes(z=1), r"get_nodes() got an unexpected keyword argument 'z'"),
    (lambda p: p.get_output_vectors_arrays(set_id_filter=1, bogus=2),
     r"get_output_vectors_arrays() got an unexpected keyword argument 'bogus'"),
    (lambda p: p.get_output_vectors_arrays(1, 2, 3), r"get_output_vectors_arrays() takes at most 2 positional arguments (3 given)"),
    (lambda p: p.get_blocks(), r"get_blocks() takes exactly 1 positional argument (0 given)"),
    (lambda p: p.get_blocks(1, 2), r"get_blocks() takes exactly 1 positional argument (2 given)"),
    (lambda p: p.get_blocks(block=1), r"get_blocks() takes exactly 1 positional argument (0 given)"),
    (lambda p: p.get_blocks(1, block_id=1), r"get_blocks() got multiple values for keyword argument 'block_id'"),
    (lambda p: ORVEXParser(), r"__init__() takes exactly 1 positional argument (0 given)"),
    (lambda p: ORVEXParser("a", "b"), r"__init__() takes exactly 1 positional argument (2 given)"),
    (lambda p: ORVEXParser(path="a"), r"__init__() takes exactly 1 positional argument (0 given)"),
    (lambda p: ORVEXParser(3), r"Argument 'filepath' has incorrect type (expected str, got int)"),
    (lambda p: ORVEXBlock(1), r"__init__() takes exactly 2 positional arguments (1 given)"),
    (lambda p: ORVEXBlock(lines=[]), r"__init__() takes exactly 2 positional arguments (0 given)"),
    (lambda p: ORVEXBlock(1, [], x=1), r"__init__() got an unexpected keyword argument 'x'"),
    (lambda p: ORVEXBlock(block_id=1, lines=[], x=0), r"__init__() got an unexpected keyword argument 'x'"),
    (lambda p: ORVEXBlock(1, [], block_id=1), r"__init__() got multiple values for keyword argument 'block_id'"),
    (lambda p: ORVEXBlock(1, ()), r"Argument 'lines' has incorrect type (expected list, got tuple)"),
    (lambda p: ORVEXBlock(1, type("L", (list,), {})()), r"Argument 'lines' has incorrect type (expected list, got L)"),
    (lambda p: p.parse_csv_line(b"1,2"), r"Argument 'line' has incorrect type (expected str, got bytes)"),
    (lambda p: p.parse_csv_line(5), r"Argument 'line' has incorrect type (expected str, got int)"),
    (lambda p: ORVEXParser.parse_csv_line(type("S", (str,), {})("1")), r"Argument 'line' has incorrect type (expected str, got S)"),
    (lambda p: ORVEXParser.get_header(), r"unbound method ORVEXParser.get_header() needs an argument"),
    (lambda p: ORVEXParser.get_header(5), r"descriptor 'get_header' requires a 'tremix.core.orvex_parser.ORVEXParser' object but received a 'int'"),
])
def test_argument_errors(empty_parser, call, message):
    with pytest.raises(TypeError) as info:
        call(empty_parser)
    assert str(info.value) == message


def test_parse_csv_line_none_is_a_type_error():
    with pytest.raises(TypeError, match="None"):
        ORVEXParser.parse_csv_line(None)


def test_str_subclass_path_is_rejected():
    with pytest.raises(TypeError, match=r"expected str, got P\)"):
        ORVEXParser(type("P", (str,), {})("x"))


class Index:
    def __index__(self):
        return 403


class IntLike:
    def __init__(self, value):
        self.value = value

    def __int__(self):
        return self.value


class StrictIntSubclass(int):
    pass


@pytest.mark.parametrize("value, expected", [
    (403, 403), (403.9, 403), (-1.5, -1), (True, 1), (IntLike(403), 403), (2**31 - 1, 2**31 - 1), (-2**31, -2**31),
])
def test_integer_rule_accepts(value, expected):
    block = ORVEXBlock(value, [])
    assert block.block_id == expected
    block.block_id = value
    assert block.block_id == expected


@pytest.mark.parametrize("value, error, message", [
    ("403", TypeError, "an integer is required"),
    (None, TypeError, "an integer is required"),
    (Index(), TypeError, "an integer is required"),
    (IntLike("5"), TypeError, "__int__ returned non-int (type str)"),
    (IntLike(2.5), TypeError, "__int__ returned non-int (type float)"),
    (2**31, OverflowError, None),
    (-2**31 - 1, OverflowError, None),
    (2**100, OverflowError, None),
    (1e300, OverflowError, None),
    (float("nan"), ValueError, None),
])
def test_integer_rule_rejects(empty_parser, value, error, message):
    for call in (lambda: ORVEXBlock(value, []), lambda: empty_parser.get_blocks(value),
                 lambda: empty_parser.get_output_vectors_arrays(value)):
        with pytest.raises(error) as info:
            call()
        if message:
            assert str(info.value) == message


def test_integer_rule_strict_int_subclass_warns():
    with pytest.warns(DeprecationWarning, match=r"__int__ returned non-int \(type StrictIntSubclass\)\.  The ability"):
        block = ORVEXBlock(IntLike(StrictIntSubclass(7)), [])
    assert block.block_id == 7


def test_integer_rule_raising_int_propagates():
    class Boom:
        def __int__(self):
            raise KeyError("boom")

    with pytest.raises(KeyError):
        ORVEXBlock(Boom(), [])


def write_two_blocks(write_neu):
    return write_neu(blocks=[(100, ["Title", "11.4,"]), (403, ["n1"])])


def test_override_of_get_blocks_is_used_by_the_module(write_neu):
    calls = []

    class Sub(ORVEXParser):
        def get_blocks(self, block_id):
            calls.append(block_id)
            return super().get_blocks(block_id)

    p = Sub(write_two_blocks(write_neu))
    assert p.get_header() == {"title": "Title", "version": "11.4,"}
    assert calls == [100]


def test_override_result_type_is_checked_only_for_module_calls(write_neu):
    class Sub(ORVEXParser):
        def get_blocks(self, block_id):
            return ("not", "a", "list")

    p = Sub(write_two_blocks(write_neu))
    assert p.get_blocks(1) == ("not", "a", "list")  # direct Python call: unchecked
    for extract in (p.get_header, p.get_nodes, p.get_materials, p.get_output_vectors):
        with pytest.raises(TypeError, match=r"^Expected list, got tuple$"):
            extract()
    vtable = ORVEXParser.__dict__["__pyx_vtable__"]
    assert type(vtable).__name__ == "PyCapsule"


def test_operation_table_hands_its_arguments_to_an_override():
    """A C caller of the operation table, dispatch on, reaches a subclass's
    override with the arguments it gave."""
    import ctypes

    get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
    get_pointer.restype, get_pointer.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]
    table = get_pointer(ORVEXParser.__dict__["__pyx_vtable__"], None)
    slot = ctypes.c_void_p.from_address(table + 7 * ctypes.sizeof(ctypes.c_void_p)).value  # get_nodes
    get_nodes = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object, ctypes.c_int, ctypes.c_int)(slot)

    class Sub(ORVEXParser):
        def get_nodes(self, force_2d=False):
            return {"force_2d": force_2d}

    p = Sub.__new__(Sub)
    assert [get_nodes(p, flag, 0) for flag in (0, 1)] == [{"force_2d": False}, {"force_2d": True}]


def test_get_blocks_of_another_parser_is_an_override(write_neu):
    """Only the module's own get_blocks, plain or bound to this very
    instance, is left to the module; the method of another parser found on
    the instance is called like any override."""
    import types

    source = ORVEXParser(write_neu(blocks=[(100, ["Other", "2.0"]), (403, ["7,0,0,1,46,0,0,0,0,0,0,1.,2.,3.,"]),
                                           (1051, ["1,2,1,", "t", "0,0,0,", *["1,2,3,4,5,6,7,8,9,10,"] * 3,
                                                   "1,1,1,7,", "0,0,1,", "9,4.5,", "-1,0."])]))
    own_path = write_two_blocks(write_neu)

    class Delegating(ORVEXParser):
        pass

    class Slotted(ORVEXParser):
        __slots__ = ("other",)
        get_blocks = property(lambda self: self.other.get_blocks)

    attribute = Delegating(own_path)
    attribute.get_blocks = source.get_blocks
    never_initialised = Delegating.__new__(Delegating)  # blocks is None
    never_initialised.get_blocks = source.get_blocks
    slotted = Slotted(own_path)
    slotted.other = source
    for p in (attribute, never_initialised, slotted):
        assert p.get_header() == {"title": "Other", "version": "2.0"}
        assert p.get_nodes() == {7: (1.0, 2.0, 3.0)}
        assert p.get_nodes_arrays()[0].tolist() == [7]
        ids, values, *vector = p.get_output_vectors_arrays()
        assert (ids.tolist(), values.tolist(), vector) == ([9], [4.5], [1, 2, 7])
    # Bound to something that is not a parser: called, and refuses.
    attribute.get_blocks = types.MethodType(ORVEXParser.get_blocks, 5)
    with pytest.raises(TypeError, match=r"^descriptor 'get_blocks' requires a '.*ORVEXParser' object but received"):
        attribute.get_nodes()

    # The own function, bound to this instance or plain, is the module's own:
    # the plain one is not called (it would take 100 for the instance).
    class Aliased(ORVEXParser):
        get_blocks = ORVEXParser.get_blocks

    bound, plain = Delegating(own_path), Delegating(own_path)
    bound.get_blocks = bound.get_blocks
    plain.get_blocks = ORVEXParser.get_blocks
    for p in (bound, plain, Aliased(own_path)):
        assert p.get_header() == {"title": "Title", "version": "11.4,"}


def test_no_override_lookup_on_base_instances(write_neu):
    p = ORVEXParser(write_two_blocks(write_neu))
    assert p.get_blocks(100) is p.get_blocks(100)


def test_instances_have_no_attribute_dict(write_neu):
    p = ORVEXParser(write_two_blocks(write_neu))
    with pytest.raises(AttributeError):
        p.extra = 1
    with pytest.raises(AttributeError):
        p.filepath
    with pytest.raises(AttributeError):
        p.BLOCK_DELIMITER
    with pytest.raises(AttributeError):
        ORVEXBlock(1, []).extra = 1


def test_runs_only_on_supported_interpreter():
    # The module warns at import on any other interpreter version; on 3.11 it is silent.
    assert sys.version_info[:2] == (3, 11)
