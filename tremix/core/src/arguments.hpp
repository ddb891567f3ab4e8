// Argument binding and checking shared by every Python-visible callable of
// the module, with the interpreter's standard wording for each error.
#pragma once

#include <cstdint>

#include "pyref.hpp"

namespace tremix {

// The parameters of one callable: names after `self`, how many are required
// (the rest are optional and take their value from `defaults`).
struct Signature {
    const char* name;             // used in messages: "get_nodes", "__init__", ...
    const char* const* params;    // parameter names, `count` of them
    int count;
    int required;
    PyObject** defaults;          // tuple of the optional parameters' defaults, or null
};

constexpr int kMaxParams = 3;

// Bound argument values, one owned reference per parameter.
struct BoundArgs {
    Ref values[kMaxParams];
    PyObject* operator[](int i) const { return values[i].get(); }
};

// Binds positional arguments and keywords given as a vectorcall keyword-name
// tuple (`kwnames`, values following the positional ones in `args`).
int bind_vectorcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, BoundArgs& out);

// Binds a classic argument tuple and keyword dict (type slots such as tp_init).
int bind_tuple_dict(const Signature& sig, PyObject* args, PyObject* kwargs, BoundArgs& out);

// "Argument 'name' has incorrect type (expected str, got int)": `obj` must be
// exactly `type` or None. Returns -1 with TypeError set when it is not.
int check_exact_or_none(PyObject* obj, PyTypeObject* type, const char* param_name);

// "Expected list, got tuple": `obj` must be exactly `type` or None.
int check_result_type(PyObject* obj, PyTypeObject* type);
void raise_expected(const char* expected, PyObject* got);

// The module's integer rule: ints as they are, other objects through
// __int__ (floats truncate), TypeError "an integer is required" without
// one. A new reference to an int of any size.
PyObject* int_of(PyObject* obj);

// int_of, as a signed 32-bit integer: OverflowError outside the range.
int as_int32(PyObject* obj, int32_t& out);

// OverflowError for a value that does not fit a signed 32-bit integer.
void raise_int32_overflow();

}  // namespace tremix
