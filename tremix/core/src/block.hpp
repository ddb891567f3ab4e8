// ORVEXBlock: one block of a file, its number and its data lines.
#pragma once

#include <cstdint>

#include "pyref.hpp"

namespace tremix {

struct BlockObject {
    PyObject_HEAD
    int32_t block_id;
    PyObject* lines;  // exactly a list, or None
};

extern PyTypeObject BlockType;

int block_type_ready();

// Makes a block around `lines` (a list; the reference is stolen).
PyObject* new_block(int32_t block_id, PyObject* lines);

inline bool is_block(PyObject* obj) { return PyObject_TypeCheck(obj, &BlockType); }
inline BlockObject* as_block(PyObject* obj) { return reinterpret_cast<BlockObject*>(obj); }

}  // namespace tremix
