// Process-wide state of the extension: the objects made once at import and
// shared by every call (interned names, constant tuples, the built-ins and
// the NumPy objects captured at start-up).
#pragma once

#include "pyref.hpp"

namespace tremix {

struct ModuleState {
    PyObject* module = nullptr;       // the module object (owned)
    PyObject* module_dict = nullptr;  // its namespace (borrowed from module)

    // Built-ins captured at import; used from then on even if rebound.
    PyObject* builtin_open = nullptr;
    PyObject* builtin_staticmethod = nullptr;

    // NumPy as imported at start-up, its own `array` function and its own
    // `int32` and `float64`; the array builders take the fast path only
    // while `np` and the attributes a call reads are still these.
    PyObject* numpy = nullptr;
    PyObject* numpy_array = nullptr;
    PyObject* numpy_int32 = nullptr;
    PyObject* numpy_float64 = nullptr;

    // Interned strings.
    PyObject* s_np = nullptr;
    PyObject* s_array = nullptr;
    PyObject* s_dtype = nullptr;
    PyObject* s_int32 = nullptr;
    PyObject* s_float64 = nullptr;
    PyObject* s_read = nullptr;
    PyObject* s_encoding = nullptr;
    PyObject* s_errors = nullptr;
    PyObject* s_fileno = nullptr;
    PyObject* s_seek = nullptr;
    PyObject* s_chunk_size = nullptr;
    PyObject* s_name = nullptr;
    PyObject* s_add_note = nullptr;
    PyObject* s_codecs = nullptr;
    PyObject* s_lookup = nullptr;
    PyObject* s_enter = nullptr;
    PyObject* s_exit = nullptr;
    PyObject* s_r = nullptr;
    PyObject* s_strip = nullptr;
    PyObject* s_update = nullptr;
    PyObject* s_dict = nullptr;
    PyObject* s_title = nullptr;
    PyObject* s_version = nullptr;
    PyObject* s_material_id = nullptr;
    PyObject* s_id = nullptr;
    PyObject* s_prop_id = nullptr;
    PyObject* s_topology = nullptr;
    PyObject* s_nodes = nullptr;
    PyObject* s_value = nullptr;
    PyObject* s_set_id = nullptr;
    PyObject* s_vec_id = nullptr;
    PyObject* s_ent_type = nullptr;
    PyObject* s_results = nullptr;
    PyObject* s_block_delimiter = nullptr;  // "   -1"
    PyObject* s_null_title = nullptr;       // "<NULL>"
    PyObject* s_unpickle_block = nullptr;   // "__pyx_unpickle_ORVEXBlock"
    PyObject* s_unpickle_parser = nullptr;  // "__pyx_unpickle_ORVEXParser"
    PyObject* s_module_name = nullptr;      // "tremix.core.orvex_parser"

    // Numbers, empties and tuples.
    PyObject* int_zero = nullptr;
    PyObject* int_minus_one = nullptr;
    PyObject* empty_tuple = nullptr;
    PyObject* empty_str = nullptr;
    PyObject* tuple_none3 = nullptr;      // (None, None, None): closes the file
    PyObject* tuple_no_match = nullptr;   // (None, None, -1, -1, -1)
    PyObject* defaults_get_nodes = nullptr;         // (False,)
    PyObject* defaults_output_vectors = nullptr;    // (-1, -1)
};

extern ModuleState g_state;

// Fills the constant strings, numbers and tuples; returns -1 with an
// exception set on failure.
int init_constants();
int init_constant_tuples();

// Looks a name up in the module namespace, then among the built-ins, as a
// module-level name reference in Python code does. NameError when missing.
PyObject* lookup_module_global(PyObject* name);

}  // namespace tremix
