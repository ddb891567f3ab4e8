#include "function_object.hpp"

#include <cstddef>
#include <structmember.h>

#include "module_state.hpp"
#include "stack_room.hpp"

namespace tremix {

namespace {

FunctionObject* as_fn(PyObject* o) { return reinterpret_cast<FunctionObject*>(o); }

PyObject* fn_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    FunctionObject* fn = as_fn(callable);
    const FunctionSpec& spec = *fn->spec;
    // Binding the arguments may run Python code (__int__), and so may
    // the call: either may call this function again.
    if (!stack_room_left()) return nullptr;
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyObject* self = nullptr;
    if (spec.owner) {
        if (nargs < 1) {
            PyErr_Format(PyExc_TypeError, "unbound method %.200S() needs an argument", fn->qualname);
            return nullptr;
        }
        self = args[0];
        if (!PyObject_TypeCheck(self, spec.owner)) {
            PyErr_Format(PyExc_TypeError,
                         "descriptor '%.200s' requires a '%.100s' object but received a '%.100s'",
                         spec.sig.name, spec.owner->tp_name, Py_TYPE(self)->tp_name);
            return nullptr;
        }
        ++args;
        --nargs;
    }
    BoundArgs bound;
    if (bind_vectorcall(spec.sig, args, nargs, kwnames, bound) < 0) return nullptr;
    // Keep the instance alive for the whole call, whatever the callee does.
    Ref keep_self = Ref::borrow(self);
    return spec.impl(self, bound);
}

PyObject* fn_descr_get(PyObject* func, PyObject* obj, PyObject* /*type*/) {
    if (obj == nullptr || obj == Py_None) return new_ref(func);
    return PyMethod_New(func, obj);
}

int fn_traverse(PyObject* self, visitproc visit, void* arg) {
    FunctionObject* fn = as_fn(self);
    Py_VISIT(fn->dict);
    Py_VISIT(fn->globals);
    Py_VISIT(fn->defaults);
    Py_VISIT(fn->kwdefaults);
    Py_VISIT(fn->annotations);
    Py_VISIT(fn->module);
    Py_VISIT(fn->doc);
    return 0;
}

int fn_clear(PyObject* self) {
    FunctionObject* fn = as_fn(self);
    Py_CLEAR(fn->dict);
    Py_CLEAR(fn->globals);
    Py_CLEAR(fn->defaults);
    Py_CLEAR(fn->kwdefaults);
    Py_CLEAR(fn->annotations);
    Py_CLEAR(fn->module);
    Py_CLEAR(fn->doc);
    Py_CLEAR(fn->code);
    // The names stay: strings take part in no cycle, and repr() and the
    // error messages read them.
    return 0;
}

void fn_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    fn_clear(self);
    Py_CLEAR(as_fn(self)->name);
    Py_CLEAR(as_fn(self)->qualname);
    PyObject_GC_Del(self);
}

PyObject* fn_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_fn(self)->qualname, self);
}

// Getters and setters. Each getter returns a new reference.
PyObject* get_name(PyObject* self, void*) { return new_ref(as_fn(self)->name); }
int set_str_field(PyObject*& field, PyObject* value, const char* what) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    set_field(field, new_ref(value));
    return 0;
}
int set_name(PyObject* self, PyObject* value, void*) {
    return set_str_field(as_fn(self)->name, value, "__name__");
}
PyObject* get_qualname(PyObject* self, void*) { return new_ref(as_fn(self)->qualname); }
int set_qualname(PyObject* self, PyObject* value, void*) {
    return set_str_field(as_fn(self)->qualname, value, "__qualname__");
}
PyObject* get_doc(PyObject* self, void*) {
    PyObject* doc = as_fn(self)->doc;
    return new_ref(doc ? doc : Py_None);
}
int set_doc(PyObject* self, PyObject* value, void*) {
    set_field(as_fn(self)->doc, new_ref(value ? value : Py_None));
    return 0;
}
PyObject* get_dict(PyObject* self, void*) {
    FunctionObject* fn = as_fn(self);
    if (!fn->dict && !(fn->dict = PyDict_New())) return nullptr;
    return new_ref(fn->dict);
}
int set_dict(PyObject* self, PyObject* value, void*) {
    if (value == nullptr) {
        PyErr_SetString(PyExc_TypeError, "function's dictionary may not be deleted");
        return -1;
    }
    if (!PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "setting function's dictionary to a non-dict");
        return -1;
    }
    set_field(as_fn(self)->dict, new_ref(value));
    return 0;
}
PyObject* get_globals(PyObject* self, void*) {
    PyObject* globals = as_fn(self)->globals;
    return new_ref(globals ? globals : Py_None);
}
PyObject* get_closure(PyObject*, void*) { Py_RETURN_NONE; }
PyObject* get_code(PyObject* self, void*) {
    PyObject* code = as_fn(self)->code;
    return new_ref(code ? code : Py_None);
}
PyObject* get_defaults(PyObject* self, void*) {
    PyObject* defaults = as_fn(self)->defaults;
    return new_ref(defaults ? defaults : Py_None);
}
int set_defaults(PyObject* self, PyObject* value, void*) {
    if (value == Py_None) value = nullptr;
    if (value && !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    set_field(as_fn(self)->defaults, value ? new_ref(value) : nullptr);
    return 0;
}
PyObject* get_kwdefaults(PyObject* self, void*) {
    PyObject* kwdefaults = as_fn(self)->kwdefaults;
    return new_ref(kwdefaults ? kwdefaults : Py_None);
}
int set_kwdefaults(PyObject* self, PyObject* value, void*) {
    if (value == Py_None) value = nullptr;
    if (value && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__kwdefaults__ must be set to a dict object");
        return -1;
    }
    set_field(as_fn(self)->kwdefaults, value ? new_ref(value) : nullptr);
    return 0;
}
PyObject* get_annotations(PyObject* self, void*) {
    FunctionObject* fn = as_fn(self);
    if (!fn->annotations && !(fn->annotations = PyDict_New())) return nullptr;
    return new_ref(fn->annotations);
}
int set_annotations(PyObject* self, PyObject* value, void*) {
    if (value == Py_None) value = nullptr;
    if (value && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    set_field(as_fn(self)->annotations, value ? new_ref(value) : nullptr);
    return 0;
}
PyObject* get_module(PyObject* self, void*) {
    PyObject* module = as_fn(self)->module;
    return new_ref(module ? module : Py_None);
}
int set_module(PyObject* self, PyObject* value, void*) {
    set_field(as_fn(self)->module, new_ref(value ? value : Py_None));
    return 0;
}

PyGetSetDef fn_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"func_name", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"func_doc", get_doc, set_doc, nullptr, nullptr},
    {"__dict__", get_dict, set_dict, nullptr, nullptr},
    {"func_dict", get_dict, set_dict, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"func_globals", get_globals, nullptr, nullptr, nullptr},
    {"__closure__", get_closure, nullptr, nullptr, nullptr},
    {"func_closure", get_closure, nullptr, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"func_code", get_code, nullptr, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"func_defaults", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__module__", get_module, set_module, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// Pickles by qualified name, like a Python function.
PyObject* fn_reduce(PyObject* self, PyObject*) { return new_ref(as_fn(self)->qualname); }

PyMethodDef fn_methods[] = {
    {"__reduce__", fn_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// A real code object whose argument names are the callable's parameters, so
// introspection sees the signature.
PyObject* make_code(const FunctionSpec& spec) {
    Ref filename(PyUnicode_FromString("tremix/core/orvex_parser"));
    if (!filename) return nullptr;
    PyCodeObject* empty = PyCode_NewEmpty("tremix/core/orvex_parser", spec.sig.name, 1);
    if (!empty) return nullptr;
    Ref code(reinterpret_cast<PyObject*>(empty));
    const int nself = spec.owner ? 1 : 0;
    const int nparams = spec.sig.count + nself;
    Ref varnames(PyTuple_New(nparams));
    if (!varnames) return nullptr;
    if (nself) {
        PyObject* self_name = PyUnicode_InternFromString("self");
        if (!self_name) return nullptr;
        PyTuple_SET_ITEM(varnames.get(), 0, self_name);
    }
    for (int i = 0; i < spec.sig.count; ++i) {
        PyObject* pname = PyUnicode_InternFromString(spec.sig.params[i]);
        if (!pname) return nullptr;
        PyTuple_SET_ITEM(varnames.get(), i + nself, pname);
    }
    Ref replace(PyObject_GetAttrString(code.get(), "replace"));
    if (!replace) return nullptr;
    Ref kwargs(Py_BuildValue("{s:i,s:O,s:i,s:s,s:i}", "co_argcount", nparams, "co_varnames",
                             varnames.get(), "co_nlocals", nparams, "co_qualname", spec.qualname,
                             "co_flags", CO_OPTIMIZED | CO_NEWLOCALS));
    if (!kwargs) return nullptr;
    return PyObject_Call(replace.get(), g_state.empty_tuple, kwargs.get());
}

}  // namespace

PyTypeObject FunctionType = {PyVarObject_HEAD_INIT(nullptr, 0)};

int function_type_ready() {
    if (FunctionType.tp_flags & Py_TPFLAGS_READY) return 0;
    FunctionType.tp_name = "orvex_function";
    FunctionType.tp_basicsize = sizeof(FunctionObject);
    FunctionType.tp_dealloc = fn_dealloc;
    FunctionType.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
    FunctionType.tp_repr = fn_repr;
    FunctionType.tp_call = PyVectorcall_Call;
    FunctionType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                            Py_TPFLAGS_METHOD_DESCRIPTOR;
    FunctionType.tp_traverse = fn_traverse;
    FunctionType.tp_clear = fn_clear;
    FunctionType.tp_methods = fn_methods;
    FunctionType.tp_getset = fn_getset;
    FunctionType.tp_descr_get = fn_descr_get;
    FunctionType.tp_dictoffset = offsetof(FunctionObject, dict);
    return PyType_Ready(&FunctionType);
}

PyObject* make_function(const FunctionSpec& spec, PyObject* defaults) {
    FunctionObject* fn = PyObject_GC_New(FunctionObject, &FunctionType);
    if (!fn) return nullptr;
    fn->vectorcall = fn_vectorcall;
    fn->spec = &spec;
    fn->name = fn->qualname = fn->doc = fn->module = fn->dict = fn->globals = nullptr;
    fn->code = fn->defaults = fn->kwdefaults = fn->annotations = nullptr;
    Ref holder(reinterpret_cast<PyObject*>(fn));
    PyObject_GC_Track(holder.get());
    if (!(fn->name = PyUnicode_InternFromString(spec.sig.name))) return nullptr;
    if (!(fn->qualname = PyUnicode_FromString(spec.qualname))) return nullptr;
    fn->doc = spec.doc ? PyUnicode_FromString(spec.doc) : new_ref(Py_None);
    if (!fn->doc) return nullptr;
    fn->module = new_ref(g_state.s_module_name);
    fn->globals = g_state.module_dict ? new_ref(g_state.module_dict) : nullptr;
    fn->defaults = defaults ? new_ref(defaults) : nullptr;
    if (!(fn->code = make_code(spec))) return nullptr;
    return holder.release();
}

bool is_function_for(PyObject* obj, const FunctionSpec& spec, PyObject* self) {
    if (PyMethod_Check(obj)) {
        if (PyMethod_GET_SELF(obj) != self) return false;
        obj = PyMethod_GET_FUNCTION(obj);
    }
    return Py_IS_TYPE(obj, &FunctionType) && as_fn(obj)->spec == &spec;
}

}  // namespace tremix
