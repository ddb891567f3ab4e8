#include "extractors.hpp"

namespace tremix {

PyObject* get_materials(ParserObject*) {
    PyErr_SetString(PyExc_NotImplementedError, "get_materials");
    return nullptr;
}

}  // namespace tremix
