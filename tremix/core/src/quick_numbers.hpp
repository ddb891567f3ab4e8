// Fast reading of the text that makes up nearly all of a results block:
// plain ASCII decimals ("1.2345E-03") converted straight from the str
// buffer, and whole data lines (a line of values, a single-value record)
// split and converted in one pass. Whatever a fast path is not sure of
// (underscores, "inf", a "(" suffix, non-ASCII characters, an exponent out
// of range, a string stored wider than one byte) is left to the tokenizer
// and to the interpreter's own conversions (numbers.hpp), so the result is
// always what float() and int() of the tokenizer's fields give.
#pragma once

#include <climits>
#include <cstring>
#include <vector>

#include "decimal_scan.hpp"
#include "extract_common.hpp"

namespace tremix::quick {

inline bool is_digit(char ch) { return is_ascii_digit(ch); }

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

// A plain decimal at [p, end) (see scan_plain_decimal), or null.
inline const char* scan_decimal(const char* p, const char* end, double& out) {
    bool out_of_range;
    return scan_plain_decimal(p, end, out, out_of_range);
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
