// Block 404 as a list of element dicts or as five int32 arrays.
#include "arrays.hpp"
#include "core_call.hpp"
#include "extractors.hpp"
#include "module_state.hpp"
#include "reading/records.hpp"

namespace tremix {

namespace {

int read_table(PyObject* blocks, PyObject* path, reading::ElementTable& elements) {
    BlockSnapshot snapshot;
    return read_blocks(snapshot, blocks, path, [&](reading::Context& ctx, const reading::BlockSet& set) {
        return reading::read_elements(ctx, set, elements);
    });
}

PyObject* node_list(const reading::ElementTable& t, size_t k) {
    const int32_t begin = t.offsets[k], end = t.offsets[k + 1];
    Ref list(PyList_New(end - begin));
    if (!list) return nullptr;
    for (int32_t j = begin; j < end; ++j) {
        PyObject* value = PyLong_FromLong(t.connectivity[static_cast<size_t>(j)]);
        if (!value) return nullptr;
        PyList_SET_ITEM(list.get(), j - begin, value);
    }
    return list.release();
}

// An element's dict. It and its node list stay out of the garbage
// collector's view until the whole result is built: they hold only ints
// and nothing but this function can reach them, and hundreds of thousands
// of new containers would otherwise start a collection every few hundred
// elements, each traversing everything the program holds.
PyObject* element_dict(const reading::ElementTable& t, size_t k) {
    Ref id(PyLong_FromLong(t.ids[k]));
    Ref prop_id(PyLong_FromLong(t.prop_ids[k]));
    Ref topology(PyLong_FromLong(t.topologies[k]));
    Ref nodes(node_list(t, k));
    if (!id || !prop_id || !topology || !nodes) return nullptr;
    PyObject_GC_UnTrack(nodes.get());
    Ref record(PyDict_New());
    if (!record) return nullptr;
    if (PyDict_SetItem(record.get(), g_state.s_id, id.get()) < 0 ||
        PyDict_SetItem(record.get(), g_state.s_prop_id, prop_id.get()) < 0 ||
        PyDict_SetItem(record.get(), g_state.s_topology, topology.get()) < 0 ||
        PyDict_SetItem(record.get(), g_state.s_nodes, nodes.get()) < 0)
        return nullptr;
    PyObject_GC_UnTrack(record.get());
    return record.release();
}

void track(PyObject* obj) {
    if (!PyObject_GC_IsTracked(obj)) PyObject_GC_Track(obj);
}

}  // namespace

PyObject* elements_list(PyObject* blocks, PyObject* path) {
    return with_memory_guard([&]() -> PyObject* {
        reading::ElementTable t;
        if (read_table(blocks, path, t) < 0) return nullptr;
        const size_t m = t.ids.size();
        Ref list(PyList_New(static_cast<Py_ssize_t>(m)));
        if (!list) return nullptr;
        PyObject_GC_UnTrack(list.get());
        // Until it is full the list holds None in its empty slots, so a
        // failure part-way releases it cleanly.
        for (size_t k = 0; k < m; ++k) PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), new_ref(Py_None));
        SignalPacer pacer;
        for (size_t k = 0; k < m; ++k) {
            PyObject* record = element_dict(t, k);
            if (!record) return nullptr;
            PyObject* old = PyList_GET_ITEM(list.get(), static_cast<Py_ssize_t>(k));
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), record);
            Py_DECREF(old);
            if (pacer.step() < 0) return nullptr;
        }
        for (size_t k = 0; k < m; ++k) {
            PyObject* record = PyList_GET_ITEM(list.get(), static_cast<Py_ssize_t>(k));
            track(PyDict_GetItemWithError(record, g_state.s_nodes));
            track(record);
        }
        PyObject_GC_Track(list.get());
        return list.release();
    });
}

// Node id room for an element: its two node lines, as files are usually
// written, hold ten node slots each. More move to the column's vector.
constexpr size_t kUsualNodeSlots = 20;

PyObject* elements_arrays(PyObject* blocks, PyObject* path) {
    return with_memory_guard([&]() -> PyObject* {
        BlockSnapshot snapshot;
        if (snapshot.take(blocks) < 0) return nullptr;
        const size_t most = reading::most_elements(snapshot.blocks());
        const size_t node_room = most <= SIZE_MAX / kUsualNodeSlots ? most * kUsualNodeSlots : 0;
        ArrayRoom rooms[5] = {{ArrayRoom::Type::int32, most, 1},
                              {ArrayRoom::Type::int32, most, 1},
                              {ArrayRoom::Type::int32, most, 1},
                              {ArrayRoom::Type::int32, node_room, 1},
                              {ArrayRoom::Type::int32, most + 1, 1}};
        reading::ElementTable t;
        reading::Column<int32_t>* columns[5] = {&t.ids, &t.prop_ids, &t.topologies, &t.connectivity, &t.offsets};
        for (int k = 0; k < 5; ++k) *columns[k] = rooms[k].column<int32_t>();
        t.offsets.push_back(0);
        if (run_core(snapshot, path, [&](reading::Context& ctx) {
                return reading::read_elements(ctx, snapshot.blocks(), t);
            }) < 0)
            return nullptr;
        Ref arrays[5];
        for (int k = 0; k < 5; ++k) {
            arrays[k] = Ref(int32_array(*columns[k], &rooms[k]));
            if (!arrays[k]) return nullptr;
        }
        return PyTuple_Pack(5, arrays[0].get(), arrays[1].get(), arrays[2].get(), arrays[3].get(), arrays[4].get());
    });
}

}  // namespace tremix
