#include "block.hpp"

#include <cstring>
#include <new>

#include "arguments.hpp"
#include "module_state.hpp"

namespace tremix {

namespace {

const char* const kInitParams[] = {"block_id", "lines"};
const Signature kInitSignature{"__init__", kInitParams, 2, 2, nullptr};

void drop_text(BlockObject* b) {
    BlockText* text = b->text;
    b->text = nullptr;
    delete text;
}

// Sets the lines list, dropping any stored text first, and the old list
// only after the field holds the new one.
void set_lines(BlockObject* b, PyObject* owned) {
    drop_text(b);
    b->ended_file = false;
    PyObject* old = b->lines;
    b->lines = owned;
    // A block made from stored text is out of the collector's sight (see
    // new_text_block): holding a list, it may now be part of a cycle.
    auto* self = reinterpret_cast<PyObject*>(b);
    if (owned && owned != Py_None && !PyObject_GC_IsTracked(self)) PyObject_GC_Track(self);
    Py_XDECREF(old);
}

// A str of one stored line: ASCII text is copied as it is, other text is
// measured for its widest character as every str must be.
PyObject* line_str(const reading::TextView& line, bool ascii) {
    const Py_ssize_t n = static_cast<Py_ssize_t>(line.length);
    if (ascii) {
        PyObject* str = PyUnicode_New(n, 127);
        if (str) std::memcpy(PyUnicode_DATA(str), line.data, line.length);
        return str;
    }
    return PyUnicode_FromKindAndData(line.kind, line.data, n);
}

constexpr Py_ssize_t kLinesPerSignalCheck = Py_ssize_t{1} << 16;

// The list of str that the stored text of `text` holds.
PyObject* make_lines(const BlockText& text) {
    const reading::StoredBlock& stored = text.file->blocks[text.index];
    const reading::BlockLines lines = text.file->lines(text.index);
    const Py_ssize_t n = static_cast<Py_ssize_t>(lines.size());
    Ref list(PyList_New(n));
    if (!list) return nullptr;
    // Out of the collector's view until every slot is filled: making a
    // str may start a collection, and Python code run by it could reach
    // the list and read its empty slots.
    PyObject_GC_UnTrack(list.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        // Millions of lines take seconds: Ctrl-C is looked for meanwhile.
        // (The caller keeps the text, whatever a signal handler does.)
        if (i % kLinesPerSignalCheck == 0 && i > 0 && PyErr_CheckSignals() < 0) return nullptr;
        PyObject* item = line_str(lines.line(static_cast<size_t>(i)), stored.ascii);
        if (!item) return nullptr;
        PyList_SET_ITEM(list.get(), i, item);
    }
    PyObject_GC_Track(list.get());
    return list.release();
}

PyObject* block_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    as_block(self)->block_id = 0;
    as_block(self)->lines = new_ref(Py_None);
    as_block(self)->text = nullptr;
    as_block(self)->ended_file = false;
    return self;
}

int block_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    BoundArgs bound;
    if (bind_tuple_dict(kInitSignature, args, kwargs, bound) < 0) return -1;
    int32_t block_id;
    if (as_int32(bound[0], block_id) < 0) return -1;
    if (check_exact_or_none(bound[1], &PyList_Type, "lines") < 0) return -1;
    as_block(self)->block_id = block_id;
    set_lines(as_block(self), new_ref(bound[1]));
    return 0;
}

int block_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(as_block(self)->lines);
    return 0;
}

int block_clear(PyObject* self) {
    set_lines(as_block(self), new_ref(Py_None));
    return 0;
}

void block_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    drop_text(as_block(self));
    Py_CLEAR(as_block(self)->lines);
    Py_TYPE(self)->tp_free(self);
}

PyObject* block_repr(PyObject* self) {
    const Py_ssize_t count = block_line_count(self);
    if (count < 0) return nullptr;
    return PyUnicode_FromFormat("ORVEXBlock(id=%d, lines=%zd)", static_cast<int>(as_block(self)->block_id), count);
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

PyObject* get_lines(PyObject* self, void*) { return block_lines(self); }

int set_lines_attr(PyObject* self, PyObject* value, void*) {
    if (value == nullptr) value = Py_None;
    if (check_result_type(value, &PyList_Type) < 0) return -1;
    set_lines(as_block(self), new_ref(value));
    return 0;
}

PyGetSetDef block_getset[] = {
    {"block_id", get_block_id, set_block_id, nullptr, nullptr},
    {"lines", get_lines, set_lines_attr, nullptr, nullptr},
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

PyObject* new_text_block(int32_t block_id, const SharedText& file, size_t index) {
    BlockText* text = new (std::nothrow) BlockText{file, index};
    if (!text) return PyErr_NoMemory();
    PyObject* self = BlockType.tp_alloc(&BlockType, 0);
    if (!self) {
        delete text;
        return nullptr;
    }
    as_block(self)->block_id = block_id;
    as_block(self)->lines = nullptr;
    as_block(self)->text = text;
    // It holds no Python object until its lines list is made or assigned,
    // so it cannot be part of a cycle: left out of the collector's sight,
    // a file of millions of blocks does not make every collection of the
    // oldest generation visit each of them (set_lines tracks it again).
    PyObject_GC_UnTrack(self);
    return self;
}

PyObject* block_lines(PyObject* self) {
    BlockObject* b = as_block(self);
    if (b->lines) return new_ref(b->lines);
    if (!b->text) Py_RETURN_NONE;
    // Keep the text while the list is made: Python code run by a collection
    // may read or assign this block's lines meanwhile. Whatever it left
    // there wins; otherwise the new list becomes the lines.
    const BlockText text = *b->text;
    Ref list(make_lines(text));
    if (!list) return nullptr;
    if (b->lines) return new_ref(b->lines);
    set_lines(b, new_ref(list.get()));
    b->ended_file = text.ends_file();
    return list.release();
}

void block_set_lines(PyObject* self, PyObject* owned) { set_lines(as_block(self), owned); }

Py_ssize_t block_line_count(PyObject* self) {
    BlockObject* b = as_block(self);
    if (!b->lines && b->text) return static_cast<Py_ssize_t>(b->text->file->blocks[b->text->index].line_count);
    Ref lines = Ref::borrow(b->lines ? b->lines : Py_None);
    return PyObject_Length(lines.get());
}

}  // namespace tremix
