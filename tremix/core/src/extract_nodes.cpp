// Block 403 as a dict of coordinates or as an id array and an (n, 3)
// coordinate array.
#include "arrays.hpp"
#include "core_call.hpp"
#include "extractors.hpp"
#include "reading/records.hpp"

namespace tremix {

namespace {

// (x, y, z) as a tuple of floats. Like the interpreter, which stops
// tracking such tuples at their first collection, it is kept out of the
// collector's view from the start: it can never be part of a cycle.
PyObject* xyz_tuple(const double* xyz) {
    Ref tuple(PyTuple_New(3));
    if (!tuple) return nullptr;
    for (Py_ssize_t axis = 0; axis < 3; ++axis) {
        PyObject* value = PyFloat_FromDouble(xyz[axis]);
        if (!value) return nullptr;
        PyTuple_SET_ITEM(tuple.get(), axis, value);
    }
    PyObject_GC_UnTrack(tuple.get());
    return tuple.release();
}

int read_table(PyObject* blocks, PyObject* path, reading::NodeTable& nodes) {
    BlockSnapshot snapshot;
    return read_blocks(snapshot, blocks, path,
                       [&](reading::Context& ctx, const reading::BlockSet& set) { return reading::read_nodes(ctx, set, nodes); });
}

}  // namespace

PyObject* nodes_dict(PyObject* blocks, bool force_2d, PyObject* path) {
    return with_memory_guard([&]() -> PyObject* {
        reading::NodeTable nodes;
        if (read_table(blocks, path, nodes) < 0) return nullptr;
        Ref result(PyDict_New());
        if (!result) return nullptr;
        SignalPacer pacer;
        for (size_t k = 0; k < nodes.ids.size(); ++k) {
            const double* xyz = &nodes.xyz[3 * k];
            // Only nodes strictly above the plane go: z == 0, z < 0 and NaN stay.
            if (force_2d && xyz[2] > 0.0) continue;
            Ref key(PyLong_FromLong(nodes.ids[k]));
            Ref coords(key ? xyz_tuple(xyz) : nullptr);
            if (!coords || PyDict_SetItem(result.get(), key.get(), coords.get()) < 0 || pacer.step() < 0)
                return nullptr;
        }
        return result.release();
    });
}

// Every node line counts here, repeated ids included, in file order. With
// no node at all the result is a pair of empty arrays shaped (0,) and (0, 3).
PyObject* nodes_arrays(PyObject* blocks, PyObject* path) {
    return with_memory_guard([&]() -> PyObject* {
        BlockSnapshot snapshot;
        if (snapshot.take(blocks) < 0) return nullptr;
        // A node a line at most: arrays with a row for every line hold them all.
        const size_t bound = reading::total_lines(snapshot.blocks());
        ArrayRoom id_room(ArrayRoom::Type::int32, bound, 1);
        ArrayRoom xyz_room(ArrayRoom::Type::float64, bound, 3);
        reading::NodeTable nodes{id_room.column<int32_t>(), xyz_room.column<double>()};
        if (run_core(snapshot, path, [&](reading::Context& ctx) {
                return reading::read_nodes(ctx, snapshot.blocks(), nodes);
            }) < 0)
            return nullptr;
        Ref ids(typed_int32_array(nodes.ids, &id_room));
        if (!ids) return nullptr;
        Ref coords(coords_array(nodes.xyz, &xyz_room));
        if (!coords) return nullptr;
        return PyTuple_Pack(2, ids.get(), coords.get());
    });
}

}  // namespace tremix
