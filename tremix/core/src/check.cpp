#include "check.hpp"

#include <string>
#include <vector>

#include "block.hpp"
#include "core_call.hpp"
#include "parser.hpp"
#include "reading/findings.hpp"
#include "reading/records.hpp"
#include "reading/vectors.hpp"

namespace tremix {

namespace {

// Findings kept at most; the rest are only counted.
constexpr size_t kMaxFindings = 100000;

PyObject* line_number(const reading::BlockLines& lines, size_t i) {
    const int64_t n = lines.file_line(i);
    if (n < 0) Py_RETURN_NONE;
    return PyLong_FromLongLong(n);
}

// The text of a line, or None when it is not text or out of range.
PyObject* line_text(const reading::BlockLines& lines, size_t i) {
    if (i >= lines.size()) Py_RETURN_NONE;
    const reading::TextView t = lines.line(i);
    if (t.kind == 0) Py_RETURN_NONE;
    return str_of(t);
}

const char* reason_name(reading::Pass::Reason r) {
    switch (r) {
        case reading::Pass::Reason::blank: return "blank";
        case reading::Pass::Reason::few_fields: return "few-fields";
        case reading::Pass::Reason::bad_field: return "bad-field";
    }
    return "";
}

// One finding as a tuple:
//   ("skipped-line", record kind, block id, block index, line index, file line,
//    line text, reason, fields, needed, bad line index, bad file line,
//    bad field text, bad field index, lines given up)
//   ("vector-overrun", record kind, block id, block index, line index, file line,
//    marker line index or None, marker file line, found, found line index, found file line,
//    start line text)
//   ("out-of-range", record kind, block id, block index, line index, file line, field text)
PyObject* event_tuple(const reading::Finding& e, int kind, const BlockSnapshot& snapshot) {
    const reading::BlockEntry& entry = snapshot.blocks()[e.block];
    const reading::BlockLines& lines = entry.lines;
    if (e.kind == reading::Finding::Kind::passed) {
        const reading::Pass& p = e.pass;
        Ref bad_text(Py_None);
        Py_INCREF(Py_None);
        if (p.reason == reading::Pass::Reason::bad_field && p.bad_line < lines.size()) {
            const reading::TextView t = lines.line(p.bad_line);
            if (t.kind != 0) bad_text = Ref(str_of(t.sub(p.bad_field.start, p.bad_field.length)));
            if (!bad_text) return nullptr;
        }
        return Py_BuildValue("(siinnNNsnnnNNnn)", "skipped-line", kind, static_cast<int>(entry.block_id),
                             static_cast<Py_ssize_t>(e.block), static_cast<Py_ssize_t>(e.line),
                             line_number(lines, e.line), line_text(lines, e.line), reason_name(p.reason),
                             static_cast<Py_ssize_t>(p.fields), static_cast<Py_ssize_t>(p.needed),
                             static_cast<Py_ssize_t>(p.bad_line), line_number(lines, p.bad_line), bad_text.release(),
                             static_cast<Py_ssize_t>(p.bad_index), static_cast<Py_ssize_t>(p.span));
    }
    const bool marker = e.marker_line != SIZE_MAX;
    // The start line's text names the vector (its set and vector ids).
    return Py_BuildValue("(siinnNNNONNN)", "vector-overrun", kind, static_cast<int>(entry.block_id),
                         static_cast<Py_ssize_t>(e.block), static_cast<Py_ssize_t>(e.line), line_number(lines, e.line),
                         marker ? PyLong_FromSize_t(e.marker_line) : new_ref(Py_None),
                         marker ? line_number(lines, e.marker_line) : new_ref(Py_None), e.found ? Py_True : Py_False,
                         PyLong_FromSize_t(e.found_line), line_number(lines, e.found_line), line_text(lines, e.line));
}

// Adds the finding of an integer out of the 32-bit range, where `failure` says.
int add_out_of_range(const reading::Failure& failure, int kind, const BlockSnapshot& snapshot, PyObject* findings) {
    const reading::BlockEntry& entry = snapshot.blocks()[failure.block];
    Ref field(failure.line < entry.lines.size()
                  ? str_of(entry.lines.line(failure.line).sub(failure.field.start, failure.field.length))
                  : PyUnicode_FromString(""));
    Ref t(field ? Py_BuildValue("(siinnNO)", "out-of-range", kind, static_cast<int>(entry.block_id),
                                static_cast<Py_ssize_t>(failure.block), static_cast<Py_ssize_t>(failure.line),
                                line_number(entry.lines, failure.line), field.get())
                : nullptr);
    return !t || PyList_Append(findings, t.get()) < 0 ? -1 : 0;
}

// Block 601 has no record structure to pass lines over (every line is
// judged alone), but an id beyond 32 bits makes get_materials raise: the
// walk runs only to find that.
int check_materials(PyObject* blocks, PyObject* path, PyObject* findings) {
    BlockSnapshot snapshot;
    if (snapshot.take(blocks) < 0) return -1;
    std::vector<int32_t> ids;
    PyHost host;
    reading::Context ctx(host);
    reading::Outcome outcome;
    host.release(snapshot.worth_releasing());
    try {
        outcome = reading::read_materials(ctx, snapshot.blocks(), ids);
    } catch (const std::bad_alloc&) {
        outcome = ctx.fail(reading::Failure::Kind::no_memory);
    }
    host.reacquire();
    if (outcome != reading::Outcome::fail) return 0;
    if (ctx.failure().kind == reading::Failure::Kind::out_of_range)
        return add_out_of_range(ctx.failure(), 601, snapshot, findings);
    raise_failure(ctx.failure(), snapshot, host, path);
    return -1;
}

// Runs one walk over the blocks `blocks` and adds its findings and counts.
template <typename Walk>
int check_walk(PyObject* blocks, PyObject* path, int kind, Walk&& walk, PyObject* walks, PyObject* findings,
               size_t& truncated) {
    BlockSnapshot snapshot;
    if (snapshot.take(blocks) < 0) return -1;
    reading::FindingCollector seen(kMaxFindings);
    reading::Failure failure;
    {
        PyHost host;
        reading::Context ctx(host);
        reading::Outcome outcome;
        host.release(snapshot.worth_releasing());
        try {
            outcome = walk(ctx, snapshot.blocks(), seen);
        } catch (const std::bad_alloc&) {
            outcome = ctx.fail(reading::Failure::Kind::no_memory);
        }
        host.reacquire();
        failure = ctx.failure();
        if (outcome == reading::Outcome::fail && failure.kind != reading::Failure::Kind::out_of_range) {
            raise_failure(failure, snapshot, host, path);
            return -1;
        }
    }
    for (const reading::Finding& e : seen.findings) {
        Ref t(event_tuple(e, kind, snapshot));
        if (!t || PyList_Append(findings, t.get()) < 0) return -1;
    }
    if (failure.kind == reading::Failure::Kind::out_of_range && add_out_of_range(failure, kind, snapshot, findings) < 0)
        return -1;
    truncated += seen.dropped;
    Ref key(PyLong_FromLong(kind));
    Ref counts(Py_BuildValue("(nnnnO)", static_cast<Py_ssize_t>(seen.records), static_cast<Py_ssize_t>(seen.record_lines),
                             static_cast<Py_ssize_t>(seen.passed_lines), static_cast<Py_ssize_t>(seen.blank_lines),
                             failure.kind == reading::Failure::Kind::out_of_range ? Py_False : Py_True));
    if (!key || !counts || PyDict_SetItem(walks, key.get(), counts.get()) < 0) return -1;
    return 0;
}

}  // namespace

PyObject* check_parser(ParserObject* self) {
    return with_memory_guard([&]() -> PyObject* {
        Ref keep(Ref::borrow(reinterpret_cast<PyObject*>(self)));
        Ref path = Ref::borrow(self->filepath);
        Ref walks(PyDict_New());
        Ref findings(PyList_New(0));
        if (!walks || !findings) return nullptr;
        size_t truncated = 0;
        struct Kind {
            int block_id;
            reading::Outcome (*walk)(reading::Context&, const reading::BlockSet&, reading::Observer&);
        };
        const Kind kinds[] = {
            {402, [](reading::Context& c, const reading::BlockSet& b, reading::Observer& o) {
                 std::vector<reading::Property> out;
                 return reading::read_properties(c, b, out, &o);
             }},
            {403, [](reading::Context& c, const reading::BlockSet& b, reading::Observer& o) {
                 reading::NodeTable out;
                 return reading::read_nodes(c, b, out, &o);
             }},
            {404, [](reading::Context& c, const reading::BlockSet& b, reading::Observer& o) {
                 reading::ElementTable out;
                 return reading::read_elements(c, b, out, &o);
             }},
            {450, [](reading::Context& c, const reading::BlockSet& b, reading::Observer& o) {
                 std::vector<reading::OutputSet> out;
                 return reading::read_output_sets(c, b, out, &o);
             }},
        };
        for (const Kind& k : kinds) {
            Ref blocks(self->ops->get_blocks(self, k.block_id, 0));  // overrides honoured
            if (!blocks) return nullptr;
            if (check_walk(blocks.get(), path.get(), k.block_id, k.walk, walks.get(), findings.get(), truncated) < 0)
                return nullptr;
        }
        {
            Ref materials(self->ops->get_blocks(self, 601, 0));
            if (!materials || check_materials(materials.get(), path.get(), findings.get()) < 0) return nullptr;
        }
        Ref blocks(self->ops->get_output_vector_blocks(self));
        if (!blocks) return nullptr;
        if (check_walk(
                blocks.get(), path.get(), 1051,
                [](reading::Context& c, const reading::BlockSet& b, reading::Observer& o) {
                    reading::VectorTable out;
                    return reading::read_vectors(c, b, out, false, &o);
                },
                walks.get(), findings.get(), truncated) < 0)
            return nullptr;
        return Py_BuildValue("{sOsOsn}", "walks", walks.get(), "findings", findings.get(), "truncated",
                             static_cast<Py_ssize_t>(truncated));
    });
}

}  // namespace tremix
