// Fields to numbers by the interpreter's own rules: int() for integers,
// then held as a signed 32-bit value, and float() for doubles. Plain ASCII
// numbers, nearly all of any real file, are converted here; a text the
// scanners cannot settle for certain goes to the host's exact conversion.
#pragma once

#include <cstdint>

#include <climits>

#include "context.hpp"
#include "decimal_scan.hpp"
#include "text.hpp"

namespace tremix::reading {

// The general conversions, for whatever the inline paths below leave.
Outcome to_int32_general(Context& ctx, const TextView& line, Span field, int32_t& out);
Outcome to_double_general(Context& ctx, const TextView& line, Span field, double& out);
Outcome parse_float_general(Context& ctx, const TextView& line, Span field, double& out);

// int(text) as a signed 32-bit value; outside the range the operation
// fails with out_of_range.
inline Outcome to_int32(Context& ctx, const TextView& line, Span field, int32_t& out) {
    // An optional minus and one to nine digits, nearly every integer field.
    if (const char* s = line.narrow(); s && field.length > 0 && field.length <= 9) {
        const char* p = s + field.start;
        const char* end = p + field.length;
        const bool negative = *p == '-';
        p += negative;
        if (p < end) {
            int32_t value = 0;
            while (p < end && is_ascii_digit(*p)) value = value * 10 + (*p++ - '0');
            if (p == end) {
                out = negative ? -value : value;
                return Outcome::ok;
            }
        }
    }
    return to_int32_general(ctx, line, field, out);
}

// Whether int() accepts the text, whatever the value's size.
Outcome check_int(Context& ctx, const TextView& line, Span field);

// float(text).
inline Outcome to_double(Context& ctx, const TextView& line, Span field, double& out) {
    if (const char* s = line.narrow()) {
        const char* p = s + field.start;
        const char* end = p + field.length;
        bool out_of_range;
        if (scan_plain_decimal(p, end, s + line.length, out, out_of_range) == end) return Outcome::ok;
    }
    return to_double_general(ctx, line, field, out);
}

// The value rule of result fields: the text is cut at its first "(" unless
// that is its first character, and the rest converts by float(). A plain
// decimal stops at a "(" by itself, as none of its characters is one.
inline Outcome parse_float(Context& ctx, const TextView& line, Span field, double& out) {
    if (const char* s = line.narrow()) {
        const char* p = s + field.start;
        const char* end = p + field.length;
        bool out_of_range;
        const char* stop = scan_plain_decimal(p, end, s + line.length, out, out_of_range);
        if (stop && (stop == end || *stop == '(')) return Outcome::ok;
    }
    return parse_float_general(ctx, line, field, out);
}

// The part of `field` that parse_float converts.
Span cut_at_paren(const TextView& line, Span field);

// Whether parse_float accepts the field, without its value when the text
// is a plain decimal (every plain decimal converts).
inline Outcome check_float(Context& ctx, const TextView& line, Span field) {
    if (const char* s = line.narrow()) {
        const char* p = s + field.start;
        const char* end = p + field.length;
        const char* stop = scientific_end(p, end, s + line.length);
        if (!stop) stop = plain_decimal_end(p, end);
        if (stop && (stop == end || *stop == '(')) return Outcome::ok;
    }
    double ignored;
    return parse_float_general(ctx, line, field, ignored);
}

}  // namespace tremix::reading
