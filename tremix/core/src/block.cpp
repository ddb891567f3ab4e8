#include "block.hpp"

#include "arguments.hpp"
#include "module_state.hpp"

namespace tremix {

namespace {

const char* const kInitParams[] = {"block_id", "lines"};
const Signature kInitSignature{"__init__", kInitParams, 2, 2, nullptr};

PyObject* block_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    as_block(self)->block_id = 0;
    as_block(self)->lines = new_ref(Py_None);
    return self;
}

int block_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    BoundArgs bound;
    if (bind_tuple_dict(kInitSignature, args, kwargs, bound) < 0) return -1;
    int32_t block_id;
    if (as_int32(bound[0], block_id) < 0) return -1;
    if (check_exact_or_none(bound[1], &PyList_Type, "lines") < 0) return -1;
    as_block(self)->block_id = block_id;
    set_field(as_block(self)->lines, new_ref(bound[1]));
    return 0;
}

int block_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(as_block(self)->lines);
    return 0;
}

int block_clear(PyObject* self) {
    set_field(as_block(self)->lines, new_ref(Py_None));
    return 0;
}

void block_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    Py_CLEAR(as_block(self)->lines);
    Py_TYPE(self)->tp_free(self);
}

PyObject* block_repr(PyObject* self) {
    // Hold the list while measuring it; its length is read once.
    Ref lines = Ref::borrow(as_block(self)->lines);
    Py_ssize_t count = PyObject_Length(lines.get());
    if (count < 0) return nullptr;
    return PyUnicode_FromFormat("ORVEXBlock(id=%d, lines=%zd)", static_cast<int>(as_block(self)->block_id),
                                count);
}

PyObject* get_block_id(PyObject* self, void*) { return PyLong_FromLong(as_block(self)->block_id); }

int set_block_id(PyObject* self, PyObject* value, void*) {
    if (value == nullptr) {
        PyErr_SetString(PyExc_NotImplementedError, "__del__");
        return -1;
    }
    int32_t block_id;
    if (as_int32(value, block_id) < 0) return -1;
    as_block(self)->block_id = block_id;
    return 0;
}

PyObject* get_lines(PyObject* self, void*) { return new_ref(as_block(self)->lines); }

int set_lines(PyObject* self, PyObject* value, void*) {
    if (value == nullptr) value = Py_None;
    if (check_result_type(value, &PyList_Type) < 0) return -1;
    set_field(as_block(self)->lines, new_ref(value));
    return 0;
}

PyGetSetDef block_getset[] = {
    {"block_id", get_block_id, set_block_id, nullptr, nullptr},
    {"lines", get_lines, set_lines, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject BlockType = {PyVarObject_HEAD_INIT(nullptr, 0)};

int block_type_ready() {
    BlockType.tp_name = "tremix.core.orvex_parser.ORVEXBlock";
    BlockType.tp_basicsize = sizeof(BlockObject);
    BlockType.tp_dealloc = block_dealloc;
    BlockType.tp_repr = block_repr;
    BlockType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
    BlockType.tp_doc = "Represents a single ORVEX data block.";
    BlockType.tp_traverse = block_traverse;
    BlockType.tp_clear = block_clear;
    BlockType.tp_getset = block_getset;
    BlockType.tp_init = block_init;
    BlockType.tp_new = block_new;
    return PyType_Ready(&BlockType);
}

PyObject* new_block(int32_t block_id, PyObject* lines) {
    Ref owned_lines(lines);
    PyObject* self = BlockType.tp_alloc(&BlockType, 0);
    if (!self) return nullptr;
    as_block(self)->block_id = block_id;
    as_block(self)->lines = owned_lines.release();
    return self;
}

}  // namespace tremix
