// The extraction operations of the parser, the module's own implementations.
// Each lives in the source file of its block kind.
#pragma once

#include <cstdint>

#include "parser.hpp"

namespace tremix {

PyObject* get_header(ParserObject* self);                         // block 100
PyObject* get_nodes(ParserObject* self, bool force_2d);           // block 403
PyObject* get_nodes_arrays(ParserObject* self);                   // block 403
PyObject* get_properties(ParserObject* self);                     // block 402
PyObject* get_materials(ParserObject* self);                      // block 601
PyObject* get_elements(ParserObject* self);                       // block 404
PyObject* get_elements_arrays(ParserObject* self);                // block 404
PyObject* get_output_sets(ParserObject* self);                    // block 450
PyObject* get_output_vectors(ParserObject* self);                 // blocks 1051, 451
PyObject* get_output_vectors_arrays(ParserObject* self, int32_t set_id_filter,
                                    int32_t vec_id_filter);       // blocks 1051, 451

// (entity type, found flag, data start) for the vector starting at line
// `start` of `lines`.
PyObject* locate_output_vector_header(PyObject* lines, int32_t start);

}  // namespace tremix
