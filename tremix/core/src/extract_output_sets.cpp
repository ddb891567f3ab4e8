// Output sets of block 450: set id -> {"title", "value"}.
//
// A set is a 6-line record: the header line (set id first), the title line,
// one line not read, the value line (its first field is the value), two
// lines not read. Lines missing at the block's end give "" and 0.0. A
// rejected id or value drops the whole set and the walk looks at the next
// line as a possible header.
#include <new>

#include "extractors.hpp"
#include "module_state.hpp"
#include "quick_numbers.hpp"

namespace tremix {

namespace {

constexpr Py_ssize_t kSetRecordLines = 6;

Step failure() { return absorb_record_failure() ? Step::Skip : Step::Fail; }

PyObject* set_entry(PyObject* title, double value) {
    Ref number(PyFloat_FromDouble(value));
    Ref entry(PyDict_New());
    if (!number || !entry) return nullptr;
    if (PyDict_SetItem(entry.get(), g_state.s_title, title) < 0 ||
        PyDict_SetItem(entry.get(), g_state.s_value, number.get()) < 0)
        return nullptr;
    return entry.release();
}

// The protected section for a header line at i, already split in `header`.
Step read_set(PyObject* lines, Py_ssize_t n, Py_ssize_t i, const SplitLine& header, SplitLine& value_line,
              PyObject* sets) {
    int32_t set_id;
    const Step s = step_of(header.to_int32(0, set_id));
    if (s != Step::Ok) return s;

    Ref title;
    if (i + 1 < n) {
        Ref raw(line_at(lines, i + 1));
        if (!raw) return failure();
        title = Ref(title_of(raw.get()));
    } else {
        title = Ref::borrow(g_state.empty_str);
    }
    if (!title) return failure();

    double value = 0.0;
    if (i + 3 < n) {
        if (value_line.load(lines, i + 3) < 0) return failure();
        if (value_line.size() > 0) {
            const Step v = step_of(quick::parse_float(value_line, 0, value));
            if (v != Step::Ok) return v;
        }
    }

    Ref key(PyLong_FromLong(set_id));
    if (!key) return failure();
    Ref entry(set_entry(title.get(), value));
    if (!entry || PyDict_SetItem(sets, key.get(), entry.get()) < 0) return failure();
    return Step::Ok;
}

}  // namespace

PyObject* get_output_sets(ParserObject* self) {
    try {
        Ref keep = Ref::borrow(reinterpret_cast<PyObject*>(self));
        Ref sets(PyDict_New());
        if (!sets) return nullptr;
        Ref blocks(call_get_blocks(self, 450));
        if (!blocks) return nullptr;
        BlockWalker walker(blocks.get());
        SplitLine header, value_line;
        Ref lines;
        for (;;) {
            const int more = walker.next(lines);
            if (more < 0) return nullptr;
            if (more == 0) break;
            const Py_ssize_t n = line_count(lines.get());
            Py_ssize_t i = 0;
            while (i < n) {
                if (header.load(lines.get(), i) < 0) return nullptr;
                if (header.size() == 0) {
                    ++i;
                    continue;
                }
                const Step s = read_set(lines.get(), n, i, header, value_line, sets.get());
                if (s == Step::Fail) return nullptr;
                i += s == Step::Ok ? kSetRecordLines : 1;
            }
        }
        return sets.release();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

}  // namespace tremix
