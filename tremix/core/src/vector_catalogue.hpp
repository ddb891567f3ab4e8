// The catalogue of result vectors as the package's Python code gets it,
// made from a vectors walk that kept counts or ranges.
#pragma once

#include "pyref.hpp"
#include "reading/vectors.hpp"

namespace tremix {

// (blocks, entries): `blocks` is the list the vectors were read from and
// each entry, one per vector of `t` in walk order, is (set id, vector id,
// title, entity type or None, distinct entity ids, index of its block in
// `blocks`, line where its data begins, and what reading its data again
// must find unless its block changed: the block's lines, the line after
// the data, the values stored). With `ranges` each entry adds
// (smallest finite value or None, largest or None, whether an entity id
// repeats: the range then covers values that the results dict replaces).
// The titles point into the blocks that `t` was read from, which must
// still be held.
PyObject* catalogue_tuple(PyObject* blocks, const reading::VectorTable& t, bool ranges);

}  // namespace tremix
