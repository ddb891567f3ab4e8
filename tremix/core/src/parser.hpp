// ORVEXParser: reads a file once and keeps its blocks by number.
#pragma once

#include <cstdint>

#include "pyref.hpp"
#include "stored_text.hpp"

namespace tremix {

struct ParserObject;
struct InternalApi;

// The parser's table of C-level operations, for the module's own code and
// for other compiled modules (published as the capsule `__pyx_vtable__`).
// Public operations take `skip_dispatch`: 0 honours a Python subclass's
// override of the operation, 1 runs this module's own implementation.
// Entries after the sixteen operations are this package's own.
struct ParserOperations {
    int (*parse_file)(ParserObject* self);
    PyObject* (*parse_csv_line_fast)(PyObject* line);
    PyObject* (*locate_output_vector_header)(ParserObject* self, PyObject* lines, int32_t start);
    PyObject* (*get_output_vector_blocks)(ParserObject* self);
    PyObject* (*parse)(ParserObject* self, int skip_dispatch);
    PyObject* (*get_blocks)(ParserObject* self, int32_t block_id, int skip_dispatch);
    PyObject* (*get_header)(ParserObject* self, int skip_dispatch);
    PyObject* (*get_nodes)(ParserObject* self, int force_2d, int skip_dispatch);
    PyObject* (*get_nodes_arrays)(ParserObject* self, int skip_dispatch);
    PyObject* (*get_properties)(ParserObject* self, int skip_dispatch);
    PyObject* (*get_elements)(ParserObject* self, int skip_dispatch);
    PyObject* (*get_elements_arrays)(ParserObject* self, int skip_dispatch);
    PyObject* (*get_materials)(ParserObject* self, int skip_dispatch);
    PyObject* (*get_output_sets)(ParserObject* self, int skip_dispatch);
    PyObject* (*get_output_vectors)(ParserObject* self, int skip_dispatch);
    PyObject* (*get_output_vectors_arrays)(ParserObject* self, int32_t set_id_filter,
                                           int32_t vec_id_filter, int skip_dispatch);
    const InternalApi* internal;
};

struct ParserObject {
    PyObject_HEAD
    const ParserOperations* ops;
    PyObject* filepath;         // str or None
    PyObject* blocks;           // dict or None
    PyObject* block_delimiter;  // str or None
    SharedReport* report;       // what reading the file saw besides its blocks, or null
};

extern PyTypeObject ParserType;
extern const ParserOperations kParserOperations;

int parser_type_ready();
// Stores the operation table in the type's dictionary as `__pyx_vtable__`.
int parser_publish_operations();

inline ParserObject* as_parser(PyObject* obj) { return reinterpret_cast<ParserObject*>(obj); }

// Reads the file named by `filepath` into `blocks` (the parser's `_parse`).
int parser_parse_file(ParserObject* self);
// Replaces what the parser knows of its file's reading; -1 with MemoryError
// when there is no room for it.
int parser_set_report(ParserObject* self, const SharedReport& report);
// The parser's report, held: a reading into the parser drops its own hold.
inline SharedReport parser_report(const ParserObject* self) {
    return self->report ? *self->report : SharedReport{};
}

// The module's own implementations (no override lookup).
PyObject* parser_parse(ParserObject* self);
PyObject* parser_get_blocks(ParserObject* self, int32_t block_id);

}  // namespace tremix
