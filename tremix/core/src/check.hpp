// Checking what the record walks pass over: every walk of a file's record
// kinds is run with an observer, and what it saw becomes plain Python data
// for the package's `check`.
#pragma once

#include "pyref.hpp"

namespace tremix {

struct ParserObject;

// A dict: "walks" -> {block kind: (records, record lines, lines passed
// over, blank lines passed over)}; "findings" -> a list of tuples (see
// check.cpp); "truncated" -> how many findings were left out. With
// `catalogue`, also "catalogue" -> what vector_catalogue(parser, True)
// gives, from the same walk, or None when that walk was cut short. With
// `model`, also "model" -> {"nodes": (ids, coords) as get_nodes_arrays
// gives them, "topologies": the elements' topology codes as
// get_elements_arrays gives them}, each None when its walk was cut short.
PyObject* check_parser(ParserObject* self, bool catalogue, bool model = false);

}  // namespace tremix
