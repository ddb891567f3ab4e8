#include "numbers.hpp"

#include "decimal_scan.hpp"

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

inline bool is_digit(char ch) { return is_ascii_digit(ch); }

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

// float(text) for plain decimals; other spellings (inf, nan, underscores,
// whitespace) and values out of range are left to the interpreter.
Fast parse_double_ascii(const char* begin, const char* end, double& out) {
    bool out_of_range = false;
    const char* stop = scan_plain_decimal(begin, end, out, out_of_range);
    if (stop == end) return Fast::Ok;
    if (out_of_range) return Fast::Unsure;
    const char* number = begin < end && (*begin == '-' || *begin == '+') ? begin + 1 : begin;
    const char first = number < end ? static_cast<char>(*number | 0x20) : '\0';
    if (first == 'i' || first == 'n') return Fast::Unsure;
    return plain_visible(begin, end) ? Fast::Invalid : Fast::Unsure;
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
