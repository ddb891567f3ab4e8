#include "tokenizer.hpp"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "whitespace.hpp"

namespace tremix::reading {

namespace {

template <typename Char>
inline bool space_char(Char ch) {
    if constexpr (sizeof(Char) == 1) {
        return kLatin1Space[ch];
    } else {
        return ch < 256 ? kLatin1Space[ch] : is_wide_space(ch);
    }
}

template <typename Char>
inline size_t find_comma(const Char* s, size_t begin, size_t end) {
    if constexpr (sizeof(Char) == 1) {
        const void* hit = std::memchr(s + begin, ',', end - begin);
        return hit ? static_cast<size_t>(static_cast<const Char*>(hit) - s) : end;
    } else {
        while (begin < end && s[begin] != ',') ++begin;
        return begin;
    }
}

template <typename Char>
inline Span strip_chars(const Char* s, size_t begin, size_t end) {
    while (begin < end && space_char(s[begin])) ++begin;
    while (end > begin && space_char(s[end - 1])) --end;
    return Span{begin, end - begin};
}

// Commas are never whitespace, so looking for a comma between the stripped
// text's ends is the same as looking for one in the stripped text.
template <typename Char>
void split_typed(const Char* s, size_t length, FieldList& out) {
    size_t end = length;
    while (end > 0 && s[end - 1] == ',') --end;
    const Span text = strip_chars(s, 0, end);
    const size_t begin = text.start;
    end = text.start + text.length;

    const size_t first_comma = find_comma(s, begin, end);
    if (first_comma < end) {
        // Pieces are short: one plain pass beats a search call per piece.
        size_t piece = begin;
        for (size_t i = first_comma; i < end; ++i) {
            if (s[i] != ',') continue;
            const Span f = strip_chars(s, piece, i);
            if (f.length > 0) out.push_back(f);
            piece = i + 1;
        }
        const Span last = strip_chars(s, piece, end);
        if (last.length > 0) out.push_back(last);
        return;
    }
    size_t i = begin;
    while (i < end) {
        const size_t start = i;
        while (i < end && !space_char(s[i])) ++i;
        out.push_back(Span{start, i - start});
        while (i < end && space_char(s[i])) ++i;
    }
}

#if defined(__SSE2__)
// One-byte text, the common case: commas are found sixteen bytes at a
// time. Same rules as split_typed.
void split_narrow(const Char1* s, size_t length, FieldList& out) {
    size_t end = length;
    while (end > 0 && s[end - 1] == ',') --end;
    const Span text = strip_chars(s, 0, end);
    const size_t begin = text.start;
    end = text.start + text.length;

    size_t piece = begin;
    bool comma = false;
    auto cut = [&](size_t at) {
        const Span f = strip_chars(s, piece, at);
        if (f.length > 0) out.push_back(f);
        piece = at + 1;
        comma = true;
    };
    const __m128i commas = _mm_set1_epi8(',');
    size_t i = begin;
    for (; i + 16 <= end; i += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
        unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, commas)));
        while (mask) {
            cut(i + static_cast<size_t>(__builtin_ctz(mask)));
            mask &= mask - 1;
        }
    }
    for (; i < end; ++i) {
        if (s[i] == ',') cut(i);
    }
    if (comma) {
        const Span last = strip_chars(s, piece, end);
        if (last.length > 0) out.push_back(last);
        return;
    }
    for (i = begin; i < end;) {
        const size_t start = i;
        while (i < end && !kLatin1Space[s[i]]) ++i;
        out.push_back(Span{start, i - start});
        while (i < end && kLatin1Space[s[i]]) ++i;
    }
}
#endif

}  // namespace

void split_fields(const TextView& line, FieldList& out) {
    out.clear();
#if defined(__SSE2__)
    if (line.kind == 1) {
        split_narrow(static_cast<const Char1*>(line.data), line.length, out);
        return;
    }
#endif
    with_chars(line, [&](const auto* s) { split_typed(s, line.length, out); });
}

Span strip_span(const TextView& text) {
    return with_chars(text, [&](const auto* s) { return strip_chars(s, 0, text.length); });
}

Span title_span(const TextView& text) {
    Span f = with_chars(text, [&](const auto* s) {
        Span t = strip_chars(s, 0, text.length);
        while (t.length > 0 && s[t.start + t.length - 1] == ',') --t.length;
        return t;
    });
    if (equals_ascii(text, f, "<NULL>")) return Span{0, 0};
    return f;
}

bool is_blank(const TextView& line) {
    return with_chars(line, [&](const auto* s) {
        for (size_t i = 0; i < line.length; ++i) {
            if (s[i] != ',' && !space_char(s[i])) return false;
        }
        return true;
    });
}

}  // namespace tremix::reading
