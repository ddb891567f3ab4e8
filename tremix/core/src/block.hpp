// ORVEXBlock: one block of a file, its number and its data lines.
//
// A block made while reading a file keeps its lines as the file's stored
// text (one byte per character for ASCII and Latin-1 text) and makes its
// `lines` list, one str per line, only when Python code asks for it: the
// first read of the attribute (the same list from then on) or pickling.
// The record walks read the stored text directly. A block made by a caller,
// or whose lines were read or assigned, holds the list.
#pragma once

#include <cstdint>

#include "pyref.hpp"
#include "stored_text.hpp"

namespace tremix {

struct BlockText {
    SharedText file;
    size_t index;  // of the block in the file's stored text
    // The file ended inside this block, without its closing delimiter line.
    bool ends_file() const { return !file->blocks[index].closed; }
};

struct BlockObject {
    PyObject_HEAD
    int32_t block_id;
    PyObject* lines;  // exactly a list, or None; null while the lines are only stored text
    BlockText* text;  // the stored text, or null
    // The file ended inside this block (no closing delimiter line), and its
    // list was made from the stored text: it is still that block. Assigned
    // lines are not.
    bool ended_file;
};

extern PyTypeObject BlockType;

int block_type_ready();

// Makes a block whose lines are block `index` of `file`.
PyObject* new_text_block(int32_t block_id, const SharedText& file, size_t index);

inline bool is_block(PyObject* obj) { return PyObject_TypeCheck(obj, &BlockType); }
inline BlockObject* as_block(PyObject* obj) { return reinterpret_cast<BlockObject*>(obj); }

// The TypeError for an item of a block list that is no ORVEXBlock.
inline void raise_not_a_block(PyObject* obj) {
    PyErr_Format(PyExc_TypeError, "%.1sCannot convert %.200s to %.200s", "", Py_TYPE(obj)->tp_name,
                 BlockType.tp_name);
}

// The block's `lines` as Python code sees it (a new reference): the list,
// made from the stored text on first use, or None.
PyObject* block_lines(PyObject* block);

// Sets the block's lines to `owned` (a list or None; the reference is
// stolen), dropping any stored text.
void block_set_lines(PyObject* block, PyObject* owned);

// Number of lines, counted without making the list; -1 with TypeError
// when the lines are None.
Py_ssize_t block_line_count(PyObject* block);

}  // namespace tremix
