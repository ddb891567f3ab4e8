// Block 402, the properties: records of seven lines, of which only the
// first two matter here. The first holds the property id (field 0) and the
// material id (field 2); the second is the title, taken as a whole line so
// that commas inside it stay. A line that does not read as a first line is
// passed over one line at a time until one does.
#include "extract_common.hpp"
#include "extractors.hpp"
#include "module_state.hpp"

namespace tremix {

namespace {

constexpr Py_ssize_t kRecordLines = 7;
constexpr size_t kHeaderFields = 3;
constexpr size_t kIdField = 0;
constexpr size_t kMaterialField = 2;

// {"material_id": ..., "title": ...} of the record whose first line is line
// i; the title line may lie beyond the block's end.
PyObject* property_record(int32_t material_id, PyObject* lines, Py_ssize_t i, Py_ssize_t n) {
    Ref title;
    if (i + 1 < n) {
        Ref line(line_at(lines, i + 1));
        if (!line) return nullptr;
        title = Ref(title_of(line.get()));
        if (!title) return nullptr;
    } else {
        title = Ref::borrow(g_state.empty_str);
    }
    Ref material(PyLong_FromLong(material_id));
    if (!material) return nullptr;
    Ref record(PyDict_New());
    if (!record) return nullptr;
    if (PyDict_SetItem(record.get(), g_state.s_material_id, material.get()) < 0) return nullptr;
    if (PyDict_SetItem(record.get(), g_state.s_title, title.get()) < 0) return nullptr;
    return record.release();
}

// Stores the record whose first line is line i (already split). 0 when
// stored, 1 when line i is not a record's first line, -1 with an exception
// that ends the call.
int store_property(PyObject* properties, const SplitLine& header, PyObject* lines, Py_ssize_t i,
                   Py_ssize_t n) {
    int32_t prop_id, material_id;
    Step step = step_of(header.to_int32(kIdField, prop_id));
    if (step == Step::Ok) step = step_of(header.to_int32(kMaterialField, material_id));
    if (step != Step::Ok) return step == Step::Skip ? 1 : -1;

    Ref record(property_record(material_id, lines, i, n));
    Ref key;
    if (record && (key = Ref(PyLong_FromLong(prop_id))) && PyDict_SetItem(properties, key.get(), record.get()) == 0) {
        return 0;
    }
    return absorb_record_failure() ? 1 : -1;
}

}  // namespace

PyObject* get_properties(ParserObject* self) {
    return with_memory_guard([&]() -> PyObject* {
        Ref properties(PyDict_New());
        if (!properties) return nullptr;
        SplitLine header;
        const int done = walk_block_lines(self, 402, [&](PyObject* lines, Py_ssize_t n, Py_ssize_t i) -> Py_ssize_t {
            if (header.load(lines, i) < 0) return -1;
            if (header.size() < kHeaderFields) return 1;
            const int stored = store_property(properties.get(), header, lines, i, n);
            if (stored < 0) return -1;
            return stored == 0 ? kRecordLines : 1;
        });
        if (done < 0) return nullptr;
        return properties.release();
    });
}

}  // namespace tremix
