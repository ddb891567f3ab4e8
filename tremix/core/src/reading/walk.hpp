// The one walk over the blocks an operation reads, shared by every record
// kind: blocks in list order, each block's lines by an index that the
// record reader moves on (by the record's length, or by one line when the
// line starts no record). An observer, when given, hears what became of
// every line: read as part of a record, or passed over and why.
#pragma once

#include <algorithm>
#include <cstdint>

#include "context.hpp"
#include "lines.hpp"
#include "tokenizer.hpp"

namespace tremix::reading {

// Why a line examined as the possible first line of a record was passed over.
struct Pass {
    enum class Reason : uint8_t {
        blank,       // no fields at all
        few_fields,  // fewer fields than the record's first line needs
        few_data_fields,  // a line inside a result vector's data with one field
        bad_field,   // a field of the record does not convert
    };
    Reason reason = Reason::blank;
    size_t fields = 0;       // fields of the examined line
    size_t needed = 0;       // fields its record needs
    size_t bad_line = 0;     // line holding the field that did not convert
    Span bad_field{};        // that field, in that line
    size_t bad_index = 0;    // its index among the line's fields
    size_t span = 1;         // lines the walk steps over: 1, or for a result vector its
                             // lines up to the bad one
};

// A range record of a result vector whose lines hold another number of
// values than it has entity ids (last - first + 1): fewer before the
// vector's end-of-data line or its block's end, more up to its last line,
// or ids that run down.
struct RangeCount {
    size_t line = 0;          // the record's first line
    int32_t first = 0, last = 0;
    size_t values = 0;        // values read for it
    size_t end_line = 0;      // its last line, or the end-of-data line that cut it short (n: the block's end)
    bool at_marker = false;   // cut short by the vector's end-of-data line
};

class Observer {
  public:
    virtual ~Observer() = default;
    // A record was read from `count` lines starting at `line`.
    virtual void record(size_t block, size_t line, size_t count) = 0;
    // The line was examined as a record's first line and passed over.
    virtual void passed(size_t block, size_t line, const Pass& why) = 0;
    // A result vector's search for its entity-type lines went on past the
    // vector's own end-of-data line (`marker_line`), to `found_line`, or to
    // the block's end (found false).
    virtual void vector_overrun(size_t block, size_t start_line, size_t marker_line, bool found,
                                size_t found_line) = 0;
    // A result vector's data ran to its block's end with no end-of-data line.
    virtual void vector_unterminated(size_t block, size_t start_line, size_t last_line) = 0;
    // A range record of a vector that was read holds another number of
    // values than it has entity ids.
    virtual void range_count(size_t /*block*/, const RangeCount& /*range*/) {}
    // Findings of that kind beyond those a walk notes for one vector.
    virtual void not_noted(size_t /*count*/) {}
    // Whether the walk stores the records it reads as well: a watched walk
    // only counts them unless asked to.
    virtual bool keeps_records() const { return false; }
};

// A line and its fields, read through the context (which notes where
// reading stands). fail for a line that is not text.
struct SplitLine {
    TextView text{};
    FieldList fields;

    size_t size() const { return fields.size(); }
    Span operator[](size_t i) const { return fields[i]; }
    bool field_is(size_t i, std::string_view ascii) const { return equals_ascii(text, fields[i], ascii); }

    Outcome load(Context& ctx, const BlockLines& lines, size_t i) {
        if (!fetch(ctx, lines, i)) return Outcome::fail;
        return split(ctx);
    }
    // Splits the text fetched last.
    Outcome split(Context& ctx) {
        split_fields(text, fields, &ctx);
        return ctx.failure().kind == Failure::Kind::interrupted ? Outcome::fail : Outcome::ok;
    }
    // Only the text, not split.
    bool fetch(Context& ctx, const BlockLines& lines, size_t i) {
        ctx.at(ctx.block(), i);
        text = lines.line(i);
        if (text.kind == 0) {
            ctx.fail(Failure::Kind::not_text);
            return false;
        }
        return true;
    }
};

// The title on line i of a block of n lines: the line stripped, then its
// trailing commas removed, "<NULL>" standing for no title (title_span).
// `title` is left as it is when the block ends before line i. False for a
// line that is not text.
inline bool title_at(Context& ctx, const BlockLines& lines, size_t n, size_t i, TextView& title) {
    if (i >= n) return true;
    SplitLine line;
    if (!line.fetch(ctx, lines, i)) return false;
    const Span t = title_span(line.text);
    title = line.text.sub(t.start, t.length);
    return true;
}

// A place in the blocks of a walk.
struct Position {
    size_t block = 0;
    size_t line = 0;
    friend bool operator==(const Position&, const Position&) = default;
};

// Where a walk starts, where it stops taking new records, and whether it
// is to stop early.
struct WalkFrom {
    size_t block = 0;
    size_t line = 0;
    const bool* stop = nullptr;  // checked after every step
    Position until{SIZE_MAX, 0};   // no record starts at or after it
    Position* reached = nullptr;   // set to where the walk ended
};

// Calls read(block, lines, n, i) for line i of each block while i < n;
// `read` moves i on and returns fail to end the walk.
template <typename Read>
Outcome walk_blocks(Context& ctx, const BlockSet& blocks, Read&& read, WalkFrom from = {}) {
    const size_t last = std::min(blocks.size(), from.until.block == SIZE_MAX ? SIZE_MAX : from.until.block + 1);
    for (size_t b = from.block; b < last; ++b) {
        const BlockEntry& entry = blocks[b];
        ctx.at(b, 0);
        if (entry.state == BlockEntry::State::not_a_block) return ctx.fail(Failure::Kind::not_a_block);
        if (entry.state == BlockEntry::State::no_lines) return ctx.fail(Failure::Kind::no_lines);
        const size_t n = entry.lines.size();
        const size_t end = b == from.until.block ? std::min(n, from.until.line) : n;
        size_t i = b == from.block ? from.line : 0;
        while (i < end) {
            if (!ctx.tick()) return Outcome::fail;
            if (read(b, entry.lines, n, i) == Outcome::fail) return Outcome::fail;
            if (from.stop && *from.stop) return Outcome::ok;
        }
        if (from.reached) *from.reached = Position{b, i};
    }
    return Outcome::ok;
}

// Lines in all the blocks, an upper bound for sizing outputs.
inline size_t total_lines(const BlockSet& blocks) {
    size_t n = 0;
    for (const BlockEntry& e : blocks) {
        if (e.state == BlockEntry::State::lines) n += e.lines.size();
    }
    return n;
}

// About how long walking the blocks takes, in the time reading one
// character takes: each line costs as much again as a few characters (its
// start looked up, its first field looked at). Lines that are items, whose
// sizes are not known without looking at each, count as lines of a typical
// size. Used to share a walk out between two threads evenly: a block of
// short lines (a single value each) takes longer than its share of the
// characters says, and a block of long ones (ten values a line) longer than
// its share of the lines says.
inline size_t block_work(const BlockEntry& e) {
    constexpr size_t kLineWork = 16, kTypicalLine = 40;
    if (e.state != BlockEntry::State::lines) return 0;
    const size_t n = e.lines.size(), chars = e.lines.chars_from(0);
    return n * kLineWork + (chars == SIZE_MAX ? n * kTypicalLine : chars);
}
inline size_t total_work(const BlockSet& blocks) {
    size_t work = 0;
    for (const BlockEntry& e : blocks) work += block_work(e);
    return work;
}

// Lines of the blocks from `from` on.
inline size_t lines_from(const BlockSet& blocks, const WalkFrom& from) {
    size_t n = 0;
    for (size_t b = from.block; b < blocks.size(); ++b) {
        if (blocks[b].state != BlockEntry::State::lines) continue;
        const size_t size = blocks[b].lines.size();
        n += b == from.block ? size - std::min(size, from.line) : size;
    }
    return n;
}

// Lines of the blocks before `at`, which is in a block with lines.
inline size_t lines_before(const BlockSet& blocks, Position at) {
    size_t n = at.line;
    for (size_t b = 0; b < at.block && b < blocks.size(); ++b) {
        if (blocks[b].state == BlockEntry::State::lines) n += blocks[b].lines.size();
    }
    return n;
}

// The Pass for a line with too few fields.
inline Pass too_few(const SplitLine& line, size_t needed) {
    Pass p;
    p.reason = line.size() == 0 ? Pass::Reason::blank : Pass::Reason::few_fields;
    p.fields = line.size();
    p.needed = needed;
    return p;
}

// The Pass for a field that did not convert.
inline Pass bad_field(size_t fields, size_t bad_line, Span field, size_t index) {
    Pass p;
    p.reason = Pass::Reason::bad_field;
    p.fields = fields;
    p.bad_line = bad_line;
    p.bad_field = field;
    p.bad_index = index;
    return p;
}

}  // namespace tremix::reading
