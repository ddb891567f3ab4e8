// Module definition and initialisation: the create and exec steps of
// multi-phase import, in the order the module's objects depend on.
#include "arrays.hpp"

#include <frameobject.h>
#include "block.hpp"
#include "function_object.hpp"
#include "methods.hpp"
#include "module_state.hpp"
#include "parser.hpp"
#include "pickle.hpp"
#include "py_host.hpp"

namespace tremix {

namespace {

const char kModuleDoc[] =
    "\nORVEX Neutral File Parser (compiled, optimised implementation)\n\n"
    "This module parses ORVEX Neutral files and extracts structured data blocks.\n"
    "ORVEX files contain blocks identified by IDs, and blocks can appear in any order.\n";

int64_t g_main_interpreter_id = -1;
PyObject* g_module = nullptr;  // the one module object of the process

// Copies a spec attribute into the module namespace; a missing attribute is
// skipped, `allow_none` false also skips None.
int copy_spec_attr(PyObject* spec, PyObject* moddict, const char* from, const char* to, bool allow_none) {
    Ref value(PyObject_GetAttrString(spec, from));
    if (!value) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            return 0;
        }
        return -1;
    }
    if (!allow_none && value.get() == Py_None) return 0;
    return PyDict_SetItemString(moddict, to, value.get());
}

PyObject* module_create(PyObject* spec, PyModuleDef*) {
    const int64_t current = PyInterpreterState_GetID(PyThreadState_Get()->interp);
    if (g_main_interpreter_id == -1) {
        g_main_interpreter_id = current;
        if (current == -1) return nullptr;
    } else if (current != g_main_interpreter_id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per process.");
        return nullptr;
    }
    if (g_module) return new_ref(g_module);
    Ref name(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    Ref module(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    PyObject* moddict = PyModule_GetDict(module.get());
    if (!moddict) return nullptr;
    if (copy_spec_attr(spec, moddict, "loader", "__loader__", true) < 0) return nullptr;
    if (copy_spec_attr(spec, moddict, "origin", "__file__", true) < 0) return nullptr;
    if (copy_spec_attr(spec, moddict, "parent", "__package__", true) < 0) return nullptr;
    if (copy_spec_attr(spec, moddict, "submodule_search_locations", "__path__", false) < 0) return nullptr;
    return module.release();
}

int import_typing_names(PyObject* moddict) {
    Ref typing(PyImport_ImportModule("typing"));
    if (!typing) return -1;
    for (const char* name : {"Dict", "List", "Tuple", "Optional"}) {
        Ref value(PyObject_GetAttrString(typing.get(), name));
        if (!value) {
            if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
                PyErr_Clear();
                Ref pyname(PyUnicode_FromString(name));
                if (pyname) PyErr_Format(PyExc_ImportError, "cannot import name %S", pyname.get());
            }
            return -1;
        }
        if (PyDict_SetItemString(moddict, name, value.get()) < 0) return -1;
    }
    return 0;
}

PyObject* builtin_named(const char* name) {
    PyObject* builtins = PyEval_GetBuiltins();
    PyObject* found = builtins ? PyDict_GetItemString(builtins, name) : nullptr;
    if (!found) {
        Ref pyname(PyUnicode_FromString(name));
        if (pyname) PyErr_Format(PyExc_NameError, "name '%U' is not defined", pyname.get());
        return nullptr;
    }
    return new_ref(found);
}

int publish_function(PyObject* moddict, const FunctionSpec& spec) {
    Ref fn(make_function(spec, nullptr));
    if (!fn) return -1;
    return PyDict_SetItemString(moddict, spec.sig.name, fn.get());
}

int exec_steps(PyObject* module) {
    // 1. One initialisation per process.
    if (g_state.module) {
        if (g_state.module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'orvex_parser' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    // 2. The module and its namespace.
    g_state.module = new_ref(module);
    g_module = module;
    g_state.module_dict = PyModule_GetDict(module);
    if (!g_state.module_dict) return -1;
    {
        Ref builtins(PyImport_ImportModule("builtins"));
        if (!builtins || PyObject_SetAttrString(module, "__builtins__", builtins.get()) < 0) return -1;
    }
    // 3. Built for 3.11.
    {
        const char* version = Py_GetVersion();
        const int major = version[0] - '0';
        int minor = 0;
        for (const char* p = version + 2; *p >= '0' && *p <= '9'; ++p) minor = minor * 10 + (*p - '0');
        if (major != 3 || minor != 11) {
            char message[200];
            PyOS_snprintf(message, sizeof(message),
                          "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d", 3, 11,
                          "tremix.core.orvex_parser", "does not match", major, minor);
            if (PyErr_WarnEx(PyExc_RuntimeWarning, message, 1) < 0) return -1;
        }
    }
    // 4. Constants.
    if (init_constants() < 0) return -1;
    // 5. Registered under its full name.
    {
        PyObject* modules = PyImport_GetModuleDict();
        Ref full_name(PyUnicode_FromString("tremix.core.orvex_parser"));
        if (!full_name) return -1;
        const int present = PyDict_Contains(modules, full_name.get());
        if (present < 0) return -1;
        if (!present && PyDict_SetItem(modules, full_name.get(), module) < 0) return -1;
    }
    // 6. Built-ins used from then on.
    if (!(g_state.builtin_staticmethod = builtin_named("staticmethod"))) return -1;
    if (!(g_state.builtin_open = builtin_named("open"))) return -1;
    // 7. Constant tuples.
    if (init_constant_tuples() < 0) return -1;
    // 8. The block type.
    if (function_type_ready() < 0) return -1;
    if (block_type_ready() < 0) return -1;
    if (PyModule_AddObjectRef(module, "ORVEXBlock", reinterpret_cast<PyObject*>(&BlockType)) < 0) return -1;
    if (setup_pickling(&BlockType) < 0) return -1;
    // 9. The parser type with its operation table.
    if (parser_type_ready() < 0) return -1;
    if (parser_publish_operations() < 0) return -1;
    if (PyModule_AddObjectRef(module, "ORVEXParser", reinterpret_cast<PyObject*>(&ParserType)) < 0) return -1;
    if (setup_pickling(&ParserType) < 0) return -1;
    // 10-12. NumPy.
    if (check_numpy_types() < 0) return -1;
    if (import_numpy(g_state.module_dict) < 0) return -1;
    if (import_numpy_array_api() < 0) return -1;
    // 13. typing names.
    if (import_typing_names(g_state.module_dict) < 0) return -1;
    // 14. Methods.
    if (install_methods() < 0) return -1;
    // 15. Unpickle functions.
    if (publish_function(g_state.module_dict, kUnpickleBlockSpec) < 0) return -1;
    if (publish_function(g_state.module_dict, kUnpickleParserSpec) < 0) return -1;
    // 16.
    {
        Ref test(PyDict_New());
        if (!test || PyDict_SetItemString(g_state.module_dict, "__test__", test.get()) < 0) return -1;
    }
    // Destructors on threads the exiting interpreter ends (see pyref.hpp).
    return watch_interpreter_exit();
}

int module_exec(PyObject* module) {
    if (exec_steps(module) == 0) return 0;
    if (g_state.module == module) {
        Py_CLEAR(g_state.module);
        g_state.module_dict = nullptr;
        g_module = nullptr;
    }
    if (!PyErr_Occurred()) {
        PyErr_SetString(PyExc_ImportError, "init tremix.core.orvex_parser");
    } else {
        // Mark where the import failed, as a traceback entry.
        PyCodeObject* code = PyCode_NewEmpty("tremix/core/orvex_parser", "init tremix.core.orvex_parser", 1);
        if (code) {
            Ref globals(PyDict_New());
            if (globals) {
                PyFrameObject* frame = PyFrame_New(PyThreadState_Get(), code, globals.get(), nullptr);
                if (frame) {
                    PyTraceBack_Here(frame);
                    Py_DECREF(frame);
                }
            }
            Py_DECREF(code);
        }
    }
    return -1;
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT, "orvex_parser", kModuleDoc, 0, nullptr, kSlots, nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace tremix

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_orvex_parser() {
    return PyModuleDef_Init(&tremix::kModuleDef);
}
