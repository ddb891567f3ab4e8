// Pickling of blocks and parsers.
//
// A pickle stores the object's type, a layout checksum and a tuple of its
// fields, and names the module-level function that rebuilds it. The function
// names, the checksums and the order of the fields are a stored format:
// pickles written by earlier builds name exactly these, so none of them may
// change. Each type accepts three checksums, all standing for the same
// fields, and writes only the first.
#include "pickle.hpp"

#include <cstdint>
#include <new>
#include <utility>

#include "arguments.hpp"
#include "block.hpp"
#include "core_call.hpp"
#include "module_state.hpp"
#include "parser.hpp"

namespace tremix {

namespace {

// --- per-type description -----------------------------------------------------

struct PickleLayout {
    PyTypeObject* type;
    Py_ssize_t field_count;            // items of the state tuple before the optional __dict__
    const char* field_names;           // for messages: "block_id, lines"
    Py_ssize_t first_object_field;     // fields before this one are numbers, never None
    long long accepted[3];             // the first is the one written
    PyObject* const* written;          // that first checksum as a Python int
    const char* mismatch_format;       // "Incompatible checksums (...)", %x filled from a Python int
    PyObject* const* unpickle_name;    // interned name of the unpickle function
    PyObject* (*fields_of)(PyObject* self);                   // new state tuple of the fields
    int (*apply_fields)(PyObject* self, PyObject* state);     // state holds >= field_count items
};

// Constants made once, when the first type's pickling is set up at import.
struct PickleConstants {
    PyObject* block_checksum = nullptr;
    PyObject* parser_checksum = nullptr;
    PyObject* s_new = nullptr;
    PyObject* s_getstate = nullptr;
    PyObject* s_reduce = nullptr;
    PyObject* s_reduce_ex = nullptr;
    PyObject* s_reduce_cython = nullptr;
    PyObject* s_setstate = nullptr;
    PyObject* s_setstate_cython = nullptr;
    PyObject* s_name = nullptr;
};

PickleConstants k;

int init_pickle_constants() {
    if (k.s_name) return 0;
    struct Entry {
        PyObject*& slot;
        const char* text;
    } names[] = {
        {k.s_new, "__new__"},
        {k.s_getstate, "__getstate__"},
        {k.s_reduce, "__reduce__"},
        {k.s_reduce_ex, "__reduce_ex__"},
        {k.s_reduce_cython, "__reduce_cython__"},
        {k.s_setstate, "__setstate__"},
        {k.s_setstate_cython, "__setstate_cython__"},
        {k.s_name, "__name__"},
    };
    if (!k.block_checksum && !(k.block_checksum = PyLong_FromLongLong(0x7eb2a63))) return -1;
    if (!k.parser_checksum && !(k.parser_checksum = PyLong_FromLongLong(0x3f1d598))) return -1;
    for (auto& e : names) {
        if (!e.slot && !(e.slot = PyUnicode_InternFromString(e.text))) return -1;
    }
    return 0;
}

// --- block state ----------------------------------------------------------------

PyObject* block_fields(PyObject* self) {
    // Pickling shows the lines, so a block of stored text makes its list
    // now. The list is held before allocating: a finalizer started by the
    // allocation may replace the field and drop its last reference.
    Ref lines(block_lines(self));
    if (!lines) return nullptr;
    Ref block_id(PyLong_FromLong(as_block(self)->block_id));
    if (!block_id) return nullptr;
    return PyTuple_Pack(2, block_id.get(), lines.get());
}

int block_apply_fields(PyObject* self, PyObject* state) {
    Ref block_id = Ref::borrow(PyTuple_GET_ITEM(state, 0));
    Ref lines = Ref::borrow(PyTuple_GET_ITEM(state, 1));
    int32_t value;
    if (as_int32(block_id.get(), value) < 0) return -1;
    as_block(self)->block_id = value;
    if (check_result_type(lines.get(), &PyList_Type) < 0) return -1;
    block_set_lines(self, lines.release());
    return 0;
}

// --- parser state ---------------------------------------------------------------

PyObject* parser_fields(PyObject* self) {
    ParserObject* p = as_parser(self);
    Ref delimiter = Ref::borrow(p->block_delimiter);
    Ref blocks = Ref::borrow(p->blocks);
    Ref filepath = Ref::borrow(p->filepath);
    return PyTuple_Pack(3, delimiter.get(), blocks.get(), filepath.get());
}

// Stores one state item into a field that holds exactly `type` or None. The
// fields are set one at a time, so an item that fails its check leaves the
// fields before it already set.
int apply_field(PyObject*& field, PyObject* item, PyTypeObject* type) {
    if (check_result_type(item, type) < 0) return -1;
    set_field(field, new_ref(item));
    return 0;
}

int parser_apply_fields(PyObject* self, PyObject* state) {
    ParserObject* p = as_parser(self);
    if (apply_field(p->block_delimiter, PyTuple_GET_ITEM(state, 0), &PyUnicode_Type) < 0) return -1;
    if (apply_field(p->blocks, PyTuple_GET_ITEM(state, 1), &PyDict_Type) < 0) return -1;
    return apply_field(p->filepath, PyTuple_GET_ITEM(state, 2), &PyUnicode_Type);
}

const PickleLayout kBlockLayout{
    &BlockType,
    2,
    "block_id, lines",
    1,
    {0x7eb2a63, 0xc7dd1c6, 0xdcf7ca8},
    &k.block_checksum,
    "Incompatible checksums (0x%x vs (0x7eb2a63, 0xc7dd1c6, 0xdcf7ca8) = (block_id, lines))",
    &g_state.s_unpickle_block,
    block_fields,
    block_apply_fields,
};

const PickleLayout kParserLayout{
    &ParserType,
    3,
    "BLOCK_DELIMITER, blocks, filepath",
    0,
    {0x3f1d598, 0xc51e58, 0xa29f31b},
    &k.parser_checksum,
    "Incompatible checksums (0x%x vs (0x3f1d598, 0xc51e58, 0xa29f31b) = (BLOCK_DELIMITER, blocks, filepath))",
    &g_state.s_unpickle_parser,
    parser_fields,
    parser_apply_fields,
};

// --- shared steps ---------------------------------------------------------------

// The object's `__dict__` attribute, or None when it has none. Instances of
// the two types themselves have none (the types are immutable, so nothing
// can add one later), which spares the failed lookup on every block.
PyObject* instance_dict_or_none(const PickleLayout& layout, PyObject* self) {
    if (Py_TYPE(self) == layout.type) return new_ref(Py_None);
    PyObject* found = PyObject_GetAttr(self, g_state.s_dict);
    if (found) return found;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
    PyErr_Clear();
    return new_ref(Py_None);
}

PyObject* reduce(const PickleLayout& layout, PyObject* self) {
    Ref fields(layout.fields_of(self));
    if (!fields) return nullptr;
    Ref dict(instance_dict_or_none(layout, self));
    if (!dict) return nullptr;
    bool with_setstate = false;
    Ref state;
    if (dict.get() != Py_None) {
        const int non_empty = PyObject_IsTrue(dict.get());
        if (non_empty < 0) return nullptr;
        if (non_empty) {
            Ref extra(PyTuple_Pack(1, dict.get()));
            if (!extra) return nullptr;
            state = Ref(PySequence_Concat(fields.get(), extra.get()));
            if (!state) return nullptr;
            with_setstate = true;
        }
    }
    if (!state) {
        // A bare instance (every object field None) needs no __setstate__:
        // its state travels with the constructor arguments.
        for (Py_ssize_t i = layout.first_object_field; i < PyTuple_GET_SIZE(fields.get()); ++i) {
            if (PyTuple_GET_ITEM(fields.get(), i) != Py_None) with_setstate = true;
        }
        state = std::move(fields);
    }
    Ref unpickle(lookup_module_global(*layout.unpickle_name));
    if (!unpickle) return nullptr;
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(self));
    if (with_setstate) {
        return Py_BuildValue("(O(OOO)O)", unpickle.get(), type, *layout.written, Py_None, state.get());
    }
    return Py_BuildValue("(O(OOO))", unpickle.get(), type, *layout.written, state.get());
}

// Merges a state's extra item into the instance dictionary: dict.update for
// a plain dict, otherwise whatever `update` the dictionary object has.
int update_instance_dict(PyObject* self, PyObject* extra) {
    Ref dict(PyObject_GetAttr(self, g_state.s_dict));
    if (!dict) return -1;
    Ref done(PyObject_CallMethodOneArg(dict.get(), g_state.s_update, extra));
    return done ? 0 : -1;
}

// `state` is exactly a tuple. A tuple too short for the fields is rejected
// before any field is touched, so a bad pickle never half-restores an object.
int apply_state(const PickleLayout& layout, PyObject* self, PyObject* state) {
    Ref keep_self = Ref::borrow(self);
    Ref keep_state = Ref::borrow(state);
    const Py_ssize_t size = PyTuple_GET_SIZE(state);
    if (size < layout.field_count) {
        PyErr_Format(PyExc_ValueError, "%s state must hold at least %zd items (%s), got %zd",
                     _PyType_Name(layout.type), layout.field_count, layout.field_names, size);
        return -1;
    }
    if (layout.apply_fields(self, state) < 0) return -1;
    if (size > layout.field_count) {
        Ref extra = Ref::borrow(PyTuple_GET_ITEM(state, layout.field_count));
        const int present = PyObject_IsTrue(extra.get());
        if (present < 0) return -1;
        if (present && update_instance_dict(self, extra.get()) < 0) return -1;
    }
    return 0;
}

PyObject* setstate(const PickleLayout& layout, PyObject* self, PyObject* state) {
    if (state == Py_None) {
        PyErr_SetString(PyExc_TypeError, "cannot pass None into a C function argument that is declared 'not None'");
        return nullptr;
    }
    if (check_result_type(state, &PyTuple_Type) < 0) return nullptr;
    if (apply_state(layout, self, state) < 0) return nullptr;
    Py_RETURN_NONE;
}

// 1 when accepted; otherwise 0 with pickle.PickleError set (or -1 on error).
int check_checksum(const PickleLayout& layout, PyObject* checksum) {
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(checksum, &overflow);
    if (value == -1 && PyErr_Occurred()) return -1;
    if (!overflow) {
        for (long long accepted : layout.accepted) {
            if (value == accepted) return 1;
        }
    }
    Ref pickle(PyImport_ImportModule("pickle"));
    if (!pickle) return -1;
    Ref error_type(PyObject_GetAttrString(pickle.get(), "PickleError"));
    if (!error_type) return -1;
    Ref format(PyUnicode_FromString(layout.mismatch_format));
    if (!format) return -1;
    Ref format_args(PyTuple_Pack(1, checksum));
    if (!format_args) return -1;
    Ref message(PyUnicode_Format(format.get(), format_args.get()));
    if (!message) return -1;
    PyErr_SetObject(error_type.get(), message.get());
    return 0;
}

// A bare instance of `type` without running __init__. The type's own
// __new__ checks that `type` is a type deriving from the layout's type and
// that its instances can safely be made by that allocator.
PyObject* bare_instance(const PickleLayout& layout, PyObject* type) {
    if (type == reinterpret_cast<PyObject*>(layout.type)) {
        return layout.type->tp_new(layout.type, g_state.empty_tuple, nullptr);
    }
    Ref own_new(PyObject_GetAttr(reinterpret_cast<PyObject*>(layout.type), k.s_new));
    if (!own_new) return nullptr;
    return PyObject_CallOneArg(own_new.get(), type);
}

PyObject* unpickle(const PickleLayout& layout, const BoundArgs& args) {
    // Any size: an unknown checksum is a mismatch, not an overflow.
    Ref checksum(int_of(args[1]));
    if (!checksum) return nullptr;
    PyObject* state = args[2];
    if (check_exact_or_none(state, &PyTuple_Type, "__pyx_state") < 0) return nullptr;
    if (check_checksum(layout, checksum.get()) <= 0) return nullptr;
    Ref result(bare_instance(layout, args[0]));
    if (!result) return nullptr;
    if (state != Py_None && apply_state(layout, result.get(), state) < 0) return nullptr;
    return result.release();
}


PyObject* block_reduce(PyObject* self, const BoundArgs&) {
    return with_memory_guard([&] { return reduce(kBlockLayout, self); });
}
PyObject* block_setstate(PyObject* self, const BoundArgs& args) {
    return with_memory_guard([&] { return setstate(kBlockLayout, self, args[0]); });
}
PyObject* parser_reduce(PyObject* self, const BoundArgs&) {
    return with_memory_guard([&] { return reduce(kParserLayout, self); });
}
PyObject* parser_setstate(PyObject* self, const BoundArgs& args) {
    return with_memory_guard([&] { return setstate(kParserLayout, self, args[0]); });
}
PyObject* unpickle_block(PyObject*, const BoundArgs& args) {
    return with_memory_guard([&] { return unpickle(kBlockLayout, args); });
}
PyObject* unpickle_parser(PyObject*, const BoundArgs& args) {
    return with_memory_guard([&] { return unpickle(kParserLayout, args); });
}

const char* const kNoParams[] = {nullptr};
const char* const kStateParams[] = {"__pyx_state"};
const char* const kUnpickleParams[] = {"__pyx_type", "__pyx_checksum", "__pyx_state"};

// --- type set-up ----------------------------------------------------------------

// True when `method.__name__ == name`; a missing or odd name counts as false.
bool is_named(PyObject* method, PyObject* name) {
    Ref found(PyObject_GetAttr(method, k.s_name));
    if (!found) {
        PyErr_Clear();
        return false;
    }
    const int equal = PyObject_RichCompareBool(found.get(), name, Py_EQ);
    if (equal < 0) PyErr_Clear();
    return equal > 0;
}

// The attribute, or null without an exception when it is missing.
PyObject* attr_or_null(PyObject* obj, PyObject* name) {
    PyObject* found = PyObject_GetAttr(obj, name);
    if (!found && PyErr_ExceptionMatches(PyExc_AttributeError)) PyErr_Clear();
    return found;
}

// Moves the method stored under `from` to `to` in the type's dictionary.
int move_method(PyTypeObject* type, PyObject* method, PyObject* from, PyObject* to) {
    if (PyDict_SetItem(type->tp_dict, to, method) < 0) return -1;
    return PyDict_DelItem(type->tp_dict, from);
}

// Points __reduce__ and __setstate__ at the type's own pickling methods,
// unless the type already pickles some other way (its own __getstate__ or
// __reduce_ex__, or a __reduce__ that is not object's nor ours). Returns -1,
// possibly without an exception set, on failure.
int redirect_pickling(PyTypeObject* type) {
    PyObject* type_obj = reinterpret_cast<PyObject*>(type);
    PyObject* object_type = reinterpret_cast<PyObject*>(&PyBaseObject_Type);
    PyObject* getstate = _PyType_Lookup(type, k.s_getstate);  // borrowed, no error
    if (getstate && getstate != _PyType_Lookup(&PyBaseObject_Type, k.s_getstate)) return 0;

    Ref object_reduce_ex(PyObject_GetAttr(object_type, k.s_reduce_ex));
    if (!object_reduce_ex) return -1;
    Ref reduce_ex(PyObject_GetAttr(type_obj, k.s_reduce_ex));
    if (!reduce_ex) return -1;
    if (reduce_ex.get() != object_reduce_ex.get()) return 0;

    Ref object_reduce(PyObject_GetAttr(object_type, k.s_reduce));
    if (!object_reduce) return -1;
    Ref reduce_method(PyObject_GetAttr(type_obj, k.s_reduce));
    if (!reduce_method) return -1;
    const bool inherited = reduce_method.get() == object_reduce.get();
    if (!inherited && !is_named(reduce_method.get(), k.s_reduce_cython)) return 0;

    Ref reduce_cython(attr_or_null(type_obj, k.s_reduce_cython));
    if (reduce_cython) {
        if (move_method(type, reduce_cython.get(), k.s_reduce_cython, k.s_reduce) < 0) return -1;
    } else if (inherited || PyErr_Occurred()) {
        return -1;
    }
    Ref setstate_method(attr_or_null(type_obj, k.s_setstate));
    if (!setstate_method && PyErr_Occurred()) return -1;
    if (!setstate_method || is_named(setstate_method.get(), k.s_setstate_cython)) {
        Ref setstate_cython(attr_or_null(type_obj, k.s_setstate_cython));
        if (setstate_cython) {
            if (move_method(type, setstate_cython.get(), k.s_setstate_cython, k.s_setstate) < 0) return -1;
        } else if (!setstate_method || PyErr_Occurred()) {
            return -1;
        }
    }
    PyType_Modified(type);
    return 0;
}

}  // namespace

const FunctionSpec kBlockReduceSpec{{"__reduce_cython__", kNoParams, 0, 0, nullptr},
                                    "ORVEXBlock.__reduce_cython__", nullptr, &BlockType, block_reduce};
const FunctionSpec kBlockSetstateSpec{{"__setstate_cython__", kStateParams, 1, 1, nullptr},
                                      "ORVEXBlock.__setstate_cython__", nullptr, &BlockType, block_setstate};
const FunctionSpec kParserReduceSpec{{"__reduce_cython__", kNoParams, 0, 0, nullptr},
                                     "ORVEXParser.__reduce_cython__", nullptr, &ParserType, parser_reduce};
const FunctionSpec kParserSetstateSpec{{"__setstate_cython__", kStateParams, 1, 1, nullptr},
                                       "ORVEXParser.__setstate_cython__", nullptr, &ParserType, parser_setstate};
const FunctionSpec kUnpickleBlockSpec{{"__pyx_unpickle_ORVEXBlock", kUnpickleParams, 3, 3, nullptr},
                                      "__pyx_unpickle_ORVEXBlock", nullptr, nullptr, unpickle_block};
const FunctionSpec kUnpickleParserSpec{{"__pyx_unpickle_ORVEXParser", kUnpickleParams, 3, 3, nullptr},
                                       "__pyx_unpickle_ORVEXParser", nullptr, nullptr, unpickle_parser};

int setup_pickling(PyTypeObject* type) {
    if (init_pickle_constants() < 0) return -1;
    const bool is_block_type = type == &BlockType;
    const FunctionSpec& reduce_spec = is_block_type ? kBlockReduceSpec : kParserReduceSpec;
    const FunctionSpec& setstate_spec = is_block_type ? kBlockSetstateSpec : kParserSetstateSpec;
    // The methods are placed in the type for good later in the import; the
    // redirection needs them now, so it gets its own pair.
    Ref reduce_method(make_function(reduce_spec, nullptr));
    if (!reduce_method) return -1;
    Ref setstate_method(make_function(setstate_spec, nullptr));
    if (!setstate_method) return -1;
    if (PyDict_SetItem(type->tp_dict, k.s_reduce_cython, reduce_method.get()) < 0) return -1;
    if (PyDict_SetItem(type->tp_dict, k.s_setstate_cython, setstate_method.get()) < 0) return -1;
    PyType_Modified(type);
    if (redirect_pickling(type) == 0) return 0;
    if (!PyErr_Occurred()) {
        PyErr_Format(PyExc_RuntimeError, "Unable to initialize pickling for %.200s", type->tp_name);
    }
    return -1;
}

}  // namespace tremix
