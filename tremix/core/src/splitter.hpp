// Splitting a file's text into numbered blocks.
#pragma once

#include "pyref.hpp"

namespace tremix {

// Walks the lines of `text` (a str whose lines end in "\n") and adds every
// block to `blocks` (a dict: block number -> list of ORVEXBlock, in file
// order). A block opens with a delimiter line equal to `delimiter`, its next
// line holds the block number, and it ends at the next delimiter line or at
// the end of the text. Returns -1 with an exception set on failure (an id
// outside the 32-bit range raises OverflowError); blocks stored before the
// failure stay in `blocks`.
int split_into_blocks(PyObject* text, PyObject* delimiter, PyObject* blocks);

}  // namespace tremix
