#include "extractors.hpp"

namespace tremix {

PyObject* get_output_sets(ParserObject*) {
    PyErr_SetString(PyExc_NotImplementedError, "get_output_sets");
    return nullptr;
}

}  // namespace tremix
