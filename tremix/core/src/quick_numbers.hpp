// Fast reading of the text that makes up nearly all of a results block:
// plain ASCII decimals ("1.2345E-03") converted straight from the str
// buffer, and whole data lines (a line of values, a single-value record)
// split and converted in one pass. Whatever a fast path is not sure of
// (underscores, "inf", a "(" suffix, non-ASCII characters, an exponent out
// of range, a string stored wider than one byte) is left to the tokenizer
// and to the interpreter's own conversions (numbers.hpp), so the result is
// always what float() and int() of the tokenizer's fields give.
#pragma once

#include <charconv>
#include <climits>
#include <cstring>
#include <vector>

#include "extract_common.hpp"

namespace tremix::quick {

inline bool is_digit(char ch) { return static_cast<unsigned>(ch - '0') <= 9; }

// The characters of a str stored one byte per character.
inline const char* narrow_data(const StrView& view) {
    return view.kind == PyUnicode_1BYTE_KIND ? static_cast<const char*>(view.data) : nullptr;
}

// Optional sign and 1 to 18 ASCII digits, the whole text: a value that
// cannot overflow int64.
inline bool small_decimal_int(const char* s, Py_ssize_t length, int64_t& out) {
    Py_ssize_t p = 0;
    bool negative = false;
    if (p < length && (s[p] == '+' || s[p] == '-')) negative = s[p++] == '-';
    const Py_ssize_t digits = length - p;
    if (digits <= 0 || digits > 18) return false;
    int64_t value = 0;
    for (; p < length; ++p) {
        if (!is_digit(s[p])) return false;
        value = value * 10 + (s[p] - '0');
    }
    out = negative ? -value : value;
    return true;
}

// Reads a plain decimal at [p, end): optional sign, digits with an optional
// point (at least one digit), optional exponent with at least one digit.
// Returns the position after it with the value of float() of that text, or
// null when there is no such decimal there or its value is out of range
// (the interpreter then decides: inf, 0.0 or an error).
//
// Up to 19 digits with a power of ten up to 22 are exact as doubles, and one
// multiplication or division of two exact doubles rounds correctly, as
// float() does; other decimals go to std::from_chars, which rounds
// correctly too.
inline const char* scan_decimal(const char* p, const char* end, double& out) {
    static constexpr double kExactPowers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                              1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                              1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    bool negative = false;
    if (p < end && (*p == '+' || *p == '-')) negative = *p++ == '-';
    const char* const body = p;
    uint64_t mantissa = 0;  // wraps beyond 19 digits; then unused
    const char* q = p;
    while (q < end && is_digit(*q)) mantissa = mantissa * 10 + static_cast<unsigned>(*q++ - '0');
    Py_ssize_t digits = q - p;
    Py_ssize_t fraction_digits = 0;
    if (q < end && *q == '.') {
        const char* const fraction = ++q;
        while (q < end && is_digit(*q)) mantissa = mantissa * 10 + static_cast<unsigned>(*q++ - '0');
        fraction_digits = q - fraction;
        digits += fraction_digits;
    }
    if (digits == 0) return nullptr;
    int64_t exponent = 0;
    if (q < end && (*q | 0x20) == 'e') {
        ++q;
        bool negative_exponent = false;
        if (q < end && (*q == '+' || *q == '-')) negative_exponent = *q++ == '-';
        const char* const exponent_digits = q;
        while (q < end && is_digit(*q)) {
            if (exponent < 1000000) exponent = exponent * 10 + (*q - '0');
            ++q;
        }
        if (q == exponent_digits) return nullptr;
        if (negative_exponent) exponent = -exponent;
    }
    exponent -= fraction_digits;
    double value;
    if (digits <= 19 && mantissa == 0) {
        value = 0.0;
    } else if (digits <= 19 && mantissa <= (uint64_t{1} << 53) && exponent >= -22 && exponent <= 22) {
        value = static_cast<double>(mantissa);
        value = exponent < 0 ? value / kExactPowers[-exponent] : value * kExactPowers[exponent];
    } else {
        const auto [stop, ec] = std::from_chars(body, q, value, std::chars_format::general);
        if (ec != std::errc() || stop != q) return nullptr;
    }
    out = negative ? -value : value;
    return q;
}

// The module's value rule: the text from the first "(" after the first
// character is cut off, the rest converts by float(). A plain decimal stops
// at that "(" by itself, as none of its characters is one.
inline Conv parse_float(const SplitLine& line, size_t i, double& out) {
    const Field f = line.fields[i];
    if (const char* s = narrow_data(line.view)) {
        const char* end = s + f.start + f.length;
        const char* stop = scan_decimal(s + f.start, end, out);
        if (stop && (stop == end || *stop == '(')) return Conv::Ok;
    }
    return line.parse_float(i, out);
}

// str.split() whitespace within ASCII.
inline bool is_ascii_space(Py_UCS4 ch) { return ch == ' ' || (ch >= '\t' && ch <= '\r') || (ch >= 0x1c && ch <= 0x1f); }

// Every field of a line converted by the value rule and appended to `out`,
// in one pass over a one-byte str, for lines made only of plain decimals
// separated the tokenizer's way (at commas when the line has one after its
// trailing commas are gone, else at blanks). False, with `out` as it was,
// when the line holds anything else: the caller then splits it and
// converts field by field.
inline bool append_values_line(const StrView& view, std::vector<double>& out) {
    const char* s = narrow_data(view);
    if (!s) return false;
    const size_t was = out.size();
    auto unsure = [&] {
        out.resize(was);
        return false;
    };
    const char* end = s + view.length;
    while (end > s && end[-1] == ',') --end;
    const char* p = s;
    const bool commas = std::memchr(p, ',', static_cast<size_t>(end - p)) != nullptr;
    for (;;) {
        while (p < end && is_ascii_space(static_cast<unsigned char>(*p))) ++p;
        if (p == end) return true;
        if (commas && *p == ',') {  // an empty piece
            ++p;
            continue;
        }
        double v;
        p = scan_decimal(p, end, v);
        if (!p) return unsure();
        out.push_back(v);
        if (p == end) return true;
        const unsigned char next = static_cast<unsigned char>(*p);
        if (!is_ascii_space(next) && !(commas && next == ',')) return unsure();
        if (commas) {
            while (p < end && is_ascii_space(static_cast<unsigned char>(*p))) ++p;
            if (p < end && *p != ',') return unsure();  // blanks inside a piece
            if (p < end) ++p;
        }
    }
}

// A single-value record, the id and the value, read in one pass over a
// one-byte str when the line is exactly two fields: a plain integer within
// 32 bits and a plain decimal. False when the line holds anything else or
// more fields; the caller then splits it.
inline bool single_value_line(const StrView& view, int32_t& id, double& value) {
    const char* s = narrow_data(view);
    if (!s) return false;
    const char* end = s + view.length;
    while (end > s && end[-1] == ',') --end;
    const bool commas = std::memchr(s, ',', static_cast<size_t>(end - s)) != nullptr;
    auto skip_blanks = [&](const char* p) {
        while (p < end && is_ascii_space(static_cast<unsigned char>(*p))) ++p;
        return p;
    };
    // Blanks, and in comma mode empty pieces, up to the next field.
    auto to_next_field = [&](const char* p) {
        p = skip_blanks(p);
        while (commas && p < end && *p == ',') p = skip_blanks(p + 1);
        return p;
    };
    auto ends_field = [&](const char* p) {
        return p == end || is_ascii_space(static_cast<unsigned char>(*p)) || (commas && *p == ',');
    };
    const char* p = to_next_field(s);
    const char* id_start = p;
    while (p < end && (is_digit(*p) || ((*p == '-' || *p == '+') && p == id_start))) ++p;
    int64_t v;
    if (!ends_field(p) || !small_decimal_int(id_start, p - id_start, v) || v < INT32_MIN || v > INT32_MAX) return false;
    const char* q = skip_blanks(p);
    if (commas) {
        if (q == end || *q != ',') return false;  // blanks inside a piece
        q = to_next_field(q);
    } else if (q == p) {
        return false;
    }
    double parsed;
    const char* stop = scan_decimal(q, end, parsed);
    if (!stop || !ends_field(stop) || to_next_field(stop) != end) return false;
    id = static_cast<int32_t>(v);
    value = parsed;
    return true;
}

}  // namespace tremix::quick
