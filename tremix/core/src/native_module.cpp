// tremix.core._native: the package's own functions that live in the
// compiled module but are not part of its published surface. They are
// found through the parser type's operation table, so this module holds no
// reading code of its own.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "internal_api.hpp"
#include "parser.hpp"

namespace {

int native_exec(PyObject* module) {
    PyObject* core = PyImport_ImportModule("tremix.core.orvex_parser");
    if (!core) return -1;
    PyObject* type = PyObject_GetAttrString(core, "ORVEXParser");
    Py_DECREF(core);
    if (!type) return -1;
    PyObject* capsule = PyObject_GetAttrString(type, "__pyx_vtable__");
    Py_DECREF(type);
    if (!capsule) return -1;
    auto* ops = static_cast<const tremix::ParserOperations*>(PyCapsule_GetPointer(capsule, nullptr));
    Py_DECREF(capsule);
    if (!ops) return -1;
    if (!ops->internal || ops->internal->version != tremix::kInternalApiVersion) {
        PyErr_SetString(PyExc_ImportError, "tremix.core._native does not match tremix.core.orvex_parser");
        return -1;
    }
    return PyModule_AddFunctions(module, ops->internal->methods);
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(native_exec)},
    {0, nullptr},
};

PyModuleDef kModule = {PyModuleDef_HEAD_INIT, "_native", "The package's own functions of the compiled reader.", 0,
                       nullptr, kSlots, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__native() { return PyModuleDef_Init(&kModule); }
