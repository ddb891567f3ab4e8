#include "extractors.hpp"

namespace tremix {

PyObject* locate_output_vector_header(PyObject*, int32_t) {
    PyErr_SetString(PyExc_NotImplementedError, "_locate_output_vector_header");
    return nullptr;
}

PyObject* get_output_vectors(ParserObject*) {
    PyErr_SetString(PyExc_NotImplementedError, "get_output_vectors");
    return nullptr;
}

PyObject* get_output_vectors_arrays(ParserObject*, int32_t, int32_t) {
    PyErr_SetString(PyExc_NotImplementedError, "get_output_vectors_arrays");
    return nullptr;
}

}  // namespace tremix
