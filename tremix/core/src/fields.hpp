// Field syntax of record lines: the tokenizer and the small text rules the
// extractors share. Everything here works on views into a str's own buffer
// (any of the three storage kinds) and makes no Python object per field.
#pragma once

#include <cstdint>
#include <vector>

#include "pyref.hpp"

namespace tremix {

// The character buffer of a str.
struct StrView {
    int kind;            // PyUnicode_1BYTE_KIND, _2BYTE_ or _4BYTE_
    const void* data;
    Py_ssize_t length;

    Py_UCS4 at(Py_ssize_t i) const { return PyUnicode_READ(kind, data, i); }
};

inline StrView view_of(PyObject* str) {
    return StrView{static_cast<int>(PyUnicode_KIND(str)), PyUnicode_DATA(str), PyUnicode_GET_LENGTH(str)};
}

// A field: a character range of the line it came from.
struct Field {
    Py_ssize_t start;
    Py_ssize_t length;
};

using FieldList = std::vector<Field>;

// Splits a record line into its fields: trailing commas and surrounding
// whitespace go first; a line that still holds a comma splits at every comma
// (pieces stripped, empty pieces dropped), any other line at runs of
// whitespace. Whitespace is the interpreter's own notion (str.split/strip).
// `out` is cleared first; it is reused across lines to avoid allocation.
void split_fields(const StrView& line, FieldList& out);

// The span of `str.strip()`.
Field strip_span(const StrView& text);

// A title: surrounding whitespace stripped, then trailing commas removed.
Field title_span(const StrView& text);

bool span_equals_ascii(const StrView& text, Field span, const char* ascii);

// New str holding `span` of `str` (the object `text` views).
PyObject* span_to_str(PyObject* str, Field span);

// New list of the fields as str objects.
PyObject* fields_to_list(PyObject* str, const FieldList& fields);

// The tokenizer as a Python-level operation: a new list of field strings.
// TypeError for anything but a str.
PyObject* parse_csv_line_fast(PyObject* line);

// Title rule shared by properties, output sets and output vectors: the
// stripped title text, or "" for "<NULL>". `line` must be a str.
PyObject* title_of(PyObject* line);

}  // namespace tremix
