// Block 601 as a dict: material id -> {"id"}.
#include "core_call.hpp"
#include "extractors.hpp"
#include "module_state.hpp"
#include "reading/records.hpp"

namespace tremix {

PyObject* materials_dict(PyObject* blocks, PyObject* path) {
    return with_memory_guard([&]() -> PyObject* {
        BlockSnapshot snapshot;
        std::vector<int32_t> ids;
        if (read_blocks(snapshot, blocks, path, [&](reading::Context& ctx, const reading::BlockSet& set) {
                return reading::read_materials(ctx, set, ids);
            }) < 0)
            return nullptr;
        Ref result(PyDict_New());
        if (!result) return nullptr;
        SignalPacer pacer;
        for (const int32_t id : ids) {
            Ref key(PyLong_FromLong(id));
            Ref record(PyDict_New());
            if (!key || !record) return nullptr;
            if (PyDict_SetItem(record.get(), g_state.s_id, key.get()) < 0 ||
                PyDict_SetItem(result.get(), key.get(), record.get()) < 0 || pacer.step() < 0)
                return nullptr;
        }
        return result.release();
    });
}

}  // namespace tremix
