#include "vectors.hpp"

#include <climits>

#include "numbers.hpp"
#include "two_threads.hpp"
#include "vector_data.hpp"

namespace tremix::reading {

namespace {

constexpr size_t kNoLine = SIZE_MAX;

struct Located {
    int32_t ent_type = -1;
    bool found = false;
    size_t data_start = 0;
    size_t marker_line = kNoLine;  // first end-of-data line the search passed
};

// Searches the entity-type line pair from v + 3 on, to the block's end if
// need be. Only a rejected integer passes a pair over; an entity type out
// of range, or a line that is not text, fails.
Outcome locate_pair(Context& ctx, const BlockLines& lines, size_t n, size_t v, VectorWorkspace& ws, Located& out) {
    SplitLine* first = &ws.pair_first;
    SplitLine* second = &ws.pair_second;
    bool have_first = false;
    out = Located{};
    for (size_t k = v + 3; k + 1 < n; ++k) {
        if (!ctx.tick()) return Outcome::fail;
        // Line k is the line k + 1 of the step before: its fields are kept.
        if (have_first) {
            std::swap(first, second);
        } else if (first->load(ctx, lines, k) == Outcome::fail) {
            return Outcome::fail;
        }
        if (out.marker_line == kNoLine && is_end_marker(*first)) out.marker_line = k;
        if (second->load(ctx, lines, k + 1) == Outcome::fail) return Outcome::fail;
        have_first = true;
        if (first->size() != 4 || second->size() != 3) continue;
        Outcome o = Outcome::ok;
        ctx.at(ctx.block(), k);
        for (size_t f = 0; f < 3 && o == Outcome::ok; ++f) o = check_int(ctx, first->text, (*first)[f]);
        int32_t ent_type = -1;
        if (o == Outcome::ok) o = to_int32(ctx, first->text, (*first)[3], ent_type);
        ctx.at(ctx.block(), k + 1);
        for (size_t f = 0; f < 3 && o == Outcome::ok; ++f) o = check_int(ctx, second->text, (*second)[f]);
        if (o == Outcome::fail) return o;
        if (o == Outcome::ok) {
            out.ent_type = ent_type;
            out.found = true;
            out.data_start = k + 2;
            return Outcome::ok;
        }
    }
    if (have_first && out.marker_line == kNoLine && is_end_marker(*second)) out.marker_line = n - 1;
    out.data_start = n;
    return Outcome::ok;
}

// Set id and vector id of a start line already loaded in ws.line; on skip
// `bad` tells which field.
Outcome read_ids(Context& ctx, const SplitLine& line, VectorRecord& r, BadValue& bad, size_t i) {
    bad = BadValue{i, line[0], 0};
    Outcome o = to_int32(ctx, line.text, line[0], r.set_id);
    if (o != Outcome::ok) return o;
    bad = BadValue{i, line[1], 1};
    return to_int32(ctx, line.text, line[1], r.vec_id);
}

bool passes(int32_t filter, int32_t id) { return filter < 0 || filter == id; }


Outcome walk_vectors(Context& ctx, const BlockSet& blocks, VectorTable& out, Keep keep, Observer* observer,
                     WalkFrom from) {
    VectorWorkspace ws;
    ws.note_ranges = observer != nullptr;
    ValueSink values{out.ids, out.values};
    CountSink<false> counts;
    CountSink<true> ranges;
    return walk_blocks(ctx, blocks, [&](size_t b, const BlockLines& lines, size_t n, size_t& i) -> Outcome {
        const size_t v = i;
        if (ws.line.load(ctx, lines, v) == Outcome::fail) return Outcome::fail;
        if (ws.line.size() < 2) {
            if (observer) observer->passed(b, v, too_few(ws.line, 2));
            ++i;
            return Outcome::skip;
        }
        const size_t fields = ws.line.size();
        VectorRecord r;
        r.block = b;
        r.start_line = v;
        r.begin = out.values.size();
        BadValue bad;
        Outcome o = read_ids(ctx, ws.line, r, bad, v);
        Located at;
        if (o == Outcome::ok) {
            if (!title_at(ctx, lines, n, v + 1, r.title)) return Outcome::fail;
            if (locate_pair(ctx, lines, n, v, ws, at) == Outcome::fail) return Outcome::fail;
            r.ent_type = at.ent_type;
            r.found = at.found;
            r.data_start = i = at.data_start;
            if (keep == Keep::values) {
                o = read_data(ctx, lines, n, i, ws, bad, values);
                r.stored = out.values.size() - r.begin;
            } else if (keep == Keep::counts) {
                counts.reset();
                o = read_data(ctx, lines, n, i, ws, bad, counts);
                if (o == Outcome::ok && !counts.distinct(ctx, r.distinct)) return Outcome::fail;
                r.stored = counts.stored;
            } else {
                ranges.reset();
                o = read_data(ctx, lines, n, i, ws, bad, ranges);
                r.stored = ranges.stored;
                if (o == Outcome::ok) {
                    if (!ranges.distinct(ctx, r.distinct)) return Outcome::fail;
                    r.finite = ranges.range.finite();
                    r.minimum = r.finite ? ranges.range.minimum() : 0.0;
                    r.maximum = r.finite ? ranges.range.maximum() : 0.0;
                    r.repeats = r.distinct != ranges.stored;
                }
            }
        }
        if (o == Outcome::fail) return o;
        if (o == Outcome::skip) {
            out.ids.resize(r.begin);
            out.values.resize(r.begin);
            if (observer) {
                Pass why = bad_field(fields, bad.line, bad.field, bad.index);
                why.span = bad.line - v + 1;
                observer->passed(b, v, why);
            }
            i = bad.line + 1;
            return o;
        }
        r.end = out.values.size();
        r.block_lines = n;
        r.data_end = i;
        out.vectors.push_back(r);
        if (observer) {
            observer->record(b, v, i - v);
            if (!at.found || at.marker_line != kNoLine)
                observer->vector_overrun(b, v, at.marker_line, at.found, at.found ? at.data_start - 2 : n);
            if (at.found && !ws.marked) observer->vector_unterminated(b, v, n - 1);
            for (const RangeCount& range : ws.ranges_off) observer->range_count(b, range);
            if (ws.ranges_off_more) observer->not_noted(ws.ranges_off_more);
            // Lines of the vector's record (counted with it above): none is
            // given up beside it, so each spans no line of its own.
            for (const size_t line : ws.lone_fields) {
                observer->passed(b, line,
                                 Pass{.reason = Pass::Reason::few_data_fields, .fields = 1, .needed = 2, .span = 0});
            }
            if (ws.lone_fields_more) observer->not_noted(ws.lone_fields_more);
        }
        return Outcome::ok;
    }, from);
}

}  // namespace

Outcome read_vectors(Context& ctx, const BlockSet& blocks, VectorTable& out, Keep keep, Observer* observer) {
    if (keep == Keep::values || observer) return walk_vectors(ctx, blocks, out, keep, observer, WalkFrom{});
    // Counting keeps no values, and no vector spans blocks: the blocks are
    // shared out between two threads at a block boundary.
    return walk_in_two(
        ctx, halfway_at_block(blocks), out,
        [&](Context& c, WalkFrom from, VectorTable& table) { return walk_vectors(c, blocks, table, keep, nullptr, from); },
        [](VectorTable&, Position) { return VectorTable{}; },
        [](VectorTable& first, VectorTable& second, bool keep_second) {
            if (keep_second) first.vectors.insert(first.vectors.end(), second.vectors.begin(), second.vectors.end());
            return true;
        });
}

Outcome read_vectors_part(Context& ctx, const BlockSet& blocks, VectorTable& out, Keep keep, Observer* observer,
                          WalkFrom from) {
    return walk_vectors(ctx, blocks, out, keep, observer, from);
}

Outcome find_vector(Context& ctx, const BlockSet& blocks, int32_t set_filter, int32_t vec_filter, WalkFrom from,
                    VectorMatch& out) {
    VectorWorkspace ws;
    bool done = false;
    out.found = false;
    from.stop = &done;
    const Outcome walked = walk_blocks(
        ctx, blocks,
        [&](size_t b, const BlockLines& lines, size_t n, size_t& i) -> Outcome {
            const size_t v = i;
            if (ws.line.load(ctx, lines, v) == Outcome::fail) return Outcome::fail;
            if (ws.line.size() < 2) {
                ++i;
                return Outcome::skip;
            }
            VectorRecord r;
            r.block = b;
            r.start_line = v;
            BadValue bad;
            Outcome o = read_ids(ctx, ws.line, r, bad, v);
            if (o == Outcome::skip) {
                ++i;
                return o;
            }
            if (o == Outcome::fail) return o;
            Located at;
            if (locate_pair(ctx, lines, n, v, ws, at) == Outcome::fail) return Outcome::fail;
            r.ent_type = at.ent_type;
            r.found = at.found;
            r.data_start = i = at.data_start;
            if (!passes(set_filter, r.set_id) || !passes(vec_filter, r.vec_id)) {
                // Stepped over: lines are only checked for the end-of-data
                // line, and split only when their first characters allow it.
                // As end_of_data (vector_data.cpp) looks ahead, except that a
                // line that is not text fails here, as reading it would.
                while (i < n) {
                    const std::optional<size_t> next = next_possible_end_line(ctx, lines, i, n);
                    if (!next) return Outcome::fail;
                    i = *next;
                    if (i >= n) break;
                    if (!ws.line.fetch(ctx, lines, i)) return Outcome::fail;
                    ++i;
                    if (!may_be_end_marker(ws.line.text)) continue;
                    if (ws.line.split(ctx) == Outcome::fail) return Outcome::fail;
                    if (is_end_marker(ws.line)) break;
                }
                return Outcome::ok;
            }
            out.ids.clear();
            out.values.clear();
            reserve_for_rest(lines, i, out.ids, out.values);
            ValueSink sink{out.ids, out.values};
            o = read_values(ctx, lines, n, i, ws, bad, sink);
            if (o == Outcome::fail) return o;
            if (o == Outcome::skip) {
                i = bad.line + 1;
                return o;
            }
            out.found = true;
            out.record = r;
            out.next = WalkFrom{b, i, nullptr};
            done = true;
            return Outcome::ok;
        },
        from);
    if (!out.found) {
        out.ids.clear();
        out.values.clear();
    }
    return walked;
}

Outcome locate_vector_header(Context& ctx, const BlockLines& lines, int64_t start, VectorHeader& out) {
    VectorWorkspace ws;
    Located at;
    const size_t n = lines.size();
    out = VectorHeader{-1, false, n};
    // A start so far before the list that v + 3 is still negative searches
    // from the first line, as an index that counts up from below zero would.
    const size_t v = start < -3 ? size_t{0} - 3 : static_cast<size_t>(start);
    if (locate_pair(ctx, lines, n, v, ws, at) == Outcome::fail) return Outcome::fail;
    out = VectorHeader{at.ent_type, at.found, at.data_start};
    return Outcome::ok;
}

Outcome read_vector_data(Context& ctx, const BlockSet& blocks, size_t block, size_t data_start,
                         MallocArray<int32_t>& ids, MallocArray<double>& values, size_t expected, size_t* data_end) {
    ids.clear();
    values.clear();
    if (block >= blocks.size()) return Outcome::skip;
    const BlockEntry& entry = blocks[block];
    ctx.at(block, data_start);
    if (entry.state == BlockEntry::State::not_a_block) return ctx.fail(Failure::Kind::not_a_block);
    if (entry.state == BlockEntry::State::no_lines) return ctx.fail(Failure::Kind::no_lines);
    VectorWorkspace ws;
    BadValue bad;
    size_t i = data_start;
    reserve_for_rest(entry.lines, i, ids, values, expected);
    ValueSink sink{ids, values, expected != 0};
    const Outcome o = read_values(ctx, entry.lines, entry.lines.size(), i, ws, bad, sink);
    if (data_end) *data_end = i;
    return o;
}

}  // namespace tremix::reading
