// Record lines written the way exporters write them, read without
// splitting them first. Each reader takes only lines whose fields it can be
// sure of (no blank anywhere in what it reads, no empty field) and gives
// exactly what splitting and converting field by field gives; any other
// line is left to the split.
#pragma once

#include <optional>
#include <vector>

#include "sse2.hpp"

#include "context.hpp"
#include "decimal_scan.hpp"
#include "format.hpp"
#include "id_lines.hpp"
#include "text.hpp"

namespace tremix::reading {

// An integer field at p, an optional minus and one to nine digits, ended
// by a comma or by `end`: the position where it ends, or null (a tenth
// digit ends nothing, nor does any other character).
inline const char* read_plain_int(const char* p, const char* end, int32_t& value) {
    const bool negative = p < end && *p == '-';
    p += negative;
    const char* const digits = p;
    int32_t magnitude = 0;
    while (p < end && p - digits < 9 && is_ascii_digit(*p)) magnitude = magnitude * 10 + (*p++ - '0');
    if (p == digits || (p < end && *p != ',')) return nullptr;
    value = negative ? -magnitude : magnitude;
    return p;
}

// The same, the digits taken as one word when the eight bytes from them
// lie before `limit` (at or after `end`): ids of up to seven digits are
// then read without a step per digit. Quicker where one id is read a line
// (a single-value record); lines of many ids are read by id_lines.hpp.
inline const char* read_plain_int(const char* p, const char* end, const char* limit, int32_t& value) {
    const bool negative = p < end && *p == '-';
    if (limit - (p + negative) >= 8) {
        const char* const digits = p + negative;
        const uint64_t word = load8(digits);
        const unsigned n =
            std::min<unsigned>(leading_digits(word), static_cast<unsigned>(std::min<ptrdiff_t>(end - digits, 8)));
        if (n < 8) {  // eight digits or more: the step per digit below decides
            const char* const stop = digits + n;
            if (n == 0 || (stop < end && *stop != ',')) return nullptr;
            const auto magnitude = static_cast<int32_t>(digits_value(word, n));
            value = negative ? -magnitude : magnitude;
            return stop;
        }
    }
    return read_plain_int(p, end, value);
}

// An id field at p, as read_plain_int reads it, and the comma after it:
// the position after the comma, or null. Bytes up to `limit` may be read.
inline const char* read_plain_id(const char* p, const char* end, const char* limit, int32_t& id) {
    p = read_plain_int(p, end, limit, id);
    return p && p < end ? p + 1 : nullptr;
}
inline const char* read_plain_id(const char* p, const char* end, int32_t& id) {
    p = read_plain_int(p, end, id);
    return p && p < end ? p + 1 : nullptr;
}

// Values read between two ticks of the context within one line: the
// caller ticks once per line, and a line may hold millions of values.
inline constexpr size_t kValuesPerTick = 64;

// The first line of an element written the way exporters write it: its
// first five fields each an optional minus and one to nine digits followed
// at once by a comma, the fifth's comma or the end of the line's text
// ending it; whatever follows is not read. Such a line splits into at least
// five fields, these first: gives fields 0, 2 and 4, or false for any other
// line.
inline bool read_plain_element_header(const TextView& text, int32_t (&fields)[3]) {
    const char* const s = text.narrow();
    if (!s) return false;
    const char* const limit = s + text.length;
    int32_t values[5];
    int k = 0;
    // The field at p and the position after its comma, or null.
    auto field = [&](const char* p) -> const char* {
        if (const int digit = one_digit_field(p); digit >= 0) {  // most fields after the id
            values[k] = digit;
            return p + 2;
        }
        p = read_id_field(p, values[k]);
        return p ? p + 1 : nullptr;
    };
    const char* p = s;
    // Straight from the text while sixteen bytes lie before its end, then
    // from a copy, where the end of the text reads as a comma.
    for (; k < 5 && limit - p >= 16; ++k) {
        p = field(p);
        if (!p) return false;
    }
    if (k < 5) {
        const IdTail tail(s, limit);
        for (const char* q = tail.at(p, limit); k < 5; ++k) {
            q = field(q);
            if (!q) return false;
        }
    }
    fields[0] = values[0];
    fields[1] = values[2];
    fields[2] = values[4];
    return true;
}

// A line of node ids written the way exporters write it: each an optional
// minus and one to nine digits followed at once by a comma or the end of
// the text, nothing after the last but commas (a line of commas only, or
// an empty one, holds none). Such a line has no blank and no empty field,
// so splitting it gives exactly these. Appends the ids that are not 0 to
// `ids` (a vector, or a NodeIdCount that only counts them); empty, with
// `ids` as it was, for any other line.
template <typename Ids = std::vector<int32_t>>
inline std::optional<Outcome> read_plain_node_ids(Context& ctx, const TextView& text, Ids& ids) {
    const char* const s = text.narrow();
    if (!s) return std::nullopt;
    const char* const limit = s + text.length;
    const char* end = limit;
    while (end > s && end[-1] == ',') --end;
    if (end == s) return Outcome::ok;
    const size_t before = ids.size();
    std::optional<Outcome> o;
    if constexpr (std::is_same_v<Ids, NodeIdCount>) {
        o = read_id_fields<false>(ctx, s, end, limit, [&](bool nonzero) { ids.count += nonzero; });
    } else {
        o = read_id_fields(ctx, s, end, limit, [&](int32_t id) {
            if (id != 0) ids.push_back(id);  // "-0", "00"
        });
    }
    if (!o) ids.resize(before);
    return o;
}

// The values of a line written the way exporters write them, read without
// splitting it: one-byte text, every value in the straight scientific shape
// and followed at once by a comma, nothing after the last value but commas.
// Such a line has no blank and no empty field, so splitting it would give
// exactly these values' texts, and it is never an end-of-data line.
// `take(p, end, limit)` reads the value at p (bytes up to `limit` may be
// read) and returns where it ends, or null when it is of no shape read
// here. Empty for any other line, which is then split and read field by
// field; `take` may have been given some of its values by then.
// take_plain_values_from reads the line's text from s to `limit` so from
// the value at p on, `count` values before it taken already.
template <typename Take>
std::optional<Outcome> take_plain_values_from(Context& ctx, const char* s, const char* p, const char* limit,
                                              size_t count, size_t& gathered, Take&& take) {
    const char* end = limit;
    while (end > s && end[-1] == ',') --end;
    while (p < end) {
        if (count % kValuesPerTick == 0 && !ctx.tick()) {
            gathered += count;
            return Outcome::fail;
        }
        const char* const stop = take(p, end, limit);
        if (!stop || (stop < end && *stop != ',')) break;
        ++count;
        if (stop == end) {
            gathered += count;
            return Outcome::ok;
        }
        p = stop + 1;
    }
    return std::nullopt;
}

template <typename Take>
std::optional<Outcome> take_plain_values(Context& ctx, const TextView& text, size_t& gathered, Take&& take) {
    const char* const s = text.narrow();
    if (!s) return std::nullopt;
    return take_plain_values_from(ctx, s, s, s + text.length, 0, gathered, take);
}

// Such a line's values appended to `range` (nothing appended for any other
// line), or only checked.
template <bool Convert, typename Values>
std::optional<Outcome> gather_plain_values(Context& ctx, const TextView& text, Values& range,
                                           size_t& gathered) {
    const size_t range_before = range.size();
    const std::optional<Outcome> o = take_plain_values(ctx, text, gathered, [&](const char* p, const char* end,
                                                                                const char* limit) {
        if constexpr (Convert) {
            double v;
            const char* const stop = scan_scientific(p, end, limit, v);
            if (stop) range.push_back(v);
            return stop;
        } else {
            return scientific_end(p, end, limit);
        }
    });
    if (!o) range.resize(range_before);
    return o;
}

// A single-value record written the usual way, "12,-1.2084482E-07,": an id
// of an optional minus and one to nine digits, a comma, one value as
// take_plain_values reads it (with `take`), then only commas. False for
// any other line, which is then split (an end-of-data line "-1,0.," among
// them).
// `read_id(s, end, limit)` reads the id at the line's start s and returns
// the position after its comma, or null.
template <typename ReadId, typename Take>
[[gnu::always_inline]] inline bool take_plain_single_by(const TextView& text, ReadId&& read_id, Take&& take) {
    const char* const s = text.narrow();
    if (!s) return false;
    const char* const limit = s + text.length;
    const char* end = limit;
    while (end > s && end[-1] == ',') --end;
    const char* p = read_id(s, end, limit);
    return p && take(p, end, limit) == end;
}
template <typename Take>
[[gnu::always_inline]] inline bool take_plain_single(const TextView& text, int32_t& id, Take&& take) {
    return take_plain_single_by(
        text, [&](const char* s, const char* end, const char* limit) { return read_plain_id(s, end, limit, id); },
        take);
}

// The id of the next single-value record as the one before it foretells
// it: ids usually rise by one through a vector's records. The text of the
// id after the last one read (its digits as that line wrote them, raised
// by one) is kept with its comma as one word, so that a line starting
// with exactly those characters has its id without a step over its
// digits: one to seven digits and a comma are what read_plain_id reads,
// and these give that id. Nothing is foretold after an id that did not
// follow the one before (ids that go up by more than one would only cost
// a failed match a line), a negative id, an id of more than seven digits,
// or after the id of only nines (the text would grow); the next line then
// has its id read as any other.
class NextId {
  public:
    // The id at s as read_plain_id reads it, foretold when it can be, and
    // the next one foretold from it: the position after its comma, or null.
    [[gnu::always_inline]] const char* id_at(const char* s, const char* end, const char* limit, int32_t& id) {
        if (const char* p = take(s, end, limit, id)) return p;
        const char* const p = read_plain_id(s, end, limit, id);
        if (p) read(s, p, limit, id);
        return p;
    }

    // Whether the text at s starts with the foretold id and its comma (the
    // eight bytes from s must lie in the text), and how many digits it has.
    [[gnu::always_inline]] bool foretells(const char* s) const { return (load8(s) & mask_) == text_; }
    [[gnu::always_inline]] unsigned digits() const { return digits_; }
    // Whether an id is foretold, and which (only meaningful while one is).
    [[gnu::always_inline]] bool foretelling() const { return mask_ != 0; }
    [[gnu::always_inline]] int64_t foretold_id() const { return id_; }
    // The foretold id, taken where it was found: the one after it is
    // foretold.
    [[gnu::always_inline]] int32_t take_foretold() {
        const auto id = static_cast<int32_t>(id_++);
        raise();
        return id;
    }

  private:
    // The text after the expected id's comma at s, or null when s does not
    // start with them (or the comma ends the text before `end`). Bytes up
    // to `limit` may be read.
    const char* take(const char* s, const char* end, const char* limit, int32_t& id) {
        if (limit - s < 8 || !foretells(s) || s + digits_ >= end) return nullptr;
        id = take_foretold();
        return s + digits_ + 1;
    }
    // The id `id`, read from s (its comma just before `after`), foretells
    // the next one when it follows the one before; its text is taken as one
    // word only when the line holds eight bytes from s.
    void read(const char* s, const char* after, const char* limit, int32_t id) {
        const bool follows = id == id_;
        id_ = int64_t{id} + 1;
        const auto digits = static_cast<unsigned>(after - 1 - s);
        if (!follows || *s == '-' || digits > 7 || limit - s < 8) return forget();  // "-0" too
        digits_ = digits;
        step_ = uint64_t{1} << 8 * (digits - 1);
        mask_ = ~uint64_t{0} >> (8 * (7 - digits));
        text_ = load8(s) & mask_;  // the text of the id read, raised to the next one below
        raises_ = static_cast<unsigned>('9' - s[digits - 1]);
        raise();
    }
    // The text raised to the next id's.
    [[gnu::always_inline]] void raise() {
        if (raises_ != 0) [[likely]] {
            text_ += step_;
            --raises_;
        } else {
            carry();
        }
    }
    // The text of the id after one whose last digit is 9: the nines that
    // end it become zeros and the digit before them is raised ("1299" to
    // "1300"); nothing is foretold after an id of only nines.
    [[gnu::always_inline]] void carry() {
        // The digits moved to the top of the word, the last one highest, the
        // comma shifted out: bytes that were '9' are 0.
        const uint64_t others = (text_ ^ 0x3939393939393939ull) << (8 * (8 - digits_));
        if (others == 0) return forget();
        const auto nines = static_cast<unsigned>(__builtin_clzll(others)) / 8;  // at least the last digit
        const uint64_t ones = (0x0101010101010101ull >> (8 * (8 - nines))) << (8 * (digits_ - nines));
        text_ = text_ - 9 * ones + (uint64_t{1} << (8 * (digits_ - 1 - nines)));
        raises_ = 9;
    }
    [[gnu::always_inline]] void forget() {
        mask_ = 0;
        text_ = 1;  // no word masked by 0
    }
    int64_t id_ = INT64_MIN;  // the id after the last one read
    unsigned digits_ = 0;
    unsigned raises_ = 0;  // how often the last digit of text_ may still be raised
    uint64_t step_ = 0;    // 1 in the byte of that digit
    uint64_t text_ = 1, mask_ = 0;
};

// take_plain_single with the id foretold by `next`, and foretelling the
// following one.
template <typename Take>
[[gnu::always_inline]] inline bool take_plain_single(const TextView& text, NextId& next, int32_t& id, Take&& take) {
    return take_plain_single_by(
        text, [&](const char* s, const char* end, const char* limit) { return next.id_at(s, end, limit, id); }, take);
}

// The same, its value converted, or only checked.
template <bool Convert>
[[gnu::always_inline]] inline bool read_plain_single(const TextView& text, int32_t& id, double& value) {
    return take_plain_single(text, id, [&](const char* p, const char* end, const char* limit) {
        if constexpr (Convert) {
            return scan_scientific(p, end, limit, value);
        } else {
            return scientific_end(p, end, limit);
        }
    });
}

#if TREMIX_SSE2
// For the sixteen characters from p: a bit for each comma, and one for
// each character from 0x21 to 0x7e (above 0x20 and below 0x7f as signed
// bytes).
struct BlockMarks {
    unsigned commas, printable;
};
inline BlockMarks block_marks(const char* p) {
    const __m128i chars = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i in_range =
        _mm_and_si128(_mm_cmpgt_epi8(chars, _mm_set1_epi8(0x20)), _mm_cmplt_epi8(chars, _mm_set1_epi8(0x7f)));
    return {static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(chars, _mm_set1_epi8(',')))),
            static_cast<unsigned>(_mm_movemask_epi8(in_range))};
}
#endif

// Past `count` (1 to 16) fields from p, each of one or more characters
// from 0x21 to 0x7e and ended by a comma: the position after the last
// one's comma, or null when the text before `end` is not such.
inline const char* skip_printable_fields(const char* p, const char* end, unsigned count) {
    bool at_start = true;  // no character of the current field seen yet
#if TREMIX_SSE2
    // Fields of one character each, the commonest layout, are told from one
    // comparison: their end is then known without counting commas, which
    // the numbers after them would wait on.
    if (end - p >= 32) {
        const BlockMarks first = block_marks(p), second = block_marks(p + 16);
        const uint32_t span = static_cast<uint32_t>((uint64_t{1} << (2 * count)) - 1);
        if (((first.commas | second.commas << 16) & span) == (0xAAAAAAAAu & span) &&
            ((first.printable | second.printable << 16) & span) == span) {
            return p + 2 * count;
        }
    }
    // Otherwise sixteen characters at a time while they lie before `end`.
    unsigned after_comma = 1;  // at_start, as the bit before the block's first
    while (end - p >= 16) {
        const auto [commas, printable] = block_marks(p);
        const unsigned empty = commas & ((commas << 1) | after_comma);  // commas that end an empty field
        unsigned rest = commas;
        while (count > 1 && rest) {
            rest &= rest - 1;
            --count;
        }
        if (rest) {  // the last field ends in this block: only what comes before its comma counts
            const unsigned through = ((rest & (0u - rest)) << 1) - 1;
            if (((~printable | empty) & through) != 0) return nullptr;
            return p + __builtin_ctz(rest) + 1;
        }
        if (printable != 0xFFFF || empty != 0) return nullptr;
        after_comma = commas >> 15;
        p += 16;
    }
    at_start = after_comma != 0;
#endif
    while (p < end) {
        const unsigned char ch = static_cast<unsigned char>(*p++);
        if (ch == ',') {
            if (at_start) return nullptr;
            if (--count == 0) return p;
            at_start = true;
        } else if (static_cast<unsigned char>(ch - 0x21) < 0x5e) {
            at_start = false;
        } else {
            return nullptr;
        }
    }
    return nullptr;
}

// A node line: the id, ten fields of printable ASCII that are not read,
// and the three coordinates as plain decimals, each followed by a comma or
// the end of the line's text; whatever follows the coordinates is not read.
// The usual shapes of each part are taken in one step (id_lines.hpp), the
// rest as read_plain_id, skip_printable_fields and plain_coordinate read
// them, to the same values.
inline bool read_plain_node(const TextView& text, int32_t& id, double (&xyz)[3]) {
    const char* const s = text.narrow();
    if (!s) return false;
    const char* const end = s + text.length;
    const char* p;
    if (end - s >= 16) {  // the id's digits as one word
        p = read_id_field(s, id);
        if (!p) return false;
        ++p;
    } else {
        p = read_plain_id(s, end, id);
        if (!p) return false;
    }
    if (end - p >= 20 && ten_digit_fields(p)) {
        p += 2 * (kXField - 1);
    } else {
#if TREMIX_SSE2
        const char* const past = end - p >= 32 ? ten_short_fields(p) : nullptr;
        p = past ? past : skip_printable_fields(p, end, kXField - 1);
#else
        p = skip_printable_fields(p, end, kXField - 1);
#endif
        if (!p) return false;
    }
    // x and y, each followed by its comma, then z.
    for (int axis = 0; axis < 2; ++axis) {
        const char* comma = read_node_coordinate(p, end, xyz[axis]);
        if (!comma) {
            comma = plain_coordinate(p, end, xyz[axis]);
            if (!comma || comma == end) return false;
        }
        p = comma + 1;
    }
    return read_node_coordinate(p, end, xyz[2]) || plain_coordinate(p, end, xyz[2]);
}

}  // namespace tremix::reading
