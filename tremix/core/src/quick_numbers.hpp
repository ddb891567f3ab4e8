// Fast paths for the field shapes that make up nearly all of a results
// block: plain ASCII integers ("12", "-7") and plain ASCII decimals
// ("1.2345E-03"). They are converted straight from the str buffer without
// making a Python object. Anything else (underscores, "inf", non-ASCII
// digits, an exponent out of range, a string stored wider than one byte)
// goes to the interpreter's own conversion in numbers.hpp, so the result is
// always what int() or float() would give.
#pragma once

#include <charconv>
#include <climits>
#include <cstring>

#include "extract_common.hpp"

namespace tremix::quick {

// The field's characters when its line is stored one byte per character.
inline bool narrow_chars(const StrView& view, Field field, const char*& chars) {
    if (view.kind != PyUnicode_1BYTE_KIND) return false;
    chars = static_cast<const char*>(view.data) + field.start;
    return true;
}

// Optional sign and 1 to 18 ASCII digits: a value that cannot overflow int64.
inline bool small_decimal_int(const char* s, Py_ssize_t length, int64_t& out) {
    Py_ssize_t p = 0;
    bool negative = false;
    if (p < length && (s[p] == '+' || s[p] == '-')) {
        negative = s[p] == '-';
        ++p;
    }
    const Py_ssize_t digits = length - p;
    if (digits <= 0 || digits > 18) return false;
    int64_t value = 0;
    for (; p < length; ++p) {
        const unsigned d = static_cast<unsigned char>(s[p]) - unsigned{'0'};
        if (d > 9) return false;
        value = value * 10 + d;
    }
    out = negative ? -value : value;
    return true;
}

// Optional sign, digits with an optional point (at least one digit), an
// optional exponent with at least one digit: exactly the ASCII decimals that
// float() accepts without underscores. `body` skips the sign.
inline bool plain_decimal_syntax(const char* s, Py_ssize_t length, Py_ssize_t& body, bool& negative) {
    Py_ssize_t p = 0;
    negative = false;
    if (p < length && (s[p] == '+' || s[p] == '-')) {
        negative = s[p] == '-';
        ++p;
    }
    body = p;
    Py_ssize_t digits = 0;
    while (p < length && static_cast<unsigned>(s[p] - '0') <= 9) ++p, ++digits;
    if (p < length && s[p] == '.') {
        ++p;
        while (p < length && static_cast<unsigned>(s[p] - '0') <= 9) ++p, ++digits;
    }
    if (digits == 0) return false;
    if (p < length && (s[p] == 'e' || s[p] == 'E')) {
        ++p;
        if (p < length && (s[p] == '+' || s[p] == '-')) ++p;
        const Py_ssize_t exponent_start = p;
        while (p < length && static_cast<unsigned>(s[p] - '0') <= 9) ++p;
        if (p == exponent_start) return false;
    }
    return p == length;
}

// int() of the field held as a signed 32-bit integer.
inline Conv to_int32(const SplitLine& line, size_t i, int32_t& out) {
    const Field f = line.fields[i];
    const char* s;
    int64_t v;
    if (narrow_chars(line.view, f, s) && small_decimal_int(s, f.length, v)) {
        if (v < INT32_MIN || v > INT32_MAX) {
            PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
            return Conv::Error;
        }
        out = static_cast<int32_t>(v);
        return Conv::Ok;
    }
    return line.to_int32(i, out);
}

// Whether int() accepts the field, whatever its size.
inline Conv is_int(const SplitLine& line, size_t i) {
    const Field f = line.fields[i];
    const char* s;
    int64_t v;
    if (narrow_chars(line.view, f, s) && small_decimal_int(s, f.length, v)) return Conv::Ok;
    return line.is_int(i);
}

// The module's value rule: the text from the first "(" after the first
// character is cut off, the rest converts by float().
inline Conv parse_float(const SplitLine& line, size_t i, double& out) {
    const Field f = line.fields[i];
    const char* s;
    if (narrow_chars(line.view, f, s)) {
        Py_ssize_t length = f.length;
        if (length > 1 && s[0] != '(') {
            const void* paren = std::memchr(s + 1, '(', static_cast<size_t>(length - 1));
            if (paren) length = static_cast<const char*>(paren) - s;
        }
        Py_ssize_t body;
        bool negative;
        if (plain_decimal_syntax(s, length, body, negative)) {
            double value;
            const auto [end, ec] = std::from_chars(s + body, s + length, value, std::chars_format::general);
            // Out of range (overflow to inf, underflow to 0) is left to float().
            if (ec == std::errc() && end == s + length) {
                out = negative ? -value : value;
                return Conv::Ok;
            }
        }
    }
    return line.parse_float(i, out);
}

}  // namespace tremix::quick
