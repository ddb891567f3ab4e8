#include "operations.hpp"

#include "arguments.hpp"
#include "extractors.hpp"
#include "fields_api.hpp"
#include "internal_api.hpp"
#include "methods.hpp"
#include "reading/format.hpp"
#include "stack_room.hpp"

namespace tremix {

namespace {

// A Python subclass, or an instance with its own attribute dictionary, may
// carry an override; instances of the type itself never do.
bool may_override(ParserObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    return type->tp_dictoffset != 0 || (type->tp_flags & (Py_TPFLAGS_IS_ABSTRACT | Py_TPFLAGS_HEAPTYPE));
}

// Runs a Python override of `op` if there is one. Returns 1 with `result`
// set when it ran, 0 when the module's own implementation applies, -1 on
// error. The override's result must be the operation's type or None.
int run_override(ParserObject* self, Operation op, PyObject* const* args, size_t nargs, Ref& result) {
    if (!may_override(self)) return 0;
    const FunctionSpec& spec = operation_spec(op);
    // The names are made once: a new name per call would fill the type
    // attribute cache with short-lived strings.
    static PyObject* names[kOperationCount] = {};
    PyObject*& name = names[static_cast<size_t>(op)];
    if (!name && !(name = PyUnicode_InternFromString(spec.sig.name))) return -1;
    Ref attr(PyObject_GetAttr(reinterpret_cast<PyObject*>(self), name));
    if (!attr) return -1;
    // The own method counts only as the plain function or bound to this
    // instance; another parser's method (a delegating subclass) is an override.
    if (is_function_for(attr.get(), spec, reinterpret_cast<PyObject*>(self))) return 0;
    if (!stack_room_left()) return -1;
    result = Ref(PyObject_Vectorcall(attr.get(), args, nargs, nullptr));
    if (!result) return -1;
    if (check_result_type(result.get(), operation_result_type(op)) < 0) {
        result.reset();
        return -1;
    }
    return 1;
}

template <typename Own>
PyObject* dispatch(ParserObject* self, int skip_dispatch, Operation op, Own own, PyObject* const* args = nullptr,
                   size_t nargs = 0) {
    Ref keep(Ref::borrow(reinterpret_cast<PyObject*>(self)));
    if (!skip_dispatch) {
        Ref result;
        const int ran = run_override(self, op, args, nargs, result);
        if (ran < 0) return nullptr;
        if (ran > 0) return result.release();
    }
    return own();
}

// An extractor of one block number, with no arguments of its own.
template <Operation op, int32_t block_id, PyObject* (*extract)(PyObject* blocks, PyObject* path)>
PyObject* op_extract(ParserObject* self, int skip) {
    return dispatch(self, skip, op, [&]() -> PyObject* {
        Ref blocks(call_get_blocks(self, block_id));
        if (!blocks) return nullptr;
        Ref path = Ref::borrow(self->filepath);
        return extract(blocks.get(), path.get());
    });
}

PyObject* op_parse(ParserObject* self, int skip) {
    return dispatch(self, skip, Operation::parse, [&] { return parser_parse(self); });
}

PyObject* op_get_blocks(ParserObject* self, int32_t block_id, int skip) {
    Ref arg(PyLong_FromLong(block_id));
    if (!arg) return nullptr;
    PyObject* args[] = {arg.get()};
    return dispatch(self, skip, Operation::get_blocks, [&] { return parser_get_blocks(self, block_id); }, args, 1);
}

PyObject* op_get_header(ParserObject* self, int skip) {
    return dispatch(self, skip, Operation::get_header, [&]() -> PyObject* {
        Ref blocks(call_get_blocks(self, reading::kHeaderBlock));
        return blocks ? header_of(blocks.get()) : nullptr;
    });
}

PyObject* op_get_nodes(ParserObject* self, int force_2d, int skip) {
    PyObject* args[] = {force_2d ? Py_True : Py_False};
    return dispatch(self, skip, Operation::get_nodes, [&]() -> PyObject* {
        Ref blocks(call_get_blocks(self, reading::kNodeBlock));
        Ref path = Ref::borrow(self->filepath);
        return blocks ? nodes_dict(blocks.get(), force_2d != 0, path.get()) : nullptr;
    }, args, 1);
}

PyObject* op_get_output_vectors(ParserObject* self, int skip) {
    return dispatch(self, skip, Operation::get_output_vectors, [&]() -> PyObject* {
        Ref blocks(self->ops->get_output_vector_blocks(self));
        Ref path = Ref::borrow(self->filepath);
        return blocks ? output_vectors_list(blocks.get(), path.get()) : nullptr;
    });
}

PyObject* op_get_output_vectors_arrays(ParserObject* self, int32_t set_id_filter, int32_t vec_id_filter, int skip) {
    Ref a(PyLong_FromLong(set_id_filter));
    Ref b(PyLong_FromLong(vec_id_filter));
    if (!a || !b) return nullptr;
    PyObject* args[] = {a.get(), b.get()};
    return dispatch(self, skip, Operation::get_output_vectors_arrays, [&]() -> PyObject* {
        Ref blocks(self->ops->get_output_vector_blocks(self));
        Ref path = Ref::borrow(self->filepath);
        return blocks ? output_vector_arrays(blocks.get(), set_id_filter, vec_id_filter, path.get()) : nullptr;
    }, args, 2);
}

PyObject* op_locate_output_vector_header(ParserObject*, PyObject* lines, int32_t start) {
    return locate_output_vector_header(lines, start);
}

}  // namespace

const ParserOperations kParserOperations = {
    parser_parse_file,
    parse_csv_line_fast,
    op_locate_output_vector_header,
    get_output_vector_blocks,
    op_parse,
    op_get_blocks,
    op_get_header,
    op_get_nodes,
    op_extract<Operation::get_nodes_arrays, reading::kNodeBlock, nodes_arrays>,
    op_extract<Operation::get_properties, reading::kPropertyBlock, properties_dict>,
    op_extract<Operation::get_elements, reading::kElementBlock, elements_list>,
    op_extract<Operation::get_elements_arrays, reading::kElementBlock, elements_arrays>,
    op_extract<Operation::get_materials, reading::kMaterialBlock, materials_dict>,
    op_extract<Operation::get_output_sets, reading::kOutputSetBlock, output_sets_dict>,
    op_get_output_vectors,
    op_get_output_vectors_arrays,
    &kInternalApi,
};

PyObject* call_get_blocks(ParserObject* self, int32_t block_id) { return self->ops->get_blocks(self, block_id, 0); }

PyObject* get_output_vector_blocks(ParserObject* self) {
    Ref keep(Ref::borrow(reinterpret_cast<PyObject*>(self)));
    Ref first(self->ops->get_blocks(self, reading::kVectorBlock, 0));
    if (!first) return nullptr;
    Ref second(self->ops->get_blocks(self, reading::kLaterVectorBlock, 0));
    if (!second) return nullptr;
    return PyNumber_Add(first.get(), second.get());
}

}  // namespace tremix
