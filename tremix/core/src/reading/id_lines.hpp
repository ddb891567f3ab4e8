// Lines of integer fields written the way exporters write them (an
// element's first line, "1978,7,1,3,8,1,0,0,...", and its node lines,
// "1989,1990,2168,2167,33673,33674,33852,33851,0,0,"), each field's digits
// taken as one word instead of a step per digit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>

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
    value = -magnitude;
    return comma;
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
// empty node slot, the commonest field) is passed over. Empty when a field
// is not such (some may have been taken by then), fail when the context is
// to stop (it is asked every 128 characters).
template <typename Take>
[[gnu::always_inline]] inline std::optional<Outcome> read_id_fields(Context& ctx, const char* s, const char* end,
                                                                    const char* limit, Take&& take) {
    // The field at p, taken: the position of its comma, or null.
    auto field = [&](const char* p) -> const char* {
        if (load2(p) == ('0' | ',' << 8)) return p + 1;
        int32_t value;
        const char* const comma = read_id_field(p, value);
        if (comma) take(value);
        return comma;
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

}  // namespace tremix::reading
