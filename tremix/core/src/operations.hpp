// The parser's operations as the module's own code calls them: a Python
// subclass's override of a public operation runs instead of the module's
// own implementation (its result must have the declared type), and the
// extractors get their blocks through get_blocks, overrides included.
#pragma once

#include "parser.hpp"

namespace tremix {

// get_blocks(block_id) through the override rule.
PyObject* call_get_blocks(ParserObject* self, int32_t block_id);

// get_blocks(1051) followed by get_blocks(451), as one new list.
PyObject* get_output_vector_blocks(ParserObject* self);

}  // namespace tremix
