// Block 404, the elements: records of seven lines. The first line holds the
// element id (field 0), the property id (field 2) and the topology code
// (field 4); the next two lines hold the node ids, where 0 marks an unused
// node slot; the last four lines (orientation, offsets, ...) are not read.
// A record whose fields do not all convert is dropped and the walk goes on
// at the line after its first line.
//
// The record form is a list of dicts; the array form is five int32 arrays,
// the node ids of all elements run together in `connectivity` and cut into
// elements by `offsets`.
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "extract_common.hpp"
#include "extractors.hpp"
#include "module_state.hpp"

#include "arrays.hpp"

namespace tremix {

namespace {

constexpr Py_ssize_t kRecordLines = 7;
constexpr Py_ssize_t kNodeLines = 2;
constexpr size_t kHeaderFields = 5;
constexpr size_t kIdField = 0;
constexpr size_t kPropField = 2;
constexpr size_t kTopologyField = 4;

struct Element {
    int32_t id;
    int32_t prop_id;
    int32_t topology;
    std::vector<int32_t> nodes;  // the non-zero node ids, in field order
};

// Reads the record whose first line is line i, already split into
// `header`. Ok with the element; Skip when the record is dropped; Fail with
// an exception that ends the call.
Step read_element(const SplitLine& header, PyObject* lines, Py_ssize_t i, Py_ssize_t n, SplitLine& node_line,
                  Element& element) {
    Step step = step_of(header.to_int32(kIdField, element.id));
    if (step == Step::Ok) step = step_of(header.to_int32(kPropField, element.prop_id));
    if (step == Step::Ok) step = step_of(header.to_int32(kTopologyField, element.topology));
    if (step != Step::Ok) return step;

    element.nodes.clear();
    // A record cut short by the block's end keeps the node lines it has.
    for (Py_ssize_t k = i + 1; k <= i + kNodeLines && k < n; ++k) {
        if (node_line.load(lines, k) < 0) return absorb_record_failure() ? Step::Skip : Step::Fail;
        for (size_t f = 0; f < node_line.size(); ++f) {
            int32_t node;
            step = step_of(node_line.to_int32(f, node));
            if (step != Step::Ok) return step;
            if (node != 0) element.nodes.push_back(node);
        }
    }
    return Step::Ok;
}

// Calls `commit(element)` for every element record of the 404 blocks, in
// file order. `commit` returns 0, or -1 with an exception set.
template <typename Commit>
int for_each_element(ParserObject* self, Commit&& commit) {
    SplitLine header, node_line;
    Element element;
    return walk_block_lines(self, 404, [&](PyObject* lines, Py_ssize_t n, Py_ssize_t i) -> Py_ssize_t {
        if (header.load(lines, i) < 0) return -1;
        if (header.size() < kHeaderFields) return 1;
        Step step = read_element(header, lines, i, n, node_line, element);
        if (step == Step::Ok && commit(element) < 0) step = absorb_record_failure() ? Step::Skip : Step::Fail;
        if (step == Step::Fail) return -1;
        return step == Step::Ok ? kRecordLines : 1;
    });
}

PyObject* int_list(const std::vector<int32_t>& values) {
    Ref list(PyList_New(static_cast<Py_ssize_t>(values.size())));
    if (!list) return nullptr;
    for (size_t k = 0; k < values.size(); ++k) {
        PyObject* value = PyLong_FromLong(values[k]);
        if (!value) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), value);
    }
    return list.release();
}

// An element's dict made while the walk runs, with its node list. Both are
// left out of the garbage collector's view until the whole result is
// built: they hold only ints and nothing but this module can reach them,
// and a walk over hundreds of thousands of elements would otherwise start
// a collection every few hundred of them, each traversing everything the
// parser holds.
struct PendingRecord {
    Ref record;
    PyObject* nodes;  // held by `record`
};

int make_pending_record(const Element& element, PendingRecord& out) {
    Ref id(PyLong_FromLong(element.id));
    Ref prop_id(PyLong_FromLong(element.prop_id));
    Ref topology(PyLong_FromLong(element.topology));
    Ref nodes(int_list(element.nodes));
    if (!id || !prop_id || !topology || !nodes) return -1;
    PyObject_GC_UnTrack(nodes.get());
    Ref record(PyDict_New());
    if (!record) return -1;
    if (PyDict_SetItem(record.get(), g_state.s_id, id.get()) < 0 ||
        PyDict_SetItem(record.get(), g_state.s_prop_id, prop_id.get()) < 0 ||
        PyDict_SetItem(record.get(), g_state.s_topology, topology.get()) < 0 ||
        PyDict_SetItem(record.get(), g_state.s_nodes, nodes.get()) < 0) {
        return -1;
    }
    PyObject_GC_UnTrack(record.get());
    out.nodes = nodes.get();
    out.record = std::move(record);
    return 0;
}

void track(PyObject* obj) {
    if (!PyObject_GC_IsTracked(obj)) PyObject_GC_Track(obj);
}

// The result list, each dict put back under the collector's watch with its
// node list as it goes in.
PyObject* element_list(std::vector<PendingRecord>& pending) {
    Ref list(PyList_New(static_cast<Py_ssize_t>(pending.size())));
    if (!list) return nullptr;
    for (size_t k = 0; k < pending.size(); ++k) {
        track(pending[k].nodes);
        track(pending[k].record.get());
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), pending[k].record.release());
    }
    return list.release();
}

// The offset after an element of `added` node ids that starts at `current`
// (never negative), or nothing when it would leave the int32 range of the
// offsets array.
constexpr std::optional<int32_t> next_offset(int32_t current, size_t added) {
    if (added > static_cast<size_t>(INT32_MAX - current)) return std::nullopt;
    return static_cast<int32_t>(current + static_cast<int32_t>(added));
}
static_assert(next_offset(0, 0) == 0);
static_assert(next_offset(7, 3) == 10);
static_assert(next_offset(INT32_MAX - 3, 3) == INT32_MAX);
static_assert(!next_offset(INT32_MAX - 3, 4));
static_assert(!next_offset(INT32_MAX, 1));
static_assert(!next_offset(0, size_t{1} << 31));
static_assert(!next_offset(1, SIZE_MAX));

// The five outputs of the array form while the walk runs.
struct ElementColumns {
    std::vector<int32_t> ids, prop_ids, topologies, connectivity;
    std::vector<int32_t> offsets{0};

    int commit(const Element& element) {
        const std::optional<int32_t> end = next_offset(offsets.back(), element.nodes.size());
        if (!end) {
            PyErr_SetString(PyExc_OverflowError, "more than 2147483647 element node ids in total");
            return -1;
        }
        ids.push_back(element.id);
        prop_ids.push_back(element.prop_id);
        topologies.push_back(element.topology);
        connectivity.insert(connectivity.end(), element.nodes.begin(), element.nodes.end());
        offsets.push_back(*end);
        return 0;
    }
};

}  // namespace

PyObject* get_elements(ParserObject* self) {
    return with_memory_guard([&]() -> PyObject* {
        std::vector<PendingRecord> pending;
        const int done = for_each_element(self, [&](const Element& element) {
            PendingRecord made;
            if (make_pending_record(element, made) < 0) return -1;
            pending.push_back(std::move(made));
            return 0;
        });
        if (done < 0) return nullptr;
        return element_list(pending);
    });
}

PyObject* get_elements_arrays(ParserObject* self) {
    return with_memory_guard([&]() -> PyObject* {
        ElementColumns columns;
        const int done = for_each_element(self, [&](const Element& element) { return columns.commit(element); });
        if (done < 0) return nullptr;
        Ref arrays[5];
        const std::vector<int32_t>* sources[5] = {&columns.ids, &columns.prop_ids, &columns.topologies,
                                                  &columns.connectivity, &columns.offsets};
        for (int k = 0; k < 5; ++k) {
            arrays[k] = Ref(int32_array(*sources[k]));
            if (!arrays[k]) return nullptr;
        }
        return PyTuple_Pack(5, arrays[0].get(), arrays[1].get(), arrays[2].get(), arrays[3].get(), arrays[4].get());
    });
}

}  // namespace tremix
