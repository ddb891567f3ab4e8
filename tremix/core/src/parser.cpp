#include "parser.hpp"

#include <new>

#include "arguments.hpp"
#include "file_reading.hpp"
#include "module_state.hpp"
#include "stack_room.hpp"

namespace tremix {

namespace {

const char* const kInitParams[] = {"filepath"};
const Signature kInitSignature{"__init__", kInitParams, 1, 1, nullptr};

// Times the constructor sets the parser up before it reads, when code run
// while it drops the old values sets it up anew (see parser_init).
constexpr int kMostSetUps = 3;

PyObject* parser_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    ParserObject* p = as_parser(self);
    p->ops = &kParserOperations;
    p->filepath = new_ref(Py_None);
    p->blocks = new_ref(Py_None);
    p->block_delimiter = new_ref(Py_None);
    p->report = nullptr;
    return self;
}

int parser_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    // Reading runs the open() captured at import, which may be replaced.
    if (!stack_room_left()) return -1;
    BoundArgs bound;
    if (bind_tuple_dict(kInitSignature, args, kwargs, bound) < 0) return -1;
    if (check_exact_or_none(bound[0], &PyUnicode_Type, "filepath") < 0) return -1;
    ParserObject* p = as_parser(self);
    Ref path = Ref::borrow(bound[0]);
    Ref blocks(PyDict_New());
    if (!blocks) return -1;
    // Dropping the old values can run a finalizer that sets this parser up
    // for a reading of its own: the set-up is then done again, so that the
    // file is read once, into the map this call made.
    for (int round = 0; round < kMostSetUps; ++round) {
        set_field(p->filepath, new_ref(path.get()));
        set_field(p->blocks, new_ref(blocks.get()));
        set_field(p->block_delimiter, new_ref(g_state.s_block_delimiter));
        parser_set_report(p, nullptr);
        if (p->filepath == path.get() && p->blocks == blocks.get() && p->report == nullptr) break;
    }
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
    delete p->report;
    p->report = nullptr;
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

}  // namespace

int parser_set_report(ParserObject* self, const SharedReport& report) {
    SharedReport* old = self->report;
    self->report = nullptr;
    delete old;
    if (!report) return 0;
    self->report = new (std::nothrow) SharedReport(report);
    if (self->report) return 0;
    // Without its report a parser would check as if nothing had been seen
    // outside its blocks.
    if (!PyErr_Occurred()) PyErr_NoMemory();
    return -1;
}

int parser_parse_file(ParserObject* self) {
    Ref keep(Ref::borrow(reinterpret_cast<PyObject*>(self)));
    Ref filepath = Ref::borrow(self->filepath);
    Ref blocks = Ref::borrow(self->blocks);
    if (!PyDict_Check(blocks.get())) {
        PyErr_Format(PyExc_TypeError, "'%.200s' object does not support item assignment",
                     Py_TYPE(blocks.get())->tp_name);
        return -1;
    }
    ReadResult result;
    const int status = read_path(filepath.get(), blocks.get(), result);
    // Code run meanwhile (another thread, a finalizer) may have read another
    // file into this parser: the report goes only with the blocks it describes.
    if (result.report && self->blocks == blocks.get() && parser_set_report(self, result.report) < 0) return -1;
    return status;
}

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
