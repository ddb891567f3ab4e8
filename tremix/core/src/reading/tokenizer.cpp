#include "tokenizer.hpp"

#include <cstring>

#include "sse2.hpp"

#include "context.hpp"
#include "format.hpp"
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
        if (begin >= end) return end;  // an empty line may have no storage at all
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

// Characters between two questions to the context within one line.
constexpr size_t kPollChars = size_t{1} << 20;

// Whether to go on at character i of a line: the context is asked once
// per kPollChars characters since `asked`.
inline bool go_on(Context* ctx, size_t i, size_t& asked) {
    if (!ctx || i - asked < kPollChars) return true;
    asked = i;
    return ctx->poll();
}

template <typename Char>
void split_typed(const Char* s, size_t length, FieldList& out, Context* ctx) {
    size_t end = length;
    while (end > 0 && s[end - 1] == ',') --end;
    const Span text = strip_chars(s, 0, end);
    const size_t begin = text.start;
    end = text.start + text.length;

    // Commas are never whitespace, so looking for a comma between the
    // stripped text's ends is the same as looking for one in the stripped text.
    const size_t first_comma = find_comma(s, begin, end);
    if (first_comma < end) {
        // Pieces are short: one plain pass beats a search call per piece.
        size_t piece = begin;
        size_t asked = begin;
        for (size_t i = first_comma; i < end; ++i) {
            if (!go_on(ctx, i, asked)) return out.clear();
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
    size_t asked = begin;
    while (i < end) {
        if (!go_on(ctx, i, asked)) return out.clear();
        const size_t start = i;
        while (i < end && !space_char(s[i])) ++i;
        out.push_back(Span{start, i - start});
        while (i < end && space_char(s[i])) ++i;
    }
}

#if TREMIX_SSE2
// One-byte text, the common case. A line without whitespace or control
// characters between its ends (a plain comma-separated record) splits
// straight at its commas, found sixteen bytes at a time, with no branch
// per field; any other line goes through split_typed, the same rules.
// Only lines up to kPollChars long: the plain split never asks about
// signals.
constexpr size_t kPlainLimit = kPollChars;

void split_narrow(const Char1* s, size_t length, FieldList& out, Context* ctx) {
    size_t end = length;
    while (end > 0 && s[end - 1] == ',') --end;
    const Span text = strip_chars(s, 0, end);
    const size_t begin = text.start;
    end = text.start + text.length;
    if (end - begin > kPlainLimit) {
        split_typed(s, length, out, ctx);
        return;
    }
    uint32_t* commas = out.positions(end - begin + 16);
    size_t count = 0;
    const __m128i comma = _mm_set1_epi8(',');
    const __m128i space_or_below = _mm_set1_epi8(0x21);
    const __m128i del = _mm_set1_epi8(0x7f);
    unsigned odd = 0;
    size_t i = begin;
    for (; i + 16 <= end; i += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
        const __m128i hits = _mm_cmpeq_epi8(v, comma);
        unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(hits));
        // Signed compare: bytes from 0x80 up count as below 0x21 too.
        odd |= static_cast<unsigned>(
            _mm_movemask_epi8(_mm_or_si128(_mm_cmplt_epi8(v, space_or_below), _mm_cmpeq_epi8(v, del))));
        // The number of commas, by summing the compare's bytes (the
        // baseline instruction set has no population count).
        const __m128i sums = _mm_sad_epu8(_mm_and_si128(hits, _mm_set1_epi8(1)), _mm_setzero_si128());
        const unsigned n = static_cast<unsigned>(_mm_cvtsi128_si32(sums) + _mm_extract_epi16(sums, 4));
        const uint32_t base = static_cast<uint32_t>(i - begin);
        // Positions of all set bits without a branch per bit: four are
        // written whatever the count, and only `n` of them are kept.
        for (unsigned k = 0; k < 4; ++k) {
            commas[count + k] = base + static_cast<uint32_t>(__builtin_ctz(mask | 0x10000u));
            mask &= mask - 1;
        }
        if (n > 4) {
            for (unsigned k = 4; k < 8; ++k) {
                commas[count + k] = base + static_cast<uint32_t>(__builtin_ctz(mask | 0x10000u));
                mask &= mask - 1;
            }
            if (n > 8) {
                for (unsigned k = 8; k < 16; ++k) {
                    commas[count + k] = base + static_cast<uint32_t>(__builtin_ctz(mask | 0x10000u));
                    mask &= mask - 1;
                }
            }
        }
        count += n;
    }
    for (; i < end; ++i) {
        const unsigned char c = s[i];
        if (c == ',') commas[count++] = static_cast<uint32_t>(i - begin);
        odd |= (c <= 0x20 || c >= 0x7f);
    }
    if (odd || count == 0) {
        split_typed(s, length, out, ctx);
        return;
    }
    // Fields between the commas; an empty one (two commas in a row) is
    // written and then overwritten by the next.
    Span* fields = out.room(count + 1);
    size_t kept = 0;
    size_t piece = begin;
    // Each field is written with one 16-byte store: readers load a field
    // whole, and a load that two smaller stores would have to feed stalls.
    auto put = [&](size_t at) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(fields + kept),
                         _mm_set_epi64x(static_cast<long long>(at - piece), static_cast<long long>(piece)));
        kept += at > piece;
        piece = at + 1;
    };
    for (size_t k = 0; k < count; ++k) put(begin + commas[k]);
    put(end);
    out.resize(kept);
}
#endif

}  // namespace

void split_fields(const TextView& line, FieldList& out, Context* ctx) {
    out.clear();
#if TREMIX_SSE2
    if (line.kind == 1) {
        split_narrow(static_cast<const Char1*>(line.data), line.length, out, ctx);
        return;
    }
#endif
    with_chars(line, [&](const auto* s) { split_typed(s, line.length, out, ctx); });
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
    if (equals_ascii(text, f, kNoTitle)) return Span{0, 0};
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
