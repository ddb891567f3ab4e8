#include "extractors.hpp"

namespace tremix {

PyObject* get_elements(ParserObject*) {
    PyErr_SetString(PyExc_NotImplementedError, "get_elements");
    return nullptr;
}

PyObject* get_elements_arrays(ParserObject*) {
    PyErr_SetString(PyExc_NotImplementedError, "get_elements_arrays");
    return nullptr;
}

}  // namespace tremix
