#include "extractors.hpp"

namespace tremix {

PyObject* get_header(ParserObject*) {
    PyErr_SetString(PyExc_NotImplementedError, "get_header");
    return nullptr;
}

}  // namespace tremix
