"""The result vectors of a file: a catalogue, and each vector's arrays on demand.

One walk over the vector blocks lists every vector (set, vector id, title,
entity type, entry count) and where its data starts; reading a vector then
starts at its data instead of walking from the first block again.
"""

from __future__ import annotations

import operator
from collections.abc import Iterator, Sequence
from dataclasses import dataclass
from typing import Any, overload

import numpy as np
import numpy.typing as npt

from tremix.core import _native
from tremix.core.orvex_parser import ORVEXBlock, ORVEXParser
from tremix.reading import Source, parser_of

VectorArrays = tuple[npt.NDArray[np.int32], npt.NDArray[np.float64]]


@dataclass(frozen=True, slots=True)
class VectorInfo:
    """One result vector, as ``get_output_vectors()`` describes it, without its values."""

    set_id: int
    vec_id: int
    title: str
    ent_type: int | None
    count: int  # entries of its results dict: distinct entity ids


class Results(Sequence[VectorInfo]):
    """The result vectors of a parser, in the order ``get_output_vectors()``
    gives them, with each vector's arrays read on demand.

    ``Results(parser)`` (or a source ``tremix.read`` accepts, read with the
    `encoding` and `errors` given) walks the vector blocks once. It keeps
    those blocks and reads each vector where the walk found it: after
    changing them, build a new one. Reading a vector whose block no longer
    has the lines the walk saw, or whose data no longer ends where it ended
    or holds as many values, raises RuntimeError.
    """

    __slots__ = ("_blocks", "_infos", "_starts", "_shapes", "_positions")

    def __init__(self, source: ORVEXParser | Source, *, encoding: str | None = None,
                 errors: str | None = None) -> None:
        self._fill(*_native.vector_catalogue(parser_of(source, encoding=encoding, errors=errors)))

    @classmethod
    def _from_catalogue(cls, blocks: list[ORVEXBlock], entries: Sequence[tuple[Any, ...]]) -> Results:
        """A Results of a catalogue already read (its entries may carry more
        items, such as value ranges, after the first ten)."""
        results = cls.__new__(cls)
        results._fill(blocks, entries)
        return results

    def _fill(self, blocks: list[ORVEXBlock], entries: Sequence[tuple[Any, ...]]) -> None:
        self._blocks: list[ORVEXBlock] = blocks
        self._infos = tuple(VectorInfo(*entry[:5]) for entry in entries)
        self._starts: tuple[tuple[int, int], ...] = tuple((entry[5], entry[6]) for entry in entries)
        # What reading each vector again must find unless its block changed:
        # the block's lines, the line after the data, the values stored.
        self._shapes: tuple[tuple[int, int, int], ...] = tuple((entry[7], entry[8], entry[9]) for entry in entries)
        self._positions: dict[tuple[int, int], list[int]] = {}
        for k, info in enumerate(self._infos):
            self._positions.setdefault((info.set_id, info.vec_id), []).append(k)

    def __getstate__(self) -> Any:
        # The object's own state (its slots, and a subclass's attributes),
        # asked for by name: pickle protocols 0 and 1 take a class with
        # slots only so.
        return object.__getstate__(self)

    def __len__(self) -> int:
        return len(self._infos)

    @overload
    def __getitem__(self, index: int) -> VectorInfo: ...

    @overload
    def __getitem__(self, index: slice) -> Sequence[VectorInfo]: ...

    def __getitem__(self, index: int | slice) -> VectorInfo | Sequence[VectorInfo]:
        return self._infos[index]

    def __iter__(self) -> Iterator[VectorInfo]:
        return iter(self._infos)

    def __repr__(self) -> str:
        return f"<Results: {len(self._infos)} vectors>"

    def find(self, set_id: int, vec_id: int) -> list[int]:
        """Positions of every vector with these ids (a file may repeat a pair),
        in catalogue order; empty when there is none."""
        return list(self._positions.get((set_id, vec_id), ()))

    def position(self, set_id: int, vec_id: int, occurrence: int = 0) -> int:
        """Position of the `occurrence`-th vector with these ids (0 the first,
        as ``get_output_vectors_arrays`` picks; -1 the last).

        KeyError when no vector has these ids, IndexError when fewer occur."""
        found = self._positions.get((set_id, vec_id))
        if not found:
            raise KeyError(f"no output vector with set_id {_shown(set_id)} and vec_id {_shown(vec_id)}")
        # An integer, as arrays_at takes it: a slice would pick a list of positions.
        occurrence = operator.index(occurrence)
        try:
            return found[occurrence]
        except IndexError:
            raise IndexError(f"set_id {_shown(set_id)}, vec_id {_shown(vec_id)} occurs {len(found)} time(s); "
                             f"occurrence {occurrence} is out of range") from None

    def info(self, set_id: int, vec_id: int, occurrence: int = 0) -> VectorInfo:
        """The :class:`VectorInfo` of that vector (see :meth:`position`)."""
        return self._infos[self.position(set_id, vec_id, occurrence)]

    def arrays(self, set_id: int, vec_id: int, occurrence: int = 0) -> VectorArrays:
        """``(entity_ids, values)`` of that vector (see :meth:`position`), as
        ``get_output_vectors_arrays`` gives them: every stored value in file
        order, an entity written twice appearing twice."""
        return self.arrays_at(self.position(set_id, vec_id, occurrence))

    def arrays_at(self, position: int) -> VectorArrays:
        """``(entity_ids, values)`` of the vector at `position` in the catalogue."""
        position = operator.index(position)  # asked once: the position checked is the one read
        if not -len(self._starts) <= position < len(self._starts):
            raise IndexError(f"position {position} is out of range for {len(self._starts)} result vectors")
        block, start = self._starts[position]
        # Its count (distinct entity ids: values less any repeated) sizes
        # the memory the reading asks for at once.
        data = _native.vector_data(self._blocks, block, start, self._infos[position].count, *self._shapes[position])
        if data is None:
            info = self._infos[position]
            raise RuntimeError(f"the blocks of set_id {info.set_id}, vec_id {info.vec_id} changed since the "
                               "catalogue was made; make a new Results")
        return data


def _shown(an_id: Any) -> str:
    """An id as a message shows it: an integer (NumPy's included) as its
    number, anything else by its repr, so that an id given as text ('1') is
    not read as the number the file holds."""
    try:
        return str(operator.index(an_id))
    except TypeError:
        return repr(an_id)


def vectors(source: ORVEXParser | Source, *, encoding: str | None = None,
            errors: str | None = None) -> list[VectorInfo]:
    """Every result vector of a parser (or of a source ``tremix.read``
    accepts, read with the `encoding` and `errors` given), in the order and
    with the values ``get_output_vectors()`` gives, without converting the
    values into Python objects."""
    return list(Results(source, encoding=encoding, errors=errors))
