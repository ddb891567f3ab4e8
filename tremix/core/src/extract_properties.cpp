// Block 402 as a dict: property id -> {"material_id", "title"}.
#include "core_call.hpp"
#include "extractors.hpp"
#include "module_state.hpp"
#include "reading/records.hpp"

namespace tremix {

PyObject* properties_dict(PyObject* blocks, PyObject* path) {
    return with_memory_guard([&]() -> PyObject* {
        BlockSnapshot snapshot;
        std::vector<reading::Property> found;
        if (read_blocks(snapshot, blocks, path, [&](reading::Context& ctx, const reading::BlockSet& set) {
                return reading::read_properties(ctx, set, found);
            }) < 0)
            return nullptr;
        Ref result(PyDict_New());
        if (!result) return nullptr;
        SignalPacer pacer;
        for (const reading::Property& p : found) {
            Ref key(PyLong_FromLong(p.id));
            Ref material(PyLong_FromLong(p.material_id));
            Ref title(str_of(p.title));
            Ref record(PyDict_New());
            if (!key || !material || !title || !record) return nullptr;
            if (PyDict_SetItem(record.get(), g_state.s_material_id, material.get()) < 0 ||
                PyDict_SetItem(record.get(), g_state.s_title, title.get()) < 0 ||
                PyDict_SetItem(result.get(), key.get(), record.get()) < 0 || pacer.step() < 0)
                return nullptr;
        }
        return result.release();
    });
}

}  // namespace tremix
