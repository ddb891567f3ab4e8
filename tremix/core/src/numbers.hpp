// Conversion of fields to numbers with the interpreter's own rules: int()
// for integers (then held as a signed 32-bit value) and float() for doubles.
#pragma once

#include <cstdint>

#include "fields.hpp"

namespace tremix {

enum class Conv {
    Ok,       // converted
    Invalid,  // the text is rejected (what int()/float() report as ValueError); no exception set
    Error,    // a Python exception is set (OverflowError, MemoryError, ...)
};

// int(text), then a signed 32-bit value: OverflowError (Error) outside the range.
Conv field_to_int32(PyObject* str, const StrView& view, Field field, int32_t& out);

// Whether int(text) accepts the text, whatever its size.
Conv field_is_int(PyObject* str, const StrView& view, Field field);

// float(text).
Conv field_to_double(PyObject* str, const StrView& view, Field field, double& out);

// The module's float rule for values: text from the first "(" after the
// first character is cut off, the rest converts by float().
Conv field_parse_float(PyObject* str, const StrView& view, Field field, double& out);

// Sets the ValueError that the interpreter raises for `text`, for callers
// that report an Invalid result to Python code.
void raise_int_error(PyObject* str, Field field);
void raise_float_error(PyObject* str, Field field);
// The ValueError of field_parse_float: names the text as cut at "(".
void raise_parse_float_error(PyObject* str, const StrView& view, Field field);

}  // namespace tremix
