#include "numbers.hpp"

#include <climits>
#include <cstring>
#include <optional>


namespace tremix::reading {

namespace {

// A fast path answers only where its answer is certainly the
// interpreter's; no answer leaves the text to the host.
using Fast = std::optional<Outcome>;

// Room for the ASCII copy of a field stored wider than one byte; longer
// fields go to the host.
constexpr size_t kCopyLimit = 128;

// The field's text as ASCII bytes: a pointer into one-byte text (characters
// above 127 simply fail the fast grammars), or a copy of a wider field when
// all its characters are ASCII.
class AsciiField {
  public:
    AsciiField(const TextView& line, Span field) {
        if (const char* s = line.narrow()) {
            begin_ = s + field.start;
            end_ = begin_ + field.length;
            ok_ = true;
            return;
        }
        if (field.length > kCopyLimit) return;
        for (size_t i = 0; i < field.length; ++i) {
            const uint32_t ch = line.at(field.start + i);
            if (ch >= 128) return;
            copy_[i] = static_cast<char>(ch);
        }
        begin_ = copy_;
        end_ = copy_ + field.length;
        ok_ = true;
    }
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

// Visible ASCII without underscores: int() and float() see no whitespace
// and no digit grouping in it, so text the plain grammar does not match is
// rejected by the interpreter too.
bool plain_visible(const char* p, const char* end) {
    for (; p < end; ++p) {
        const unsigned char ch = static_cast<unsigned char>(*p);
        if (ch <= 0x20 || ch >= 0x7f || ch == '_') return false;
    }
    return true;
}

// At most 18 digits: no int64 overflow, and far below the interpreter's
// smallest limit on the digits of an int conversion.
constexpr int kFastIntDigits = 18;

Fast parse_int_ascii(const char* begin, const char* end, int64_t& out) {
    const char* p = begin;
    bool negative = false;
    if (p < end && (*p == '-' || *p == '+')) negative = *p++ == '-';
    const char* digits = p;
    int64_t value = 0;
    while (p < end && is_ascii_digit(*p)) {
        if (p - digits >= kFastIntDigits) return std::nullopt;
        value = value * 10 + (*p++ - '0');
    }
    if (p == end && p > digits) {
        out = negative ? -value : value;
        return Outcome::ok;
    }
    return plain_visible(begin, end) ? Fast(Outcome::skip) : std::nullopt;
}

// inf, nan, underscores, whitespace and values out of range are left open.
Fast parse_double_ascii(const char* begin, const char* end, double& out) {
    bool out_of_range = false;
    const char* stop = scan_plain_decimal(begin, end, out, out_of_range);
    if (stop == end) return Outcome::ok;
    if (out_of_range) return std::nullopt;
    const char* number = begin < end && (*begin == '-' || *begin == '+') ? begin + 1 : begin;
    const char first = number < end ? static_cast<char>(*number | 0x20) : '\0';
    if (first == 'i' || first == 'n') return std::nullopt;
    return plain_visible(begin, end) ? Fast(Outcome::skip) : std::nullopt;
}

// int() of the field, by the fast path or the host: ok with the value and
// whether it lies beyond int64.
Outcome int_value(Context& ctx, const TextView& line, Span field, int64_t& value, bool& beyond) {
    beyond = false;
    if (const AsciiField ascii{line, field}) {
        if (const Fast answer = parse_int_ascii(ascii.begin(), ascii.end(), value)) return *answer;
    }
    const Outcome o = ctx.host().exact_int(line.sub(field.start, field.length), value, beyond);
    if (o == Outcome::fail) return ctx.fail(Failure::Kind::host);
    return o;
}

}  // namespace

Outcome to_int32_general(Context& ctx, const TextView& line, Span field, int32_t& out) {
    int64_t value = 0;
    bool beyond = false;
    const Outcome o = int_value(ctx, line, field, value, beyond);
    if (o != Outcome::ok) return o;
    if (beyond || value < INT32_MIN || value > INT32_MAX) return ctx.fail(Failure::Kind::out_of_range, field);
    out = static_cast<int32_t>(value);
    return Outcome::ok;
}

Outcome check_int(Context& ctx, const TextView& line, Span field) {
    int64_t value = 0;
    bool beyond = false;
    return int_value(ctx, line, field, value, beyond);
}

Outcome to_double_general(Context& ctx, const TextView& line, Span field, double& out) {
    if (const AsciiField ascii{line, field}) {
        if (const Fast answer = parse_double_ascii(ascii.begin(), ascii.end(), out)) return *answer;
    }
    const Outcome o = ctx.host().exact_float(line.sub(field.start, field.length), out);
    if (o == Outcome::fail) return ctx.fail(Failure::Kind::host);
    return o;
}

Span cut_at_paren(const TextView& line, Span field) {
    if (field.length == 0 || line.at(field.start) == '(') return field;
    if (const char* s = line.narrow()) {
        const void* hit = std::memchr(s + field.start, '(', field.length);
        return hit ? Span{field.start, static_cast<size_t>(static_cast<const char*>(hit) - (s + field.start))}
                   : field;
    }
    for (size_t i = 1; i < field.length; ++i) {
        if (line.at(field.start + i) == '(') return Span{field.start, i};
    }
    return field;
}

Outcome parse_float_general(Context& ctx, const TextView& line, Span field, double& out) {
    return to_double_general(ctx, line, cut_at_paren(line, field), out);
}

}  // namespace tremix::reading
