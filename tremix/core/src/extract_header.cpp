// Block 100, the file header: a title line and a version line.
//
// Unlike the record extractors this one reads whole lines: the version is
// kept as written ("11.4," stays "11.4,"), and the title is only stripped of
// surrounding whitespace, so a trailing comma stays part of it.
#include "arguments.hpp"
#include "extract_common.hpp"
#include "extractors.hpp"
#include "module_state.hpp"

namespace tremix {

namespace {

// lines[index].strip(), called as Python would call it: a foreign object's
// own `strip` runs and must hand back a str.
PyObject* stripped_line(PyObject* lines, Py_ssize_t index) {
    if (index >= PyList_GET_SIZE(lines)) {  // the strip of an earlier line may have shrunk the list
        PyErr_SetString(PyExc_IndexError, "list index out of range");
        return nullptr;
    }
    Ref line = Ref::borrow(PyList_GET_ITEM(lines, index));
    Ref text(PyObject_CallMethodNoArgs(line.get(), g_state.s_strip));
    if (!text) return nullptr;
    if (!PyUnicode_CheckExact(text.get())) {
        raise_expected("str", text.get());
        return nullptr;
    }
    return text.release();
}

}  // namespace

PyObject* get_header(ParserObject* self) {
    Ref blocks(call_get_blocks(self, 100));
    if (!blocks) return nullptr;
    if (blocks.get() == Py_None || PyList_GET_SIZE(blocks.get()) == 0) Py_RETURN_NONE;

    // Only the first block 100 counts, even when it is unusable.
    BlockWalker walker(blocks.get());
    Ref lines;
    const int found = walker.next(lines);
    if (found < 0) return nullptr;
    if (found == 0) Py_RETURN_NONE;
    if (PyList_GET_SIZE(lines.get()) < 2) Py_RETURN_NONE;

    Ref title(stripped_line(lines.get(), 0));
    if (!title) return nullptr;
    Ref version(stripped_line(lines.get(), 1));
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
