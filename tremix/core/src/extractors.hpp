// The extraction operations as the binding runs them: each takes the block
// list that get_blocks returned (the dispatch asks for it, honouring any
// override) and the parser's file path for error notes, reads it with the
// core and builds the Python result.
#pragma once

#include <cstdint>

#include "pyref.hpp"

namespace tremix {

PyObject* header_of(PyObject* blocks);                                   // block 100
PyObject* nodes_dict(PyObject* blocks, bool force_2d, PyObject* path);   // block 403
PyObject* nodes_arrays(PyObject* blocks, PyObject* path);                // block 403
PyObject* properties_dict(PyObject* blocks, PyObject* path);             // block 402
PyObject* materials_dict(PyObject* blocks, PyObject* path);              // block 601
PyObject* elements_list(PyObject* blocks, PyObject* path);               // block 404
PyObject* elements_arrays(PyObject* blocks, PyObject* path);             // block 404
PyObject* output_sets_dict(PyObject* blocks, PyObject* path);            // block 450
PyObject* output_vectors_list(PyObject* blocks, PyObject* path);         // blocks 1051, 451
PyObject* output_vector_arrays(PyObject* blocks, int32_t set_id_filter, int32_t vec_id_filter,
                               PyObject* path);                          // blocks 1051, 451

// (entity type, found flag, data start) for the vector starting at line
// `start` of `lines` (a list of str).
PyObject* locate_output_vector_header(PyObject* lines, int32_t start);


}  // namespace tremix
