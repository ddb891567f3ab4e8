// Plain ASCII decimals ("1.2345E-03", "-7", ".5") converted straight from
// text, rounded exactly as float() rounds. Shared by the field conversions
// and by the one-pass readers of result lines.
#pragma once

#include <charconv>
#include <cstdint>
#include <system_error>

namespace tremix::reading {

inline bool is_ascii_digit(char ch) { return static_cast<unsigned>(ch - '0') <= 9; }

// Reads a plain decimal at [p, end): optional sign, digits with an optional
// point (at least one digit in all), optional e/E exponent with at least one
// digit. Returns the position after it with its value, or null when there is
// no plain decimal at p; `out_of_range` then tells a plain decimal whose
// value std::from_chars cannot give (such as 1e400), which the interpreter
// has to decide.
//
// Up to 19 significant digits with a power of ten up to 22 are exact as
// doubles, and one multiplication or division of two exact doubles rounds
// correctly, as float() does; other decimals go to std::from_chars, which
// rounds correctly too.
// The general case: leading zeros skipped, digits beyond 19 dropped and
// only scaling, any exponent.
inline const char* scan_plain_decimal_long(const char* p, const char* end, double& out, bool& out_of_range) {
    static constexpr double kExactPowers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                              1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                              1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    out_of_range = false;
    bool negative = false;
    if (p < end && (*p == '+' || *p == '-')) negative = *p++ == '-';
    const char* const body = p;
    uint64_t mantissa = 0;  // significant digits only; leading zeros skipped
    int significant = 0;
    int64_t exponent = 0;
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
            if (e < 100000000) e = e * 10 + (*q - '0');
        }
        if (q == exponent_digits) return nullptr;
        exponent += negative_exponent ? -e : e;
    }
    double value;
    if (mantissa == 0) {
        value = 0.0;
    } else if (significant <= 19 && mantissa <= (uint64_t{1} << 53) && exponent >= -22 && exponent <= 22) {
        value = static_cast<double>(mantissa);
        value = exponent < 0 ? value / kExactPowers[-exponent] : value * kExactPowers[exponent];
    } else {
        const auto [stop, ec] = std::from_chars(body, q, value, std::chars_format::general);
        if (ec != std::errc() || stop != q) {
            out_of_range = true;
            return nullptr;
        }
    }
    out = negative ? -value : value;
    return q;
}

// Reads a plain decimal at [p, end): optional sign, digits with an optional
// point (at least one digit in all), optional e/E exponent with at least one
// digit. Returns the position after it with its value, or null when there is
// no plain decimal at p; `out_of_range` then tells a plain decimal whose
// value std::from_chars cannot give (such as 1e400), which the interpreter
// has to decide.
//
// Up to 19 digits with a power of ten up to 22 are exact as doubles, and one
// multiplication or division of two exact doubles rounds correctly, as
// float() does; other decimals go to std::from_chars, which rounds
// correctly too. The common short number is read in one straight pass.
inline const char* scan_plain_decimal(const char* p, const char* end, double& out, bool& out_of_range) {
    static constexpr double kExactPowers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                              1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                              1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    const char* const start = p;
    const bool negative = p < end && *p == '-';
    if (p < end && (*p == '+' || *p == '-')) ++p;
    uint64_t mantissa = 0;
    const char* q = p;
    while (q < end && is_ascii_digit(*q)) mantissa = mantissa * 10 + static_cast<unsigned>(*q++ - '0');
    size_t digits = static_cast<size_t>(q - p);
    int exponent = 0;
    if (q < end && *q == '.') {
        const char* const fraction = ++q;
        while (q < end && is_ascii_digit(*q)) mantissa = mantissa * 10 + static_cast<unsigned>(*q++ - '0');
        exponent = -static_cast<int>(q - fraction);
        digits += static_cast<size_t>(q - fraction);
    }
    // More than 19 digits (leading zeros included) may have wrapped around.
    if (digits == 0 || digits > 19) return scan_plain_decimal_long(start, end, out, out_of_range);
    if (q < end && (*q | 0x20) == 'e') {
        const char* e = q + 1;
        bool negative_exponent = false;
        if (e < end && (*e == '+' || *e == '-')) negative_exponent = *e++ == '-';
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
    if (mantissa == 0) {
        out = negative ? -0.0 : 0.0;
        return q;
    }
    if (mantissa > (uint64_t{1} << 53) || exponent < -22 || exponent > 22) {
        return scan_plain_decimal_long(start, end, out, out_of_range);
    }
    double value = static_cast<double>(mantissa);
    value = exponent < 0 ? value / kExactPowers[-exponent] : value * kExactPowers[exponent];
    out = negative ? -value : value;
    return q;
}

}  // namespace tremix::reading
