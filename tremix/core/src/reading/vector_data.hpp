// The data records of one result vector: from the line after its
// entity-type lines to its end-of-data line. Single values (entity id,
// value) and ranges (first id, last id, values...) whose values may go on
// over the following lines; what they store goes to a sink, which keeps
// every value, or only counts them (and their range).
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "context.hpp"
#include "malloc_array.hpp"
#include "polled_sort.hpp"
#include "records.hpp"
#include "value_range.hpp"
#include "whitespace.hpp"

namespace tremix::reading {

// At least two fields, exactly "-1" and "0." (text, not value: "-1, 0.0" is
// a data record for entity -1).
inline bool is_end_marker(const SplitLine& line) {
    return line.size() >= 2 && line.field_is(0, "-1") && line.field_is(1, "0.");
}

// Whether a line of one-byte text may be an end-of-data line, where its
// first three characters tell: most lines start their first field at
// once, and then a line that starts with a digit is none, and one that
// starts with a minus may be one only as "-1" followed by whitespace or a
// comma ("-1.25E-03" is none). Empty when they do not tell.
inline std::optional<bool> end_marker_by_start(const char* s, size_t length) {
    if (length < 3) return std::nullopt;
    const auto c = static_cast<unsigned char>(s[0]);
    if (static_cast<unsigned>(c - '0') <= 9) return false;
    if (c != '-') return std::nullopt;
    const auto after = static_cast<unsigned char>(s[2]);
    return s[1] == '1' && (after == ',' || is_space(after));
}

// Whether a line not yet split may be an end-of-data line, from its first
// characters: its first field begins at its first character that is
// neither whitespace nor a comma, and it is "-1" only if those are "-1"
// followed by whitespace, a comma or the line's end (a value such as
// "-1.25E-03" is none). A line that starts with more whitespace and commas
// than is worth looking through may be one.
bool may_be_end_marker(const TextView& text);

// Lines of stored text passed over at a time by next_possible_end_line,
// with one tick of the context.
inline constexpr size_t kLinesPassedPerTick = 64;

// The first line from `from` on (before n) that may be an end-of-data
// line, n when there is none, or empty when a signal stops the search.
// Lines of stored one-byte text are passed over by their first characters
// without a look at each line on its own, a few instructions a line;
// other lines are each given back to be looked at (one tick each).
inline std::optional<size_t> next_possible_end_line(Context& ctx, const BlockLines& lines, size_t from, size_t n) {
    for (size_t k = from; k < n;) {
        if (!ctx.tick()) return std::nullopt;
        const size_t stop = std::min(n, k + kLinesPassedPerTick);
        k = lines.first_not_passed(k, stop, [](const char* s, size_t length) {
            const std::optional<bool> told = end_marker_by_start(s, length);
            return told && !*told;
        });
        if (k < stop) return k;
    }
    return n;
}

// Reused buffers of one walk.
struct VectorWorkspace {
    SplitLine line, pair_first, pair_second;
    bool marked = false;        // the data last read ended at an end-of-data line
    // When the walk is watched, the range records of the data last read
    // whose values did not match their entity ids ...
    bool note_ranges = false;
    std::vector<RangeCount> ranges_off;
    size_t ranges_off_more = 0;
    // ... and its lines of one field, which hold no record and are passed over.
    std::vector<size_t> lone_fields;
    size_t lone_fields_more = 0;
};

// Where a failed data record was.
struct BadValue {
    size_t line = 0;
    Span field{};
    size_t index = 0;
};

// Where the values of data records go. Every sink reads a value of a
// line written the usual way itself: take_single(p, end, limit) the value
// of a single-value record, kept until single_taken(id) stores the record,
// and take_value(p, end, limit) one of a range record's values. Both give
// the value's end, or null for text of no shape read that way. Values of
// other lines come converted: single(id, value), value(v) for a range
// record's (only for a sink that converts, kConvert). A range record
// starts with begin_range(count); values beyond its count are read but not
// stored. What take_value stored since mark() is undone by rollback(),
// when the line turns out to be read another way. A sink that gathers in
// place (kInPlace) has its `values` grow with a range record's values,
// then gets range_in_place(first, from, count) for the values from index
// `from` on.
//
// Every value of the vector.
struct ValueSink {
    static constexpr bool kConvert = true;
    static constexpr bool kInPlace = true;
    MallocArray<int32_t>& ids;
    MallocArray<double>& values;
    // The room was asked for with the count of values expected: no more
    // is asked for at the rate of the block's lines, which would outgrow
    // it when other vectors follow in the block.
    bool sized = false;
    double pending = 0.0;

    const char* take_single(const char* p, const char* end, const char* limit) {
        return scan_scientific(p, end, limit, pending);
    }
    void single_taken(int32_t id) { single(id, pending); }
    void single(int32_t id, double value) {
        ids.push_back(id);
        values.push_back(value);
    }
    void begin_range(int64_t) {}
    const char* take_value(const char* p, const char* end, const char* limit) {
        double v;
        const char* const stop = scan_scientific(p, end, limit, v);
        if (stop) values.push_back(v);
        return stop;
    }
    void value(double v) { values.push_back(v); }
    size_t mark() const { return values.size(); }
    void rollback(size_t mark) { values.resize(mark); }
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

// Only how many distinct entity ids the vector has (and the range of its
// values, when converting: values are otherwise only checked). Ids are
// kept as runs of consecutive ids: they usually rise through a vector,
// most often in one unbroken run, or in a few (a group of elements after
// another). Runs that do not rise are sorted and merged when the ids are
// counted.
template <bool Convert>
struct CountSink {
    static constexpr bool kConvert = Convert;
    static constexpr bool kInPlace = false;
    // A run's ids all lie in 32 bits: a range record stores at most the ids
    // from its first to its last.
    struct Run {
        int32_t first, last;
    };
    std::vector<Run> runs;
    bool rising = true;  // each run begins after the one before ends
    size_t stored = 0;   // values stored, repeats included
    ValueRange range;    // of the values stored (when converting)
    ScannedValue pending;
    int64_t budget = 0;  // values of the current range record still stored

    void reset() {
        runs.clear();
        rising = true;
        stored = 0;
        range = ValueRange{};
    }
    // Both inline in the loops over records, which the compiler otherwise
    // leaves to a call per value. take_single reads the value of a
    // single-value record, which an id and its comma come before.
    [[gnu::always_inline]] const char* take_single(const char* p, const char* end, const char* limit) {
        return take_single(pending, p, end, limit);
    }
    [[gnu::always_inline]] void single_taken(int32_t id) {
        value_taken(pending);
        count_ids(id, 1);
    }
    // The same with the value held by the caller (a loop over lines keeps
    // it in registers), its id counted apart (count_ids, as a run of ids
    // that follow each other).
    [[gnu::always_inline]] const char* take_single(ScannedValue& v, const char* p, const char* end,
                                                   const char* limit) {
        if constexpr (Convert) {
            return v.scan<true>(p, end, limit);  // after an id and its comma
        } else {
            return scientific_end(p, end, limit);
        }
    }
    [[gnu::always_inline]] void value_taken(const ScannedValue& v) {
        if constexpr (Convert) v.add_to(range);
    }
    void single(int32_t id, double v) {
        if constexpr (Convert) range.add(v);
        count_ids(id, 1);
    }
    void begin_range(int64_t count) { budget = count; }
    [[gnu::always_inline]] const char* take_value(const char* p, const char* end, const char* limit) {
        if constexpr (Convert) {
            ScannedValue v;
            const char* const stop = v.scan(p, end, limit);
            // Only a value its line reads whole ("1.0000000E+0_5" is the
            // start of another value): values of a line split after all are
            // ranged again, and only values read the same do no harm then.
            if (stop && (stop == end || *stop == ',') && budget > 0) {
                --budget;
                v.add_to(range);
            }
            return stop;
        } else {
            return scientific_end(p, end, limit);
        }
    }
    void value(double v) {
        if (budget > 0) {
            --budget;
            range.add(v);
        }
    }
    int64_t mark() const { return budget; }
    void rollback(int64_t mark) { budget = mark; }
    // The ids first to first + count - 1 (count > 0 only for ids that exist).
    void count_ids(int32_t first, size_t count) {
        if (count == 0) return;
        stored += count;
        const auto last = static_cast<int32_t>(int64_t{first} + static_cast<int64_t>(count) - 1);
        // The usual case, the id after the last one, inline.
        if (!runs.empty() && int64_t{first} == int64_t{runs.back().last} + 1) [[likely]] {
            runs.back().last = last;
            return;
        }
        if (!runs.empty() && first <= runs.back().last) rising = false;
        runs.push_back(Run{first, last});
    }
    // How many distinct ids the runs hold, in `n`; false when the context
    // was interrupted while they were sorted.
    bool distinct(Context& ctx, size_t& n) {
        if (!rising && !runs.empty()) {
            if (!sort_polling(ctx, runs, [](const Run& a, const Run& b) { return a.first < b.first; })) return false;
            // Overlapping runs merged in place: the kept ones are disjoint and rise.
            size_t kept = 0;
            for (size_t k = 1; k < runs.size(); ++k) {
                if (runs[k].first <= runs[kept].last) {
                    runs[kept].last = std::max(runs[kept].last, runs[k].last);
                } else {
                    runs[++kept] = runs[k];
                }
            }
            runs.resize(kept + 1);
            rising = true;
        }
        n = 0;
        for (const Run& run : runs) n += static_cast<size_t>(int64_t{run.last} - run.first + 1);
        return true;
    }
};

// Room for the values of a vector whose data starts at line i: as many as
// the rest of the block could hold, or `expected` (0: not known).
void reserve_for_rest(const BlockLines& lines, size_t i, MallocArray<int32_t>& ids, MallocArray<double>& values,
                      size_t expected = 0);

// Reads data records from line i up to and including the end-of-data line
// (or to n), handing what they store to `sink`. On skip, i is the line
// that did not convert. With `until`, no record starting at or after that
// line is read: i is then the line where the next record starts.
template <typename Sink>
Outcome read_data(Context& ctx, const BlockLines& lines, size_t n, size_t& i, VectorWorkspace& ws, BadValue& bad,
                  Sink& sink, size_t until = SIZE_MAX);
extern template Outcome read_data(Context&, const BlockLines&, size_t, size_t&, VectorWorkspace&, BadValue&,
                                  ValueSink&, size_t);
extern template Outcome read_data(Context&, const BlockLines&, size_t, size_t&, VectorWorkspace&, BadValue&,
                                  CountSink<false>&, size_t);
extern template Outcome read_data(Context&, const BlockLines&, size_t, size_t&, VectorWorkspace&, BadValue&,
                                  CountSink<true>&, size_t);

// The data records of one vector, every value kept, as read_data reads
// them, a long vector's shared with a second thread (the result is always
// the one-thread result).
Outcome read_values(Context& ctx, const BlockLines& lines, size_t n, size_t& i, VectorWorkspace& ws, BadValue& bad,
                    ValueSink& sink);

}  // namespace tremix::reading
