#include "vector_data.hpp"

#include <climits>
#include <exception>
#include <memory>
#include <new>
#include <optional>

#include "numbers.hpp"
#include "plain_values.hpp"
#include "two_threads.hpp"
#include "vectors.hpp"
#include "whitespace.hpp"

namespace tremix::reading {

// Leading whitespace and commas looked through before a line is split anyway.
constexpr size_t kMarkerScan = 256;

bool may_be_end_marker(const TextView& text) {
    if (const char* s = text.narrow()) {
        if (const std::optional<bool> told = end_marker_by_start(s, text.length)) return *told;
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

// Range records, and lines of one field, of one vector noted at most; the
// rest are only counted.
constexpr size_t kMostRangeNotes = 1000;

// Room for as many values as lines i to the end of the block could hold
// (a value takes two characters at least), asked for before one vector's
// values are read: room never written takes no memory, while values that
// grow by doubling are copied and their memory touched anew at each step.
// Left alone when the size cannot be told or the room cannot be had.
// At most 48 MB of address space is asked for this way, so that a process
// with a limit on it keeps room for the arrays the values go into. When
// the caller knows how many values to expect (a vector counted before),
// that many are asked for (within what the block can hold): memory it
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

// Whether make_room_at_rate has room to ask for: checked before every line
// read on its own, and every run of kSinglesPerTick lines.
inline bool room_running_out(const MallocArray<double>& values) {
    return values.capacity() >= kMostValuesReserved && values.capacity() - values.size() < kRoomMargin;
}

// Lines of single-value records taken at a time by take_singles, with one
// tick of the context (far fewer than kRoomMargin values).
constexpr size_t kSinglesPerTick = 32;

// A value of fixed_scientific_shape<7> whose digits start at d, which may
// be a new extreme of `range`: added as a ScannedValue adds it, or false
// when its exponent lies beyond what a ScannedValue takes in that shape.
// Not inline: the loops that come here seldom keep their registers.
[[gnu::noinline, maybe_unused]] bool add_usual_extreme(ValueRange& range, const char* d, bool negative) {
    const int written = fixed_scientific7_written(d);
    if (static_cast<unsigned>(written + 15) > 44) return false;  // as ScannedValue::scan
    range.add_decimal(fixed_scientific_digits<7>(d), written - 7, negative);
    return true;
}

// Lines from k on (before `to`) of single-value records of the commonest
// layout, for a sink that counts: the id foretold by `next_id` and its
// comma, a value of fixed_scientific_shape<7> after its sign and one comma
// ending the line ("12,-1.2084482E-07,"). Each is checked from the word of
// its id and sixteen bytes from its value's digits, which the stored text
// holds (`readable`: the end of the block's text), and the sink gets what
// take_plain_single would give it; their ids follow each other from the
// one foretold at first. The first line that is none, with nothing taken
// from it (or the first of the last lines of the block that are not
// looked at); `unforetold` is set when its id was not foretold.
// A value whose lead lies within the range so far is no new extreme,
// whatever its exponent: only one that may be needs its exponent within
// what a ScannedValue takes in its shape (the reading by the rule reads
// others as any value, whose conversion then adds them alike).
// Not inline: the loop keeps all it needs in registers.
template <bool Convert>
[[gnu::noinline]] size_t take_usual_singles(const BlockLines::NarrowTable& table, const char* readable, size_t k,
                                            size_t to, NextId& next_id, CountSink<Convert>& sink, bool& unforetold) {
#if TREMIX_SSE2
    // An id of up to seven digits, its comma and a sign come before the
    // value's digits: 25 bytes from each line's start lie in the text,
    // which only the last lines of a block may not have.
    while (to > k && readable - (table.chars + table.starts[to - 1]) < 25) --to;
    if (k >= to) return k;
    NextId next = next_id;  // a copy of its own, kept in registers
    const size_t after_id = next.digits() + 1;   // the same for every foretold id
    const size_t line_end = 14 + table.gap;       // from the value's digits to the next line
    const uint32_t* start = table.starts + k + 1;  // where the line after the current one starts
    const uint32_t* const last = table.starts + to;
    const char* s = table.chars + start[-1];
    for (; start <= last; ++start) {
        const char* const following = table.chars + *start;
        __builtin_prefetch(s + 1024);  // as BlockLines asks
        if (!next.foretells(s)) {
            unforetold = true;
            break;
        }
        const auto first = static_cast<unsigned char>(s[after_id]);
        const char* const d = s + after_id + ScannedValue::kSignLength[first];
        if (d + line_end != following || !fixed_scientific_shape7_comma(d)) break;
        if constexpr (Convert) {
            if (!sink.range.template add_within<7>(d, ScannedValue::kNegative[first])) [[unlikely]] {
                if (!add_usual_extreme(sink.range, d, first == '-')) break;
            }
        }
        next.take_foretold();
        s = following;
    }
    next_id = next;
    return static_cast<size_t>(start - 1 - table.starts);
#else
    (void)table, (void)readable, (void)to, (void)next_id, (void)sink, (void)unforetold;
    return k;
#endif
}

// The values of a range record's line, as take_plain_values takes them
// with the sink's take_value, for a sink that counts. Values of the usual
// shape each followed by one comma are checked sixteen bytes at a time
// while the stored text holds them (`readable`: the end of the block's
// text, null for text of items): the rest of the line, from the first
// value that is not, is read as take_plain_values reads it.
template <bool Convert>
std::optional<Outcome> take_counted_values(Context& ctx, const TextView& text, const char* readable, size_t& gathered,
                                           CountSink<Convert>& sink) {
    const char* const s = text.narrow();
    if (!s) return std::nullopt;
    const char* const limit = s + text.length;
    const char* p = s;
    size_t count = 0;
#if TREMIX_SSE2
    // The sixteen bytes from a value's digits that end at most two bytes
    // past the line lie in the text.
    if (readable && readable - limit >= 2) {
        // Kept here while values are taken, and stored however the loop ends.
        int64_t budget = sink.budget;
        struct Store {
            CountSink<Convert>& sink;
            int64_t& budget;
            ~Store() { sink.budget = budget; }
        } store{sink, budget};
        for (;;) {
            if (count % kValuesPerTick == 0 && !ctx.tick()) {
                gathered += count;
                return Outcome::fail;
            }
            const auto first = static_cast<unsigned char>(*p);
            const char* const d = p + ScannedValue::kSignLength[first];
            if (limit - d < 14 || !fixed_scientific_shape7_comma(d)) break;
            if constexpr (Convert) {
                if (budget > 0) {
                    // As take_usual_singles ranges a value.
                    if (!sink.range.template add_within<7>(d, ScannedValue::kNegative[first])) [[unlikely]] {
                        if (!add_usual_extreme(sink.range, d, first == '-')) break;
                    }
                    --budget;
                }
            }
            ++count;
            p = d + 14;
            if (p == limit) {
                gathered += count;
                return Outcome::ok;
            }
        }
    }
#else
    (void)readable;
#endif
    return take_plain_values_from(ctx, s, p, limit, count, gathered,
                                  [&](const char* q, const char* end, const char* l) { return sink.take_value(q, end, l); });
}

// Single-value records written the usual way, the commonest lines of a
// vector, from line `from` on (before `to`) in stored one-byte text, each
// taken as take_plain_single takes it, straight from the text: no line is
// fetched on its own. The first line that is none (`from` when it is one),
// which the caller reads as any other.
// A sink that only counts has the ids of the run counted as runs of ids
// that follow each other, one count_ids() a run instead of one a line:
// the runs and counts come out the same.
template <typename Sink>
size_t take_singles(const BlockLines& lines, size_t from, size_t to, NextId& next_id, Sink& sink) {
    NextId next = next_id;  // a copy of its own, which the loop may keep in registers
    int64_t run_first = 0;
    size_t run_length = 0;
    ScannedValue value;
    const size_t k = lines.first_not_passed(from, to, [&](const char* s, size_t length) __attribute__((always_inline)) {
        int32_t id;
        const auto take = [&](const char* p, const char* end, const char* limit) {
            if constexpr (Sink::kInPlace) {
                return sink.take_single(p, end, limit);
            } else {
                return sink.take_single(value, p, end, limit);
            }
        };
        if (!take_plain_single(TextView{s, length, 1}, next, id, take)) return false;
        if constexpr (Sink::kInPlace) {
            sink.single_taken(id);
        } else {
            sink.value_taken(value);
            if (run_length != 0 && int64_t{id} == run_first + static_cast<int64_t>(run_length)) [[likely]] {
                ++run_length;
            } else {
                if (run_length != 0) sink.count_ids(static_cast<int32_t>(run_first), run_length);
                run_first = id;
                run_length = 1;
            }
        }
        return true;
    });
    if constexpr (!Sink::kInPlace) {
        if (run_length != 0) sink.count_ids(static_cast<int32_t>(run_first), run_length);
    }
    next_id = next;
    return k;
}

// The same for a sink that counts, the lines of the commonest layout taken
// by take_usual_singles. A line it does not take is taken by the rule, and
// the lines after it by take_usual_singles again when it took lines
// before, or the line had an id it did not foretell and foretells the next
// one (the first line of a vector, a gap in the ids); otherwise (lines of
// another layout, ids that do not follow each other) the rule takes the
// lines to `to`.
template <bool Convert>
size_t take_singles(const BlockLines& lines, size_t from, size_t to, NextId& next_id, CountSink<Convert>& sink) {
    BlockLines::NarrowTable table;
    if (!lines.narrow_table(to, table)) return take_singles<CountSink<Convert>>(lines, from, to, next_id, sink);
    const char* const readable = lines.stored_end();
    size_t k = from;
    bool usual = true;  // whether take_usual_singles is to look at line k
    while (k < to) {
        size_t stop = k;
        bool unforetold = false;
        if (usual) {
            const int64_t first_id = next_id.foretold_id();
            stop = take_usual_singles(table, readable, k, to, next_id, sink, unforetold);
            if (stop > k) sink.count_ids(static_cast<int32_t>(first_id), stop - k);
            if (stop == to) return to;
        }
        const size_t after = take_singles<CountSink<Convert>>(lines, stop, usual ? stop + 1 : to, next_id, sink);
        if (after == stop) return stop;
        usual = stop > k || (unforetold && next_id.foretelling());
        k = after;
    }
    return k;
}

}  // namespace

void reserve_for_rest(const BlockLines& lines, size_t i, MallocArray<int32_t>& ids, MallocArray<double>& values,
                      size_t expected) {
    if (i >= lines.size()) return;
    const size_t chars = lines.chars_from(i);
    // Lines that are items have no size to bound the expectation by: it is
    // taken as it is (values beyond it grow as they come).
    const size_t most = chars == SIZE_MAX ? expected : chars / 2 + 1;
    // A count known before is asked for exactly: the values then fill their
    // room, and their arrays can take it over as it is.
    const size_t room = std::min(most, expected ? expected : kMostValuesReserved);
    if (room != 0) reserve_both(ids, values, room);
}

template <typename Sink>
Outcome read_data(Context& ctx, const BlockLines& lines, size_t n, size_t& i, VectorWorkspace& ws, BadValue& bad,
                  Sink& sink, size_t until) {
    SplitLine& line = ws.line;
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
            if constexpr (Sink::kConvert) sink.value(v);
            ++gathered;
        }
        return Outcome::ok;
    };
    const auto take_value = [&](const char* p, const char* end, const char* limit) __attribute__((always_inline)) {
        return sink.take_value(p, end, limit);
    };
    ws.marked = false;
    ws.ranges_off.clear();
    ws.ranges_off_more = 0;
    ws.lone_fields.clear();
    ws.lone_fields_more = 0;
    const size_t data_start = i;
    const size_t first_value = [&] {
        if constexpr (Sink::kInPlace) {
            return sink.values.size();
        } else {
            return size_t{0};
        }
    }();
    // Stored one-byte text has its single-value records taken by runs of
    // lines; a line that ends a run is then none.
    const bool singles_by_runs = lines.stored_narrow();
    // Where the stored text ends, for the readers that look past a line's end.
    [[maybe_unused]] const char* const readable = singles_by_runs ? lines.stored_end() : nullptr;
    NextId next_id;
    while (i < n && i < until) {
        if (!ctx.tick()) return Outcome::fail;
        if constexpr (Sink::kInPlace) {
            if (!sink.sized && room_running_out(sink.values)) [[unlikely]]
                make_room_at_rate(lines, data_start, i, first_value, sink.ids, sink.values);
        }
        if (singles_by_runs) {
            const size_t to = std::min({n, until, i + kSinglesPerTick});
            const size_t k = take_singles(lines, i, to, next_id, sink);
            if (k > i) {
                ctx.at(ctx.block(), k - 1);  // where reading stands, as when each line is fetched
                i = k;
                if (k == to) continue;
                // Line k ended the run: it is none, and is read below without being tried again.
            }
        }
        if (!line.fetch(ctx, lines, i)) return Outcome::fail;
        if (!singles_by_runs) {
            int32_t id;
            if (take_plain_single(line.text, id, [&](const char* p, const char* end, const char* limit) {
                    return sink.take_single(p, end, limit);
                })) {
                sink.single_taken(id);
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
            // 64 bits: a range from INT32_MIN to INT32_MAX still counts right.
            const int64_t count = o == Outcome::ok ? int64_t{last} - first + 1 : 0;
            // A sink that only counts takes the values as they are read, as
            // far as the record's count reaches: a record whose values go on
            // for millions of lines is never held whole.
            sink.begin_range(count);
            const size_t from = [&] {
                if constexpr (Sink::kInPlace) {
                    return sink.values.size();
                } else {
                    return size_t{0};
                }
            }();
            gathered = 0;
            if (o == Outcome::ok) o = convert(2);
            if (o != Outcome::ok) return o;
            const size_t record_line = i++;
            bool at_marker = false;
            while (static_cast<int64_t>(gathered) < count && i < n) {
                if (!ctx.tick()) return Outcome::fail;
                if constexpr (Sink::kInPlace) {
                    if (!sink.sized && room_running_out(sink.values)) [[unlikely]]
                        make_room_at_rate(lines, data_start, i, first_value, sink.ids, sink.values);
                }
                if (!line.fetch(ctx, lines, i)) return Outcome::fail;
                const auto mark = sink.mark();
                const std::optional<Outcome> plain = [&] {
                    if constexpr (Sink::kInPlace) {
                        return take_plain_values(ctx, line.text, gathered, take_value);
                    } else {
                        return take_counted_values(ctx, line.text, readable, gathered, sink);
                    }
                }();
                if (plain == Outcome::fail) return Outcome::fail;
                if (!plain) {
                    sink.rollback(mark);
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
                sink.count_ids(first, stored);
            }
        } else {
            // No record: a blank line, or one field (a value that lost its
            // entity id, say), which a watched walk tells.
            if (fields == 1 && ws.note_ranges) {
                if (ws.lone_fields.size() < kMostRangeNotes) {
                    ws.lone_fields.push_back(i);
                } else {
                    ++ws.lone_fields_more;
                }
            }
            ++i;
        }
    }
    return Outcome::ok;
}

template Outcome read_data(Context&, const BlockLines&, size_t, size_t&, VectorWorkspace&, BadValue&, ValueSink&,
                           size_t);
template Outcome read_data(Context&, const BlockLines&, size_t, size_t&, VectorWorkspace&, BadValue&,
                           CountSink<false>&, size_t);
template Outcome read_data(Context&, const BlockLines&, size_t, size_t&, VectorWorkspace&, BadValue&,
                           CountSink<true>&, size_t);

namespace {

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
    for (size_t k = from;; ++k) {
        const std::optional<size_t> next = next_possible_end_line(ctx, lines, k, n);
        if (!next) return {Outcome::fail, std::nullopt};
        k = *next;
        if (k >= n) return {Outcome::ok, n};
        line.text = lines.line(k);
        if (line.text.kind == 0) return {};
        if (!may_be_end_marker(line.text)) continue;
        if (line.split(ctx) == Outcome::fail) return {Outcome::fail, std::nullopt};
        if (is_end_marker(line)) return {Outcome::ok, k};
    }
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

}  // namespace

// The data records of one vector, every value kept, as read_data reads
// them. A long vector's records are shared with a second thread: it reads
// from a line about halfway to the end of the data that looks like a
// record's first line, and its reading stands only if this thread's
// reading of the first half stops exactly there at a record boundary,
// without failing or skipping, and the second thread needed nothing from
// the host; otherwise this thread reads on from where it stopped. The
// result is always the one-thread result.
Outcome read_values(Context& ctx, const BlockLines& lines, size_t n, size_t& i, VectorWorkspace& ws, BadValue& bad,
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
        VectorWorkspace ws;
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
        sink.ids.append_filling(second->ids.data(), second->ids.size());
        sink.values.append_filling(second->values.data(), second->values.size());
        i = second->i;
        ws.marked = second->ws.marked;
        bad = second->bad;
        return second->outcome == Outcome::fail ? ctx.fail_with(second->failure) : second->outcome;
    }
    second->ids = {};
    second->values = {};
    return read_data(ctx, lines, n, i, ws, bad, sink);
}

}  // namespace tremix::reading
