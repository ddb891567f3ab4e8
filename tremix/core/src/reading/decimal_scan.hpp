// Plain ASCII decimals ("1.2345E-03", "-7", ".5") converted straight from
// text, rounded exactly as float() rounds. Shared by the field conversions
// and by the one-pass readers of result lines.
#pragma once

#include <algorithm>
#include <bit>
#include <charconv>
#include <cstddef>
#include <cstring>
#include <cstdint>
#include <system_error>

#include "sse2.hpp"

// C++ libraries without std::from_chars for double (older libc++, as on
// macOS) convert with strtod_l() in the "C" locale instead, which rounds
// correctly too.
#if defined(__cpp_lib_to_chars) && !defined(TREMIX_DECIMAL_BY_STRTOD)
#define TREMIX_FROM_CHARS_DOUBLE 1
#else
#define TREMIX_FROM_CHARS_DOUBLE 0
#include <cerrno>
#include <clocale>
#include <cstdlib>
#include <string>
#if defined(__APPLE__)
#include <xlocale.h>
#endif
#endif

namespace tremix::reading {

// The word-at-a-time scanners read eight characters as one integer, the
// first in its lowest byte.
static_assert(std::endian::native == std::endian::little, "the text scanners need a little-endian machine");

inline bool is_ascii_digit(char ch) { return static_cast<unsigned>(ch - '0') <= 9; }

// The powers of ten that doubles hold exactly.
inline constexpr double kExactPowers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                          1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
// 10^n for the n (0 to 8) digits of one eight-byte word.
inline constexpr uint64_t kPowers[] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000, 100000000};

// The correctly rounded double of the plain decimal [first, last); false
// when it lies beyond the range of doubles (or, through strtod_l(), so
// close to zero that it loses precision), which the interpreter then
// decides.
inline bool decimal_to_double(const char* first, const char* last, double& value) {
#if TREMIX_FROM_CHARS_DOUBLE
    const auto [stop, ec] = std::from_chars(first, last, value, std::chars_format::general);
    return ec == std::errc() && stop == last;
#else
    static const locale_t c_locale = newlocale(LC_ALL_MASK, "C", locale_t{});
    if (!c_locale) return false;
    const std::string text(first, last);  // strtod_l() reads up to a NUL
    char* stop = nullptr;
    errno = 0;
    value = strtod_l(text.c_str(), &stop, c_locale);
    return errno != ERANGE && stop == text.c_str() + text.size();
#endif
}

// The general case: leading zeros skipped, digits beyond 19 dropped and
// only scaling, any exponent.
inline const char* scan_plain_decimal_long(const char* p, const char* end, double& out, bool& out_of_range) {
    out_of_range = false;
    bool negative = false;
    if (p < end && (*p == '+' || *p == '-')) negative = *p++ == '-';
    const char* const body = p;
    uint64_t mantissa = 0;  // significant digits only; leading zeros skipped
    int64_t significant = 0;  // a field may hold more than 2**31 digits
    int64_t exponent = 0;
    // An exponent of more digits than are kept: a power of ten computed
    // from the digits may then look small only because of the lost ones
    // (after 10**8 zeros, say), so only the exact conversion decides.
    bool exponent_capped = false;
    const char* q = p;
    for (; q < end && is_ascii_digit(*q); ++q) {
        if (significant == 0 && *q == '0') continue;
        if (++significant <= 19) {
            mantissa = mantissa * 10 + static_cast<unsigned>(*q - '0');
        } else {
            ++exponent;  // digits beyond 19 are dropped and only scale
        }
    }
    bool any_digit = q > p;
    if (q < end && *q == '.') {
        const char* const fraction = ++q;
        for (; q < end && is_ascii_digit(*q); ++q) {
            if (significant == 0 && *q == '0') {
                --exponent;
                continue;
            }
            if (++significant <= 19) {
                mantissa = mantissa * 10 + static_cast<unsigned>(*q - '0');
                --exponent;
            }
        }
        any_digit = any_digit || q > fraction;
    }
    if (!any_digit) return nullptr;
    if (q < end && (*q | 0x20) == 'e') {
        ++q;
        bool negative_exponent = false;
        if (q < end && (*q == '+' || *q == '-')) negative_exponent = *q++ == '-';
        const char* const exponent_digits = q;
        int64_t e = 0;
        for (; q < end && is_ascii_digit(*q); ++q) {
            if (e < 100000000) {
                e = e * 10 + (*q - '0');
            } else {
                exponent_capped = true;
            }
        }
        if (q == exponent_digits) return nullptr;
        exponent += negative_exponent ? -e : e;
    }
    double value;
    if (mantissa == 0) {
        value = 0.0;
    } else if (!exponent_capped && significant <= 19 && mantissa <= (uint64_t{1} << 53) && exponent >= -22 &&
               exponent <= 22) {
        value = static_cast<double>(mantissa);
        value = exponent < 0 ? value / kExactPowers[-exponent] : value * kExactPowers[exponent];
    } else {
        if (!decimal_to_double(body, q, value)) {
            out_of_range = true;
            return nullptr;
        }
    }
    out = negative ? -value : value;
    return q;
}

// The end of the plain decimal at p (the grammar of scan_plain_decimal),
// or null when there is none: its syntax only, for a check that a value
// converts without computing it.
inline const char* plain_decimal_end(const char* p, const char* end) {
    if (p < end && (*p == '+' || *p == '-')) ++p;
    const char* q = p;
    while (q < end && is_ascii_digit(*q)) ++q;
    bool any = q > p;
    if (q < end && *q == '.') {
        const char* fraction = ++q;
        while (q < end && is_ascii_digit(*q)) ++q;
        any = any || q > fraction;
    }
    if (!any) return nullptr;
    if (q < end && (*q | 0x20) == 'e') {
        ++q;
        if (q < end && (*q == '+' || *q == '-')) ++q;
        const char* digits = q;
        while (q < end && is_ascii_digit(*q)) ++q;
        if (q == digits) return nullptr;
    }
    return q;
}

// Eight characters as one little-endian word: the first in the lowest byte.
inline uint64_t load8(const char* p) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    return w;
}

// How many of the word's characters, from the first, are ASCII digits.
// Any borrow or carry a non-digit causes only reaches the characters after
// it, so the first non-digit is always found.
inline unsigned leading_digits(uint64_t word) {
    const uint64_t flags = ((word + 0x4646464646464646ull) | (word - 0x3030303030303030ull)) & 0x8080808080808080ull;
    return flags ? static_cast<unsigned>(__builtin_ctzll(flags)) / 8 : 8;
}

// The value of the first n (1 to 8) characters of the word, all digits.
inline uint64_t digits_value(uint64_t word, unsigned n) {
    uint64_t v = (word - 0x3030303030303030ull) << (8 * (8 - n));
    v = v * 10 + (v >> 8);
    v = (((v & 0x000000FF000000FFull) * (100 + (1000000ull << 32))) +
         (((v >> 16) & 0x000000FF000000FFull) * (1 + (10000ull << 32)))) >>
        32;
    return v;
}

// Digits from p on, added to `mantissa`; eight at a time while the eight
// bytes from p lie before `limit` (bytes up to `limit` may be read, those
// up to `end` belong to the number).
inline const char* read_digits(const char* p, const char* end, const char* limit, uint64_t& mantissa, size_t& count) {
    while (p + 8 <= limit) {
        // The rest of the field clamped before it is narrowed: a field may
        // be longer than 4 Gi characters.
        const unsigned n = std::min<unsigned>(leading_digits(load8(p)), static_cast<unsigned>(std::min<ptrdiff_t>(end - p, 8)));
        if (n == 0) return p;
        mantissa = mantissa * kPowers[n] + digits_value(load8(p), n);
        p += n;
        count += n;
        if (n < 8 || count > 19) return p;
    }
    while (p < end && is_ascii_digit(*p)) {
        mantissa = mantissa * 10 + static_cast<unsigned>(*p++ - '0');
        ++count;
    }
    return p;
}

// The exact shapes exporters write by default, after the sign: one digit,
// a point, `Places` digits (seven, or six as C's %E writes), an exponent
// mark, an exponent sign and two digits ("2.2119522E+02"), with no digit
// right after it. Its end and its exponent as written, or null for any
// other text. Checked in one step from two overlapping words, so that
// where the number ends does not wait on a scan through it: the readers of
// whole lines go from one number to the next that way. Reads only before
// `end`.
template <int Places>
[[gnu::always_inline]] inline const char* fixed_scientific_shape(const char* d, const char* end, int& written) {
    static_assert(Places == 6 || Places == 7, "the first word holds no exponent mark, the digits fit one word");
    constexpr int kLength = Places + 6;
    // One character first, so that numbers of other shapes cost little.
    if (end - d < kLength || (d[Places + 2] | 0x20) != 'e') return nullptr;
    // Each character xor its expected one: a digit becomes 0 to 9, the
    // point and the exponent mark (either case) become 0. The exponent's
    // sign is kept and looked at on its own.
    const uint64_t head = load8(d) ^ 0x3030303030302E30ull;                                              // "2.211952"
    const uint64_t tail = (load8(d + kLength - 8) | 0x0000002000000000ull) ^ 0x3030006530303030ull;  // "9522E+02"
    const unsigned sign = static_cast<unsigned>(tail >> 40) & 0xFF;
    const uint64_t marks = tail & ~0x0000FF0000000000ull;
    // A byte above 9 (above 0 where 0x7F is added) sets its top bit in the
    // sum or had it already; the lowest such byte has no carry coming in.
    const uint64_t wrong = (head | (head + 0x7676767676767F76ull) | marks | (marks + 0x7676767F76767676ull)) &
                           0x8080808080808080ull;
    const int e = static_cast<int>((tail >> 48) & 0xFF) * 10 + static_cast<int>(tail >> 56);
    const int flip = -static_cast<int>(sign == '-');  // negated without a branch: the sign follows the data
    written = (e ^ flip) - flip;
    if (wrong != 0 || ((sign - '+') & ~2u) != 0 || (end - d > kLength && is_ascii_digit(d[kLength]))) return nullptr;
    return d + kLength;
}

#if TREMIX_SSE2
// fixed_scientific_shape<7> read from the sixteen bytes at d - Off (Off 0
// or 2), all of which the caller may read, the byte after the number among
// them: a bit for each byte in the range its place takes (a digit, or '+'
// to '-' for the exponent's sign), and one for each byte equal to the mark
// its place has (the point, the exponent mark in either case, and ',',
// the one byte between '+' and '-'). The bytes from `end` on that the
// block holds must be commas (a line's text with the commas that end it
// left out), so that a digit right after the number always counts against
// it.
template <int Off>
[[gnu::always_inline]] inline const char* fixed_scientific_shape7_block(const char* d, const char* end, int& written) {
    static_assert(Off == 0 || Off == 2, "the byte after the number lies in the block");
    if (end - d < 13) return nullptr;
    const __m128i chars = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d - Off));
    // Per place of the block: what is added to its byte, so that the bytes
    // of its range become the lowest signed ones, and the bound below
    // which they then lie; what is or-ed into it, and what it is compared
    // with.
    constexpr auto lane = [](int k, char digit, char sign, char other) -> char {
        return k == Off + 10 ? sign : k == Off + 1 || k == Off + 9 ? other : digit;
    };
    constexpr auto mark = [](int k, char point, char exponent, char sign) -> char {
        return k == Off + 1 ? point : k == Off + 9 ? exponent : k == Off + 10 ? sign : 0;
    };
#define TREMIX_BLOCK(f, a, b, c)                                                                                   \
    _mm_setr_epi8(f(0, a, b, c), f(1, a, b, c), f(2, a, b, c), f(3, a, b, c), f(4, a, b, c), f(5, a, b, c),        \
                  f(6, a, b, c), f(7, a, b, c), f(8, a, b, c), f(9, a, b, c), f(10, a, b, c), f(11, a, b, c),      \
                  f(12, a, b, c), f(13, a, b, c), f(14, a, b, c), f(15, a, b, c))
    // '0' to '9' become -128 to -119, '+' to '-' -128 to -126.
    const __m128i moved = _mm_add_epi8(chars, TREMIX_BLOCK(lane, 0x50, 0x55, 0x50));
    const auto in_range =
        static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpgt_epi8(TREMIX_BLOCK(lane, -118, -125, -118), moved)));
    const __m128i lowered = _mm_or_si128(chars, TREMIX_BLOCK(mark, 0, 0x20, 0));
    const auto marks =
        static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(lowered, TREMIX_BLOCK(mark, '.', 'e', ','))));
#undef TREMIX_BLOCK
    constexpr unsigned kDigits = 0x19FDu << Off, kSign = 0x0400u << Off, kMarks = 0x0202u << Off,
                       kAfter = 0x2000u << Off;
    // The sign's place needs its range and not ','.
    const unsigned seen = (in_range & (kDigits | kSign | kAfter)) ^ (marks & (kMarks | kSign));
    const int e = (d[11] - '0') * 10 + (d[12] - '0');
    written = d[10] == '-' ? -e : e;
    if (seen != (kDigits | kSign | kMarks)) return nullptr;
    return d + 13;
}
#endif

#if TREMIX_SSE2
// Whether the sixteen bytes at d (all of which the caller may read) start
// with a number of fixed_scientific_shape<7> after its sign and a comma
// right after it ("2.2119522E+02,"); the last two bytes are not looked at.
// Each byte less what its place expects, masked where its place takes
// two characters (the exponent mark in either case, '+' or '-' but not
// ','), lies at or below the most its place allows: 9 for a digit, 0 for
// any other.
[[gnu::always_inline]] inline bool fixed_scientific_shape7_comma(const char* d) {
    const __m128i chars = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d));
    const __m128i expected = _mm_setr_epi8('0', '.', '0', '0', '0', '0', '0', '0', '0', 'E', '+', '0', '0', ',', 0, 0);
    const __m128i masks = _mm_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, ~0x20, ~0x02, -1, -1, -1, 0, 0);
    const __m128i most = _mm_setr_epi8(9, 0, 9, 9, 9, 9, 9, 9, 9, 0, 0, 9, 9, 0, 0, 0);
    const __m128i off = _mm_and_si128(_mm_sub_epi8(chars, expected), masks);
    return _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_max_epu8(off, most), most)) == 0xFFFF;
}
#endif

// The exponent as written of a number of fixed_scientific_shape<7> at d.
[[gnu::always_inline]] inline int fixed_scientific7_written(const char* d) {
    uint16_t two;
    std::memcpy(&two, d + 11, 2);
    const int e = static_cast<int>(two & 0xFF) * 10 + static_cast<int>(two >> 8) - '0' * 11;
    return d[10] == '-' ? -e : e;
}

// The digits of a number of that shape at d as one integer, the point's
// place given to the first digit.
template <int Places>
[[gnu::always_inline]] inline uint64_t fixed_scientific_digits(const char* d) {
    return digits_value((load8(d + 1) & ~0xFFull) | (load8(d) & 0xFF), Places + 1);
}

// Such a number's end, its digits' value and its power of ten, or null.
template <int Places>
[[gnu::always_inline]] inline const char* fixed_scientific(const char* d, const char* end, uint64_t& mantissa,
                                                           int& exponent) {
    int written;
    const char* const stop = fixed_scientific_shape<Places>(d, end, written);
    if (!stop) return nullptr;
    exponent = written - Places;
    mantissa = fixed_scientific_digits<Places>(d);
    return stop;
}

// Either of the default shapes at d.
[[gnu::always_inline]] inline const char* default_scientific(const char* d, const char* end, uint64_t& mantissa,
                                                             int& exponent) {
    if (const char* stop = fixed_scientific<7>(d, end, mantissa, exponent)) return stop;
    return fixed_scientific<6>(d, end, mantissa, exponent);
}

// The value of digits * 10^power, |power| at most 22, rounded as float()
// rounds: both are exact doubles, so one multiplication or division gives
// the correctly rounded result.
[[gnu::always_inline]] inline double exact_scaled(uint64_t digits, int power, bool negative) {
    const double mantissa = static_cast<double>(digits);
    const double up = mantissa * kExactPowers[power > 0 ? power : 0];
    const double down = mantissa / kExactPowers[power < 0 ? -power : 0];
    const double value = power < 0 ? down : up;
    // The sign bit set by masking: values' signs follow the data, and a
    // mispredicted branch on them costs more than the rest of the number.
    return std::bit_cast<double>(std::bit_cast<uint64_t>(value) ^ (static_cast<uint64_t>(negative) << 63));
}

// A number of a default shape at p, sign included, with its value: its
// end, or null for any other text (a power of ten beyond 22 among them).
[[gnu::always_inline]] inline const char* read_default_scientific(const char* p, const char* end, double& out) {
    const bool negative = p < end && *p == '-';
    p += p < end && (*p == '+' || *p == '-');
    uint64_t digits;
    int power;
    const char* const stop = default_scientific(p, end, digits, power);
    if (!stop || power < -22 || power > 22) return nullptr;
    out = exact_scaled(digits, power, negative);
    return stop;
}

// The shape exporters write most, read in one straight pass: a sign, one
// digit, a point, one to eight digits and an exponent of one to three
// digits ("-1.2084482E-07"). Null for anything else, which the general
// scan then reads. Needs the ten bytes after the sign before `limit`.
inline const char* scan_scientific_any(const char* p, const char* end, const char* limit, double& out) {
    const bool negative = p < end && *p == '-';
    p += p < end && (*p == '+' || *p == '-');
    if (end - p < 5 || limit - p < 10) return nullptr;
    const unsigned first = static_cast<unsigned char>(p[0]) - '0';
    if (first > 9 || p[1] != '.') return nullptr;
    const uint64_t word = load8(p + 2);
    const unsigned k = std::min<unsigned>(leading_digits(word), static_cast<unsigned>(std::min<ptrdiff_t>(end - p - 2, 8)));
    if (k == 0) return nullptr;
    const char* q = p + 2 + k;
    if (q + 2 > end || (*q | 0x20) != 'e') return nullptr;
    ++q;
    const bool negative_exponent = *q == '-';
    q += (*q == '+') | (*q == '-');
    int e = 0;
    const char* const exponent_digits = q;
    while (q < end && q - exponent_digits < 3 && is_ascii_digit(*q)) e = e * 10 + (*q++ - '0');
    if (q == exponent_digits || (q < end && is_ascii_digit(*q))) return nullptr;
    const int exponent = (negative_exponent ? -e : e) - static_cast<int>(k);
    if (exponent < -22 || exponent > 22) return nullptr;
    const double mantissa = static_cast<double>(first * kPowers[k] + digits_value(word, k));
    const double up = mantissa * kExactPowers[exponent > 0 ? exponent : 0];
    const double down = mantissa / kExactPowers[exponent < 0 ? -exponent : 0];
    const double value = exponent < 0 ? down : up;
    out = negative ? -value : value;
    return q;
}

// The same, the default shapes taken first in one step (inline, so that a
// loop over values reads them without a call).
[[gnu::always_inline]] inline const char* scan_scientific(const char* p, const char* end, const char* limit, double& out) {
    if (const char* stop = read_default_scientific(p, end, out)) return stop;
    return scan_scientific_any(p, end, limit, out);
}

// The end of a number of the shape scan_scientific reads, without its
// value: for checking that values convert (inline: the loops over values
// read them without a call).
[[gnu::always_inline]] inline const char* scientific_end(const char* p, const char* end, const char* limit) {
    p += p < end && (*p == '+' || *p == '-');
    {
        uint64_t digits;
        int power;
        if (const char* stop = default_scientific(p, end, digits, power)) return stop;
    }
    if (end - p < 5 || limit - p < 10) return nullptr;
    if (!is_ascii_digit(p[0]) || p[1] != '.') return nullptr;
    const unsigned k =
        std::min<unsigned>(leading_digits(load8(p + 2)), static_cast<unsigned>(std::min<ptrdiff_t>(end - p - 2, 8)));
    if (k == 0) return nullptr;
    const char* q = p + 2 + k;
    if (q + 2 > end || (*q | 0x20) != 'e') return nullptr;
    ++q;
    q += (*q == '+') | (*q == '-');
    const char* const digits = q;
    while (q < end && q - digits < 3 && is_ascii_digit(*q)) ++q;
    if (q == digits || (q < end && is_ascii_digit(*q))) return nullptr;
    return q;
}

// Reads a plain decimal at [p, end): optional sign, digits with an optional
// point (at least one digit in all), optional e/E exponent with at least one
// digit. Returns the position after it with its value, or null when there is
// no plain decimal at p; `out_of_range` then tells a plain decimal whose
// value decimal_to_double cannot give (such as 1e400), which the interpreter
// has to decide. Bytes up to `limit` (at or after `end`) may be read.
//
// Up to 19 digits with a power of ten up to 22 are exact as doubles, and one
// multiplication or division of two exact doubles rounds correctly, as
// float() does; other decimals go to decimal_to_double, which rounds
// correctly too. The common short number is read in one straight pass.
inline const char* scan_plain_decimal(const char* p, const char* end, const char* limit, double& out,
                                      bool& out_of_range) {
    if (const char* stop = scan_scientific(p, end, limit, out)) {
        out_of_range = false;
        return stop;
    }
    // Signs are read without a branch: in real data they change from
    // number to number and a branch on them is mispredicted half the time.
    const char* const start = p;
    const bool negative = p < end && *p == '-';
    p += p < end && (*p == '+' || *p == '-');
    uint64_t mantissa = 0;
    size_t digits = 0;
    const char* q = read_digits(p, end, limit, mantissa, digits);
    int exponent = 0;
    if (digits <= 19 && q < end && *q == '.') {
        const char* const fraction = ++q;
        q = read_digits(q, end, limit, mantissa, digits);
        exponent = -static_cast<int>(q - fraction);
    }
    // More than 19 digits (leading zeros included) may have wrapped around.
    if (digits == 0 || digits > 19) return scan_plain_decimal_long(start, end, out, out_of_range);
    if (q < end && (*q | 0x20) == 'e') {
        const char* e = q + 1;
        const bool negative_exponent = e < end && *e == '-';
        e += e < end && (*e == '+' || *e == '-');
        const char* const exponent_digits = e;
        int value = 0;
        while (e < end && is_ascii_digit(*e) && e - exponent_digits < 4) value = value * 10 + (*e++ - '0');
        if (e == exponent_digits || (e < end && is_ascii_digit(*e))) {
            return scan_plain_decimal_long(start, end, out, out_of_range);
        }
        exponent += negative_exponent ? -value : value;
        q = e;
    }
    out_of_range = false;
    if (mantissa > (uint64_t{1} << 53) || exponent < -22 || exponent > 22) {
        return scan_plain_decimal_long(start, end, out, out_of_range);
    }
    // Both scalings are computed and one is taken: cheaper than a branch
    // on the exponent's sign, which real data mispredicts.
    const double value = static_cast<double>(mantissa);
    const double up = value * kExactPowers[exponent > 0 ? exponent : 0];
    const double down = value / kExactPowers[exponent < 0 ? -exponent : 0];
    const double scaled = exponent < 0 ? down : up;
    out = negative ? -scaled : scaled;
    return q;
}

inline const char* scan_plain_decimal(const char* p, const char* end, double& out, bool& out_of_range) {
    return scan_plain_decimal(p, end, end, out, out_of_range);
}

}  // namespace tremix::reading
