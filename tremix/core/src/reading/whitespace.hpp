// Whitespace as str.split() and str.strip() see it: the characters
// str.isspace() accepts. The set is fixed by the Unicode data the
// interpreter carries; a test compares it with str.isspace() over every
// code point.
#pragma once

#include <array>
#include <cstdint>

namespace tremix::reading {

// Within Latin-1: \t \n \v \f \r, the information separators \x1c-\x1f,
// space, NEL (\x85) and no-break space (\xa0).
inline constexpr std::array<bool, 256> kLatin1Space = [] {
    std::array<bool, 256> table{};
    for (int ch : {0x09, 0x0a, 0x0b, 0x0c, 0x0d, 0x1c, 0x1d, 0x1e, 0x1f, 0x20, 0x85, 0xa0}) table[ch] = true;
    return table;
}();

inline bool is_wide_space(uint32_t c) {
    return c == 0x1680 || (c >= 0x2000 && c <= 0x200a) || c == 0x2028 || c == 0x2029 || c == 0x202f ||
           c == 0x205f || c == 0x3000;
}

inline bool is_space(uint32_t c) { return c < 256 ? kLatin1Space[c] : is_wide_space(c); }

}  // namespace tremix::reading
