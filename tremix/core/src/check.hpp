// Checking what the record walks pass over: every walk of a file's record
// kinds is run with an observer, and what it saw becomes plain Python data
// for the package's `check`.
#pragma once

#include "pyref.hpp"
#include "stored_text.hpp"

namespace tremix {

struct ParserObject;

// What reading a file saw besides its blocks, as a dict, or None for no
// report: lines read, text outside blocks (the first runs, each with its
// first line reading -1 that is no delimiter line and its first line after
// a delimiter that is no block number, 0 for none), a delimiter line that
// ended the file (0 for none), the block the file ended in, as (id, last
// line), or None, how many blocks were read, and the start of the first
// line when it lies outside any block ("" otherwise).
PyObject* report_dict(const SharedReport& report);

// A dict: "walks" -> {block kind: (records, record lines, lines passed
// over, blank lines passed over)}; "findings" -> a list of tuples (see
// check.cpp); "truncated" -> how many findings were left out; "report" and
// "blocks" -> the parser's report (report_dict) and blocks object as they
// stood together while the walks' blocks were taken. With
// `catalogue`, also "catalogue" -> what vector_catalogue(parser, True)
// gives, from the same walk, or None when that walk was cut short. With
// `model`, also "model" -> {"nodes": (ids, coords) as get_nodes_arrays
// gives them, "topologies": the elements' topology codes as
// get_elements_arrays gives them}, each None when its walk was cut short.
PyObject* check_parser(ParserObject* self, bool catalogue, bool model = false);

}  // namespace tremix
