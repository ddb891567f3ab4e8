// Output vectors of blocks 1051 and 451: every vector as a dict
// (get_output_vectors), or the first vector that passes the set and vector
// filters as two NumPy arrays (get_output_vectors_arrays).
#include "arguments.hpp"
#include "arrays.hpp"
#include "core_call.hpp"
#include "extractors.hpp"
#include "module_state.hpp"
#include "reading/vectors.hpp"

namespace tremix {

namespace {

// "results": entity id -> value, a repeated id keeping its first position.
PyObject* results_dict(const reading::VectorTable& t, const reading::VectorRecord& v, SignalPacer& pacer) {
    Ref results(PyDict_New());
    if (!results) return nullptr;
    for (size_t k = v.begin; k < v.end; ++k) {
        Ref key(PyLong_FromLong(t.ids[k]));
        Ref value(key ? PyFloat_FromDouble(t.values[k]) : nullptr);
        if (!value || PyDict_SetItem(results.get(), key.get(), value.get()) < 0 || pacer.step() < 0) return nullptr;
    }
    return results.release();
}

PyObject* vector_dict(const reading::VectorTable& t, const reading::VectorRecord& v, SignalPacer& pacer) {
    Ref set(PyLong_FromLong(v.set_id));
    Ref vec(PyLong_FromLong(v.vec_id));
    Ref title(str_of(v.title));
    Ref ent(v.found ? PyLong_FromLong(v.ent_type) : new_ref(Py_None));
    Ref results(results_dict(t, v, pacer));
    Ref record(PyDict_New());
    if (!set || !vec || !title || !ent || !results || !record) return nullptr;
    if (PyDict_SetItem(record.get(), g_state.s_set_id, set.get()) < 0 ||
        PyDict_SetItem(record.get(), g_state.s_vec_id, vec.get()) < 0 ||
        PyDict_SetItem(record.get(), g_state.s_title, title.get()) < 0 ||
        PyDict_SetItem(record.get(), g_state.s_ent_type, ent.get()) < 0 ||
        PyDict_SetItem(record.get(), g_state.s_results, results.get()) < 0)
        return nullptr;
    return record.release();
}

}  // namespace

PyObject* output_vectors_list(PyObject* blocks, PyObject* path) {
    return with_memory_guard([&]() -> PyObject* {
        BlockSnapshot snapshot;
        reading::VectorTable t;
        if (read_blocks(snapshot, blocks, path, [&](reading::Context& ctx, const reading::BlockSet& set) {
                return reading::read_vectors(ctx, set, t, reading::Keep::values);
            }) < 0)
            return nullptr;
        Ref out(PyList_New(0));
        if (!out) return nullptr;
        SignalPacer pacer;
        for (const reading::VectorRecord& v : t.vectors) {
            Ref record(vector_dict(t, v, pacer));
            if (!record || PyList_Append(out.get(), record.get()) < 0) return nullptr;
        }
        return out.release();
    });
}

PyObject* output_vector_arrays(PyObject* blocks, int32_t set_id_filter, int32_t vec_id_filter, PyObject* path) {
    return with_memory_guard([&]() -> PyObject* {
        BlockSnapshot snapshot;
        if (snapshot.take(blocks) < 0) return nullptr;
        reading::VectorMatch match;
        reading::WalkFrom from;
        for (;;) {
            if (run_core(snapshot, path, [&](reading::Context& ctx) {
                    return reading::find_vector(ctx, snapshot.blocks(), set_id_filter, vec_id_filter, from, match);
                }) < 0)
                return nullptr;
            if (!match.found) return new_ref(g_state.tuple_no_match);
            // Making the arrays belongs to the vector's reading: a replaced
            // `np.array` that rejects the data (ValueError, IndexError)
            // drops the vector like a malformed record, and the walk goes on
            // one line further.
            Ref ids(int32_array(std::move(match.ids)));
            Ref values(ids ? float64_array(std::move(match.values)) : nullptr);
            Ref result(values ? Py_BuildValue("(OOiii)", ids.get(), values.get(), match.record.set_id,
                                              match.record.vec_id, match.record.found ? match.record.ent_type : -1)
                              : nullptr);
            if (result) return result.release();
            if (!PyErr_ExceptionMatches(PyExc_ValueError) && !PyErr_ExceptionMatches(PyExc_IndexError)) return nullptr;
            PyErr_Clear();
            from = match.next;
            ++from.line;
        }
    });
}

PyObject* locate_output_vector_header(PyObject* lines, int32_t start) {
    if (!PyList_Check(lines)) {
        raise_expected("list", lines);
        return nullptr;
    }
    return with_memory_guard([&]() -> PyObject* {
        BlockSnapshot snapshot;
        if (snapshot.take_lines(lines) < 0) return nullptr;
        reading::VectorHeader header;
        if (run_core(snapshot, nullptr, [&](reading::Context& ctx) {
                return reading::locate_vector_header(ctx, snapshot.blocks()[0].lines, start, header);
            }) < 0)
            return nullptr;
        return Py_BuildValue("(iOn)", header.ent_type, header.found ? Py_True : Py_False,
                             static_cast<Py_ssize_t>(header.data_start));
    });
}

}  // namespace tremix
