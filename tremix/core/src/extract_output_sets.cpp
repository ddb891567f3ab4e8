// Block 450 as a dict: set id -> {"title", "value"}.
#include "core_call.hpp"
#include "extractors.hpp"
#include "module_state.hpp"
#include "reading/records.hpp"

namespace tremix {

PyObject* output_sets_dict(PyObject* blocks, PyObject* path) {
    return with_memory_guard([&]() -> PyObject* {
        BlockSnapshot snapshot;
        std::vector<reading::OutputSet> sets;
        if (read_blocks(snapshot, blocks, path, [&](reading::Context& ctx, const reading::BlockSet& set) {
                return reading::read_output_sets(ctx, set, sets);
            }) < 0)
            return nullptr;
        Ref result(PyDict_New());
        if (!result) return nullptr;
        SignalPacer pacer;
        for (const reading::OutputSet& s : sets) {
            Ref key(PyLong_FromLong(s.id));
            Ref title(str_of(s.title));
            Ref value(PyFloat_FromDouble(s.value));
            Ref record(PyDict_New());
            if (!key || !title || !value || !record) return nullptr;
            if (PyDict_SetItem(record.get(), g_state.s_title, title.get()) < 0 ||
                PyDict_SetItem(record.get(), g_state.s_value, value.get()) < 0 ||
                PyDict_SetItem(result.get(), key.get(), record.get()) < 0 || pacer.step() < 0)
                return nullptr;
        }
        return result.release();
    });
}

}  // namespace tremix
