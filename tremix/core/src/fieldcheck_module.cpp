// Test-only module: the tokenizer and the number conversions, callable on
// one str at a time, so tests can compare them with the interpreter.
//
// Each conversion takes the text and optionally a (start, length) range in
// it, so a field that sits inside a longer line (possibly of another storage
// kind than the field's own characters would need) is exercised too.
#include <chrono>
#include <new>

#include "fields.hpp"
#include "numbers.hpp"

namespace {

using tremix::Conv;
using tremix::Field;
using tremix::FieldList;
using tremix::StrView;

// Parses (text[, start[, length]]) into the str and the field range.
bool field_args(PyObject* args, PyObject*& text, Field& field) {
    Py_ssize_t start = 0;
    Py_ssize_t length = -1;
    if (!PyArg_ParseTuple(args, "U|nn", &text, &start, &length)) return false;
    const Py_ssize_t size = PyUnicode_GET_LENGTH(text);
    if (start < 0 || start > size) {
        PyErr_SetString(PyExc_IndexError, "start out of range");
        return false;
    }
    if (length < 0) length = size - start;
    if (length > size - start) {
        PyErr_SetString(PyExc_IndexError, "length out of range");
        return false;
    }
    field = Field{start, length};
    return true;
}

PyObject* split(PyObject*, PyObject* line) {
    if (!PyUnicode_Check(line)) {
        PyErr_SetString(PyExc_TypeError, "split() needs a str");
        return nullptr;
    }
    FieldList fields;
    try {
        tremix::split_fields(tremix::view_of(line), fields);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    return tremix::fields_to_list(line, fields);
}

PyObject* to_int32(PyObject*, PyObject* args) {
    PyObject* text;
    Field field;
    if (!field_args(args, text, field)) return nullptr;
    int32_t value = 0;
    switch (tremix::field_to_int32(text, tremix::view_of(text), field, value)) {
        case Conv::Ok:
            return PyLong_FromLong(value);
        case Conv::Invalid:
            tremix::raise_int_error(text, field);
            return nullptr;
        case Conv::Error:
            break;
    }
    return nullptr;
}

PyObject* is_int(PyObject*, PyObject* args) {
    PyObject* text;
    Field field;
    if (!field_args(args, text, field)) return nullptr;
    switch (tremix::field_is_int(text, tremix::view_of(text), field)) {
        case Conv::Ok:
            Py_RETURN_TRUE;
        case Conv::Invalid:
            Py_RETURN_FALSE;
        case Conv::Error:
            break;
    }
    return nullptr;
}

PyObject* to_double(PyObject*, PyObject* args) {
    PyObject* text;
    Field field;
    if (!field_args(args, text, field)) return nullptr;
    double value = 0.0;
    switch (tremix::field_to_double(text, tremix::view_of(text), field, value)) {
        case Conv::Ok:
            return PyFloat_FromDouble(value);
        case Conv::Invalid:
            tremix::raise_float_error(text, field);
            return nullptr;
        case Conv::Error:
            break;
    }
    return nullptr;
}

PyObject* parse_float(PyObject*, PyObject* args) {
    PyObject* text;
    Field field;
    if (!field_args(args, text, field)) return nullptr;
    const StrView view = tremix::view_of(text);
    double value = 0.0;
    switch (tremix::field_parse_float(text, view, field, value)) {
        case Conv::Ok:
            return PyFloat_FromDouble(value);
        case Conv::Invalid:
            tremix::raise_parse_float_error(text, view, field);
            return nullptr;
        case Conv::Error:
            break;
    }
    return nullptr;
}

// What a node record reads: field 0 as an int32, fields 11-13 as doubles.
bool convert_node_line(PyObject* line, const StrView& view, FieldList& fields, double& checksum) {
    tremix::split_fields(view, fields);
    if (fields.size() < 14) return false;
    int32_t id = 0;
    if (tremix::field_to_int32(line, view, fields[0], id) != Conv::Ok) return false;
    checksum += id;
    for (size_t k = 11; k < 14; ++k) {
        double value = 0.0;
        if (tremix::field_to_double(line, view, fields[k], value) != Conv::Ok) return false;
        checksum += value;
    }
    return true;
}

// Mean time in ns of `repeat` runs of `work` (which returns false with or
// without an exception set on failure) in a C++ loop. For benchmarks.
template <typename Work>
PyObject* time_loop(Py_ssize_t repeat, Work&& work) {
    if (repeat < 1) {
        PyErr_SetString(PyExc_ValueError, "repeat must be at least 1");
        return nullptr;
    }
    const auto started = std::chrono::steady_clock::now();
    try {
        for (Py_ssize_t r = 0; r < repeat; ++r) {
            if (!work()) {
                if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "the line does not convert");
                return nullptr;
            }
        }
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    const std::chrono::duration<double, std::nano> elapsed = std::chrono::steady_clock::now() - started;
    return PyFloat_FromDouble(elapsed.count() / static_cast<double>(repeat));
}

// node_line_ns(line, repeat) -> float: split a node line and convert what a
// node record reads.
PyObject* node_line_ns(PyObject*, PyObject* args) {
    PyObject* line;
    Py_ssize_t repeat;
    if (!PyArg_ParseTuple(args, "Un", &line, &repeat)) return nullptr;
    const StrView view = tremix::view_of(line);
    FieldList fields;
    volatile double checksum = 0.0;  // keeps the loop from being optimised away
    return time_loop(repeat, [&] {
        double sum = 0.0;
        if (!convert_node_line(line, view, fields, sum)) return false;
        checksum = checksum + sum;
        return true;
    });
}

// split_ns(line, repeat) -> float: only split the line.
PyObject* split_ns(PyObject*, PyObject* args) {
    PyObject* line;
    Py_ssize_t repeat;
    if (!PyArg_ParseTuple(args, "Un", &line, &repeat)) return nullptr;
    const StrView view = tremix::view_of(line);
    FieldList fields;
    volatile size_t count = 0;
    return time_loop(repeat, [&] {
        tremix::split_fields(view, fields);
        count = count + fields.size();
        return true;
    });
}

PyMethodDef kMethods[] = {
    {"split", split, METH_O, "split(line) -> list[str]: the record line tokenizer."},
    {"to_int32", to_int32, METH_VARARGS, "to_int32(text[, start[, length]]) -> int: int() as a signed 32-bit value."},
    {"is_int", is_int, METH_VARARGS, "is_int(text[, start[, length]]) -> bool: whether int() accepts the text."},
    {"to_double", to_double, METH_VARARGS, "to_double(text[, start[, length]]) -> float: float() of the text."},
    {"parse_float", parse_float, METH_VARARGS,
     "parse_float(text[, start[, length]]) -> float: float() of the text cut at its first '(' after position 0."},
    {"node_line_ns", node_line_ns, METH_VARARGS,
     "node_line_ns(line, repeat) -> float: ns to split a node line and convert its id and coordinates."},
    {"split_ns", split_ns, METH_VARARGS, "split_ns(line, repeat) -> float: ns to split a line."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kModule = {PyModuleDef_HEAD_INIT, "_fieldcheck", "Field conversion checks for tests.", -1, kMethods};

}  // namespace

PyMODINIT_FUNC PyInit__fieldcheck() { return PyModule_Create(&kModule); }
