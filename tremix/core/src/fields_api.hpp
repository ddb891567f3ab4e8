// The field tokenizer as a Python-level operation.
#pragma once

#include "pyref.hpp"
#include "reading/tokenizer.hpp"

namespace tremix {

// A new list of `fields` of `line` (a str) as str objects.
PyObject* field_strings(PyObject* line, const reading::FieldList& fields);

// A new list of the fields of `line` (exactly a str), as str objects.
// TypeError for anything else.
PyObject* parse_csv_line_fast(PyObject* line);

}  // namespace tremix
