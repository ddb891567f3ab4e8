#include "extract_common.hpp"

#include "block.hpp"

#include <new>

namespace tremix {

int BlockWalker::next(Ref& lines) {
    if (list_.get() == Py_None) {
        PyErr_SetString(PyExc_TypeError, "'NoneType' object is not iterable");
        return -1;
    }
    if (!PyList_Check(list_.get())) {
        PyErr_Format(PyExc_TypeError, "Expected list, got %.200s", Py_TYPE(list_.get())->tp_name);
        return -1;
    }
    if (index_ >= PyList_GET_SIZE(list_.get())) return 0;
    Ref item = Ref::borrow(PyList_GET_ITEM(list_.get(), index_));
    ++index_;
    if (!is_block(item.get())) {
        PyErr_Format(PyExc_TypeError, "%.1sCannot convert %.200s to %.200s", "", Py_TYPE(item.get())->tp_name,
                     BlockType.tp_name);
        return -1;
    }
    PyObject* held = as_block(item.get())->lines;
    if (held == Py_None || !PyList_Check(held)) {
        PyErr_Format(PyExc_TypeError, "object of type '%.200s' has no len()", Py_TYPE(held)->tp_name);
        return -1;
    }
    lines = Ref::borrow(held);
    return 1;
}

PyObject* line_at(PyObject* lines, Py_ssize_t index) {
    if (index < 0 || index >= PyList_GET_SIZE(lines)) {
        PyErr_SetString(PyExc_IndexError, "list index out of range");
        return nullptr;
    }
    PyObject* item = PyList_GET_ITEM(lines, index);
    if (!PyUnicode_CheckExact(item)) {
        PyErr_Format(PyExc_TypeError, "Expected str, got %.200s", Py_TYPE(item)->tp_name);
        return nullptr;
    }
    return new_ref(item);
}

int SplitLine::load(PyObject* lines, Py_ssize_t index) {
    str = Ref(line_at(lines, index));
    if (!str) return -1;
    return split();
}

int SplitLine::split() {
    view = view_of(str.get());
    try {
        split_fields(view, fields);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return -1;
    }
    return 0;
}

bool absorb_record_failure() {
    if (PyErr_ExceptionMatches(PyExc_ValueError) || PyErr_ExceptionMatches(PyExc_IndexError)) {
        PyErr_Clear();
        return true;
    }
    return false;
}

}  // namespace tremix
