#include "splitter.hpp"

#include <cstring>

#include "sse2.hpp"

#include "numbers.hpp"
#include "format.hpp"
#include "tokenizer.hpp"

namespace tremix::reading {

namespace {

constexpr size_t kDelimiterLength = sizeof kDelimiter - 1;
constexpr size_t kStrayKept = 64;
constexpr size_t kStrayTextChars = 60;
// A tar header's 512 bytes decode to at most as many characters.
constexpr size_t kFirstLineChars = 512;

size_t align_up(size_t n, size_t to) { return (n + to - 1) / to * to; }

template <typename To, typename From>
void widen_in_place(char* base, size_t count) {
    // From the back: element i moves to a position at or after its own, so
    // nothing is overwritten before it is read.
    for (size_t i = count; i-- > 0;) {
        From v;
        std::memcpy(&v, base + i * sizeof(From), sizeof(From));
        const To w = v;
        std::memcpy(base + i * sizeof(To), &w, sizeof(To));
    }
}

void append_utf8(std::string& out, uint32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xc0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3f));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xe0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3f));
        out += static_cast<char>(0x80 | (c & 0x3f));
    } else {
        out += static_cast<char>(0xf0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3f));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3f));
        out += static_cast<char>(0x80 | (c & 0x3f));
    }
}

inline bool is_delimiter(const char* s, size_t n) {
    return n == kDelimiterLength && std::memcmp(s, kDelimiter, kDelimiterLength) == 0;
}

inline bool is_delimiter(const TextView& line) {
    return line.length == kDelimiterLength && equals_ascii(line, Span{0, kDelimiterLength}, kDelimiter);
}

// How far ahead of the line ends being looked for their bytes are asked for.
constexpr size_t kLookAhead = 1024;

// The "\n" among the 64 bytes at p, as bits (bit k for byte k); false when
// one of the bytes is "\r" or not ASCII, which text split in place may not
// hold.
inline bool plain_newlines(const char* p, uint64_t& newlines) {
#if TREMIX_SSE2
    const __m128i nl = _mm_set1_epi8('\n');
    const __m128i cr = _mm_set1_epi8('\r');
    uint64_t found = 0;
    unsigned bad = 0;
    for (int k = 0; k < 4; ++k) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * k));
        found |= static_cast<uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, nl)))) << (16 * k);
        bad |= static_cast<unsigned>(_mm_movemask_epi8(v)) | static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, cr)));
    }
    newlines = found;
    return bad == 0;
#else
    constexpr uint64_t kLow7 = 0x7f7f7f7f7f7f7f7full;
    constexpr uint64_t kOnes = 0x0101010101010101ull;
    // The high bit of each byte of w that is zero, exactly (no borrow
    // reaches the next byte).
    auto zero_bytes = [](uint64_t w) { return ~(((w & kLow7) + kLow7) | w | kLow7); };
    uint64_t found = 0;
    uint64_t high = 0;
    for (int k = 0; k < 8; ++k) {
        uint64_t w;
        std::memcpy(&w, p + 8 * k, 8);
        high |= (w & ~kLow7) | zero_bytes(w ^ (kOnes * '\r'));
        const uint64_t nl = zero_bytes(w ^ (kOnes * '\n')) >> 7;  // one bit per byte, at its lowest
        found |= ((nl * 0x0102040810204080ull) >> 56) << (8 * k);
    }
    newlines = found;
    return high == 0;
#endif
}

}  // namespace

Splitter::Splitter(Context& ctx, FileText& out, ReadReport& report) : ctx_(ctx), out_(out), report_(report) {}

void LineScratch::append_ascii(const char* p, size_t n) {
    if (kind_ == 1) {
        bytes_.insert(bytes_.end(), p, p + n);
        length_ += n;
        return;
    }
    for (size_t i = 0; i < n; ++i) append(static_cast<unsigned char>(p[i]));
}

void LineScratch::append(uint32_t c) {
    const uint8_t need = kind_for(c);
    if (need > kind_) {
        bytes_.resize(length_ * need);
        if (kind_ == 1 && need == 2) widen_in_place<Char2, Char1>(bytes_.data(), length_);
        if (kind_ == 1 && need == 4) widen_in_place<Char4, Char1>(bytes_.data(), length_);
        if (kind_ == 2 && need == 4) widen_in_place<Char4, Char2>(bytes_.data(), length_);
        kind_ = need;
    }
    char unit[4];
    switch (kind_) {
        case 1: unit[0] = static_cast<char>(c); break;
        case 2: {
            const Char2 v = static_cast<Char2>(c);
            std::memcpy(unit, &v, 2);
            break;
        }
        default: std::memcpy(unit, &c, 4);
    }
    bytes_.insert(bytes_.end(), unit, unit + kind_);
    ++length_;
}

void LineScratch::clear() {
    // A line is seldom longer than this; room kept for a longer one would
    // stay taken for the rest of the reading.
    constexpr size_t kRoomKept = size_t{1} << 20;
    if (bytes_.capacity() > kRoomKept) {
        std::vector<char>().swap(bytes_);
    } else {
        bytes_.clear();
    }
    length_ = 0;
    kind_ = 1;
}

bool Splitter::reserve_block(size_t chars) {
    if (out_.chars.reserve_more(chars * block_.kind)) return true;
    no_memory_ = true;
    return false;
}

void Splitter::widen_block(uint8_t kind) {
    const size_t count = end_;
    if (!out_.chars.reserve(block_.text_offset + count * kind)) {
        no_memory_ = true;
        return;
    }
    char* base = out_.chars.data() + block_.text_offset;
    if (block_.kind == 1 && kind == 2) widen_in_place<Char2, Char1>(base, count);
    if (block_.kind == 1 && kind == 4) widen_in_place<Char4, Char1>(base, count);
    if (block_.kind == 2 && kind == 4) widen_in_place<Char4, Char2>(base, count);
    block_.kind = kind;
    out_.chars.resize(block_.text_offset + count * kind);
}

void Splitter::put_ascii(const char* p, size_t n) {
    if (stopped_ || no_memory_ || n == 0) return;
    if (state_ != State::in_block) {
        try {
            scratch_.append_ascii(p, n);
        } catch (...) {
            no_memory_ = true;
        }
        return;
    }
    if (!reserve_block(n)) return;
    char* dst = out_.chars.data() + out_.chars.size();
    switch (block_.kind) {
        case 1: std::memcpy(dst, p, n); break;
        case 2:
            for (size_t i = 0; i < n; ++i) {
                const Char2 c = static_cast<unsigned char>(p[i]);
                std::memcpy(dst + 2 * i, &c, 2);
            }
            break;
        default:
            for (size_t i = 0; i < n; ++i) {
                const Char4 c = static_cast<unsigned char>(p[i]);
                std::memcpy(dst + 4 * i, &c, 4);
            }
    }
    end_ += n;
    out_.chars.resize(out_.chars.size() + n * block_.kind);
}

void Splitter::put_char(uint32_t c) {
    if (stopped_ || no_memory_) return;
    if (state_ != State::in_block) {
        try {
            scratch_.append(c);
        } catch (...) {
            no_memory_ = true;
        }
        return;
    }
    const uint8_t need = kind_for(c);
    if (need > block_.kind) {
        widen_block(need);
        if (no_memory_) return;
    }
    if (c >= 0x80) block_.ascii = false;
    if (!reserve_block(1)) return;
    char* dst = out_.chars.data() + out_.chars.size();
    switch (block_.kind) {
        case 1: *dst = static_cast<char>(c); break;
        case 2: {
            const Char2 v = static_cast<Char2>(c);
            std::memcpy(dst, &v, 2);
            break;
        }
        default: std::memcpy(dst, &c, 4);
    }
    ++end_;
    out_.chars.resize(out_.chars.size() + block_.kind);
}

void Splitter::put_chars(const TextView& text) {
    if (text.kind == 1) {
        const char* s = static_cast<const char*>(text.data);
        size_t run = 0;
        for (size_t i = 0; i < text.length; ++i) {
            if (static_cast<unsigned char>(s[i]) >= 0x80) {
                put_ascii(s + run, i - run);
                put_char(static_cast<unsigned char>(s[i]));
                run = i + 1;
            }
        }
        put_ascii(s + run, text.length - run);
        return;
    }
    for (size_t i = 0; i < text.length; ++i) put_char(text.at(i));
}

void Splitter::open_block(int32_t id) {
    state_ = State::in_block;
    block_ = StoredBlock{};
    block_.id = id;
    block_.id_line = line_no_;
    block_.starts_offset = align_up(out_.starts.size(), 8);
    if (in_place_) {
        block_.text_offset = kept_line_begin_;  // the line after the number's
        block_.gap = 1;
    } else {
        block_.text_offset = align_up(out_.chars.size(), 8);
        if (!out_.chars.reserve(block_.text_offset)) {
            no_memory_ = true;
            return;
        }
        out_.chars.resize(block_.text_offset);
    }
    if (!out_.starts.reserve(block_.starts_offset)) {
        no_memory_ = true;
        return;
    }
    out_.starts.resize(block_.starts_offset);
    line_start_ = end_ = 0;
    open_stray_ = nullptr;
    in_stray_run_ = false;
    pending_bad_number_ = false;
}

bool Splitter::push_start(uint64_t start) {
    bool wide = block_.narrow_starts != UINT64_MAX;
    if (!wide && start > narrow_start_limit_) {
        // The starts so far stay in 32 bits; from this one on they take 64,
        // from the next multiple of 8 bytes on (the block's starts begin at
        // one).
        const size_t aligned = align_up(out_.starts.size(), 8);
        if (!out_.starts.reserve(aligned)) return false;
        std::memset(out_.starts.data() + out_.starts.size(), 0, aligned - out_.starts.size());
        out_.starts.resize(aligned);
        block_.narrow_starts = block_.line_count;
        wide = true;
    }
    const size_t width = wide ? 8 : 4;
    if (!out_.starts.reserve_more(width)) return false;
    char* dst = out_.starts.data() + out_.starts.size();
    if (wide) {
        std::memcpy(dst, &start, 8);
    } else {
        const uint32_t s = static_cast<uint32_t>(start);
        std::memcpy(dst, &s, 4);
    }
    out_.starts.resize(out_.starts.size() + width);
    return true;
}

void Splitter::close_block(bool closed) {
    // The entry after the last line marks where it ends.
    if (!push_start(line_start_)) {
        no_memory_ = true;
        return;
    }
    block_.closed = closed;
    try {
        out_.blocks.push_back(block_);
        ++report_.blocks;
    } catch (...) {
        no_memory_ = true;
    }
    state_ = State::outside;
}

void Splitter::note_stray(const TextView& text, bool bad_number, bool blank) {
    if (!in_stray_run_) {
        in_stray_run_ = true;
        ++report_.stray_runs;
        if (line_no_ == 1) {
            for (size_t i = 0; i < text.length && i < kFirstLineChars; ++i) {
                append_utf8(report_.first_line_text, text.at(i));
            }
        }
        if (report_.stray.size() >= kStrayKept) return;
        report_.stray.emplace_back();
        open_stray_ = &report_.stray.back();
        open_stray_->first_line = line_no_;
        for (size_t i = 0; i < text.length && i < kStrayTextChars; ++i) append_utf8(open_stray_->first_text, text.at(i));
    }
    if (!open_stray_) return;
    open_stray_->last_line = line_no_;
    open_stray_->count += !blank;
    if (bad_number && !open_stray_->bad_number_line) {
        open_stray_->bad_number_line = line_no_;
        for (size_t i = 0; i < text.length && i < kStrayTextChars; ++i) {
            append_utf8(open_stray_->bad_number_text, text.at(i));
        }
    }
    if (!open_stray_->delimiter_like_line && equals_ascii(text, strip_span(text), "-1")) {
        open_stray_->delimiter_like_line = line_no_;
    }
}

// A line outside any block (line_no_ is its number).
void Splitter::outside_line(const TextView& text) {
    if (is_delimiter(text)) {
        state_ = State::after_delimiter;
        return;
    }
    const bool bad_number = pending_bad_number_;
    pending_bad_number_ = false;
    const bool blank = is_blank(text);
    if (blank && !bad_number) return;
    try {
        note_stray(text, bad_number, blank);
    } catch (...) {
        no_memory_ = true;
    }
}

Outcome Splitter::end_line() { return finish_line(scratch_.view()); }

// The line ends; `text` is the line when it lies outside a block.
Outcome Splitter::finish_line(const TextView& text) {
    ++line_no_;
    if (no_memory_) return ctx_.fail(Failure::Kind::no_memory);
    if (stopped_) return Outcome::ok;
    switch (state_) {
        case State::in_block: {
            const size_t length = end_ - line_start_;
            if (length == kDelimiterLength) {
                const TextView line{out_.chars.data() + block_.text_offset + line_start_ * block_.kind, length,
                                    block_.kind};
                if (is_delimiter(line)) {
                    end_ = line_start_;
                    out_.chars.resize(block_.text_offset + end_ * block_.kind);
                    close_block(true);
                    break;
                }
            }
            if (!push_start(line_start_)) {
                no_memory_ = true;
                break;
            }
            ++block_.line_count;
            line_start_ = end_;
            break;
        }
        case State::outside:
            outside_line(text);
            break;
        case State::after_delimiter: {
            state_ = State::outside;
            const Span id = strip_span(text);
            if (equals_ascii(text, id, "-1")) {
                outside_line(text);  // usually an opening delimiter after a closing one
                break;
            }
            int32_t number = 0;
            ctx_.at(0, static_cast<size_t>(line_no_ - 1));
            const Outcome o = to_int32(ctx_, text, id, number);
            if (o == Outcome::ok) {
                open_block(number);
            } else if (o == Outcome::skip) {
                pending_bad_number_ = true;
                outside_line(text);  // no block: the line is examined like any other
            } else if (ctx_.failure().kind == Failure::Kind::out_of_range) {
                stopped_ = true;  // reported by finish(), after reading ends
                report_.overflow_line = line_no_;
            } else {
                scratch_.clear();
                return Outcome::fail;
            }
            break;
        }
    }
    scratch_.clear();
    if (no_memory_) return ctx_.fail(Failure::Kind::no_memory);
    return Outcome::ok;
}

Outcome Splitter::finish() {
    report_.lines = line_no_;
    if (!stopped_ && state_ == State::in_block) {
        // The end of the text closes the block.
        if (!in_place_) out_.chars.resize(block_.text_offset + end_ * block_.kind);
        report_.unclosed = true;
        report_.unclosed_id = block_.id;
        report_.unclosed_last_line = block_.id_line + block_.line_count;
        close_block(false);
    }
    if (!stopped_ && state_ == State::after_delimiter) report_.last_delimiter_line = line_no_;
    if (no_memory_) return ctx_.fail(Failure::Kind::no_memory);
    if (stopped_) return Outcome::fail;  // the context holds out_of_range
    return Outcome::ok;
}

// A line of text split in place: bytes [begin, end) of the buffer, a
// "\n" at end. Every line is read where it lies (the buffer does not move
// meanwhile): a line outside a block is not copied either, however long.
Outcome Splitter::kept_line(size_t begin, size_t end) {
    kept_line_begin_ = end + 1;
    if (state_ != State::in_block || stopped_ || no_memory_) {
        return finish_line(TextView{out_.chars.data() + begin, end - begin, 1});
    }
    ++line_no_;
    const size_t at = begin - block_.text_offset;
    if (is_delimiter(out_.chars.data() + begin, end - begin)) {
        line_start_ = at;  // where the last line's "\n" ends
        close_block(true);
    } else if (push_start(at)) {
        ++block_.line_count;
        line_start_ = end + 1 - block_.text_offset;
    } else {
        no_memory_ = true;
    }
    if (no_memory_) return ctx_.fail(Failure::Kind::no_memory);
    return Outcome::ok;
}

Outcome Splitter::kept_bytes(size_t end) {
    in_place_ = true;
    if (not_plain_) return Outcome::ok;
    // The buffer does not move while its lines are split: only the line
    // starts and the report grow.
    const char* const base = out_.chars.data();
    size_t i = kept_scanned_;
    for (; i + 64 <= end; i += 64) {
        // The bytes were just written by the reading thread, from another
        // processor's cache or memory: asking for them a kilobyte ahead
        // keeps this loop from waiting at every line of the cache.
        if (end - i > kLookAhead) __builtin_prefetch(base + i + kLookAhead);
        uint64_t newlines;
        if (!plain_newlines(base + i, newlines)) {
            not_plain_ = true;
            return Outcome::ok;
        }
        for (; newlines; newlines &= newlines - 1) {
            const size_t at = i + static_cast<size_t>(__builtin_ctzll(newlines));
            if (kept_line(kept_line_begin_, at) == Outcome::fail) return Outcome::fail;
        }
    }
    for (; i < end; ++i) {
        const unsigned char c = static_cast<unsigned char>(base[i]);
        if (c == '\r' || c >= 0x80) {
            not_plain_ = true;
            return Outcome::ok;
        }
        if (c == '\n' && kept_line(kept_line_begin_, i) == Outcome::fail) return Outcome::fail;
    }
    kept_scanned_ = end;
    return Outcome::ok;
}

Outcome Splitter::kept_finish() {
    in_place_ = true;
    const size_t end = out_.chars.size();
    if (!not_plain_ && kept_line_begin_ < end) {
        // The last line has no line end: it gets one, as every kept line has.
        if (!out_.chars.reserve_more(1)) return ctx_.fail(Failure::Kind::no_memory);
        out_.chars.data()[end] = '\n';
        out_.chars.resize(end + 1);
        if (kept_line(kept_line_begin_, end) == Outcome::fail) return Outcome::fail;
    }
    return finish();
}

void Splitter::restart() {
    out_.chars = GrowBuffer();
    out_.starts = GrowBuffer();
    out_.blocks.clear();
    report_ = ReadReport{};
    state_ = State::outside;
    stopped_ = false;
    no_memory_ = false;
    line_no_ = 0;
    block_ = StoredBlock{};
    line_start_ = 0;
    end_ = 0;
    scratch_.clear();
    pending_bad_number_ = false;
    open_stray_ = nullptr;
    in_stray_run_ = false;
    in_place_ = false;
    not_plain_ = false;
    kept_scanned_ = 0;
    kept_line_begin_ = 0;
}

}  // namespace tremix::reading
