// The function object that every method of the two types and the two
// unpickle functions are made of. It behaves like a Python function: it
// binds to instances, and carries __name__, __qualname__, __doc__,
// __module__, __dict__, __globals__, __closure__, __code__, __defaults__,
// __kwdefaults__, __annotations__ and the func_* aliases, so that
// `inspect.signature` and `help()` show its parameters.
#pragma once

#include "arguments.hpp"

namespace tremix {

// Implementation of a callable: `self` is the bound instance (null for
// plain functions), `args` the bound argument values.
using FunctionImpl = PyObject* (*)(PyObject* self, const BoundArgs& args);

struct FunctionSpec {
    Signature sig;
    const char* qualname;      // "ORVEXParser.get_nodes", or the bare name
    const char* doc;           // may be null
    PyTypeObject* owner;       // type whose instances `self` must be; null for functions
    FunctionImpl impl;
};

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionSpec* spec;
    PyObject* name;
    PyObject* qualname;
    PyObject* doc;
    PyObject* module;
    PyObject* dict;
    PyObject* globals;
    PyObject* code;
    PyObject* defaults;
    PyObject* kwdefaults;
    PyObject* annotations;
};

extern PyTypeObject FunctionType;

int function_type_ready();

// Makes a new function object for `spec`; `defaults` may be null.
PyObject* make_function(const FunctionSpec& spec, PyObject* defaults);

// True when `obj` is the function object made for `spec`, or that function
// bound to `self` as a method. Bound to any other object it is not: a
// method taken from another instance is that instance's, not `self`'s.
bool is_function_for(PyObject* obj, const FunctionSpec& spec, PyObject* self);

}  // namespace tremix
