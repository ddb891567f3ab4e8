#include "arguments.hpp"

#include <climits>

#include "module_state.hpp"
#include "stack_room.hpp"

namespace tremix {

namespace {

// "%.200s() takes %.8s %zd positional argument%.1s (%zd given)"
void raise_count(const Signature& sig, bool exact, Py_ssize_t given) {
    Py_ssize_t expected;
    const char* more_or_less;
    if (given < sig.required) {
        expected = sig.required;
        more_or_less = "at least";
    } else {
        expected = sig.count;
        more_or_less = "at most";
    }
    if (exact) more_or_less = "exactly";
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 sig.name, more_or_less, expected, expected == 1 ? "" : "s", given);
}

int param_index(const Signature& sig, PyObject* key) {
    // Names match by value, compared at C level, so no Python code (a str
    // subclass's __eq__) runs while binding.
    for (int i = 0; i < sig.count; ++i) {
        if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, sig.params[i]) == 0) {
            return i;
        }
    }
    return -1;
}

// Shared binding logic over positional values and (name, value) keywords.
int bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, Py_ssize_t nkw,
         PyObject* (*kw_name)(void*, Py_ssize_t), PyObject* (*kw_value)(void*, Py_ssize_t),
         void* kw_ctx, BoundArgs& out) {
    const bool exact = sig.required == sig.count;
    if (nkw == 0) {
        if (nargs < sig.required || nargs > sig.count) {
            raise_count(sig, exact, nargs);
            return -1;
        }
    } else if (nargs > sig.count) {
        raise_count(sig, exact, nargs);
        return -1;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) out.values[i] = Ref::borrow(args[i]);

    if (nkw > 0) {
        Py_ssize_t kw_left = nkw;
        // Parameters not filled by position are taken from the keywords in
        // order; the first required one that is missing is a count error.
        for (int p = static_cast<int>(nargs); p < sig.count && kw_left > 0; ++p) {
            for (Py_ssize_t k = 0; k < nkw; ++k) {
                PyObject* key = kw_name(kw_ctx, k);
                if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, sig.params[p]) == 0) {
                    out.values[p] = Ref::borrow(kw_value(kw_ctx, k));
                    --kw_left;
                    break;
                }
            }
            if (!out.values[p] && p < sig.required) {
                raise_count(sig, true, p);
                return -1;
            }
        }
        for (int p = 0; p < sig.required; ++p) {
            if (!out.values[p]) {
                raise_count(sig, true, p);
                return -1;
            }
        }
        if (kw_left > 0) {
            for (Py_ssize_t k = 0; k < nkw; ++k) {
                PyObject* key = kw_name(kw_ctx, k);
                int p = param_index(sig, key);
                if (p >= 0 && p >= nargs) continue;
                if (p >= 0) {
                    PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                                 sig.name, key);
                } else if (!PyUnicode_Check(key)) {
                    PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", sig.name);
                } else {
                    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                                 sig.name, key);
                }
                return -1;
            }
        }
    }
    for (int p = sig.required; p < sig.count; ++p) {
        if (!out.values[p]) {
            PyObject* defaults = sig.defaults ? *sig.defaults : nullptr;
            const Py_ssize_t index = p - sig.required;
            if (!defaults || !PyTuple_Check(defaults) || index >= PyTuple_GET_SIZE(defaults)) {
                PyErr_SetString(PyExc_SystemError, "missing default argument value");
                return -1;
            }
            out.values[p] = Ref::borrow(PyTuple_GET_ITEM(defaults, index));
        }
    }
    return 0;
}

struct VectorcallKw {
    PyObject* kwnames;
    PyObject* const* values;
};

PyObject* vc_name(void* ctx, Py_ssize_t k) {
    return PyTuple_GET_ITEM(static_cast<VectorcallKw*>(ctx)->kwnames, k);
}
PyObject* vc_value(void* ctx, Py_ssize_t k) { return static_cast<VectorcallKw*>(ctx)->values[k]; }

struct DictKw {
    Ref names;   // tuple of keys
    Ref values;  // tuple of values
};

PyObject* dict_name(void* ctx, Py_ssize_t k) {
    return PyTuple_GET_ITEM(static_cast<DictKw*>(ctx)->names.get(), k);
}
PyObject* dict_value(void* ctx, Py_ssize_t k) {
    return PyTuple_GET_ITEM(static_cast<DictKw*>(ctx)->values.get(), k);
}

}  // namespace

int bind_vectorcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, BoundArgs& out) {
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    VectorcallKw ctx{kwnames, args + nargs};
    return bind(sig, args, nargs, nkw, vc_name, vc_value, &ctx, out);
}

int bind_tuple_dict(const Signature& sig, PyObject* args, PyObject* kwargs, BoundArgs& out) {
    // Snapshot the keywords into tuples first, so the binding owns what it
    // reads even if the caller's dict changes later.
    DictKw ctx;
    Py_ssize_t nkw = 0;
    if (kwargs && PyDict_GET_SIZE(kwargs) > 0) {
        nkw = PyDict_GET_SIZE(kwargs);
        ctx.names = Ref(PyTuple_New(nkw));
        ctx.values = Ref(PyTuple_New(nkw));
        if (!ctx.names || !ctx.values) return -1;
        Py_ssize_t pos = 0, k = 0;
        PyObject *key, *value;
        while (k < nkw && PyDict_Next(kwargs, &pos, &key, &value)) {
            PyTuple_SET_ITEM(ctx.names.get(), k, new_ref(key));
            PyTuple_SET_ITEM(ctx.values.get(), k, new_ref(value));
            ++k;
        }
        nkw = k;
    }
    return bind(sig, &PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args), nkw, dict_name, dict_value,
                &ctx, out);
}

int check_exact_or_none(PyObject* obj, PyTypeObject* type, const char* param_name) {
    if (obj == Py_None || Py_IS_TYPE(obj, type)) return 0;
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)%s%U",
                 param_name, type->tp_name, Py_TYPE(obj)->tp_name, "", g_state.empty_str);
    return -1;
}

void raise_expected(const char* expected, PyObject* got) {
    PyErr_Format(PyExc_TypeError, "Expected %.42s, got %.200s", expected, Py_TYPE(got)->tp_name);
}

int check_result_type(PyObject* obj, PyTypeObject* type) {
    if (obj == Py_None || Py_IS_TYPE(obj, type)) return 0;
    raise_expected(type->tp_name, obj);
    return -1;
}

void raise_int32_overflow() {
    PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
}

namespace {

int long_as_int32(PyObject* value, int32_t& out) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (v == -1 && PyErr_Occurred()) return -1;
    if (overflow != 0 || v < INT32_MIN || v > INT32_MAX) {
        raise_int32_overflow();
        return -1;
    }
    out = static_cast<int32_t>(v);
    return 0;
}

}  // namespace

PyObject* int_of(PyObject* obj) {
    if (PyLong_Check(obj)) return new_ref(obj);
    PyNumberMethods* nb = Py_TYPE(obj)->tp_as_number;
    if (!nb || !nb->nb_int) {
        PyErr_SetString(PyExc_TypeError, "an integer is required");
        return nullptr;
    }
    if (!stack_room_left()) return nullptr;
    Ref result(nb->nb_int(obj));
    if (!result) return nullptr;
    if (PyLong_CheckExact(result.get())) return result.release();
    if (!PyLong_Check(result.get())) {
        PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)", Py_TYPE(result.get())->tp_name);
        return nullptr;
    }
    if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                         "__int__ returned non-int (type %.200s).  The ability to return an instance of a "
                         "strict subclass of int is deprecated, and may be removed in a future version of Python.",
                         Py_TYPE(result.get())->tp_name) < 0) {
        return nullptr;
    }
    return result.release();
}

int as_int32(PyObject* obj, int32_t& out) {
    Ref value(int_of(obj));
    return value ? long_as_int32(value.get(), out) : -1;
}

}  // namespace tremix
