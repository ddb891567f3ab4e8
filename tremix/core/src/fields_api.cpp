#include "fields_api.hpp"

#include <new>

#include "py_host.hpp"

namespace tremix {

PyObject* parse_csv_line_fast(PyObject* line) {
    if (!PyUnicode_CheckExact(line)) {
        PyErr_Format(PyExc_TypeError, "a record line must be a str, not %.200s", Py_TYPE(line)->tp_name);
        return nullptr;
    }
    if (PyUnicode_READY(line) < 0) return nullptr;
    reading::FieldList fields;
    try {
        reading::split_fields(view_of(line), fields);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    return field_strings(line, fields);
}

PyObject* field_strings(PyObject* line, const reading::FieldList& fields) {
    Ref list(PyList_New(static_cast<Py_ssize_t>(fields.size())));
    if (!list) return nullptr;
    for (size_t i = 0; i < fields.size(); ++i) {
        const Py_ssize_t start = static_cast<Py_ssize_t>(fields[i].start);
        PyObject* item = PyUnicode_Substring(line, start, start + static_cast<Py_ssize_t>(fields[i].length));
        if (!item) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

}  // namespace tremix
