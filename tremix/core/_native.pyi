"""Type information for the package's own functions in the compiled reader."""

from typing import Any, Literal, Protocol, overload

import numpy
import numpy.typing as npt

from tremix.core.orvex_parser import ORVEXBlock, ORVEXParser

# (set_id, vec_id, title, ent_type or None, distinct entity ids, index of its
# block in the catalogue's block list, line index where its data starts,
# then what reading the data again must find: the block's lines, the line
# after the data, the values stored)
_CatalogueEntry = tuple[int, int, str, int | None, int, int, int, int, int, int]

class _Stream(Protocol):
    # Binary (bytes) or text (str); an empty result ends the stream.
    def read(self, size: int, /) -> bytes | str: ...

def read_into(parser: ORVEXParser, stream: _Stream, encoding: str | None, errors: str | None,
              name: str | None, /) -> None: ...
def decodes_itself(encoding: str, errors: str | None, /) -> bool: ...
def read_report(parser: ORVEXParser, /) -> dict[str, Any] | None: ...
# The report and the parser's blocks object, as they stand together.
def read_state(parser: ORVEXParser, /) -> tuple[dict[str, Any] | None, Any]: ...
def block_sizes(parser: ORVEXParser, /) -> list[tuple[int, int | None, int | None, bool]]: ...
# Bytes read from files by every reading of the process so far.
def bytes_read() -> int: ...
def readings_under_way() -> int: ...
# With ranges: the entry adds (smallest finite value or None, largest or
# None, whether an entity id repeats).
_RangedEntry = tuple[int, int, str, int | None, int, int, int, int, int, int, float | None, float | None, bool]

@overload
def vector_catalogue(parser: ORVEXParser, /) -> tuple[list[ORVEXBlock], list[_CatalogueEntry]]: ...
@overload
def vector_catalogue(parser: ORVEXParser, ranges: Literal[False], /) -> tuple[list[ORVEXBlock], list[_CatalogueEntry]]: ...
@overload
def vector_catalogue(parser: ORVEXParser, ranges: Literal[True], /) -> tuple[list[ORVEXBlock], list[_RangedEntry]]: ...
@overload
def vector_data(blocks: list[ORVEXBlock], block: int, data_start: int, expected: int, /) -> (
    tuple[npt.NDArray[numpy.int32], npt.NDArray[numpy.float64]] | None): ...
@overload
def vector_data(blocks: list[ORVEXBlock], block: int, data_start: int, expected: int, lines: int, data_end: int,
                stored: int, /) -> tuple[npt.NDArray[numpy.int32], npt.NDArray[numpy.float64]] | None: ...
# "report" and "blocks": the parser's report and blocks object as they stood
# together while the walks' blocks were taken. With catalogue: the dict adds
# "catalogue", what vector_catalogue(parser, True) gives, or None when the
# vectors walk was cut short.
def check(parser: ORVEXParser, catalogue: bool = ..., model: bool = ..., /) -> dict[str, Any]: ...
