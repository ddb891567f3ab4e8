// Lines of integer fields written the way exporters write them (an
// element's first line, "1978,7,1,3,8,1,0,0,...", and its node lines,
// "1989,1990,2168,2167,33673,33674,33852,33851,0,0,"), each field's digits
// taken as one word instead of a step per digit; and the parts of a node
// line, "1,0,0,1,46,0,0,0,0,0,0,-7.6304687E+00,-1.0105179E+02,0.0000000E+00,",
// each taken in one step where it has the usual shape.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <type_traits>

#include "sse2.hpp"

#include "context.hpp"
#include "decimal_scan.hpp"

namespace tremix::reading {

// The field at p: one to nine digits followed by a comma (sixteen bytes
// from p may be read). The position of that comma, with the digits' value
// in `magnitude`, or null when p holds no such field.
[[gnu::always_inline]] inline const char* read_digits_field(const char* p, int32_t& magnitude) {
    const uint64_t word = load8(p);
    unsigned n = leading_digits(word);
    uint64_t m;
    if (n - 1 < 7) [[likely]] {
        m = digits_value(word, n);
    } else if (n == 0) {
        return nullptr;
    } else {  // eight digits, or more
        m = digits_value(word, 8);
        if (is_ascii_digit(p[8])) {
            m = m * 10 + static_cast<unsigned>(p[8] - '0');
            n = 9;  // a tenth digit is no comma, below
        }
    }
    if (p[n] != ',') return nullptr;
    magnitude = static_cast<int32_t>(m);
    return p + n;
}

// The same with an optional minus before the digits.
[[gnu::always_inline]] inline const char* read_id_field(const char* p, int32_t& value) {
    if (*p != '-') [[likely]] return read_digits_field(p, value);
    int32_t magnitude;
    const char* const comma = read_digits_field(p + 1, magnitude);
    if (comma) value = -magnitude;
    return comma;
}

// Whether the field at p, read as read_id_field reads it, is not 0,
// without its value: the position of its comma, or null when p holds no
// such field. For a walk that only counts the ids that are not 0.
[[gnu::always_inline]] inline const char* read_nonzero_id_field(const char* p, bool& nonzero) {
    p += *p == '-';
    const uint64_t word = load8(p);
    const uint64_t values = word ^ 0x3030303030303030ull;  // a digit's value in each digit's byte
    unsigned n = leading_digits(word);
    if (n - 1 < 7) [[likely]] {
        nonzero = (values << (8 * (8 - n))) != 0;
    } else if (n == 0) {
        return nullptr;
    } else {  // eight digits, or more
        nonzero = values != 0;
        if (is_ascii_digit(p[8])) {
            nonzero = nonzero || p[8] != '0';
            n = 9;  // a tenth digit is no comma, below
        }
    }
    return p[n] == ',' ? p + n : nullptr;
}

// The two bytes at p as one number, the first in the low byte.
[[gnu::always_inline]] inline unsigned load2(const char* p) {
    uint16_t two;
    std::memcpy(&two, p, 2);
    return two;
}

// A field of one digit and its comma at p: the digit's value, or -1.
[[gnu::always_inline]] inline int one_digit_field(const char* p) {
    const unsigned two = load2(p);
    const unsigned digit = (two & 0xFF) - '0';
    return (two >> 8) == ',' && digit <= 9 ? static_cast<int>(digit) : -1;
}

// Copies of a line's last characters for the readers above, which read
// sixteen bytes from a field's start: `limit`, the end of the line's text,
// falls at `stop` in the copy, a comma there stands for it and zero bytes
// (no character of a field) follow. Nothing at or past `limit` is read,
// nor anything before the line's start s.
class IdTail {
  public:
    // The copy of [max(s, limit - 16), limit).
    IdTail(const char* s, const char* limit) {
        char* const stop = bytes_ + 16;
        const auto length = static_cast<size_t>(limit - s);
        if (length >= 16) {
            std::memcpy(bytes_, limit - 16, 16);
        } else if (length >= 8) {  // two words that overlap cover it
            std::memcpy(stop - length, s, 8);
            std::memcpy(stop - 8, limit - 8, 8);
        } else {
            char* const start = stop - length;
            for (size_t k = 0; k < length; ++k) start[k] = s[k];
        }
        std::memset(stop, 0, sizeof bytes_ - 16);
        *stop = ',';
    }
    // Where position p of the text (up to `limit`) falls in the copy.
    const char* at(const char* p, const char* limit) const { return bytes_ + 16 - (limit - p); }

  private:
    char bytes_[48];
};

// The fields of the line [s, limit) up to `end`, with only commas from
// `end` to `limit` and none just before `end` (end > s): each an optional
// minus and one to nine digits followed by a comma, the last one by the
// first comma after `end` or by the end of the text. `take(value)` is given
// each field's value in turn, except that a field that is a lone 0 (an
// empty node slot, the commonest field) is passed over; with Values false,
// `take(nonzero)` is given only whether it is not 0. Empty when a field is
// not such (some may have been taken by then), fail when the context is to
// stop (it is asked every 128 characters).
template <bool Values = true, typename Take>
[[gnu::always_inline]] inline std::optional<Outcome> read_id_fields(Context& ctx, const char* s, const char* end,
                                                                    const char* limit, Take&& take) {
    // The field at p, taken: the position of its comma, or null.
    auto field = [&](const char* p) -> const char* {
        if (load2(p) == ('0' | ',' << 8)) return p + 1;
        if constexpr (Values) {
            int32_t value;
            const char* const comma = read_id_field(p, value);
            if (comma) take(value);
            return comma;
        } else {
            bool nonzero;
            const char* const comma = read_nonzero_id_field(p, nonzero);
            if (comma) take(nonzero);
            return comma;
        }
    };
    const char* p = s;
    // Straight from the text while sixteen bytes lie before its end.
    if (limit - s >= 16) {
        const char* const last = limit - 16;
        for (;;) {
            const char* const bound = last - p > 128 ? p + 128 : last;
            while (p <= bound) {
                const char* const comma = field(p);
                if (!comma) return std::nullopt;
                if (comma == end) return Outcome::ok;
                p = comma + 1;  // the field after it starts at once
            }
            if (p > last) break;
            if (!ctx.tick()) return Outcome::fail;
        }
    }
    // The rest, fewer than sixteen characters, from a copy.
    const IdTail tail(s, limit);
    const char* const tail_end = tail.at(end, limit);
    for (const char* q = tail.at(p, limit);;) {
        const char* const comma = field(q);
        if (!comma) return std::nullopt;
        if (comma == tail_end) return Outcome::ok;
        q = comma + 1;
    }
}

// Ten fields of one digit each, each followed by its comma, at p
// ("0,0,1,7,0,0,0,0,0,0,", the fields of a node line between its id and
// its coordinates, as exporters mostly write them): the twenty bytes from
// p, all of which the caller may read, checked as three words.
[[gnu::always_inline]] inline bool ten_digit_fields(const char* p) {
    // Each byte xor its expected one: a digit's becomes 0 to 9, a comma's
    // 0. A byte above that sets its top bit in the sum or had it already;
    // the lowest such byte has no carry coming in.
    constexpr uint64_t kExpected = 0x2C302C302C302C30ull;  // "0,0,0,0,"
    constexpr uint64_t kRaise = 0x7F767F767F767F76ull;
    const uint64_t a = load8(p) ^ kExpected, b = load8(p + 8) ^ kExpected, c = load8(p + 12) ^ kExpected;
    return ((a | (a + kRaise) | b | (b + kRaise) | c | (c + kRaise)) & 0x8080808080808080ull) == 0;
}

#if TREMIX_SSE2
// Past ten fields at p, each of one or more characters from 0x21 to 0x7e
// and ended by a comma, all within the 32 bytes from p (which the caller
// may read): the position after the tenth comma, or null when those bytes
// do not hold such fields (which may still lie further on).
[[gnu::always_inline]] inline const char* ten_short_fields(const char* p) {
    const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
    const __m128i comma = _mm_set1_epi8(','), space = _mm_set1_epi8(0x20), del = _mm_set1_epi8(0x7f);
    const auto printable = [&](__m128i chars) {
        return static_cast<uint32_t>(
            _mm_movemask_epi8(_mm_and_si128(_mm_cmpgt_epi8(chars, space), _mm_cmplt_epi8(chars, del))));
    };
    const auto commas_of = [&](__m128i chars) {
        return static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(chars, comma)));
    };
    const uint32_t commas = commas_of(low) | commas_of(high) << 16;
    const uint32_t shown = printable(low) | printable(high) << 16;
    uint32_t rest = commas;
    for (int k = 0; k < 9; ++k) rest &= rest - 1;  // the nine commas before the tenth
    if (rest == 0) return nullptr;
    const uint32_t tenth = rest & (0u - rest);
    const uint32_t through = tenth | (tenth - 1);
    const uint32_t empty = commas & ((commas << 1) | 1);  // commas that end an empty field
    return ((~shown | empty) & through) == 0 ? p + __builtin_ctz(tenth) + 1 : nullptr;
}

// 10^power as the two factors m * up / down that give m * 10^power rounded
// as exact_scaled rounds it, for power from -22 to 22: one factor is 1,
// and multiplying or dividing by 1 is exact.
struct ScaleFactors {
    double up, down;
};
inline constexpr ScaleFactors kScaleFactors[] = {
    {1, 1e22}, {1, 1e21}, {1, 1e20}, {1, 1e19}, {1, 1e18}, {1, 1e17}, {1, 1e16}, {1, 1e15}, {1, 1e14},
    {1, 1e13}, {1, 1e12}, {1, 1e11}, {1, 1e10}, {1, 1e9},  {1, 1e8},  {1, 1e7},  {1, 1e6},  {1, 1e5},
    {1, 1e4},  {1, 1e3},  {1, 1e2},  {1, 1e1},  {1, 1},    {1e1, 1},  {1e2, 1},  {1e3, 1},  {1e4, 1},
    {1e5, 1},  {1e6, 1},  {1e7, 1},  {1e8, 1},  {1e9, 1},  {1e10, 1}, {1e11, 1}, {1e12, 1}, {1e13, 1},
    {1e14, 1}, {1e15, 1}, {1e16, 1}, {1e17, 1}, {1e18, 1}, {1e19, 1}, {1e20, 1}, {1e21, 1}, {1e22, 1}};
static_assert(sizeof kScaleFactors / sizeof kScaleFactors[0] == 45, "powers -22 to 22");

// A coordinate at d (after its sign) in a default shape of `Places` (7 or
// 6) decimals (fixed_scientific_shape, "2.2119522E+02") followed at once by
// a comma, read from the sixteen bytes at d - Off, all of which the caller
// may read: the position of that comma, with its value, or null for any
// other text or a power of ten beyond 22 (which the general scan then
// reads). It reads such a number as read_default_scientific reads it, to
// the same value.
template <int Places, int Off>
[[gnu::always_inline]] inline const char* read_coordinate_block(const char* d, bool negative, double& out) {
    constexpr int kPoint = Off + 1, kMark = Off + Places + 2, kSign = Off + Places + 3, kComma = Off + Places + 6;
    static_assert((Places == 6 || Places == 7) && Off == 9 - Places && kComma == 15, "the number fills the block");
    constexpr auto is_digit = [](int k) {
        return k == Off || (k >= Off + 2 && k < kMark) || k == kSign + 1 || k == kSign + 2;
    };
    constexpr auto is_mark = [](int k) { return k == kPoint || k == kMark || k == kComma; };
    constexpr auto lower = [](int k) -> char { return k == kMark ? 0x20 : 0; };
    constexpr auto expected = [=](int k) -> char {
        return is_digit(k) ? '0' : k == kPoint ? '.' : k == kMark ? 'e' : k == kComma ? ',' : 0;
    };
    // The most each byte may be after the xor below: any byte outside the
    // number (and its exponent's sign, looked at on its own).
    constexpr auto most = [=](int k) -> char { return is_digit(k) ? 9 : is_mark(k) ? 0 : -1; };
#define TREMIX_LANES(f)                                                                                            \
    _mm_setr_epi8(f(0), f(1), f(2), f(3), f(4), f(5), f(6), f(7), f(8), f(9), f(10), f(11), f(12), f(13), f(14), \
                  f(15))
    // Each byte xor-ed with what its place expects (the exponent mark
    // lowered first): a digit's then lies from 0 to 9, a mark's (the point,
    // the exponent mark in either case, the comma) is 0, and what lies
    // above that is wrong.
    const __m128i chars = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d - Off));
    const __m128i off = _mm_xor_si128(_mm_or_si128(chars, TREMIX_LANES(lower)), TREMIX_LANES(expected));
    const __m128i beyond = _mm_subs_epu8(off, TREMIX_LANES(most));
#undef TREMIX_LANES
    if (_mm_movemask_epi8(_mm_cmpeq_epi8(beyond, _mm_setzero_si128())) != 0xFFFF) return nullptr;
    const unsigned sign = static_cast<unsigned char>(d[Places + 3]) - '+';  // 0 for '+', 2 for '-'
    if ((sign & ~2u) != 0) return nullptr;
    // The digits' values, off's digit bytes, gathered in three steps. The
    // block's sixteen-bit lanes are, from the second, for seven places
    // (D0 .) (D1 D2) (D3 D4) (D5 D6) (D7 E) (s e0) (e1 ,), and for six
    // (x D0) (. D1) (D2 D3) (D4 D5) (D6 E) (s e0) (e1 ,): each lane's low
    // byte times a weight plus its high byte gives
    // D0, D1 (six places), D1D2 or D2D3, ..., the last digit alone, e0 and
    // e1 (the marks are 0, bytes outside the number weighed by 0 at the
    // second step); pairs of lanes joined then give the digits in three
    // groups and the exponent (seven places: D0, D1D2D3D4, D5D6D7, e; six:
    // D0, D1D2D3, D4D5D6, e), and the first two groups joined the digits'
    // value as hi * 1000 + lo, exact as doubles.
    constexpr short kLow = Places == 7 ? 1 : 0;
    const __m128i pairs = _mm_add_epi16(
        _mm_mullo_epi16(_mm_and_si128(off, _mm_set1_epi16(0xFF)), _mm_setr_epi16(0, kLow, kLow * 10, 10, 10, 1, 0, 1)),
        _mm_srli_epi16(off, 8));
    const __m128i groups = _mm_madd_epi16(pairs, _mm_setr_epi16(0, 1, 100, 1, 10, 1, 10, 1));
    const __m128i packed = _mm_packs_epi32(groups, groups);
    const int e = _mm_extract_epi16(packed, 3);
    const int flip = -static_cast<int>(sign >> 1);
    const int power = ((e ^ flip) - flip) - Places;
    if (power < -22 || power > 22) return nullptr;
    constexpr short kJoin = Places == 7 ? 10000 : 1000;
    const __m128d halves = _mm_cvtepi32_pd(_mm_madd_epi16(packed, _mm_setr_epi16(kJoin, 1, 1, 0, 0, 0, 0, 0)));
    const double digits = _mm_cvtsd_f64(halves) * 1000.0 + _mm_cvtsd_f64(_mm_unpackhi_pd(halves, halves));
    const ScaleFactors& scale = kScaleFactors[power + 22];
    const double value = digits * scale.up / scale.down;
    // The sign bit set by masking, as exact_scaled sets it.
    out = std::bit_cast<double>(std::bit_cast<uint64_t>(value) ^ (static_cast<uint64_t>(negative) << 63));
    return d + Places + 6;
}
#endif

// A coordinate at p of a default shape (seven decimals, or six) followed
// at once by a comma, read from the line's text up to `end` without a
// step per character: the position of that comma, or null when it is not
// such or lies too near `end` to be read so (plain_coordinate then reads
// it).
[[gnu::always_inline]] inline const char* read_node_coordinate(const char* p, const char* end, double& out) {
#if TREMIX_SSE2
    if (end - p < 13) return nullptr;
    const bool negative = *p == '-';
    const char* const d = p + negative;
    if (end - d >= 14) {
        if (const char* comma = read_coordinate_block<7, 2>(d, negative, out)) return comma;
    }
    if (end - d >= 13) return read_coordinate_block<6, 3>(d, negative, out);
    return nullptr;
#else
    const char* const stop = read_default_scientific(p, end, out);  // the usual shape, one step per number
    return stop && stop < end && *stop == ',' ? stop : nullptr;
#endif
}

// A coordinate at p as a plain decimal, followed by a comma or by `end`,
// as read_plain_node has always read it: the position after it, or null.
[[gnu::noinline]] inline const char* plain_coordinate(const char* p, const char* end, double& out) {
    bool out_of_range;
    const char* stop = read_default_scientific(p, end, out);  // the usual shape, inline
    if (!stop) stop = scan_plain_decimal(p, end, end, out, out_of_range);
    return stop && (stop == end || *stop == ',') ? stop : nullptr;
}

// A stand-in for the vector an element's node ids are gathered in, where
// they are only counted (a walk that keeps the topology codes alone).
struct NodeIdCount {
    size_t count = 0;
    void push_back(int32_t) { ++count; }
    size_t size() const { return count; }
    void resize(size_t n) { count = n; }
    void clear() { count = 0; }
};

}  // namespace tremix::reading
