// Pickle support of the two types: __reduce__/__setstate__ methods and the
// two module-level unpickle functions that pickles refer to by name.
#pragma once

#include "function_object.hpp"

namespace tremix {

extern const FunctionSpec kBlockReduceSpec;
extern const FunctionSpec kBlockSetstateSpec;
extern const FunctionSpec kParserReduceSpec;
extern const FunctionSpec kParserSetstateSpec;
extern const FunctionSpec kUnpickleBlockSpec;
extern const FunctionSpec kUnpickleParserSpec;

// Points the type's __reduce__/__setstate__ at its __reduce_cython__ and
// __setstate_cython__ methods, once, right after the type is made ready.
int setup_pickling(PyTypeObject* type);

}  // namespace tremix
