// The field tokenizer as a Python-level operation.
#pragma once

#include "pyref.hpp"

namespace tremix {

// A new list of the fields of `line` (exactly a str), as str objects.
// TypeError for anything else.
PyObject* parse_csv_line_fast(PyObject* line);

}  // namespace tremix
