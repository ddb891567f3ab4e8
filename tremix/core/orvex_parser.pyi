"""Type information for the compiled reader of ORVEX Neutral files."""

from typing import Any, Dict as Dict, List as List, Optional as Optional, Tuple as Tuple
from typing import TypedDict, type_check_only

from typing_extensions import disjoint_base

import numpy
import numpy.typing as npt

# The module binds NumPy under this name and reaches numpy.array through it.
np = numpy

__test__: dict[str, Any]

_Int32Array = npt.NDArray[numpy.int32]
_Float64Array = npt.NDArray[numpy.float64]

# Block number -> the blocks of that number, in file order.
_BlocksMap = dict[int, list[ORVEXBlock]]

# The record shapes below exist only for type checking: at run time the
# results are plain dicts with exactly these keys.

@type_check_only
class HeaderRecord(TypedDict):
    title: str
    version: str

@type_check_only
class PropertyRecord(TypedDict):
    material_id: int
    title: str

@type_check_only
class MaterialRecord(TypedDict):
    id: int

@type_check_only
class ElementRecord(TypedDict):
    id: int
    prop_id: int
    topology: int
    nodes: list[int]

@type_check_only
class OutputSetRecord(TypedDict):
    title: str
    value: float

@type_check_only
class OutputVectorRecord(TypedDict):
    set_id: int
    vec_id: int
    title: str
    ent_type: int | None
    results: dict[int, float]

# (entity_ids, values, set_id, vec_id, ent_type) of the first matching
# vector, or (None, None, -1, -1, -1) when no vector matches.
_VectorArrays = tuple[_Int32Array, _Float64Array, int, int, int]
_NoVector = tuple[None, None, int, int, int]

@disjoint_base
class ORVEXBlock:
    """Represents a single ORVEX data block."""

    block_id: int
    lines: list[str] | None
    def __init__(self, block_id: int, lines: list[str] | None) -> None: ...
    def __reduce__(self) -> tuple[Any, ...]: ...
    def __reduce_cython__(self) -> tuple[Any, ...]: ...
    def __setstate__(self, __pyx_state: tuple[Any, ...], /) -> None: ...
    def __setstate_cython__(self, __pyx_state: tuple[Any, ...], /) -> None: ...

@disjoint_base
class ORVEXParser:
    """Parser for ORVEX Neutral files."""

    blocks: _BlocksMap | None
    def __init__(self, filepath: str) -> None: ...
    def parse(self) -> _BlocksMap | None: ...
    @staticmethod
    def parse_csv_line(line: str) -> list[str]: ...
    def get_blocks(self, block_id: int) -> list[ORVEXBlock]: ...
    def get_header(self) -> HeaderRecord | None: ...
    def get_nodes(self, force_2d: bool = False) -> dict[int, tuple[float, float, float]]: ...
    def get_nodes_arrays(self) -> tuple[_Int32Array, _Float64Array]: ...
    def get_properties(self) -> dict[int, PropertyRecord]: ...
    def get_materials(self) -> dict[int, MaterialRecord]: ...
    def get_elements(self) -> list[ElementRecord]: ...
    def get_elements_arrays(
        self,
    ) -> tuple[_Int32Array, _Int32Array, _Int32Array, _Int32Array, _Int32Array]: ...
    def get_output_sets(self) -> dict[int, OutputSetRecord]: ...
    def get_output_vectors(self) -> list[OutputVectorRecord]: ...
    def get_output_vectors_arrays(
        self, set_id_filter: int = -1, vec_id_filter: int = -1
    ) -> _VectorArrays | _NoVector: ...
    def __reduce__(self) -> tuple[Any, ...]: ...
    def __reduce_cython__(self) -> tuple[Any, ...]: ...
    def __setstate__(self, __pyx_state: tuple[Any, ...], /) -> None: ...
    def __setstate_cython__(self, __pyx_state: tuple[Any, ...], /) -> None: ...

# Pickles name these two to rebuild blocks and parsers.
def __pyx_unpickle_ORVEXBlock(
    __pyx_type: type[ORVEXBlock], __pyx_checksum: int, __pyx_state: tuple[Any, ...] | None
) -> ORVEXBlock: ...
def __pyx_unpickle_ORVEXParser(
    __pyx_type: type[ORVEXParser], __pyx_checksum: int, __pyx_state: tuple[Any, ...] | None
) -> ORVEXParser: ...
