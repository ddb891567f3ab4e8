#include "internal_api.hpp"

#include <string>

#include "arguments.hpp"
#include "arrays.hpp"
#include "block.hpp"
#include "check.hpp"
#include "core_call.hpp"
#include "file_reading.hpp"
#include "module_state.hpp"
#include "parser.hpp"
#include "stack_room.hpp"
#include "reading/descriptor.hpp"
#include "reading/vectors.hpp"
#include "vector_catalogue.hpp"

namespace tremix {

namespace {

ParserObject* parser_arg(PyObject* obj) {
    if (!PyObject_TypeCheck(obj, &ParserType)) {
        PyErr_Format(PyExc_TypeError, "expected an ORVEXParser, got %.200s", Py_TYPE(obj)->tp_name);
        return nullptr;
    }
    return as_parser(obj);
}

bool arg_count(const char* name, Py_ssize_t nargs, Py_ssize_t want) {
    if (nargs == want) return true;
    PyErr_Format(PyExc_TypeError, "%s() takes %zd arguments (%zd given)", name, want, nargs);
    return false;
}

// read_into(parser, stream, encoding, errors, name): the parser (made by
// __new__) reads a stream, as its constructor reads a file; `name` (str or
// None) becomes its file path.
PyObject* read_into(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!arg_count("read_into", nargs, 5)) return nullptr;
    // The stream's read() may read a stream again.
    if (!stack_room_left()) return nullptr;
    ParserObject* p = parser_arg(args[0]);
    if (!p) return nullptr;
    Ref keep = Ref::borrow(args[0]);
    PyObject* name = args[4];
    if (name != Py_None && !PyUnicode_CheckExact(name)) {
        raise_expected("str", name);
        return nullptr;
    }
    Ref blocks(PyDict_New());
    if (!blocks) return nullptr;
    set_field(p->filepath, new_ref(name));
    set_field(p->blocks, new_ref(blocks.get()));
    set_field(p->block_delimiter, new_ref(g_state.s_block_delimiter));
    parser_set_report(p, nullptr);
    ReadResult result;
    const int status = read_stream(args[1], args[2], args[3], name, blocks.get(), result);
    // As in the constructor: the report goes only with the blocks it describes.
    if (result.report && p->blocks == blocks.get() && parser_set_report(p, result.report) < 0) return nullptr;
    if (status < 0) return nullptr;
    Py_RETURN_NONE;
}

// read_report(parser) -> dict or None: what reading the file saw besides
// its blocks (see report_dict).
PyObject* read_report(PyObject*, PyObject* arg) {
    ParserObject* p = parser_arg(arg);
    if (!p) return nullptr;
    return report_dict(parser_report(p));
}

// decodes_itself(encoding, errors) -> bool: whether read_into decodes a
// binary stream in that encoding itself.
PyObject* decodes_itself_py(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!arg_count("decodes_itself", nargs, 2)) return nullptr;
    const int can = decodes_itself(args[0], args[1]);
    if (can < 0) return nullptr;
    return PyBool_FromLong(can);
}

// read_state(parser) -> (report, blocks): the report and the blocks object
// as they stand together, so that a reading of the parser on another
// thread (its __init__ again) is seen before or after, never half.
PyObject* read_state(PyObject*, PyObject* arg) {
    ParserObject* p = parser_arg(arg);
    if (!p) return nullptr;
    Ref blocks = Ref::borrow(p->blocks);
    Ref report(report_dict(parser_report(p)));
    return report ? PyTuple_Pack(2, report.get(), blocks.get()) : nullptr;
}

// block_sizes(parser) -> list of (block id, line count or None, file line
// of the first data line or None, ended by the end of the file), for every
// block of `blocks` in map order, without making any lines list.
PyObject* block_sizes(PyObject*, PyObject* arg) {
    ParserObject* p = parser_arg(arg);
    if (!p) return nullptr;
    Ref blocks = Ref::borrow(p->blocks);
    Ref out(PyList_New(0));
    if (!out) return nullptr;
    if (!PyDict_Check(blocks.get())) return out.release();
    Ref values(PyDict_Values(blocks.get()));
    if (!values) return nullptr;
    for (Py_ssize_t k = 0; k < PyList_GET_SIZE(values.get()); ++k) {
        Ref list = Ref::borrow(PyList_GET_ITEM(values.get(), k));
        if (!PyList_Check(list.get())) continue;
        // The list may change while tuples are made: its current size is
        // read at every step, and each item held while it is looked at.
        for (Py_ssize_t j = 0; j < PyList_GET_SIZE(list.get()); ++j) {
            Ref held = Ref::borrow(PyList_GET_ITEM(list.get(), j));
            PyObject* item = held.get();
            if (!is_block(item)) continue;
            BlockObject* b = as_block(item);
            Ref count, first, unclosed(new_ref(Py_False));
            if (!b->lines && b->text) {
                const reading::StoredBlock& s = b->text->file->blocks[b->text->index];
                count = Ref(PyLong_FromUnsignedLongLong(s.line_count));
                first = Ref(PyLong_FromUnsignedLongLong(s.id_line + 1));
                unclosed = Ref(new_ref(s.closed ? Py_False : Py_True));
            } else {
                count = Ref(b->lines && PyList_Check(b->lines) ? PyLong_FromSsize_t(PyList_GET_SIZE(b->lines))
                                                               : new_ref(Py_None));
                first = Ref(new_ref(Py_None));
            }
            if (!count || !first) return nullptr;
            Ref t(Py_BuildValue("(iOOO)", static_cast<int>(b->block_id), count.get(), first.get(), unclosed.get()));
            if (!t || PyList_Append(out.get(), t.get()) < 0) return nullptr;
        }
    }
    return out.release();
}

// vector_catalogue(parser, ranges=False) -> (blocks, entries): the block
// list the vectors were read from (get_blocks(1051) + get_blocks(451),
// overrides included) and one tuple per vector, in the order
// get_output_vectors gives (see catalogue_tuple). Values are checked, not
// kept; with `ranges` true they are converted for each vector's range.
PyObject* vector_catalogue(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs < 1 || nargs > 2) {
        PyErr_Format(PyExc_TypeError, "vector_catalogue() takes 1 or 2 arguments (%zd given)", nargs);
        return nullptr;
    }
    // Its walks can call Python code (an override, a key's __eq__) that
    // calls it again.
    if (!stack_room_left()) return nullptr;
    ParserObject* p = parser_arg(args[0]);
    if (!p) return nullptr;
    const int ranges = nargs > 1 ? PyObject_IsTrue(args[1]) : 0;
    if (ranges < 0) return nullptr;
    Ref keep = Ref::borrow(args[0]);
    return with_memory_guard([&]() -> PyObject* {
        Ref blocks(p->ops->get_output_vector_blocks(p));
        if (!blocks) return nullptr;
        BlockSnapshot snapshot;
        if (snapshot.take(blocks.get()) < 0) return nullptr;
        reading::VectorTable t;
        Ref path = Ref::borrow(p->filepath);
        if (run_core(snapshot, path.get(), [&](reading::Context& ctx) {
                return reading::read_vectors(ctx, snapshot.blocks(), t,
                                             ranges ? reading::Keep::ranges : reading::Keep::counts);
            }) < 0)
            return nullptr;
        return catalogue_tuple(blocks.get(), t, ranges);
    });
}

// vector_data(blocks, block index, data start, expected count[, block
// lines, data end, values stored]) -> (entity ids, values): the data
// records of the vector whose data begins there, every value kept in file
// order, as NumPy arrays; None when they no longer convert, or when the
// block no longer has the lines the catalogue saw or the data no longer
// ends or holds what the catalogue found (the last three items of its
// entry). Only that block is read, so each call costs the vector's lines,
// not all of the blocks' lines. The count the catalogue gave only sizes
// the memory asked for.
PyObject* vector_data(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 4 && nargs != 7) {
        PyErr_Format(PyExc_TypeError, "vector_data() takes 4 or 7 arguments (%zd given)", nargs);
        return nullptr;
    }
    if (!stack_room_left()) return nullptr;
    Py_ssize_t numbers[6] = {0, 0, 0, -1, -1, -1};  // block, start, expected, then what the catalogue saw
    for (Py_ssize_t k = 1; k < nargs; ++k) {
        numbers[k - 1] = PyLong_AsSsize_t(args[k]);
        if (numbers[k - 1] == -1 && PyErr_Occurred()) return nullptr;
        if (numbers[k - 1] < 0) {
            PyErr_SetString(PyExc_ValueError, "negative position");
            return nullptr;
        }
    }
    // Named one by one: a lambda below uses them, which some compilers do
    // not allow of structured bindings.
    const Py_ssize_t block = numbers[0], start = numbers[1], expected = numbers[2], lines = numbers[3],
                     end = numbers[4], stored = numbers[5];
    const bool seen = nargs == 7;
    return with_memory_guard([&]() -> PyObject* {
        BlockSnapshot snapshot;
        if (snapshot.take_item(args[0], static_cast<size_t>(block)) < 0) return nullptr;
        // A list that lost the block is met by the reading (no data).
        if (seen && snapshot.size() == 1 && snapshot.blocks()[0].state == reading::BlockEntry::State::lines &&
            snapshot.blocks()[0].lines.size() != static_cast<size_t>(lines))
            Py_RETURN_NONE;
        reading::MallocArray<int32_t> ids;
        reading::MallocArray<double> values;
        size_t data_end = 0;
        reading::Outcome outcome = reading::Outcome::ok;
        if (run_core(snapshot, nullptr, [&](reading::Context& ctx) {
                // The catalogue's count of the values stored is the room they need.
                const size_t room = static_cast<size_t>(seen ? stored : expected);
                outcome = reading::read_vector_data(ctx, snapshot.blocks(), 0, static_cast<size_t>(start), ids,
                                                    values, room, &data_end);
                return outcome;
            }) < 0)
            return nullptr;
        if (outcome == reading::Outcome::skip) Py_RETURN_NONE;
        if (seen && (data_end != static_cast<size_t>(end) || values.size() != static_cast<size_t>(stored)))
            Py_RETURN_NONE;
        Ref id_array(numpy_int32_array(std::move(ids)));
        Ref value_array(id_array ? numpy_float64_array(std::move(values)) : nullptr);
        if (!value_array) return nullptr;
        return PyTuple_Pack(2, id_array.get(), value_array.get());
    });
}

// check(parser, catalogue=False, model=False) -> dict: see check_parser.
PyObject* check(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs < 1 || nargs > 3) {
        PyErr_Format(PyExc_TypeError, "check() takes 1 to 3 arguments (%zd given)", nargs);
        return nullptr;
    }
    if (!stack_room_left()) return nullptr;
    ParserObject* p = parser_arg(args[0]);
    if (!p) return nullptr;
    const int catalogue = nargs > 1 ? PyObject_IsTrue(args[1]) : 0;
    if (catalogue < 0) return nullptr;
    const int model = nargs > 2 ? PyObject_IsTrue(args[2]) : 0;
    if (model < 0) return nullptr;
    return check_parser(p, catalogue != 0, model != 0);
}

// bytes_read() -> int: bytes read from files by the process's readings so far.
PyObject* bytes_read(PyObject*, PyObject*) {
    return PyLong_FromUnsignedLongLong(reading::descriptor_bytes_read().load(std::memory_order_relaxed));
}

// readings_under_way() -> int: operations of the reading core under way in
// the process (which keep a reading from sharing its work with a second
// thread).
PyObject* readings_under_way(PyObject*, PyObject*) {
    return PyLong_FromLong(reading::Context::readers().load(std::memory_order_relaxed));
}

PyMethodDef kMethods[] = {
    {"read_into", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(read_into)), METH_FASTCALL,
     "read_into(parser, stream, encoding, errors, name): read a stream into a new parser."},
    {"read_report", read_report, METH_O, "read_report(parser) -> dict or None: what reading saw besides blocks."},
    {"decodes_itself", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(decodes_itself_py)), METH_FASTCALL,
     "decodes_itself(encoding, errors) -> bool: whether read_into decodes a binary stream in it itself."},
    {"read_state", read_state, METH_O, "read_state(parser) -> (report, blocks), as they stand together."},
    {"block_sizes", block_sizes, METH_O, "block_sizes(parser) -> list: (block id, lines, first line, unclosed)."},
    {"vector_catalogue", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(vector_catalogue)), METH_FASTCALL,
     "vector_catalogue(parser, ranges=False) -> (blocks, entries)."},
    {"vector_data", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(vector_data)), METH_FASTCALL,
     "vector_data(blocks, block, data_start, expected[, lines, data_end, stored]) -> (ids, values) or None."},
    {"bytes_read", bytes_read, METH_NOARGS,
     "bytes_read() -> int: bytes read from files by every reading of the process so far, a running total."},
    {"readings_under_way", readings_under_way, METH_NOARGS,
     "readings_under_way() -> int: operations of the reading core under way in the process."},
    {"check", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(check)), METH_FASTCALL,
     "check(parser, catalogue=False, model=False) -> dict: what the record walks pass over."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

const InternalApi kInternalApi = {kInternalApiVersion, kMethods};

}  // namespace tremix
