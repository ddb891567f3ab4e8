#include "numbers.hpp"

#include <charconv>
#include <climits>
#include <cstdint>
#include <cstring>
#include <system_error>

namespace tremix {

namespace {

// Fields of real files are plain ASCII numbers, and those are converted
// here without a Python object. A fast path answers only where its answer is
// certainly the interpreter's; everything else (signs and spellings it does
// not parse itself, underscores, whitespace, non-ASCII digits, very long
// digit strings, values out of range) goes to the interpreter on a substring.
enum class Fast { Ok, Invalid, Unsure };

// Room for the ASCII copy of a field of a 2- or 4-byte str; longer fields
// go to the interpreter.
constexpr Py_ssize_t kCopyLimit = 128;

// The field's text as ASCII bytes: a pointer into a 1-byte str's buffer (its
// characters above 127 simply fail the fast grammars), or a copy of a wider
// str's field when all its characters are ASCII. False when there is none.
class AsciiField {
  public:
    AsciiField(const StrView& view, Field field) {
        if (view.kind == PyUnicode_1BYTE_KIND) {
            begin_ = static_cast<const char*>(view.data) + field.start;
            end_ = begin_ + field.length;
            ok_ = true;
            return;
        }
        if (field.length > kCopyLimit) return;
        for (Py_ssize_t i = 0; i < field.length; ++i) {
            const Py_UCS4 ch = view.at(field.start + i);
            if (ch >= 128) return;
            copy_[i] = static_cast<char>(ch);
        }
        begin_ = copy_;
        end_ = copy_ + field.length;
        ok_ = true;
    }
    // Points into itself when it holds a copy.
    AsciiField(const AsciiField&) = delete;
    AsciiField& operator=(const AsciiField&) = delete;

    explicit operator bool() const { return ok_; }
    const char* begin() const { return begin_; }
    const char* end() const { return end_; }

  private:
    const char* begin_ = nullptr;
    const char* end_ = nullptr;
    bool ok_ = false;
    char copy_[kCopyLimit];
};

inline bool is_digit(char ch) { return ch >= '0' && ch <= '9'; }

// Text of visible ASCII characters without underscores: int() and float()
// see no whitespace and no digit grouping in it, so a failed match of the
// plain grammar is a rejection by the interpreter too.
bool plain_visible(const char* p, const char* end) {
    for (; p < end; ++p) {
        const unsigned char ch = static_cast<unsigned char>(*p);
        if (ch <= 0x20 || ch >= 0x7f || ch == '_') return false;
    }
    return true;
}

// At most 18 digits: the value fits an int64 without overflow checks, and
// it stays far below the interpreter's smallest int max-str-digits limit.
constexpr int kFastIntDigits = 18;

// int(text) for [+-]digits.
Fast parse_int_ascii(const char* begin, const char* end, int64_t& out) {
    const char* p = begin;
    bool negative = false;
    if (p < end && (*p == '-' || *p == '+')) negative = *p++ == '-';
    const char* digits = p;
    int64_t value = 0;
    while (p < end && is_digit(*p)) {
        if (p - digits >= kFastIntDigits) return Fast::Unsure;
        value = value * 10 + (*p++ - '0');
    }
    if (p == end && p > digits) {
        out = negative ? -value : value;
        return Fast::Ok;
    }
    return plain_visible(begin, end) ? Fast::Invalid : Fast::Unsure;
}

// End of a run of ASCII digits starting at p.
inline const char* skip_digits(const char* p, const char* end) {
    while (p < end && is_digit(*p)) ++p;
    return p;
}

// Powers of ten that a double holds exactly.
constexpr double kExactPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                  1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// Decimal digits m * 10^e with m <= 2^53 and |e| <= 22: both operands are
// exact doubles, so one multiplication or division rounds correctly, and
// the result equals the correctly rounded value of the text. Most numbers
// in real files (a handful of significant digits, small exponents) take
// this path; the rest go to std::from_chars.
bool exact_small_decimal(const char* int_begin, const char* int_end, const char* frac_begin,
                         const char* frac_end, const char* exp_begin, const char* exp_end, double& out) {
    uint64_t mantissa = 0;
    int significant = 0;
    int64_t exponent = 0;
    for (const char* p = int_begin; p < int_end; ++p) {
        if (significant == 0 && *p == '0') continue;
        if (++significant > 19) return false;
        mantissa = mantissa * 10 + static_cast<uint64_t>(*p - '0');
    }
    for (const char* p = frac_begin; p < frac_end; ++p) {
        --exponent;
        if (significant == 0 && *p == '0') continue;
        if (++significant > 19) return false;
        mantissa = mantissa * 10 + static_cast<uint64_t>(*p - '0');
    }
    if (mantissa == 0) {
        out = 0.0;
        return true;
    }
    if (exp_begin < exp_end) {
        const char* p = exp_begin;
        bool negative = false;
        if (*p == '+' || *p == '-') negative = *p++ == '-';
        if (exp_end - p > 6) return false;
        int64_t e = 0;
        for (; p < exp_end; ++p) e = e * 10 + (*p - '0');
        exponent += negative ? -e : e;
    }
    if (mantissa > (uint64_t{1} << 53) || exponent < -22 || exponent > 22) return false;
    const double m = static_cast<double>(mantissa);
    out = exponent < 0 ? m / kExactPow10[-exponent] : m * kExactPow10[exponent];
    return true;
}

// float(text) for [+-](digits[.digits] | .digits)[(e|E)[+-]digits].
// std::from_chars rounds correctly, as the interpreter does; the grammar is
// checked here first because from_chars has its own (inf, nan, no '+').
Fast parse_double_ascii(const char* begin, const char* end, double& out) {
    const char* p = begin;
    bool negative = false;
    if (p < end && (*p == '-' || *p == '+')) negative = *p++ == '-';
    const char* number = p;
    const char* q = skip_digits(p, end);
    const char* int_end = q;
    const char* frac_begin = q;
    const char* frac_end = q;
    bool has_digits = q > p;
    if (q < end && *q == '.') {
        frac_begin = q + 1;
        q = skip_digits(frac_begin, end);
        frac_end = q;
        has_digits = has_digits || q > frac_begin;
    }
    bool matched = has_digits;
    const char* exp_begin = end;
    if (matched && q < end && (*q == 'e' || *q == 'E')) {
        exp_begin = q + 1;
        const char* exp = exp_begin;
        if (exp < end && (*exp == '+' || *exp == '-')) ++exp;
        q = skip_digits(exp, end);
        matched = q > exp;
    }
    if (!matched || q != end) {
        // inf, infinity and nan in any case are left to the interpreter.
        const char first = number < end ? static_cast<char>(*number | 0x20) : '\0';
        if (first == 'i' || first == 'n') return Fast::Unsure;
        return plain_visible(begin, end) ? Fast::Invalid : Fast::Unsure;
    }
    double value = 0.0;
    if (exact_small_decimal(number, int_end, frac_begin, frac_end, exp_begin, end, value)) {
        out = negative ? -value : value;
        return Fast::Ok;
    }
#if defined(__cpp_lib_to_chars) && __cpp_lib_to_chars >= 201611L
    const auto [ptr, ec] = std::from_chars(number, end, value, std::chars_format::general);
    // Out of range (such as 1e400) or not fully read: the interpreter decides.
    if (ec != std::errc() || ptr != end) return Fast::Unsure;
    out = negative ? -value : value;
    return Fast::Ok;
#else
    // A standard library without floating-point from_chars: valid text
    // still converts, through the interpreter.
    return Fast::Unsure;
#endif
}

// Runs the interpreter's conversion on the field's text. ValueError becomes
// Invalid; any other exception stays set.
Conv convert_substring(PyObject* str, Field field, PyObject*& result, bool as_int) {
    Ref text(span_to_str(str, field));
    if (!text) return Conv::Error;
    result = as_int ? PyLong_FromUnicodeObject(text.get(), 10) : PyFloat_FromString(text.get());
    if (result) return Conv::Ok;
    if (PyErr_ExceptionMatches(PyExc_ValueError)) {
        PyErr_Clear();
        return Conv::Invalid;
    }
    return Conv::Error;
}

template <typename Char>
Field cut_typed(const Char* s, Field field) {
    for (Py_ssize_t i = 1; i < field.length; ++i) {
        if (s[field.start + i] == '(') return Field{field.start, i};
    }
    return field;
}

// The text before the first "(" when that stands at position 1 or later.
Field cut_at_paren(const StrView& view, Field field) {
    if (field.length == 0 || view.at(field.start) == '(') return field;
    switch (view.kind) {
        case PyUnicode_1BYTE_KIND: {
            const auto* s = static_cast<const Py_UCS1*>(view.data);
            const void* hit = std::memchr(s + field.start, '(', static_cast<size_t>(field.length));
            return hit ? Field{field.start, static_cast<const Py_UCS1*>(hit) - (s + field.start)} : field;
        }
        case PyUnicode_2BYTE_KIND:
            return cut_typed(static_cast<const Py_UCS2*>(view.data), field);
        default:
            return cut_typed(static_cast<const Py_UCS4*>(view.data), field);
    }
}

Conv overflow_int32() {
    PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
    return Conv::Error;
}

// Sets the interpreter's ValueError for a text it rejects; a generic one if
// the text converts after all (the caller's Invalid came from elsewhere), so
// a caller never returns NULL without an exception.
void raise_conversion_error(PyObject* str, Field field, bool as_int) {
    Ref text(span_to_str(str, field));
    if (!text) return;
    Ref value(as_int ? PyLong_FromUnicodeObject(text.get(), 10) : PyFloat_FromString(text.get()));
    if (value) {
        PyErr_Format(PyExc_ValueError, as_int ? "invalid literal for int() with base 10: %R"
                                              : "could not convert string to float: %R",
                     text.get());
    }
}

}  // namespace

Conv field_to_int32(PyObject* str, const StrView& view, Field field, int32_t& out) {
    if (const AsciiField ascii{view, field}) {
        int64_t v = 0;
        switch (parse_int_ascii(ascii.begin(), ascii.end(), v)) {
            case Fast::Ok:
                if (v < INT32_MIN || v > INT32_MAX) return overflow_int32();
                out = static_cast<int32_t>(v);
                return Conv::Ok;
            case Fast::Invalid:
                return Conv::Invalid;
            case Fast::Unsure:
                break;
        }
    }
    PyObject* raw = nullptr;
    const Conv c = convert_substring(str, field, raw, true);
    if (c != Conv::Ok) return c;
    Ref value(raw);
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(value.get(), &overflow);
    if (v == -1 && PyErr_Occurred()) return Conv::Error;
    if (overflow != 0 || v < INT32_MIN || v > INT32_MAX) return overflow_int32();
    out = static_cast<int32_t>(v);
    return Conv::Ok;
}

Conv field_is_int(PyObject* str, const StrView& view, Field field) {
    if (const AsciiField ascii{view, field}) {
        int64_t v = 0;
        switch (parse_int_ascii(ascii.begin(), ascii.end(), v)) {
            case Fast::Ok:
                return Conv::Ok;
            case Fast::Invalid:
                return Conv::Invalid;
            case Fast::Unsure:
                break;
        }
    }
    PyObject* raw = nullptr;
    const Conv c = convert_substring(str, field, raw, true);
    Py_XDECREF(raw);
    return c;
}

Conv field_to_double(PyObject* str, const StrView& view, Field field, double& out) {
    if (const AsciiField ascii{view, field}) {
        switch (parse_double_ascii(ascii.begin(), ascii.end(), out)) {
            case Fast::Ok:
                return Conv::Ok;
            case Fast::Invalid:
                return Conv::Invalid;
            case Fast::Unsure:
                break;
        }
    }
    PyObject* raw = nullptr;
    const Conv c = convert_substring(str, field, raw, false);
    if (c != Conv::Ok) return c;
    out = PyFloat_AS_DOUBLE(raw);
    Py_DECREF(raw);
    return Conv::Ok;
}

Conv field_parse_float(PyObject* str, const StrView& view, Field field, double& out) {
    return field_to_double(str, view, cut_at_paren(view, field), out);
}

void raise_int_error(PyObject* str, Field field) { raise_conversion_error(str, field, true); }

void raise_float_error(PyObject* str, Field field) { raise_conversion_error(str, field, false); }

void raise_parse_float_error(PyObject* str, const StrView& view, Field field) {
    raise_float_error(str, cut_at_paren(view, field));
}

}  // namespace tremix
