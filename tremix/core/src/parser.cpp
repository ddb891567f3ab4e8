#include "parser.hpp"

#include "arguments.hpp"
#include "extractors.hpp"
#include "fields.hpp"
#include "methods.hpp"
#include "module_state.hpp"
#include "splitter.hpp"

namespace tremix {

namespace {

const char* const kInitParams[] = {"filepath"};
const Signature kInitSignature{"__init__", kInitParams, 1, 1, nullptr};

// Characters read per call. The text is split as it arrives, so the whole
// file's text never sits in memory at once; a moderate chunk also stays in
// the processor's caches while its lines are cut out.
constexpr Py_ssize_t kReadChunk = 1 << 20;
// Decoder buffer size for the text file object: larger than its default, so
// that each read call decodes in a few large steps.
constexpr long kDecodeChunk = 1 << 16;

// Closes `file` through its __exit__ after a failure, with the exception
// that is set; keeps that exception unless __exit__ suppresses it (returns
// 1 then) or fails itself.
int exit_with_error(PyObject* exit) {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback && value) PyException_SetTraceback(value, traceback);
    Ref etype(type), evalue(value), etb(traceback);
    Ref suppress(PyObject_CallFunctionObjArgs(exit, etype ? etype.get() : Py_None, evalue ? evalue.get() : Py_None,
                                              etb ? etb.get() : Py_None, nullptr));
    if (!suppress) return -1;
    const int swallow = PyObject_IsTrue(suppress.get());
    if (swallow < 0) return -1;
    if (swallow) return 1;
    PyErr_Restore(etype.release(), evalue.release(), etb.release());
    return -1;
}

// Reads the file through the built-in `open` captured at import, in text
// mode ("r": the default encoding with strict decoding, universal newlines),
// inside the equivalent of a with-block, and feeds its text to `splitter`.
// Returns 1 when __exit__ suppressed an error (nothing more to do).
int read_into(PyObject* filepath, BlockSplitter& splitter) {
    Ref file(PyObject_CallFunctionObjArgs(g_state.builtin_open, filepath, g_state.s_r, nullptr));
    if (!file) return -1;
    Ref exit(PyObject_GetAttr(file.get(), g_state.s_exit));
    if (!exit) return -1;
    Ref entered(PyObject_CallMethodNoArgs(file.get(), g_state.s_enter));
    if (!entered) return -1;
    Ref read(PyObject_GetAttr(entered.get(), g_state.s_read));
    if (!read) return exit_with_error(exit.get());
    {
        Ref size(PyLong_FromLong(kDecodeChunk));
        if (!size || PyObject_SetAttrString(entered.get(), "_CHUNK_SIZE", size.get()) < 0) PyErr_Clear();
    }
    Ref chunk_size(PyLong_FromSsize_t(kReadChunk));
    if (!chunk_size) return exit_with_error(exit.get());
    for (;;) {
        Ref chunk(PyObject_CallOneArg(read.get(), chunk_size.get()));
        if (!chunk) return exit_with_error(exit.get());
        if (!PyUnicode_Check(chunk.get())) {
            PyErr_Format(PyExc_TypeError, "read() should return a str, not %.200s", Py_TYPE(chunk.get())->tp_name);
            return exit_with_error(exit.get());
        }
        if (PyUnicode_GET_LENGTH(chunk.get()) == 0) break;
        if (splitter.feed(chunk.get()) < 0) return exit_with_error(exit.get());
    }
    Ref closed(PyObject_Call(exit.get(), g_state.tuple_none3, nullptr));
    return closed ? 0 : -1;
}

PyObject* parser_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    ParserObject* p = as_parser(self);
    p->ops = &kParserOperations;
    p->filepath = new_ref(Py_None);
    p->blocks = new_ref(Py_None);
    p->block_delimiter = new_ref(Py_None);
    return self;
}

int parser_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    BoundArgs bound;
    if (bind_tuple_dict(kInitSignature, args, kwargs, bound) < 0) return -1;
    if (check_exact_or_none(bound[0], &PyUnicode_Type, "filepath") < 0) return -1;
    ParserObject* p = as_parser(self);
    set_field(p->filepath, new_ref(bound[0]));
    PyObject* blocks = PyDict_New();
    if (!blocks) return -1;
    set_field(p->blocks, blocks);
    set_field(p->block_delimiter, new_ref(g_state.s_block_delimiter));
    return p->ops->parse_file(p);
}

int parser_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(as_parser(self)->blocks);
    return 0;
}

int parser_clear(PyObject* self) {
    set_field(as_parser(self)->blocks, new_ref(Py_None));
    return 0;
}

void parser_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    ParserObject* p = as_parser(self);
    Py_CLEAR(p->filepath);
    Py_CLEAR(p->blocks);
    Py_CLEAR(p->block_delimiter);
    Py_TYPE(self)->tp_free(self);
}

PyObject* get_blocks_attr(PyObject* self, void*) { return new_ref(as_parser(self)->blocks); }

int set_blocks_attr(PyObject* self, PyObject* value, void*) {
    if (value == nullptr) value = Py_None;
    if (check_result_type(value, &PyDict_Type) < 0) return -1;
    set_field(as_parser(self)->blocks, new_ref(value));
    return 0;
}

PyGetSetDef parser_getset[] = {
    {"blocks", get_blocks_attr, set_blocks_attr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// --- reading the file -------------------------------------------------------

int op_parse_file(ParserObject* self) {
    Ref keep(Ref::borrow(reinterpret_cast<PyObject*>(self)));
    Ref filepath = Ref::borrow(self->filepath);
    Ref blocks = Ref::borrow(self->blocks);
    Ref delimiter = Ref::borrow(self->block_delimiter);
    if (!PyUnicode_Check(delimiter.get())) {
        PyErr_Format(PyExc_TypeError, "Expected str, got %.200s", Py_TYPE(delimiter.get())->tp_name);
        return -1;
    }
    if (!PyDict_Check(blocks.get())) {
        PyErr_Format(PyExc_TypeError, "'%.200s' object does not support item assignment",
                     Py_TYPE(blocks.get())->tp_name);
        return -1;
    }
    BlockSplitter splitter(delimiter.get());
    const int read = read_into(filepath.get(), splitter);
    if (read < 0) return -1;
    if (read > 0) return 0;
    if (splitter.finish() < 0) {
        // Blocks before an out-of-range block number are kept, then its
        // OverflowError is raised.
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        Ref etype(type), evalue(value), etb(traceback);
        if (splitter.commit(blocks.get()) < 0) return -1;
        PyErr_Restore(etype.release(), evalue.release(), etb.release());
        return -1;
    }
    return splitter.commit(blocks.get());
}

// --- override dispatch ------------------------------------------------------

// A Python subclass, or an instance with its own attribute dictionary, may
// carry an override; instances of the type itself never do.
bool may_override(ParserObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    return type->tp_dictoffset != 0 || (type->tp_flags & (Py_TPFLAGS_IS_ABSTRACT | Py_TPFLAGS_HEAPTYPE));
}

// Runs a Python override of `op` if there is one. Returns 1 with `result`
// set when it ran, 0 when the module's own implementation applies, -1 on
// error. The override's result must be `result_type` or None.
int run_override(ParserObject* self, Operation op, PyObject* const* args, size_t nargs,
                 PyTypeObject* result_type, Ref& result) {
    if (!may_override(self)) return 0;
    const FunctionSpec& spec = operation_spec(op);
    Ref name(PyUnicode_FromString(spec.sig.name));
    if (!name) return -1;
    Ref attr(PyObject_GetAttr(reinterpret_cast<PyObject*>(self), name.get()));
    if (!attr) return -1;
    // The own method counts only as the plain function or bound to this
    // instance; another parser's method (a delegating subclass) is an override.
    if (is_function_for(attr.get(), spec, reinterpret_cast<PyObject*>(self))) return 0;
    result = Ref(PyObject_Vectorcall(attr.get(), args, nargs, nullptr));
    if (!result) return -1;
    if (check_result_type(result.get(), result_type) < 0) {
        result.reset();
        return -1;
    }
    return 1;
}

template <typename Own>
PyObject* dispatch(ParserObject* self, int skip_dispatch, Operation op, PyTypeObject* result_type, Own own,
                   PyObject* const* args = nullptr, size_t nargs = 0) {
    if (!skip_dispatch) {
        Ref keep(Ref::borrow(reinterpret_cast<PyObject*>(self)));
        Ref result;
        const int ran = run_override(self, op, args, nargs, result_type, result);
        if (ran < 0) return nullptr;
        if (ran > 0) return result.release();
    }
    return own();
}

PyObject* op_parse(ParserObject* self, int skip) {
    return dispatch(self, skip, Operation::parse, &PyDict_Type, [&] { return parser_parse(self); });
}
PyObject* op_get_blocks(ParserObject* self, int32_t block_id, int skip) {
    Ref arg(PyLong_FromLong(block_id));
    if (!arg) return nullptr;
    PyObject* args[] = {arg.get()};
    return dispatch(self, skip, Operation::get_blocks, &PyList_Type,
                    [&] { return parser_get_blocks(self, block_id); }, args, 1);
}
PyObject* op_get_header(ParserObject* self, int skip) {
    return dispatch(self, skip, Operation::get_header, &PyDict_Type, [&] { return get_header(self); });
}
PyObject* op_get_nodes(ParserObject* self, int force_2d, int skip) {
    PyObject* args[] = {force_2d ? Py_True : Py_False};
    return dispatch(self, skip, Operation::get_nodes, &PyDict_Type,
                    [&] { return get_nodes(self, force_2d != 0); }, args, 1);
}
PyObject* op_get_nodes_arrays(ParserObject* self, int skip) {
    return dispatch(self, skip, Operation::get_nodes_arrays, &PyTuple_Type,
                    [&] { return get_nodes_arrays(self); });
}
PyObject* op_get_properties(ParserObject* self, int skip) {
    return dispatch(self, skip, Operation::get_properties, &PyDict_Type, [&] { return get_properties(self); });
}
PyObject* op_get_elements(ParserObject* self, int skip) {
    return dispatch(self, skip, Operation::get_elements, &PyList_Type, [&] { return get_elements(self); });
}
PyObject* op_get_elements_arrays(ParserObject* self, int skip) {
    return dispatch(self, skip, Operation::get_elements_arrays, &PyTuple_Type,
                    [&] { return get_elements_arrays(self); });
}
PyObject* op_get_materials(ParserObject* self, int skip) {
    return dispatch(self, skip, Operation::get_materials, &PyDict_Type, [&] { return get_materials(self); });
}
PyObject* op_get_output_sets(ParserObject* self, int skip) {
    return dispatch(self, skip, Operation::get_output_sets, &PyDict_Type, [&] { return get_output_sets(self); });
}
PyObject* op_get_output_vectors(ParserObject* self, int skip) {
    return dispatch(self, skip, Operation::get_output_vectors, &PyList_Type,
                    [&] { return get_output_vectors(self); });
}
PyObject* op_get_output_vectors_arrays(ParserObject* self, int32_t set_id_filter, int32_t vec_id_filter,
                                       int skip) {
    Ref a(PyLong_FromLong(set_id_filter));
    Ref b(PyLong_FromLong(vec_id_filter));
    if (!a || !b) return nullptr;
    PyObject* args[] = {a.get(), b.get()};
    return dispatch(self, skip, Operation::get_output_vectors_arrays, &PyTuple_Type,
                    [&] { return get_output_vectors_arrays(self, set_id_filter, vec_id_filter); }, args, 2);
}
PyObject* op_locate_output_vector_header(ParserObject*, PyObject* lines, int32_t start) {
    return locate_output_vector_header(lines, start);
}

}  // namespace

const ParserOperations kParserOperations = {
    op_parse_file,
    parse_csv_line_fast,
    op_locate_output_vector_header,
    get_output_vector_blocks,
    op_parse,
    op_get_blocks,
    op_get_header,
    op_get_nodes,
    op_get_nodes_arrays,
    op_get_properties,
    op_get_elements,
    op_get_elements_arrays,
    op_get_materials,
    op_get_output_sets,
    op_get_output_vectors,
    op_get_output_vectors_arrays,
};

PyObject* parser_parse(ParserObject* self) { return new_ref(self->blocks); }

PyObject* parser_get_blocks(ParserObject* self, int32_t block_id) {
    Ref blocks = Ref::borrow(self->blocks);
    if (blocks.get() == Py_None) {
        PyErr_SetString(PyExc_AttributeError, "'NoneType' object has no attribute 'get'");
        return nullptr;
    }
    Ref key(PyLong_FromLong(block_id));
    if (!key) return nullptr;
    Ref found = Ref::borrow(PyDict_GetItemWithError(blocks.get(), key.get()));
    if (!found) {
        if (PyErr_Occurred()) return nullptr;
        return PyList_New(0);
    }
    if (check_result_type(found.get(), &PyList_Type) < 0) return nullptr;
    return found.release();
}

PyObject* call_get_blocks(ParserObject* self, int32_t block_id) {
    return self->ops->get_blocks(self, block_id, 0);
}

PyObject* get_output_vector_blocks(ParserObject* self) {
    Ref first(self->ops->get_blocks(self, 1051, 0));
    if (!first) return nullptr;
    Ref second(self->ops->get_blocks(self, 451, 0));
    if (!second) return nullptr;
    return PyNumber_Add(first.get(), second.get());
}

PyTypeObject ParserType = {PyVarObject_HEAD_INIT(nullptr, 0)};

int parser_type_ready() {
    ParserType.tp_name = "tremix.core.orvex_parser.ORVEXParser";
    ParserType.tp_basicsize = sizeof(ParserObject);
    ParserType.tp_dealloc = parser_dealloc;
    ParserType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
    ParserType.tp_doc =
        "\n    Parser for ORVEX Neutral files.\n\n"
        "    Handles blocks in any order and supports repeated blocks of the same type.\n    ";
    ParserType.tp_traverse = parser_traverse;
    ParserType.tp_clear = parser_clear;
    ParserType.tp_getset = parser_getset;
    ParserType.tp_init = parser_init;
    ParserType.tp_new = parser_new;
    return PyType_Ready(&ParserType);
}

int parser_publish_operations() {
    Ref capsule(PyCapsule_New(const_cast<ParserOperations*>(&kParserOperations), nullptr, nullptr));
    if (!capsule) return -1;
    if (PyDict_SetItemString(ParserType.tp_dict, "__pyx_vtable__", capsule.get()) < 0) return -1;
    PyType_Modified(&ParserType);
    return 0;
}

}  // namespace tremix
