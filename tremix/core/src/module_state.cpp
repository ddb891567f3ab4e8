#include "module_state.hpp"

#include "reading/format.hpp"

namespace tremix {

ModuleState g_state;

namespace {

int intern(PyObject*& slot, const char* text) {
    if (slot) return 0;
    slot = PyUnicode_InternFromString(text);
    return slot ? 0 : -1;
}

}  // namespace

int init_constants() {
    ModuleState& s = g_state;
    struct Entry {
        PyObject*& slot;
        const char* text;
    } entries[] = {
        {s.s_np, "np"},
        {s.s_array, "array"},
        {s.s_dtype, "dtype"},
        {s.s_int32, "int32"},
        {s.s_float64, "float64"},
        {s.s_read, "read"},
        {s.s_encoding, "encoding"},
        {s.s_errors, "errors"},
        {s.s_fileno, "fileno"},
        {s.s_seek, "seek"},
        {s.s_chunk_size, "_CHUNK_SIZE"},
        {s.s_name, "name"},
        {s.s_add_note, "add_note"},
        {s.s_codecs, "codecs"},
        {s.s_lookup, "lookup"},
        {s.s_enter, "__enter__"},
        {s.s_exit, "__exit__"},
        {s.s_r, "r"},
        {s.s_strip, "strip"},
        {s.s_update, "update"},
        {s.s_dict, "__dict__"},
        {s.s_title, "title"},
        {s.s_version, "version"},
        {s.s_material_id, "material_id"},
        {s.s_id, "id"},
        {s.s_prop_id, "prop_id"},
        {s.s_topology, "topology"},
        {s.s_nodes, "nodes"},
        {s.s_value, "value"},
        {s.s_set_id, "set_id"},
        {s.s_vec_id, "vec_id"},
        {s.s_ent_type, "ent_type"},
        {s.s_results, "results"},
        {s.s_block_delimiter, reading::kDelimiter},
        {s.s_null_title, reading::kNoTitle},
        {s.s_unpickle_block, "__pyx_unpickle_ORVEXBlock"},
        {s.s_unpickle_parser, "__pyx_unpickle_ORVEXParser"},
        {s.s_module_name, "tremix.core.orvex_parser"},
    };
    for (auto& e : entries) {
        if (intern(e.slot, e.text) < 0) return -1;
    }
    if (!s.int_zero && !(s.int_zero = PyLong_FromLong(0))) return -1;
    if (!s.int_minus_one && !(s.int_minus_one = PyLong_FromLong(-1))) return -1;
    if (!s.empty_tuple && !(s.empty_tuple = PyTuple_New(0))) return -1;
    if (!s.empty_str && !(s.empty_str = PyUnicode_FromStringAndSize("", 0))) return -1;
    return 0;
}

int init_constant_tuples() {
    ModuleState& s = g_state;
    if (!s.tuple_none3 && !(s.tuple_none3 = PyTuple_Pack(3, Py_None, Py_None, Py_None))) return -1;
    if (!s.tuple_no_match &&
        !(s.tuple_no_match = PyTuple_Pack(5, Py_None, Py_None, s.int_minus_one, s.int_minus_one,
                                          s.int_minus_one)))
        return -1;
    if (!s.defaults_get_nodes && !(s.defaults_get_nodes = PyTuple_Pack(1, Py_False))) return -1;
    if (!s.defaults_output_vectors &&
        !(s.defaults_output_vectors = PyTuple_Pack(2, s.int_minus_one, s.int_minus_one)))
        return -1;
    return 0;
}

PyObject* lookup_module_global(PyObject* name) {
    if (g_state.module_dict) {
        PyObject* found = PyDict_GetItemWithError(g_state.module_dict, name);
        if (found) return new_ref(found);
        if (PyErr_Occurred()) return nullptr;
    }
    PyObject* builtins = PyEval_GetBuiltins();  // borrowed
    if (builtins) {
        PyObject* found = PyDict_GetItemWithError(builtins, name);
        if (found) return new_ref(found);
        if (PyErr_Occurred()) return nullptr;
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return nullptr;
}

}  // namespace tremix
