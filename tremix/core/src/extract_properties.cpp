#include "extractors.hpp"

namespace tremix {

PyObject* get_properties(ParserObject*) {
    PyErr_SetString(PyExc_NotImplementedError, "get_properties");
    return nullptr;
}

}  // namespace tremix
