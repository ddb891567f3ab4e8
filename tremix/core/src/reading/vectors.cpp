#include "vectors.hpp"

#include <algorithm>
#include <climits>
#include <exception>
#include <memory>
#include <new>
#include <optional>

#include "numbers.hpp"
#include "plain_values.hpp"
#include "two_threads.hpp"
#include "whitespace.hpp"

namespace tremix::reading {

// Leading whitespace and commas looked through before a line is split anyway.
constexpr size_t kMarkerScan = 256;

bool may_be_end_marker(const TextView& text) {
    // Most lines start their first field at once, with a digit or with a
    // minus and a number other than a lone 1.
    if (const char* s = text.narrow(); s && text.length >= 3) {
        const auto c = static_cast<unsigned char>(s[0]);
        if (static_cast<unsigned>(c - '0') <= 9) return false;
        if (c == '-') {
            const auto after = static_cast<unsigned char>(s[2]);
            return s[1] == '1' && (after == ',' || is_space(after));
        }
    }
    return with_chars(text, [&](const auto* s) {
        const size_t end = std::min(text.length, kMarkerScan);
        size_t k = 0;
        while (k < end && (s[k] == ',' || is_space(s[k]))) ++k;
        if (k == end) return end < text.length;  // no field at all, or too long to tell
        if (s[k] != '-' || k + 1 == text.length || s[k + 1] != '1') return false;
        if (k + 2 == text.length) return true;
        const uint32_t after = s[k + 2];
        return after == ',' || is_space(after);
    });
}

namespace {

constexpr size_t kNoLine = SIZE_MAX;

// At least two fields, exactly "-1" and "0." (text, not value: "-1, 0.0" is
// a data record for entity -1).
bool is_end_marker(const SplitLine& line) { return line.size() >= 2 && line.field_is(0, "-1") && line.field_is(1, "0."); }

// Range records of one vector noted at most; the rest are only counted.
constexpr size_t kMostRangeNotes = 1000;

// Reused buffers of one walk.
struct Workspace {
    SplitLine line, pair_first, pair_second;
    std::vector<double> range;  // a range record's values
    bool marked = false;        // the data last read ended at an end-of-data line
    // When the walk is watched, the range records of the data last read
    // whose values did not match their entity ids.
    bool note_ranges = false;
    std::vector<RangeCount> ranges_off;
    size_t ranges_off_more = 0;
};

struct Located {
    int32_t ent_type = -1;
    bool found = false;
    size_t data_start = 0;
    size_t marker_line = kNoLine;  // first end-of-data line the search passed
};

// Searches the entity-type line pair from v + 3 on, to the block's end if
// need be. Only a rejected integer passes a pair over; an entity type out
// of range, or a line that is not text, fails.
Outcome locate_pair(Context& ctx, const BlockLines& lines, size_t n, size_t v, Workspace& ws, Located& out) {
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

// Where a failed data record was.
struct BadValue {
    size_t line = 0;
    Span field{};
    size_t index = 0;
};

// Where the values of data records go. A sink that converts gets
// single(id, value) and, for a range record, range(first, count, values);
// one that only counts (kConvert false) gets them without values. A sink
// that gathers in place (kInPlace) has a range record's values gathered
// straight into its `values` and then gets range_in_place(first, from,
// count) for the values from index `from` on.
//
// Every value of the vector.
struct ValueSink {
    static constexpr bool kConvert = true;
    static constexpr bool kInPlace = true;
    MallocArray<int32_t>& ids;
    MallocArray<double>& values;

    void single(int32_t id, double value) {
        ids.push_back(id);
        values.push_back(value);
    }
    void range_in_place(int32_t first, size_t from, size_t count) {
        values.resize(from + count);  // values gathered beyond the range's count are not stored
        ids.resize(from + count);
        for (size_t j = 0; j < count; ++j) ids[from + j] = static_cast<int32_t>(int64_t{first} + static_cast<int64_t>(j));
    }
    // Values gathered for a range record that was not stored, or an id
    // whose value memory ran out for: only whole pairs are kept. Both only
    // shrink, so this cannot itself run out of memory.
    void settle() {
        const size_t kept = std::min(ids.size(), values.size());
        ids.resize(kept);
        values.resize(kept);
    }
};

// Only how many distinct entity ids the vector has. Ids usually rise
// through a vector, most often in one unbroken run: rising ids are kept as
// runs of consecutive ids, and only when they stop rising is every id
// listed and sorted.
template <bool Convert>
struct CountSink {
    static constexpr bool kConvert = Convert;
    static constexpr bool kInPlace = false;
    std::vector<std::pair<int64_t, int64_t>> runs;  // first and last id of each rising run
    bool sorted = true;
    std::vector<int32_t> ids;                       // every id, once they stopped rising
    size_t stored = 0;                              // values stored, repeats included
    double minimum = 0.0, maximum = 0.0;            // of the finite values (when converting)
    bool finite = false;

    void reset() {
        runs.clear();
        sorted = true;
        ids.clear();
        stored = 0;
        finite = false;
    }
    void note(double v) {
        if constexpr (Convert) {
            if (v - v != 0.0) return;  // inf or NaN
            if (!finite || v < minimum) minimum = v;
            if (!finite || v > maximum) maximum = v;
            finite = true;
        }
    }
    void single(int32_t id, double v) {
        note(v);
        count_ids(id, 1);
    }
    void range(int32_t first, size_t count, const double* values) {
        if constexpr (Convert) {
            for (size_t j = 0; j < count; ++j) note(values[j]);
        }
        count_ids(first, count);
    }
    void count_ids(int32_t first, size_t count) {
        if (count == 0) return;
        stored += count;
        const int64_t last = int64_t{first} + static_cast<int64_t>(count) - 1;
        if (sorted && (runs.empty() || first > runs.back().second)) {
            if (!runs.empty() && first == runs.back().second + 1) {
                runs.back().second = last;
            } else {
                runs.emplace_back(first, last);
            }
            return;
        }
        if (sorted) {
            sorted = false;
            for (const auto& [a, z] : runs) {
                for (int64_t id = a; id <= z; ++id) ids.push_back(static_cast<int32_t>(id));
            }
        }
        for (int64_t id = first; id <= last; ++id) ids.push_back(static_cast<int32_t>(id));
    }
    size_t distinct() {
        if (sorted) {
            size_t n = 0;
            for (const auto& [a, z] : runs) n += static_cast<size_t>(z - a + 1);
            return n;
        }
        std::sort(ids.begin(), ids.end());
        return static_cast<size_t>(std::unique(ids.begin(), ids.end()) - ids.begin());
    }
};

// Room for as many values as lines i to the end of the block could hold
// (a value takes two characters at least), asked for before one vector's
// values are read: room never written takes no memory, while values that
// grow by doubling are copied and their memory touched anew at each step.
// Left alone when the size cannot be told or the room cannot be had.
// At most 48 MB of address space is asked for this way, so that a process
// with a limit on it keeps room for the arrays the values go into, unless
// the caller expects more values (a vector counted before): memory it
// needs anyway, asked for at once instead of by doubling, which would
// touch about twice as much.
#ifndef TREMIX_MOST_VALUES_RESERVED
#define TREMIX_MOST_VALUES_RESERVED (size_t{1} << 22)
#endif
constexpr size_t kMostValuesReserved = TREMIX_MOST_VALUES_RESERVED;

// Room for `n` ids and values in all; only slower when it cannot be had
// (no memory for it, or more than a vector can hold: std::length_error),
// as the values then grow as they come.
void reserve_both(MallocArray<int32_t>& ids, MallocArray<double>& values, size_t n) {
    try {
        ids.reserve(n);
        values.reserve(n);
    } catch (const std::exception&) {
    }
}

void reserve_for_rest(const BlockLines& lines, size_t i, MallocArray<int32_t>& ids, MallocArray<double>& values,
                      size_t expected = 0) {
    if (i >= lines.size()) return;
    const size_t chars = lines.chars_from(i);
    // Lines that are items have no size to bound the expectation by: it is
    // taken as it is (values beyond it grow as they come).
    const size_t most = chars == SIZE_MAX ? expected : chars / 2 + 1;
    const size_t room = std::min(most, std::max(kMostValuesReserved, expected));
    if (room != 0) reserve_both(ids, values, room);
}

// A vector longer than the room reserve_for_rest asked for would grow by
// doubling from there, each step copying its values into memory touched
// anew. Once less than kRoomMargin values of room are left, room for as
// many more values as the rest of the block holds at the rate the
// vector's lines so far held them (data from line `data_start` on, values
// from index `first_value` on) is asked for at once, with the margin.
constexpr size_t kRoomMargin = size_t{1} << 16;

[[gnu::noinline]] void make_room_at_rate(const BlockLines& lines, size_t data_start, size_t i, size_t first_value,
                                         MallocArray<int32_t>& ids, MallocArray<double>& values) {
    const size_t stored = values.size();
    const size_t rest = lines.chars_from(i);
    if (rest == SIZE_MAX || stored <= first_value) return;
    const size_t read = lines.chars_from(data_start) - rest;
    if (read == 0) return;
    const double per_char = static_cast<double>(stored - first_value) / static_cast<double>(read);
    const size_t more = std::min(rest / 2 + 1, static_cast<size_t>(per_char * static_cast<double>(rest))) + kRoomMargin;
    reserve_both(ids, values, stored + more);
}

// Whether make_room_at_rate has room to ask for: checked at every line.
inline bool room_running_out(const MallocArray<double>& values) {
    return values.capacity() >= kMostValuesReserved && values.capacity() - values.size() < kRoomMargin;
}

// Reads data records from line i up to and including the end-of-data line
// (or to n), handing what they store to `sink`. On skip, i is the line
// that did not convert. With `until`, no record starting at or after that
// line is read: i is then the line where the next record starts.
template <typename Sink>
Outcome read_data(Context& ctx, const BlockLines& lines, size_t n, size_t& i, Workspace& ws, BadValue& bad,
                  Sink& sink, size_t until = SIZE_MAX) {
    SplitLine& line = ws.line;
    auto& range = [&]() -> auto& {
        if constexpr (Sink::kInPlace) {
            return sink.values;
        } else {
            return ws.range;
        }
    }();
    // However the walk ends, a sink gathering in place keeps only what it stored.
    struct Settle {
        Sink& sink;
        ~Settle() {
            if constexpr (Sink::kInPlace) sink.settle();
        }
    } settle{sink};
    size_t gathered = 0;
    auto value = [&](size_t f, double& v) -> Outcome {
        if constexpr (Sink::kConvert) {
            return parse_float(ctx, line.text, line[f], v);
        } else {
            return check_float(ctx, line.text, line[f]);
        }
    };
    auto convert = [&](size_t from) -> Outcome {
        for (size_t f = from; f < line.size(); ++f) {
            if (!ctx.tick()) return Outcome::fail;  // a line may hold millions of values
            double v = 0.0;
            const Outcome o = value(f, v);
            if (o != Outcome::ok) {
                bad = BadValue{i, line[f], f};
                return o;
            }
            if constexpr (Sink::kConvert) range.push_back(v);
            ++gathered;
        }
        return Outcome::ok;
    };
    ws.marked = false;
    ws.ranges_off.clear();
    ws.ranges_off_more = 0;
    const size_t data_start = i;
    const size_t first_value = [&] {
        if constexpr (Sink::kInPlace) {
            return sink.values.size();
        } else {
            return size_t{0};
        }
    }();
    while (i < n && i < until) {
        if (!ctx.tick()) return Outcome::fail;
        if constexpr (Sink::kInPlace) {
            if (room_running_out(sink.values)) [[unlikely]]
                make_room_at_rate(lines, data_start, i, first_value, sink.ids, sink.values);
        }
        if (!line.fetch(ctx, lines, i)) return Outcome::fail;
        {
            int32_t id;
            double v = 0.0;
            if (read_plain_single<Sink::kConvert>(line.text, id, v)) {
                sink.single(id, v);
                ++i;
                continue;
            }
        }
        if (line.split(ctx) == Outcome::fail) return Outcome::fail;
        if (is_end_marker(line)) {
            ++i;
            ws.marked = true;
            return Outcome::ok;
        }
        const size_t fields = line.size();
        if (fields == 2) {
            int32_t id;
            double v = 0.0;
            bad = BadValue{i, line[0], 0};
            Outcome o = to_int32(ctx, line.text, line[0], id);
            if (o == Outcome::ok) {
                bad = BadValue{i, line[1], 1};
                o = value(1, v);
            }
            if (o != Outcome::ok) return o;
            sink.single(id, v);
            ++i;
        } else if (fields >= 3) {
            int32_t first, last;
            bad = BadValue{i, line[0], 0};
            Outcome o = to_int32(ctx, line.text, line[0], first);
            if (o == Outcome::ok) {
                bad = BadValue{i, line[1], 1};
                o = to_int32(ctx, line.text, line[1], last);
            }
            if constexpr (!Sink::kInPlace) range.clear();
            const size_t from = range.size();
            gathered = 0;
            if (o == Outcome::ok) o = convert(2);
            if (o != Outcome::ok) return o;
            // 64 bits: a range from INT32_MIN to INT32_MAX still counts right.
            const int64_t count = int64_t{last} - first + 1;
            const size_t record_line = i++;
            bool at_marker = false;
            while (static_cast<int64_t>(gathered) < count && i < n) {
                if (!ctx.tick()) return Outcome::fail;
                if constexpr (Sink::kInPlace) {
                    if (room_running_out(sink.values)) [[unlikely]]
                        make_room_at_rate(lines, data_start, i, first_value, sink.ids, sink.values);
                }
                if (!line.fetch(ctx, lines, i)) return Outcome::fail;
                const std::optional<Outcome> plain =
                    gather_plain_values<Sink::kConvert>(ctx, line.text, range, gathered);
                if (plain == Outcome::fail) return Outcome::fail;
                if (!plain) {
                    if (line.split(ctx) == Outcome::fail) return Outcome::fail;
                    if (is_end_marker(line)) {
                        at_marker = true;
                        break;  // read again above: it ends the vector
                    }
                    o = convert(0);
                    if (o != Outcome::ok) return o;
                }
                ++i;
            }
            if (ws.note_ranges && static_cast<int64_t>(gathered) != count) {
                if (ws.ranges_off.size() < kMostRangeNotes) {
                    const bool short_of_values = static_cast<int64_t>(gathered) < count;
                    ws.ranges_off.push_back(
                        RangeCount{record_line, first, last, gathered, short_of_values ? i : i - 1, at_marker});
                } else {
                    ++ws.ranges_off_more;
                }
            }
            const size_t stored =
                count <= 0 ? 0 : static_cast<size_t>(std::min<int64_t>(count, static_cast<int64_t>(gathered)));
            if constexpr (Sink::kInPlace) {
                sink.range_in_place(first, from, stored);
            } else {
                sink.range(first, stored, range.data());
            }
        } else {
            ++i;
        }
    }
    return Outcome::ok;
}

// The line where a vector's data ends: the first end-of-data line from
// `from` on, which read_data looks for on every line, inside a range
// record too (n when there is none). Nothing is recorded in `ctx` unless
// a signal stops the search (fail): a line that is not text only ends the
// search (empty), and the reading itself then meets it, or not.
struct DataEnd {
    Outcome outcome = Outcome::ok;
    std::optional<size_t> line;
};
DataEnd end_of_data(Context& ctx, const BlockLines& lines, size_t n, size_t from, SplitLine& line) {
    for (size_t k = from; k < n; ++k) {
        if (!ctx.tick()) return {Outcome::fail, std::nullopt};
        line.text = lines.line(k);
        if (line.text.kind == 0) return {};
        if (!may_be_end_marker(line.text)) continue;
        if (line.split(ctx) == Outcome::fail) return {Outcome::fail, std::nullopt};
        if (is_end_marker(line)) return {Outcome::ok, k};
    }
    return {Outcome::ok, n};
}

// A line from `from` on, before `end` and at most 1024 lines on, whose first
// field is a plain integer followed by a comma, as a record's first line
// is and a range record's further lines of values never are.
std::optional<size_t> record_start_near(const BlockLines& lines, size_t from, size_t end) {
    for (size_t k = from; k < end && k < from + 1024; ++k) {
        const TextView text = lines.line(k);
        const char* const s = text.narrow();
        if (!s) return std::nullopt;
        int32_t id;
        if (read_plain_id(s, s + text.length, id)) return k;
    }
    return std::nullopt;
}

// The data records of one vector, every value kept, as read_data reads
// them. A long vector's records are shared with a second thread: it reads
// from a line about halfway to the end of the data that looks like a
// record's first line, and its reading stands only if this thread's
// reading of the first half stops exactly there at a record boundary,
// without failing or skipping, and the second thread needed nothing from
// the host; otherwise this thread reads on from where it stopped. The
// result is always the one-thread result.
Outcome read_values(Context& ctx, const BlockLines& lines, size_t n, size_t& i, Workspace& ws, BadValue& bad,
                    ValueSink& sink) {
    std::optional<size_t> split;
    if (i < n && worth_sharing_data(n - i)) {
        const DataEnd end = end_of_data(ctx, lines, n, i, ws.line);
        if (end.outcome == Outcome::fail) return Outcome::fail;
        if (end.line && worth_sharing_data(*end.line - i))
            split = record_start_near(lines, i + (*end.line - i) / 2, *end.line);
    }
    if (!split) return read_data(ctx, lines, n, i, ws, bad, sink);
    struct alignas(64) SecondHalf {
        MallocArray<int32_t> ids;
        MallocArray<double> values;
        Workspace ws;
        BadValue bad;
        size_t i = 0;
        Outcome outcome = Outcome::fail;
        Failure failure;
    };
    const auto second = std::make_unique<SecondHalf>();
    second->i = *split;
    Outcome first = Outcome::fail;
    bool stopped_waiting = false;
    const bool second_usable = run_beside(
        [&] {
            first = read_data(ctx, lines, n, i, ws, bad, sink, *split);
            return first == Outcome::ok;
        },
        [&](Context& c) {
            c.at(ctx.block(), second->i);  // a failure there names this block
            reserve_for_rest(lines, second->i, second->ids, second->values);
            ValueSink values{second->ids, second->values};
            second->outcome = read_data(c, lines, n, second->i, second->ws, second->bad, values);
            second->failure = c.failure();
        },
        // Waiting for the second half, this thread still answers a signal.
        [&] {
            stopped_waiting = !ctx.poll();
            return !stopped_waiting;
        });
    if (stopped_waiting) return Outcome::fail;
    if (first != Outcome::ok || ws.marked) return first;
    if (i == *split && second_usable &&
        (second->outcome != Outcome::fail || decided_by_text(second->failure.kind))) {
        sink.ids.append(second->ids.data(), second->ids.size());
        sink.values.append(second->values.data(), second->values.size());
        i = second->i;
        ws.marked = second->ws.marked;
        bad = second->bad;
        return second->outcome == Outcome::fail ? ctx.fail_with(second->failure) : second->outcome;
    }
    second->ids = {};
    second->values = {};
    return read_data(ctx, lines, n, i, ws, bad, sink);
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
    Workspace ws;
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
                if (o == Outcome::ok) r.distinct = counts.distinct();
                r.stored = counts.stored;
            } else {
                ranges.reset();
                o = read_data(ctx, lines, n, i, ws, bad, ranges);
                r.stored = ranges.stored;
                if (o == Outcome::ok) {
                    r.distinct = ranges.distinct();
                    r.minimum = ranges.minimum;
                    r.maximum = ranges.maximum;
                    r.finite = ranges.finite;
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
    Workspace ws;
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
                while (i < n) {
                    if (!ctx.tick()) return Outcome::fail;
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
    Workspace ws;
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
    Workspace ws;
    BadValue bad;
    size_t i = data_start;
    reserve_for_rest(entry.lines, i, ids, values, expected);
    ValueSink sink{ids, values};
    const Outcome o = read_values(ctx, entry.lines, entry.lines.size(), i, ws, bad, sink);
    if (data_end) *data_end = i;
    return o;
}

}  // namespace tremix::reading
