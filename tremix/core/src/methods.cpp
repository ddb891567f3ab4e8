#include "methods.hpp"

#include "block.hpp"
#include "fields_api.hpp"
#include "module_state.hpp"
#include "parser.hpp"
#include "pickle.hpp"

namespace tremix {

namespace {

ParserObject* P(PyObject* self) { return as_parser(self); }

PyObject* py_parse(PyObject* self, const BoundArgs&) { return P(self)->ops->parse(P(self), 1); }

PyObject* py_parse_csv_line(PyObject*, const BoundArgs& a) {
    if (check_exact_or_none(a[0], &PyUnicode_Type, "line") < 0) return nullptr;
    if (a[0] == Py_None) {
        PyErr_SetString(PyExc_TypeError, "parse_csv_line() argument 'line' must be str, not None");
        return nullptr;
    }
    return parse_csv_line_fast(a[0]);
}

PyObject* py_get_blocks(PyObject* self, const BoundArgs& a) {
    int32_t block_id;
    if (as_int32(a[0], block_id) < 0) return nullptr;
    return P(self)->ops->get_blocks(P(self), block_id, 1);
}

PyObject* py_get_header(PyObject* self, const BoundArgs&) { return P(self)->ops->get_header(P(self), 1); }

PyObject* py_get_nodes(PyObject* self, const BoundArgs& a) {
    const int force_2d = PyObject_IsTrue(a[0]);
    if (force_2d < 0) return nullptr;
    return P(self)->ops->get_nodes(P(self), force_2d, 1);
}

PyObject* py_get_nodes_arrays(PyObject* self, const BoundArgs&) {
    return P(self)->ops->get_nodes_arrays(P(self), 1);
}
PyObject* py_get_properties(PyObject* self, const BoundArgs&) { return P(self)->ops->get_properties(P(self), 1); }
PyObject* py_get_elements(PyObject* self, const BoundArgs&) { return P(self)->ops->get_elements(P(self), 1); }
PyObject* py_get_elements_arrays(PyObject* self, const BoundArgs&) {
    return P(self)->ops->get_elements_arrays(P(self), 1);
}
PyObject* py_get_materials(PyObject* self, const BoundArgs&) { return P(self)->ops->get_materials(P(self), 1); }
PyObject* py_get_output_sets(PyObject* self, const BoundArgs&) {
    return P(self)->ops->get_output_sets(P(self), 1);
}
PyObject* py_get_output_vectors(PyObject* self, const BoundArgs&) {
    return P(self)->ops->get_output_vectors(P(self), 1);
}
PyObject* py_get_output_vectors_arrays(PyObject* self, const BoundArgs& a) {
    int32_t set_id_filter, vec_id_filter;
    if (as_int32(a[0], set_id_filter) < 0) return nullptr;
    if (as_int32(a[1], vec_id_filter) < 0) return nullptr;
    return P(self)->ops->get_output_vectors_arrays(P(self), set_id_filter, vec_id_filter, 1);
}

const char* const kNoParams[] = {nullptr};
const char* const kLineParams[] = {"line"};
const char* const kBlockIdParams[] = {"block_id"};
const char* const kForce2dParams[] = {"force_2d"};
const char* const kFilterParams[] = {"set_id_filter", "vec_id_filter"};

const char kParseDoc[] =
    "\n        Public method to return parsed blocks (for API compatibility).\n\n"
    "        Returns:\n"
    "            Dictionary mapping block IDs to lists of blocks\n        ";
const char kParseCsvLineDoc[] =
    "\n        Parse a ORVEX line that may be comma or space separated.\n"
    "        Public API-compatible wrapper.\n\n"
    "        Args:\n"
    "            line: Input line string\n\n"
    "        Returns:\n"
    "            List of field values as strings\n        ";
const char kGetBlocksDoc[] = "Get all blocks with the specified ID.";
const char kGetHeaderDoc[] =
    "\n        Extract header information from Block 100.\n\n"
    "        Returns:\n"
    "            Dictionary with 'title' and 'version' keys, or None if not found\n        ";
const char kGetNodesDoc[] =
    "\n        Extract all nodes from Block 403.\n\n"
    "        Args:\n"
    "            force_2d: If True, skip nodes where z != 0.0\n\n"
    "        Returns:\n"
    "            Dictionary mapping node IDs to (x, y, z) coordinates\n        ";
const char kGetNodesArraysDoc[] =
    "\n        Extract all nodes from Block 403 as NumPy arrays (high performance).\n\n"
    "        Returns:\n"
    "            Tuple of (node_ids: np.ndarray[int32], coords: np.ndarray[float64, (n,3)])\n        ";
const char kGetPropertiesDoc[] =
    "\n        Extract all properties from Block 402.\n\n"
    "        Returns:\n"
    "            Dictionary mapping property IDs to property metadata\n        ";
const char kGetElementsDoc[] =
    "\n        Extract all elements from Block 404.\n\n"
    "        Returns:\n"
    "            List of element dictionaries with id, prop_id, topology, and nodes\n        ";
const char kGetElementsArraysDoc[] =
    "\n        Extract all elements from Block 404 as NumPy arrays (high performance).\n\n"
    "        Returns:\n"
    "            Tuple of (element_ids, prop_ids, topologies, node_connectivity, offsets)\n"
    "            - element_ids: np.ndarray[int32] - element IDs\n"
    "            - prop_ids: np.ndarray[int32] - property IDs\n"
    "            - topologies: np.ndarray[int32] - topology codes\n"
    "            - connectivity: np.ndarray[int32] - flat node connectivity\n"
    "            - offsets: np.ndarray[int32] - offsets into connectivity for each element\n        ";
const char kGetMaterialsDoc[] =
    "\n        Extract all materials from Block 601.\n\n"
    "        Returns:\n"
    "            Dictionary mapping material IDs to material metadata\n        ";
const char kGetOutputSetsDoc[] =
    "\n        Extract all output sets from Block 450.\n\n"
    "        Returns:\n"
    "            Dictionary mapping output set IDs to metadata\n        ";
const char kGetOutputVectorsDoc[] =
    "\n        Extract all output data vectors from Blocks 1051 and 451.\n\n"
    "        Returns:\n"
    "            List of output vector dictionaries with metadata and results\n        ";
const char kGetOutputVectorsArraysDoc[] =
    "\n        Extract output vectors as NumPy arrays (high performance).\n"
    "        \n"
    "        Args:\n"
    "            set_id_filter: If >= 0, only extract vectors with this set_id\n"
    "            vec_id_filter: If >= 0, only extract vectors with this vec_id\n"
    "        \n"
    "        Returns:\n"
    "            Tuple of (entity_ids: np.ndarray[int32], values: np.ndarray[float64], \n"
    "                      set_id: int, vec_id: int, ent_type: int) for the first matching vector\n"
    "            Returns (None, None, -1, -1, -1) if no matching vectors found\n        ";

#define PARSER_METHOD(var, name, params, count, required, defaults, doc, impl) \
    const FunctionSpec var{{name, params, count, required, defaults}, "ORVEXParser." name, doc, &ParserType, impl}

PARSER_METHOD(kParse, "parse", kNoParams, 0, 0, nullptr, kParseDoc, py_parse);
const FunctionSpec kParseCsvLine{{"parse_csv_line", kLineParams, 1, 1, nullptr},
                                 "ORVEXParser.parse_csv_line", kParseCsvLineDoc, nullptr, py_parse_csv_line};
PARSER_METHOD(kGetBlocks, "get_blocks", kBlockIdParams, 1, 1, nullptr, kGetBlocksDoc, py_get_blocks);
PARSER_METHOD(kGetHeader, "get_header", kNoParams, 0, 0, nullptr, kGetHeaderDoc, py_get_header);
PARSER_METHOD(kGetNodes, "get_nodes", kForce2dParams, 1, 0, &g_state.defaults_get_nodes, kGetNodesDoc,
              py_get_nodes);
PARSER_METHOD(kGetNodesArrays, "get_nodes_arrays", kNoParams, 0, 0, nullptr, kGetNodesArraysDoc,
              py_get_nodes_arrays);
PARSER_METHOD(kGetProperties, "get_properties", kNoParams, 0, 0, nullptr, kGetPropertiesDoc, py_get_properties);
PARSER_METHOD(kGetElements, "get_elements", kNoParams, 0, 0, nullptr, kGetElementsDoc, py_get_elements);
PARSER_METHOD(kGetElementsArrays, "get_elements_arrays", kNoParams, 0, 0, nullptr, kGetElementsArraysDoc,
              py_get_elements_arrays);
PARSER_METHOD(kGetMaterials, "get_materials", kNoParams, 0, 0, nullptr, kGetMaterialsDoc, py_get_materials);
PARSER_METHOD(kGetOutputSets, "get_output_sets", kNoParams, 0, 0, nullptr, kGetOutputSetsDoc,
              py_get_output_sets);
PARSER_METHOD(kGetOutputVectors, "get_output_vectors", kNoParams, 0, 0, nullptr, kGetOutputVectorsDoc,
              py_get_output_vectors);
PARSER_METHOD(kGetOutputVectorsArrays, "get_output_vectors_arrays", kFilterParams, 2, 0,
              &g_state.defaults_output_vectors, kGetOutputVectorsArraysDoc, py_get_output_vectors_arrays);

#undef PARSER_METHOD

// Places `value` in the type's dictionary under `name`, giving it the
// chance to learn its name and owner through __set_name__.
int place_in_type(PyTypeObject* type, const char* name, PyObject* value) {
    Ref key(PyUnicode_InternFromString(name));
    if (!key) return -1;
    if (PyDict_SetItem(type->tp_dict, key.get(), value) < 0) return -1;
    PyType_Modified(type);
    Ref set_name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(value)), "__set_name__"));
    if (!set_name) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    Ref done(PyObject_CallFunctionObjArgs(set_name.get(), value, reinterpret_cast<PyObject*>(type), key.get(),
                                          nullptr));
    return done ? 0 : -1;
}

int install(PyTypeObject* type, const FunctionSpec& spec, PyObject* defaults = nullptr) {
    Ref fn(make_function(spec, defaults));
    if (!fn) return -1;
    return place_in_type(type, spec.sig.name, fn.get());
}

}  // namespace

const FunctionSpec& operation_spec(Operation op) {
    switch (op) {
        case Operation::parse: return kParse;
        case Operation::get_blocks: return kGetBlocks;
        case Operation::get_header: return kGetHeader;
        case Operation::get_nodes: return kGetNodes;
        case Operation::get_nodes_arrays: return kGetNodesArrays;
        case Operation::get_properties: return kGetProperties;
        case Operation::get_elements: return kGetElements;
        case Operation::get_elements_arrays: return kGetElementsArrays;
        case Operation::get_materials: return kGetMaterials;
        case Operation::get_output_sets: return kGetOutputSets;
        case Operation::get_output_vectors: return kGetOutputVectors;
        case Operation::get_output_vectors_arrays: return kGetOutputVectorsArrays;
    }
    return kParse;
}

PyTypeObject* operation_result_type(Operation op) {
    switch (op) {
        case Operation::get_blocks:
        case Operation::get_elements:
        case Operation::get_output_vectors: return &PyList_Type;
        case Operation::get_nodes_arrays:
        case Operation::get_elements_arrays:
        case Operation::get_output_vectors_arrays: return &PyTuple_Type;
        default: return &PyDict_Type;
    }
}

int install_methods() {
    if (install(&BlockType, kBlockReduceSpec) < 0) return -1;
    if (install(&BlockType, kBlockSetstateSpec) < 0) return -1;
    if (install(&ParserType, kParse) < 0) return -1;
    {
        Ref fn(make_function(kParseCsvLine, nullptr));
        if (!fn) return -1;
        Ref annotations(Py_BuildValue("{s:s}", "return", "list"));
        if (!annotations) return -1;
        if (PyObject_SetAttrString(fn.get(), "__annotations__", annotations.get()) < 0) return -1;
        if (place_in_type(&ParserType, "parse_csv_line", fn.get()) < 0) return -1;
        Ref wrapped(PyObject_CallOneArg(g_state.builtin_staticmethod, fn.get()));
        if (!wrapped) return -1;
        if (place_in_type(&ParserType, "parse_csv_line", wrapped.get()) < 0) return -1;
    }
    if (install(&ParserType, kGetBlocks) < 0) return -1;
    if (install(&ParserType, kGetHeader) < 0) return -1;
    if (install(&ParserType, kGetNodes, g_state.defaults_get_nodes) < 0) return -1;
    if (install(&ParserType, kGetNodesArrays) < 0) return -1;
    if (install(&ParserType, kGetProperties) < 0) return -1;
    if (install(&ParserType, kGetElements) < 0) return -1;
    if (install(&ParserType, kGetElementsArrays) < 0) return -1;
    if (install(&ParserType, kGetMaterials) < 0) return -1;
    if (install(&ParserType, kGetOutputSets) < 0) return -1;
    if (install(&ParserType, kGetOutputVectors) < 0) return -1;
    if (install(&ParserType, kGetOutputVectorsArrays, g_state.defaults_output_vectors) < 0) return -1;
    if (install(&ParserType, kParserReduceSpec) < 0) return -1;
    if (install(&ParserType, kParserSetstateSpec) < 0) return -1;
    return 0;
}

}  // namespace tremix
