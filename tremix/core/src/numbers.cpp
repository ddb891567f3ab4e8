#include "numbers.hpp"

#include <climits>

namespace tremix {

namespace {

// Runs the interpreter's conversion on the field's text. ValueError becomes
// Invalid; any other exception stays set.
Conv convert_substring(PyObject* str, Field field, PyObject*& result, bool as_int) {
    Ref text(span_to_str(str, field));
    if (!text) return Conv::Error;
    result = as_int ? PyLong_FromUnicodeObject(text.get(), 10) : PyFloat_FromString(text.get());
    if (result) return Conv::Ok;
    if (PyErr_ExceptionMatches(PyExc_ValueError)) {
        PyErr_Clear();
        return Conv::Invalid;
    }
    return Conv::Error;
}

Field cut_at_paren(const StrView& view, Field field) {
    if (field.length == 0 || view.at(field.start) == '(') return field;
    for (Py_ssize_t i = 1; i < field.length; ++i) {
        if (view.at(field.start + i) == '(') return Field{field.start, i};
    }
    return field;
}

}  // namespace

Conv field_to_int32(PyObject* str, const StrView&, Field field, int32_t& out) {
    PyObject* raw = nullptr;
    const Conv c = convert_substring(str, field, raw, true);
    if (c != Conv::Ok) return c;
    Ref value(raw);
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(value.get(), &overflow);
    if (v == -1 && PyErr_Occurred()) return Conv::Error;
    if (overflow != 0 || v < INT32_MIN || v > INT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
        return Conv::Error;
    }
    out = static_cast<int32_t>(v);
    return Conv::Ok;
}

Conv field_is_int(PyObject* str, const StrView&, Field field) {
    PyObject* raw = nullptr;
    const Conv c = convert_substring(str, field, raw, true);
    Py_XDECREF(raw);
    return c;
}

Conv field_to_double(PyObject* str, const StrView&, Field field, double& out) {
    PyObject* raw = nullptr;
    const Conv c = convert_substring(str, field, raw, false);
    if (c != Conv::Ok) return c;
    out = PyFloat_AS_DOUBLE(raw);
    Py_DECREF(raw);
    return Conv::Ok;
}

Conv field_parse_float(PyObject* str, const StrView& view, Field field, double& out) {
    return field_to_double(str, view, cut_at_paren(view, field), out);
}

void raise_int_error(PyObject* str, Field field) {
    Ref text(span_to_str(str, field));
    if (!text) return;
    Ref value(PyLong_FromUnicodeObject(text.get(), 10));
}

void raise_float_error(PyObject* str, Field field) {
    Ref text(span_to_str(str, field));
    if (!text) return;
    Ref value(PyFloat_FromString(text.get()));
}

void raise_parse_float_error(PyObject* str, const StrView& view, Field field) {
    raise_float_error(str, cut_at_paren(view, field));
}

}  // namespace tremix
