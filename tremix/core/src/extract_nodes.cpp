#include "extractors.hpp"

namespace tremix {

PyObject* get_nodes(ParserObject*, bool) {
    PyErr_SetString(PyExc_NotImplementedError, "get_nodes");
    return nullptr;
}

PyObject* get_nodes_arrays(ParserObject*) {
    PyErr_SetString(PyExc_NotImplementedError, "get_nodes_arrays");
    return nullptr;
}

}  // namespace tremix
