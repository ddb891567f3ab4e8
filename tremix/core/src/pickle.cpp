#include "pickle.hpp"

#include "block.hpp"
#include "parser.hpp"

namespace tremix {

namespace {

PyObject* not_built(PyObject*, const BoundArgs&) {
    PyErr_SetString(PyExc_NotImplementedError, "pickling is not available yet");
    return nullptr;
}

const char* const kNoParams[] = {nullptr};
const char* const kStateParams[] = {"__pyx_state"};
const char* const kUnpickleParams[] = {"__pyx_type", "__pyx_checksum", "__pyx_state"};

}  // namespace

const FunctionSpec kBlockReduceSpec{{"__reduce_cython__", kNoParams, 0, 0, nullptr},
                                    "ORVEXBlock.__reduce_cython__", nullptr, &BlockType, not_built};
const FunctionSpec kBlockSetstateSpec{{"__setstate_cython__", kStateParams, 1, 1, nullptr},
                                      "ORVEXBlock.__setstate_cython__", nullptr, &BlockType, not_built};
const FunctionSpec kParserReduceSpec{{"__reduce_cython__", kNoParams, 0, 0, nullptr},
                                     "ORVEXParser.__reduce_cython__", nullptr, &ParserType, not_built};
const FunctionSpec kParserSetstateSpec{{"__setstate_cython__", kStateParams, 1, 1, nullptr},
                                       "ORVEXParser.__setstate_cython__", nullptr, &ParserType, not_built};
const FunctionSpec kUnpickleBlockSpec{{"__pyx_unpickle_ORVEXBlock", kUnpickleParams, 3, 3, nullptr},
                                      "__pyx_unpickle_ORVEXBlock", nullptr, nullptr, not_built};
const FunctionSpec kUnpickleParserSpec{{"__pyx_unpickle_ORVEXParser", kUnpickleParams, 3, 3, nullptr},
                                       "__pyx_unpickle_ORVEXParser", nullptr, nullptr, not_built};

int setup_pickling(PyTypeObject*) { return 0; }

}  // namespace tremix
