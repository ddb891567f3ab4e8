// Block 601, the materials. A material's record spans many lines, but only
// its first line starts with an integer (the material id); the constants
// that follow are written as real numbers. So every line is judged on its
// own: a line whose first field is an integer text names a material.
#include "extract_common.hpp"
#include "extractors.hpp"
#include "module_state.hpp"

namespace tremix {

namespace {

// Stores {"id": id} under the id. -1 with an exception set on failure.
int store_material(PyObject* materials, int32_t material_id) {
    Ref id(PyLong_FromLong(material_id));
    if (!id) return -1;
    Ref record(PyDict_New());
    if (!record) return -1;
    if (PyDict_SetItem(record.get(), g_state.s_id, id.get()) < 0) return -1;
    return PyDict_SetItem(materials, id.get(), record.get());
}

}  // namespace

PyObject* get_materials(ParserObject* self) {
    return with_memory_guard([&]() -> PyObject* {
        Ref materials(PyDict_New());
        if (!materials) return nullptr;
        SplitLine line;
        const int done = walk_block_lines(self, 601, [&](PyObject* lines, Py_ssize_t, Py_ssize_t i) -> Py_ssize_t {
            if (line.load(lines, i) < 0) return -1;
            if (line.size() == 0) return 1;
            int32_t material_id;
            const Step step = step_of(line.to_int32(0, material_id));
            if (step == Step::Fail) return -1;
            if (step == Step::Skip) return 1;
            if (store_material(materials.get(), material_id) < 0 && !absorb_record_failure()) return -1;
            return 1;
        });
        if (done < 0) return nullptr;
        return materials.release();
    });
}

}  // namespace tremix
