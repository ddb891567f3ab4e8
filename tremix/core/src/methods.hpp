// The Python-visible methods of the two types: their signatures, docstrings
// and wrappers, and their placement into the types at import.
#pragma once

#include "function_object.hpp"

namespace tremix {

// Public parser operations that a Python subclass can override.
enum class Operation {
    parse,
    get_blocks,
    get_header,
    get_nodes,
    get_nodes_arrays,
    get_properties,
    get_elements,
    get_elements_arrays,
    get_materials,
    get_output_sets,
    get_output_vectors,
    get_output_vectors_arrays,
};
constexpr size_t kOperationCount = 12;

const FunctionSpec& operation_spec(Operation op);
// The declared result type of an operation (dict, list or tuple).
PyTypeObject* operation_result_type(Operation op);

// Makes every method object and places it in its type's dictionary, in the
// order of import; returns -1 with an exception set on failure.
int install_methods();

}  // namespace tremix
