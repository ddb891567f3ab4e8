"""Type information for the package's own functions in the compiled reader."""

from typing import Any, Protocol

import numpy
import numpy.typing as npt

from tremix.core.orvex_parser import ORVEXBlock, ORVEXParser

# (set_id, vec_id, title, ent_type or None, distinct entity ids, index of its
# block in the catalogue's block list, line index where its data starts)
_CatalogueEntry = tuple[int, int, str, int | None, int, int, int]

class _Stream(Protocol):
    # Binary (bytes) or text (str); an empty result ends the stream.
    def read(self, size: int, /) -> bytes | str: ...

def read_into(parser: ORVEXParser, stream: _Stream, encoding: str | None, errors: str | None,
              name: str | None, /) -> None: ...
def read_report(parser: ORVEXParser, /) -> dict[str, Any] | None: ...
def block_sizes(parser: ORVEXParser, /) -> list[tuple[int, int | None, int | None, bool]]: ...
def vector_catalogue(parser: ORVEXParser, /) -> tuple[list[ORVEXBlock], list[_CatalogueEntry]]: ...
def vector_data(blocks: list[ORVEXBlock], block: int, data_start: int, /) -> (
    tuple[npt.NDArray[numpy.int32], npt.NDArray[numpy.float64]] | None): ...
def check(parser: ORVEXParser, /) -> dict[str, Any]: ...
