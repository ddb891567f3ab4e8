// Views of text in the three storage widths the reader keeps: one, two or
// four bytes per character, chosen by the widest character of a block, so
// ASCII and Latin-1 text costs one byte per character.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tremix::reading {

using Char1 = uint8_t;
using Char2 = uint16_t;
using Char4 = uint32_t;

// A character range: `kind` bytes per character (1, 2 or 4).
struct TextView {
    const void* data = nullptr;
    size_t length = 0;
    uint8_t kind = 1;

    uint32_t at(size_t i) const {
        switch (kind) {
            case 1: return static_cast<const Char1*>(data)[i];
            case 2: return static_cast<const Char2*>(data)[i];
            default: return static_cast<const Char4*>(data)[i];
        }
    }
    TextView sub(size_t start, size_t count) const {
        return TextView{static_cast<const char*>(data) + start * kind, count, kind};
    }
    // The characters as bytes when stored one byte per character, else null.
    const char* narrow() const { return kind == 1 ? static_cast<const char*>(data) : nullptr; }
};

// A field or any other part of a line: a character range of it. The
// tokenizer writes fields as one 16-byte value: this layout is relied on.
struct alignas(16) Span {
    size_t start = 0;
    size_t length = 0;
};

// Calls fn(const CharT* chars) with the view's characters typed by width.
template <typename Fn>
decltype(auto) with_chars(const TextView& v, Fn&& fn) {
    switch (v.kind) {
        case 1: return fn(static_cast<const Char1*>(v.data));
        case 2: return fn(static_cast<const Char2*>(v.data));
        default: return fn(static_cast<const Char4*>(v.data));
    }
}

// Whether `span` of `text` holds exactly the ASCII text `ascii`.
inline bool equals_ascii(const TextView& text, Span span, std::string_view ascii) {
    if (span.length != ascii.size()) return false;
    for (size_t i = 0; i < span.length; ++i) {
        if (text.at(span.start + i) != static_cast<unsigned char>(ascii[i])) return false;
    }
    return true;
}

// Smallest width (1, 2 or 4) that holds code point `c`.
inline uint8_t kind_for(uint32_t c) { return c < 0x100 ? 1 : (c < 0x10000 ? 2 : 4); }

}  // namespace tremix::reading
