// Block 100, the file header: a title line and a version line.
//
// Unlike the record extractors this one reads whole lines, not fields: both
// lines are only stripped of surrounding whitespace, so a trailing comma
// stays part of them ("11.4," stays "11.4,").
#include "arguments.hpp"
#include "block.hpp"
#include "extractors.hpp"
#include "module_state.hpp"
#include "py_host.hpp"

namespace tremix {

namespace {

// line.strip(), called as Python would call it: a foreign object's own
// `strip` runs and must hand back a str.
PyObject* stripped(PyObject* line) {
    Ref keep = Ref::borrow(line);
    Ref text(PyObject_CallMethodNoArgs(line, g_state.s_strip));
    if (!text) return nullptr;
    if (!PyUnicode_CheckExact(text.get())) {
        raise_expected("str", text.get());
        return nullptr;
    }
    return text.release();
}

// Line `index` of a block's list (the strip of an earlier line may have
// shrunk it).
PyObject* list_line(PyObject* lines, Py_ssize_t index) {
    if (index >= PyList_GET_SIZE(lines)) {
        PyErr_SetString(PyExc_IndexError, "list index out of range");
        return nullptr;
    }
    return new_ref(PyList_GET_ITEM(lines, index));
}

}  // namespace

PyObject* header_of(PyObject* blocks) {
    if (blocks == Py_None) Py_RETURN_NONE;
    if (!PyList_Check(blocks)) {
        raise_expected("list", blocks);
        return nullptr;
    }
    if (PyList_GET_SIZE(blocks) == 0) Py_RETURN_NONE;

    // Only the first block 100 counts, even when it is unusable.
    Ref block = Ref::borrow(PyList_GET_ITEM(blocks, 0));
    if (!is_block(block.get())) {
        raise_not_a_block(block.get());
        return nullptr;
    }
    Ref title, version;
    BlockObject* b = as_block(block.get());
    if (!b->lines && b->text) {
        // Stored text: the two lines are read without making the list.
        const SharedText file = b->text->file;
        const reading::BlockLines lines = file->lines(b->text->index);
        if (lines.size() < 2) Py_RETURN_NONE;
        Ref first(str_of(lines.line(0)));
        Ref second(str_of(lines.line(1)));
        if (!first || !second) return nullptr;
        title = Ref(stripped(first.get()));
        if (!title) return nullptr;
        version = Ref(stripped(second.get()));
    } else {
        Ref lines = Ref::borrow(b->lines);
        if (!PyList_Check(lines.get())) {
            PyErr_Format(PyExc_TypeError, "object of type '%.200s' has no len()", Py_TYPE(lines.get())->tp_name);
            return nullptr;
        }
        if (PyList_GET_SIZE(lines.get()) < 2) Py_RETURN_NONE;
        Ref first(list_line(lines.get(), 0));
        if (!first) return nullptr;
        title = Ref(stripped(first.get()));
        if (!title) return nullptr;
        Ref second(list_line(lines.get(), 1));
        if (!second) return nullptr;
        version = Ref(stripped(second.get()));
    }
    if (!version) return nullptr;
    // Both are exact str objects here, so the comparison cannot fail.
    if (PyUnicode_Compare(title.get(), g_state.s_null_title) == 0) title = Ref::borrow(g_state.empty_str);

    Ref header(PyDict_New());
    if (!header) return nullptr;
    if (PyDict_SetItem(header.get(), g_state.s_title, title.get()) < 0) return nullptr;
    if (PyDict_SetItem(header.get(), g_state.s_version, version.get()) < 0) return nullptr;
    return header.release();
}

}  // namespace tremix
