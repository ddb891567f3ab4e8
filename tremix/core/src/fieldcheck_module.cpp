// Test-only module: the tokenizer and the number conversions, callable on
// one str at a time, so tests can compare them with the interpreter.
#include "fields.hpp"
#include "numbers.hpp"

namespace {

PyMethodDef kMethods[] = {
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kModule = {PyModuleDef_HEAD_INIT, "_fieldcheck", "Field conversion checks for tests.", -1, kMethods};

}  // namespace

PyMODINIT_FUNC PyInit__fieldcheck() { return PyModule_Create(&kModule); }
