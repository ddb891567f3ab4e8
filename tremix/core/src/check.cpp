#include "check.hpp"

#include <algorithm>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "arrays.hpp"
#include "block.hpp"
#include "core_call.hpp"
#include "parser.hpp"
#include "reading/format.hpp"
#include "reading/findings.hpp"
#include "reading/records.hpp"
#include "reading/two_threads.hpp"
#include "reading/vectors.hpp"
#include "vector_catalogue.hpp"

namespace tremix {

namespace {

// Findings kept at most; the rest are only counted.
constexpr size_t kMaxFindings = 100000;

// Times the walks' blocks are taken again when a reading into the parser
// (its __init__ run again on another thread) replaced its blocks or report
// meanwhile; the last taking is kept however it went.
constexpr int kMostTakings = 3;

// The str of text the splitter kept as UTF-8. A text read with
// surrogateescape (or handed over as str) may hold lone surrogates, which
// the splitter encodes like any other character.
PyObject* utf8_text(const std::string& text) {
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogatepass");
}

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
        case reading::Pass::Reason::few_data_fields: return "few-data-fields";
        case reading::Pass::Reason::bad_field: return "bad-field";
    }
    return "";
}

// Whether block `index` is stored text of another file than the parser's
// own (the serial of its text, 0 when it read none).
bool of_another_file(const BlockSnapshot& snapshot, size_t index, uint64_t own) {
    const reading::FileText* text = snapshot.text_of(index);
    return own != 0 && text && text->serial != own;
}

// Block `index`'s lines as its findings place them: numbered in the file
// the parser read, not in another file whose blocks it holds (read by
// another parser), which its findings would seem to be about; a parser
// that read no file of its own takes the numbers of the file its blocks
// come from.
reading::BlockLines numbered_lines(const BlockSnapshot& snapshot, size_t index, uint64_t own) {
    const reading::BlockLines& lines = snapshot.blocks()[index].lines;
    return of_another_file(snapshot, index, own) ? lines.unnumbered() : lines;
}

// One finding as a tuple:
//   ("skipped-line", record kind, block id, block index, line index, file line,
//    line text, reason, fields, needed, bad line index, bad file line,
//    bad field text, bad field index, lines given up)
//   ("vector-overrun", record kind, block id, block index, line index, file line,
//    marker line index or None, marker file line, found, found line index, found file line,
//    start line text)
//   ("vector-unterminated", record kind, block id, block index, line index, file line,
//    last line index, last file line, start line text, in the block the file ended inside)
//   ("range-count", record kind, block id, block index, line index, file line,
//    line text, first id, last id, values, end line index, end file line, at end-of-data line)
//   ("out-of-range", record kind, block id, block index, line index, file line, field text)
PyObject* event_tuple(const reading::Finding& e, int kind, const BlockSnapshot& snapshot,
                      uint64_t own) {
    const reading::BlockEntry& entry = snapshot.blocks()[e.block];
    const reading::BlockLines lines = numbered_lines(snapshot, e.block, own);
    if (e.kind == reading::Finding::Kind::range_count) {
        const reading::RangeCount& r = e.range;
        return Py_BuildValue("(siinnNNiinnNO)", "range-count", kind, static_cast<int>(entry.block_id),
                             static_cast<Py_ssize_t>(e.block), static_cast<Py_ssize_t>(e.line),
                             line_number(lines, e.line), line_text(lines, e.line), r.first, r.last,
                             static_cast<Py_ssize_t>(r.values), static_cast<Py_ssize_t>(r.end_line),
                             line_number(lines, r.end_line), r.at_marker ? Py_True : Py_False);
    }
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
    if (e.kind == reading::Finding::Kind::unterminated) {
        return Py_BuildValue("(siinnNnNNO)", "vector-unterminated", kind, static_cast<int>(entry.block_id),
                             static_cast<Py_ssize_t>(e.block), static_cast<Py_ssize_t>(e.line),
                             line_number(lines, e.line), static_cast<Py_ssize_t>(e.found_line),
                             line_number(lines, e.found_line), line_text(lines, e.line),
                             // Another file's end is not the one the parser's own
                             // unclosed-block finding tells of.
                             snapshot.ends_file(e.block) && !of_another_file(snapshot, e.block, own) ? Py_True
                                                                                                      : Py_False);
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
int add_out_of_range(const reading::Failure& failure, int kind, const BlockSnapshot& snapshot,
                     uint64_t own, PyObject* findings) {
    const reading::BlockEntry& entry = snapshot.blocks()[failure.block];
    Ref field(failure.line < entry.lines.size()
                  ? str_of(entry.lines.line(failure.line).sub(failure.field.start, failure.field.length))
                  : PyUnicode_FromString(""));
    Ref t(field ? Py_BuildValue("(siinnNO)", "out-of-range", kind, static_cast<int>(entry.block_id),
                                static_cast<Py_ssize_t>(failure.block), static_cast<Py_ssize_t>(failure.line),
                                line_number(numbered_lines(snapshot, failure.block, own), failure.line), field.get())
                : nullptr);
    return !t || PyList_Append(findings, t.get()) < 0 ? -1 : 0;
}

// One record walk of a check: its blocks, what it saw, how it ended.
struct Job {
    using Walk = std::function<reading::Outcome(reading::Context&, const reading::BlockSet&, reading::Observer&)>;
    int32_t kind;  // its block number
    Walk walk;
    BlockSnapshot snapshot;
    bool keeps_records = false;
    reading::FindingCollector seen{kMaxFindings};
    reading::Outcome outcome = reading::Outcome::ok;
    reading::Failure failure;

    // Runs the walk; false when it failed for another reason than an
    // integer out of range (which check reports as a finding).
    bool run(reading::Context& ctx) {
        seen = reading::FindingCollector(kMaxFindings, keeps_records);
        try {
            outcome = walk(ctx, snapshot.blocks(), seen);
        } catch (const std::bad_alloc&) {
            outcome = ctx.fail(reading::Failure::Kind::no_memory);
        }
        failure = ctx.failure();
        return !stopped();
    }
    bool stopped() const {
        return outcome == reading::Outcome::fail && failure.kind != reading::Failure::Kind::out_of_range;
    }
};

reading::Outcome walk_properties(reading::Context& c, const reading::BlockSet& b, reading::Observer& o) {
    std::vector<reading::Property> out;
    return reading::read_properties(c, b, out, &o);
}
reading::Outcome walk_sets(reading::Context& c, const reading::BlockSet& b, reading::Observer& o) {
    std::vector<reading::OutputSet> out;
    return reading::read_output_sets(c, b, out, &o);
}
// Block 601 has no record structure to pass lines over (every line is
// judged alone), but an id beyond 32 bits makes get_materials raise: the
// walk runs only to find that.
reading::Outcome walk_materials(reading::Context& c, const reading::BlockSet& b, reading::Observer&) {
    std::vector<int32_t> out;
    return reading::read_materials(c, b, out);
}

// The part of the vectors walk read on the second thread, after the elements.
struct VectorsPart {
    reading::WalkFrom from;
    reading::FindingCollector seen{kMaxFindings};
    reading::VectorTable table;
    reading::Outcome outcome = reading::Outcome::ok;
    reading::Failure failure;
    bool read = false;  // and its reading stands

    void run(reading::Context& ctx, const reading::BlockSet& blocks, reading::Keep keep) {
        read = true;
        seen = reading::FindingCollector(kMaxFindings);
        table = {};
        try {
            outcome = reading::read_vectors_part(ctx, blocks, table, keep, &seen, from);
        } catch (const std::bad_alloc&) {
            outcome = ctx.fail(reading::Failure::Kind::no_memory);
        }
        failure = ctx.failure();
    }
};


// What a finished job adds to the result.
int report_job(const Job& job, uint64_t own, PyObject* walks, PyObject* findings, size_t& truncated) {
    for (const reading::Finding& e : job.seen.findings) {
        Ref t(event_tuple(e, job.kind, job.snapshot, own));
        if (!t || PyList_Append(findings, t.get()) < 0) return -1;
    }
    const bool out_of_range = job.failure.kind == reading::Failure::Kind::out_of_range;
    if (out_of_range && add_out_of_range(job.failure, job.kind, job.snapshot, own, findings) < 0) return -1;
    if (job.kind == reading::kMaterialBlock) return 0;
    truncated += job.seen.dropped;
    Ref key(PyLong_FromLong(job.kind));
    Ref counts(Py_BuildValue("(nnnnO)", static_cast<Py_ssize_t>(job.seen.records),
                             static_cast<Py_ssize_t>(job.seen.record_lines), static_cast<Py_ssize_t>(job.seen.passed_lines),
                             static_cast<Py_ssize_t>(job.seen.blank_lines), out_of_range ? Py_False : Py_True));
    return !key || !counts || PyDict_SetItem(walks, key.get(), counts.get()) < 0 ? -1 : 0;
}

// The work of the walks run on the first thread and of the elements walk,
// run on the second: where the vectors walk is cut so that both have about
// as much to do.
size_t vectors_split(const Job (&jobs)[6]) {
    size_t here = 0, all = 0, there = 0;
    const reading::BlockSet* blocks = nullptr;
    for (const Job& job : jobs) {
        const size_t work = reading::total_work(job.snapshot.blocks());
        if (job.kind == reading::kVectorBlock) {
            blocks = &job.snapshot.blocks();
            all = work;
        } else {
            (job.kind == reading::kElementBlock ? there : here) += work;
        }
    }
    // here + first part = there + (all - first part)
    const size_t first = here >= all + there ? 0 : std::min(all, (all + there - here) / 2);
    return reading::block_boundary_near(*blocks, first);
}

PyObject* model_arrays(const reading::NodeTable& nodes, const reading::ElementTable& elements,
                       reading::Outcome nodes_read, reading::Outcome elements_read, ArrayRoom& id_room,
                       ArrayRoom& xyz_room) {
    Ref node_pair(nodes_read == reading::Outcome::fail ? new_ref(Py_None) : nullptr);
    if (!node_pair) {
        Ref ids(numpy_int32_array(nodes.ids, &id_room));
        Ref coords(ids ? numpy_coords_array(nodes.xyz, &xyz_room) : nullptr);
        if (!coords) return nullptr;
        node_pair = Ref(PyTuple_Pack(2, ids.get(), coords.get()));
        if (!node_pair) return nullptr;
    }
    Ref topologies(elements_read == reading::Outcome::fail ? new_ref(Py_None) : numpy_int32_array(elements.topologies));
    if (!topologies) return nullptr;
    return Py_BuildValue("{sOsO}", "nodes", node_pair.get(), "topologies", topologies.get());
}

// The walks of one check over a parser's blocks, and what they keep: the
// counts and findings of every record kind, the vectors' catalogue, the
// node records and element topologies. The jobs' walks refer to this
// object's tables, so it stays where it was made.
class CheckWalks {
  public:
    CheckWalks(bool catalogue, bool model)
        : catalogue_(catalogue),
          model_(model),
          kept_(catalogue ? reading::Keep::ranges : reading::Keep::counts),
          // In walk order, which is the order their blocks are asked for
          // and their errors raised in. The elements walk runs beside the
          // others; the vectors walk, the longest, is shared out.
          jobs_{{reading::kPropertyBlock, walk_properties},
                {reading::kNodeBlock, [this](auto& c, auto& b, auto& o) { return walk_nodes(c, b, o); }, {}, model},
                {reading::kElementBlock, [this](auto& c, auto& b, auto& o) { return walk_elements(c, b, o); }, {},
                 model},
                {reading::kOutputSetBlock, walk_sets},
                {reading::kMaterialBlock, walk_materials},
                {reading::kVectorBlock, [this](auto& c, auto& b, auto& o) { return walk_vectors(c, b, o); }}} {}
    CheckWalks(const CheckWalks&) = delete;
    CheckWalks& operator=(const CheckWalks&) = delete;

    // Asks for the blocks of every walk, in walk order, overrides honoured,
    // and takes them with the report and blocks object they stand with:
    // again when a reading into the parser (its __init__ run again on
    // another thread) replaced those meanwhile. -1 with an exception.
    int take(ParserObject* self);
    bool worth_releasing() const { return worth_releasing_; }
    // Runs the walks, the elements walk on a second thread beside the
    // others with the later part of the vectors walk. False when waiting
    // for that thread was interrupted by a signal.
    bool run(PyHost& host);
    const BlockSnapshot& first_snapshot() const { return jobs_[0].snapshot; }
    // Raises the error of the first walk, in walk order, that stopped, and
    // says whether there was one.
    bool raise_stopped(PyHost& host, PyObject* path) const;
    // The check's result (see check.hpp), or nullptr with an exception. The
    // node records' arrays are handed over: it is made once.
    PyObject* result();

  private:
    // The walk of a block kind (each kind has one).
    Job& job(int32_t kind) {
        return *std::find_if(std::begin(jobs_), std::end(jobs_), [&](const Job& j) { return j.kind == kind; });
    }
    reading::Outcome walk_vectors(reading::Context& c, const reading::BlockSet& b, reading::Observer& o) {
        vectors_ = {};  // a walk read again starts afresh
        return reading::read_vectors_part(c, b, vectors_, kept_, &o, first_part_);
    }
    // The node table has room for a node a line up front (address space
    // only, until written), so that it is never copied as it grows: in the
    // arrays the records end up in, where NumPy's own could be made.
    reading::Outcome walk_nodes(reading::Context& c, const reading::BlockSet& b, reading::Observer& o) {
        nodes_ = {};
        if (o.keeps_records()) {
            nodes_ = reading::NodeTable{node_id_room_.column<int32_t>(), node_xyz_room_.column<double>()};
            const size_t lines = reading::total_lines(b);
            if (!nodes_.ids.in_room()) nodes_.ids.reserve(lines);
            if (!nodes_.xyz.in_room()) nodes_.xyz.reserve(3 * lines);
        }
        return reading::read_nodes(c, b, nodes_, &o);
    }
    // Of the elements only the topology codes are kept.
    reading::Outcome walk_elements(reading::Context& c, const reading::BlockSet& b, reading::Observer& o) {
        elements_ = {};
        elements_.topologies_only = true;
        return reading::read_elements(c, b, elements_, &o);
    }
    // Adds the later part of the vectors walk, where the walk of one thread
    // would have come to it: after a first part that ended without failing.
    void join_vector_parts(PyHost& host);

    const bool catalogue_;
    const bool model_;
    // The vectors walk passes over every value anyway: converting them
    // there gives the catalogue's ranges without a walk of its own.
    const reading::Keep kept_;
    reading::VectorTable vectors_;
    reading::WalkFrom first_part_;
    VectorsPart second_part_;
    bool shared_ = false;  // the vectors walk is cut in two parts
    // The node records and element topologies are kept only when asked for.
    ArrayRoom node_id_room_, node_xyz_room_;
    reading::NodeTable nodes_;
    reading::ElementTable elements_;
    Job jobs_[6];
    Ref vector_blocks_;
    Ref parser_blocks_;
    SharedReport report_;
    bool worth_releasing_ = false;
};

int CheckWalks::take(ParserObject* self) {
    for (int taking = 1;; ++taking) {
        parser_blocks_ = Ref::borrow(self->blocks);
        report_ = parser_report(self);
        worth_releasing_ = false;
        for (Job& job : jobs_) {
            Ref blocks(job.kind == reading::kVectorBlock ? self->ops->get_output_vector_blocks(self)
                                        : self->ops->get_blocks(self, job.kind, 0));
            if (!blocks || job.snapshot.take(blocks.get()) < 0) return -1;
            worth_releasing_ = worth_releasing_ || job.snapshot.worth_releasing();
            if (job.kind == reading::kVectorBlock) vector_blocks_ = std::move(blocks);
        }
        const bool still = self->blocks == parser_blocks_.get() && parser_report(self) == report_;
        if (still || taking == kMostTakings) break;
    }
    if (model_) {
        const size_t lines = reading::total_lines(job(reading::kNodeBlock).snapshot.blocks());
        node_id_room_ = ArrayRoom(ArrayRoom::Type::int32, lines, 1);
        node_xyz_room_ = ArrayRoom(ArrayRoom::Type::float64, lines, 3);
    }
    return 0;
}

bool CheckWalks::run(PyHost& host) {
    // The vectors walk, usually the longest, is cut at a block boundary so
    // that the second thread reads its later part after the elements. What
    // that thread had to defer is read again here.
    const reading::BlockSet& vector_set = job(reading::kVectorBlock).snapshot.blocks();
    const size_t cut = vectors_split(jobs_);
    shared_ = cut < vector_set.size();
    if (shared_) {
        first_part_.until = reading::Position{cut, 0};
        second_part_.from.block = cut;
    }
    Job& elements = job(reading::kElementBlock);
    // Waiting for the second thread, which may read most of the vectors,
    // this one still answers a signal.
    bool stopped_waiting = false;
    const bool beside = reading::run_beside(
        [&] {
            for (Job& other : jobs_) {
                if (&other == &elements) continue;
                reading::Context ctx(host);
                if (!other.run(ctx)) return false;
            }
            return true;
        },
        [&](reading::Context& ctx) {
            elements.run(ctx);
            if (!shared_ || elements.stopped()) return;
            reading::Context c(ctx.host());
            second_part_.run(c, vector_set, kept_);
            // Stopped before its end, the later part is not usable either.
            if (c.failure().kind == reading::Failure::Kind::interrupted) ctx.fail_with(c.failure());
        },
        [&] {
            stopped_waiting = !host.keep_going();
            return !stopped_waiting;
        });
    // Stopped there because a walk here stopped, the elements walk has no
    // outcome of its own: that is no signal, nor its error to raise.
    if (elements.failure.kind == reading::Failure::Kind::interrupted) {
        elements.outcome = reading::Outcome::ok;
        elements.failure = {};
    }
    if (stopped_waiting) return false;
    const bool interrupted = std::any_of(std::begin(jobs_), std::end(jobs_), [](const Job& j) {
        return j.failure.kind == reading::Failure::Kind::interrupted;
    });
    if (!beside && !interrupted) {
        second_part_.read = false;
        reading::Context ctx(host);
        elements.run(ctx);
    }
    join_vector_parts(host);
    return true;
}

void CheckWalks::join_vector_parts(PyHost& host) {
    // After a walk that stopped (an interrupted one among them) the check
    // raises that walk's error: the part is not read then.
    Job& vector_job = job(reading::kVectorBlock);
    const bool any_stopped = std::any_of(std::begin(jobs_), std::end(jobs_), [](const Job& j) { return j.stopped(); });
    if (!shared_ || vector_job.outcome == reading::Outcome::fail || any_stopped) return;
    if (!second_part_.read) {
        reading::Context c(host);
        second_part_.run(c, vector_job.snapshot.blocks(), kept_);
    }
    vector_job.seen.append(second_part_.seen);
    vectors_.vectors.insert(vectors_.vectors.end(), second_part_.table.vectors.begin(),
                            second_part_.table.vectors.end());
    if (second_part_.outcome == reading::Outcome::fail) {
        vector_job.outcome = second_part_.outcome;
        vector_job.failure = second_part_.failure;
    }
}

bool CheckWalks::raise_stopped(PyHost& host, PyObject* path) const {
    for (const Job& job : jobs_) {
        if (job.stopped()) {
            raise_failure(job.failure, job.snapshot, host, path);
            return true;
        }
    }
    return false;
}

PyObject* CheckWalks::result() {
    Ref walks(PyDict_New());
    Ref findings(PyList_New(0));
    if (!walks || !findings) return nullptr;
    size_t truncated = 0;
    const uint64_t own = report_ ? report_->text_serial : 0;  // the serial of the parser's own text
    for (const Job& job : jobs_) {
        if (report_job(job, own, walks.get(), findings.get(), truncated) < 0) return nullptr;
    }
    Ref report_of(report_dict(report_));
    if (!report_of) return nullptr;
    Ref result(Py_BuildValue("{sOsOsnsOsO}", "walks", walks.get(), "findings", findings.get(), "truncated",
                             static_cast<Py_ssize_t>(truncated), "report", report_of.get(), "blocks",
                             parser_blocks_.get()));
    if (!result) return nullptr;
    if (catalogue_) {
        // A vectors walk cut short by an integer out of range read only
        // part of the vectors: no catalogue.
        Ref entries(job(reading::kVectorBlock).outcome == reading::Outcome::fail
                        ? new_ref(Py_None)
                        : catalogue_tuple(vector_blocks_.get(), vectors_, true));
        if (!entries || PyDict_SetItemString(result.get(), "catalogue", entries.get()) < 0) return nullptr;
    }
    if (model_) {
        Ref arrays(model_arrays(nodes_, elements_, job(reading::kNodeBlock).outcome, job(reading::kElementBlock).outcome, node_id_room_,
                                node_xyz_room_));
        if (!arrays || PyDict_SetItemString(result.get(), "model", arrays.get()) < 0) return nullptr;
    }
    return result.release();
}

}  // namespace

PyObject* report_dict(const SharedReport& held) {
    // `held` keeps the report for the whole conversion: a collection started
    // by an allocation may run code that reads another file into the parser.
    if (!held) Py_RETURN_NONE;
    const reading::ReadReport& report = *held;
    Ref stray(PyList_New(0));
    if (!stray) return nullptr;
    for (const reading::StrayText& s : report.stray) {
        Ref first_text(utf8_text(s.first_text));
        Ref bad_number_text(first_text ? utf8_text(s.bad_number_text) : nullptr);
        if (!bad_number_text) return nullptr;
        Ref item(Py_BuildValue("{sKsKsKsOsKsKsO}", "first_line", static_cast<unsigned long long>(s.first_line),
                               "last_line", static_cast<unsigned long long>(s.last_line), "count",
                               static_cast<unsigned long long>(s.count), "first_text", first_text.get(),
                               "delimiter_like_line", static_cast<unsigned long long>(s.delimiter_like_line),
                               "bad_number_line", static_cast<unsigned long long>(s.bad_number_line),
                               "bad_number_text", bad_number_text.get()));
        if (!item || PyList_Append(stray.get(), item.get()) < 0) return nullptr;
    }
    Ref unclosed(report.unclosed ? Py_BuildValue("(iK)", static_cast<int>(report.unclosed_id),
                                                 static_cast<unsigned long long>(report.unclosed_last_line))
                                 : new_ref(Py_None));
    if (!unclosed) return nullptr;
    Ref first_line_text(utf8_text(report.first_line_text));
    if (!first_line_text) return nullptr;
    return Py_BuildValue("{sKsOsKsKsOsKsO}", "lines", static_cast<unsigned long long>(report.lines), "stray",
                         stray.get(), "stray_runs", static_cast<unsigned long long>(report.stray_runs),
                         "last_delimiter_line", static_cast<unsigned long long>(report.last_delimiter_line),
                         "unclosed", unclosed.get(), "blocks", static_cast<unsigned long long>(report.blocks),
                         "first_line_text", first_line_text.get());
}

PyObject* check_parser(ParserObject* self, bool catalogue, bool model) {
    return with_memory_guard([&]() -> PyObject* {
        Ref keep(Ref::borrow(reinterpret_cast<PyObject*>(self)));
        Ref path = Ref::borrow(self->filepath);
        CheckWalks walks(catalogue, model);
        if (walks.take(self) < 0) return nullptr;
        PyHost host;
        host.release(walks.worth_releasing());
        const bool waited = walks.run(host);
        host.reacquire();
        if (!waited) {
            raise_failure(reading::Failure{reading::Failure::Kind::interrupted}, walks.first_snapshot(), host,
                          path.get());
            return nullptr;
        }
        if (walks.raise_stopped(host, path.get())) return nullptr;
        return walks.result();
    });
}

}  // namespace tremix
