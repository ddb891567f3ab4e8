// Output vectors of blocks 1051 and 451: every vector as a dict
// (get_output_vectors), or the first vector that passes the set and vector
// filters as two NumPy arrays (get_output_vectors_arrays).
//
// Both walk the blocks the same way: a line with at least two fields starts
// a vector; everything from its id fields to its end-of-data marker is one
// protected section. A rejected number (ValueError) or a line that has gone
// missing (IndexError) drops the vector and the walk resumes at the line
// after the one being read when it failed; any other error ends the call.
#include <new>
#include <vector>

#include "arguments.hpp"
#include "arrays.hpp"
#include "extractors.hpp"
#include "module_state.hpp"
#include "output_vector_reader.hpp"

namespace tremix {

namespace {

using vectors::VectorHeader;

// Lines and buffers reused by every vector of a call.
struct Workspace {
    SplitLine line;
    SplitLine pair_first, pair_second;  // the entity-type line pair search
    std::vector<double> range_values;   // a range record's values (record form)
};

// After a failed Python call inside a protected section.
Step failure() { return absorb_record_failure() ? Step::Skip : Step::Fail; }

// Set id and vector id of the start line held in `ws.line`.
Step read_ids(const SplitLine& line, int32_t& set_id, int32_t& vec_id) {
    const Step s = step_of(line.to_int32(0, set_id));
    if (s != Step::Ok) return s;
    return step_of(line.to_int32(1, vec_id));
}

// Runs the walk of one block; `read_vector` is the protected section for a
// start line at i, which moves i on success and leaves it on the failing
// line otherwise. Returns 0 to go on with the next block, 1 when
// `read_vector` asked to stop the walk (a result is ready), -1 on error.
template <typename ReadVector>
int walk_block(PyObject* lines, Workspace& ws, ReadVector&& read_vector) {
    const Py_ssize_t n = line_count(lines);
    Py_ssize_t i = 0;
    while (i < n) {
        if (ws.line.load(lines, i) < 0) return -1;
        if (ws.line.size() < 2) {
            ++i;
            continue;
        }
        bool done = false;
        const Step s = read_vector(n, i, done);
        if (s == Step::Fail) return -1;
        if (s == Step::Skip) ++i;
        if (done) return 1;
    }
    return 0;
}

// --- record form ------------------------------------------------------------

// "results": entity id -> value; a repeated id keeps its first position.
struct ResultsDict {
    Ref dict;
    std::vector<double>& scratch;  // a range record's values

    std::vector<double>& range_values() { return scratch; }
    bool store(int32_t id, double value) {
        Ref key(PyLong_FromLong(id));
        if (!key) return false;
        Ref number(PyFloat_FromDouble(value));
        if (!number) return false;
        return PyDict_SetItem(dict.get(), key.get(), number.get()) == 0;
    }
    bool end_range(int32_t first, size_t begin, size_t stored) {
        // Every id lies between first and last, so it fits 32 bits.
        for (size_t j = 0; j < stored; ++j) {
            if (!store(static_cast<int32_t>(int64_t{first} + static_cast<int64_t>(j)), scratch[begin + j]))
                return false;
        }
        scratch.resize(begin);
        return true;
    }
};

PyObject* title_at(PyObject* lines, Py_ssize_t index, Py_ssize_t n) {
    if (index >= n) return new_ref(g_state.empty_str);
    Ref raw(line_at(lines, index));
    if (!raw) return nullptr;
    return title_of(raw.get());
}

PyObject* vector_record(int32_t set_id, int32_t vec_id, PyObject* title, const VectorHeader& header,
                        PyObject* results) {
    Ref set(PyLong_FromLong(set_id));
    Ref vec(PyLong_FromLong(vec_id));
    Ref ent(header.found ? PyLong_FromLong(header.ent_type) : new_ref(Py_None));
    Ref record(PyDict_New());
    if (!set || !vec || !ent || !record) return nullptr;
    if (PyDict_SetItem(record.get(), g_state.s_set_id, set.get()) < 0 ||
        PyDict_SetItem(record.get(), g_state.s_vec_id, vec.get()) < 0 ||
        PyDict_SetItem(record.get(), g_state.s_title, title) < 0 ||
        PyDict_SetItem(record.get(), g_state.s_ent_type, ent.get()) < 0 ||
        PyDict_SetItem(record.get(), g_state.s_results, results) < 0)
        return nullptr;
    return record.release();
}

Step read_vector_record(PyObject* lines, Py_ssize_t n, Py_ssize_t& i, Workspace& ws, PyObject* out) {
    int32_t set_id, vec_id;
    Step s = read_ids(ws.line, set_id, vec_id);
    if (s != Step::Ok) return s;
    Ref title(title_at(lines, i + 1, n));
    if (!title) return failure();
    VectorHeader header;
    if (vectors::locate_header(lines, i, ws.pair_first, ws.pair_second, header) < 0) return failure();
    i = header.data_start;
    ws.range_values.clear();
    ResultsDict results{Ref(PyDict_New()), ws.range_values};
    if (!results.dict) return failure();
    s = vectors::read_data_records(lines, n, i, ws.line, results);
    if (s != Step::Ok) return s;
    Ref record(vector_record(set_id, vec_id, title.get(), header, results.dict.get()));
    if (!record || PyList_Append(out, record.get()) < 0) return failure();
    return Step::Ok;
}

// --- array form -------------------------------------------------------------

// Entity ids and values in file order; a repeated id is listed again. A
// range record's values are read straight into `values`.
struct FlatValues {
    std::vector<int32_t> ids;
    std::vector<double> values;

    std::vector<double>& range_values() { return values; }
    bool store(int32_t id, double value) {
        ids.push_back(id);
        values.push_back(value);
        return true;
    }
    bool end_range(int32_t first, size_t begin, size_t stored) {
        values.resize(begin + stored);
        for (size_t j = 0; j < stored; ++j) ids.push_back(static_cast<int32_t>(int64_t{first} + static_cast<int64_t>(j)));
        return true;
    }
};

bool filter_passes(int32_t filter, int32_t id) { return filter < 0 || filter == id; }

// The protected section of the array form. Sets `result` and `done` when the
// vector matches and was read whole.
Step read_vector_arrays(PyObject* lines, Py_ssize_t n, Py_ssize_t& i, Workspace& ws, int32_t set_filter,
                        int32_t vec_filter, FlatValues& flat, Ref& result) {
    int32_t set_id, vec_id;
    Step s = read_ids(ws.line, set_id, vec_id);
    if (s != Step::Ok) return s;
    VectorHeader header;
    if (vectors::locate_header(lines, i, ws.pair_first, ws.pair_second, header) < 0) return failure();
    i = header.data_start;
    if (!filter_passes(set_filter, set_id) || !filter_passes(vec_filter, vec_id)) {
        try {
            if (vectors::skip_data_records(lines, n, i, ws.line) < 0) return failure();
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
            return Step::Fail;
        }
        return Step::Ok;
    }
    flat.ids.clear();
    flat.values.clear();
    s = vectors::read_data_records(lines, n, i, ws.line, flat);
    if (s != Step::Ok) return s;
    // A replaced `np.array` may reject the data: that drops the vector like
    // a malformed record would.
    Ref ids(int32_array(flat.ids));
    if (!ids) return failure();
    Ref values(float64_array(flat.values));
    if (!values) return failure();
    result = Ref(Py_BuildValue("(OOiii)", ids.get(), values.get(), set_id, vec_id,
                               header.found ? header.ent_type : -1));
    if (!result) return failure();
    return Step::Ok;
}

}  // namespace

PyObject* locate_output_vector_header(PyObject* lines, int32_t start) {
    if (!PyList_Check(lines)) {
        raise_expected("list", lines);
        return nullptr;
    }
    Ref keep = Ref::borrow(lines);
    SplitLine first, second;
    VectorHeader header;
    if (vectors::locate_header(lines, start, first, second, header) < 0) return nullptr;
    return Py_BuildValue("(iOn)", header.ent_type, header.found ? Py_True : Py_False, header.data_start);
}

PyObject* get_output_vectors(ParserObject* self) {
    try {
        Ref keep = Ref::borrow(reinterpret_cast<PyObject*>(self));
        Ref blocks(self->ops->get_output_vector_blocks(self));
        if (!blocks) return nullptr;
        Ref out(PyList_New(0));
        if (!out) return nullptr;
        BlockWalker walker(blocks.get());
        Workspace ws;
        Ref lines;
        for (;;) {
            const int more = walker.next(lines);
            if (more < 0) return nullptr;
            if (more == 0) break;
            const int walked = walk_block(lines.get(), ws, [&](Py_ssize_t n, Py_ssize_t& i, bool&) {
                return read_vector_record(lines.get(), n, i, ws, out.get());
            });
            if (walked < 0) return nullptr;
        }
        return out.release();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

PyObject* get_output_vectors_arrays(ParserObject* self, int32_t set_id_filter, int32_t vec_id_filter) {
    try {
        Ref keep = Ref::borrow(reinterpret_cast<PyObject*>(self));
        Ref blocks(self->ops->get_output_vector_blocks(self));
        if (!blocks) return nullptr;
        BlockWalker walker(blocks.get());
        Workspace ws;
        FlatValues flat;
        Ref lines, result;
        for (;;) {
            const int more = walker.next(lines);
            if (more < 0) return nullptr;
            if (more == 0) break;
            const int walked = walk_block(lines.get(), ws, [&](Py_ssize_t n, Py_ssize_t& i, bool& done) {
                const Step s =
                    read_vector_arrays(lines.get(), n, i, ws, set_id_filter, vec_id_filter, flat, result);
                done = s == Step::Ok && result;
                return s;
            });
            if (walked < 0) return nullptr;
            if (walked > 0) return result.release();
        }
        return new_ref(g_state.tuple_no_match);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

}  // namespace tremix
