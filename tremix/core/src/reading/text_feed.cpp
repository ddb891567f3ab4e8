#include "text_feed.hpp"

#include <algorithm>
#include <cstring>

namespace tremix::reading {

namespace {

constexpr uint64_t kOnes = 0x0101010101010101ull;
constexpr uint64_t kHigh = 0x8080808080808080ull;

inline bool has_zero_byte(uint64_t v) { return ((v - kOnes) & ~v & kHigh) != 0; }

// True when every byte is below 0x80 and none is "\r": the text is taken
// as it is.
inline bool plain_ascii(const char* p, size_t n) {
    size_t i = 0;
    uint64_t high = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t w;
        std::memcpy(&w, p + i, 8);
        high |= w;
        if (has_zero_byte(w ^ (kOnes * '\r'))) return false;
    }
    if (high & kHigh) return false;
    for (; i < n; ++i) {
        const unsigned char c = static_cast<unsigned char>(p[i]);
        if (c >= 0x80 || c == '\r') return false;
    }
    return true;
}

inline bool is_continuation(unsigned char c) { return (c & 0xc0) == 0x80; }

// Length of the UTF-8 sequence a lead byte starts, or 0 when it cannot
// start one (a continuation byte, C0, C1, F5 and above).
inline size_t sequence_length(unsigned char lead) {
    if (lead < 0x80) return 1;
    if (lead < 0xc2) return 0;
    if (lead < 0xe0) return 2;
    if (lead < 0xf0) return 3;
    if (lead < 0xf5) return 4;
    return 0;
}

// Decodes a complete sequence of `length` bytes; false when it is not
// valid UTF-8 (overlong, a surrogate, beyond U+10FFFF, a bad continuation).
inline bool decode_sequence(const unsigned char* s, size_t length, uint32_t& out) {
    switch (length) {
        case 2:
            if (!is_continuation(s[1])) return false;
            out = ((s[0] & 0x1fu) << 6) | (s[1] & 0x3fu);
            return true;
        case 3: {
            if (!is_continuation(s[1]) || !is_continuation(s[2])) return false;
            if (s[0] == 0xe0 && s[1] < 0xa0) return false;
            if (s[0] == 0xed && s[1] >= 0xa0) return false;
            out = ((s[0] & 0x0fu) << 12) | ((s[1] & 0x3fu) << 6) | (s[2] & 0x3fu);
            return true;
        }
        case 4: {
            if (!is_continuation(s[1]) || !is_continuation(s[2]) || !is_continuation(s[3])) return false;
            if (s[0] == 0xf0 && s[1] < 0x90) return false;
            if (s[0] == 0xf4 && s[1] >= 0x90) return false;
            out = ((s[0] & 0x07u) << 18) | ((s[1] & 0x3fu) << 12) | ((s[2] & 0x3fu) << 6) | (s[3] & 0x3fu);
            return true;
        }
        default: return false;
    }
}

// Whether the first `have` bytes of a sequence can still become valid.
inline bool valid_prefix(const unsigned char* s, size_t have) {
    for (size_t k = 1; k < have; ++k) {
        if (!is_continuation(s[k])) return false;
    }
    if (have >= 2) {
        if (s[0] == 0xe0 && s[1] < 0xa0) return false;
        if (s[0] == 0xed && s[1] >= 0xa0) return false;
        if (s[0] == 0xf0 && s[1] < 0x90) return false;
        if (s[0] == 0xf4 && s[1] >= 0x90) return false;
    }
    return true;
}

}  // namespace

Outcome ByteFeed::end_line() {
    line_open_ = false;
    return splitter_.end_line();
}

Outcome ByteFeed::bad(uint64_t offset, const unsigned char* from, size_t available) {
    invalid_ = true;
    error_offset_ = offset;
    error_line_ = splitter_.lines() + 1;
    error_bytes_length_ = std::min(available, sizeof error_bytes_);
    std::memcpy(error_bytes_, from, error_bytes_length_);
    return Outcome::fail;
}

std::string ByteFeed::error_data() const {
    const auto* kept = reinterpret_cast<const char*>(error_bytes_);
    if (error_offset_ >= head_length_) return std::string(kept, error_bytes_length_);
    std::string data(reinterpret_cast<const char*>(head_), head_length_);
    const size_t in_head = head_length_ - static_cast<size_t>(error_offset_);
    if (error_bytes_length_ > in_head) data.append(kept + in_head, error_bytes_length_ - in_head);
    return data;
}

// Finishes a character whose first bytes ended the previous piece.
Outcome ByteFeed::complete_partial(const char* p, size_t n, size_t& used) {
    const size_t need = sequence_length(partial_[0]);
    const uint64_t lead_offset = base_ - partial_length_;
    while (partial_length_ < need && used < n) partial_[partial_length_++] = static_cast<unsigned char>(p[used++]);
    if (!valid_prefix(partial_, partial_length_)) return bad(lead_offset, partial_, partial_length_);
    if (partial_length_ < need) return Outcome::ok;  // still cut: the next piece goes on
    uint32_t c;
    if (!decode_sequence(partial_, need, c)) return bad(lead_offset, partial_, partial_length_);
    partial_length_ = 0;
    splitter_.put_char(c);
    line_open_ = true;
    return Outcome::ok;
}

// Bytes [a, b) of the piece p[0, n), holding no "\n".
Outcome ByteFeed::segment(const char* p, size_t a, size_t b, size_t n) {
    const auto* s = reinterpret_cast<const unsigned char*>(p);
    size_t k = a;
    while (k < b) {
        const unsigned char c = s[k];
        if (c < 0x80) {
            if (c == '\r') {
                if (end_line() == Outcome::fail) return Outcome::fail;
                pending_cr_ = true;
                ++k;
                continue;
            }
            pending_cr_ = false;
            size_t run = k + 1;
            while (run < b && s[run] < 0x80 && s[run] != '\r') ++run;
            splitter_.put_ascii(p + k, run - k);
            line_open_ = true;
            k = run;
            continue;
        }
        pending_cr_ = false;
        if (encoding_ == Encoding::latin1) {
            splitter_.put_char(c);
            line_open_ = true;
            ++k;
            continue;
        }
        if (encoding_ == Encoding::ascii) return bad(base_ + k, s + k, n - k);
        const size_t length = sequence_length(c);
        if (length == 0) return bad(base_ + k, s + k, n - k);
        if (k + length > b) {
            // Cut by the end of the piece: kept for the next one. Cut by a
            // line end, it can never complete.
            if (b == n && valid_prefix(s + k, b - k)) {
                partial_length_ = b - k;
                std::memcpy(partial_, s + k, partial_length_);
                return Outcome::ok;
            }
            return bad(base_ + k, s + k, n - k);
        }
        uint32_t cp;
        if (!decode_sequence(s + k, length, cp)) return bad(base_ + k, s + k, n - k);
        splitter_.put_char(cp);
        line_open_ = true;
        k += length;
    }
    return Outcome::ok;
}

Outcome ByteFeed::feed(const char* p, size_t n) {
    if (invalid_) return Outcome::fail;
    if (head_length_ < sizeof head_) {
        const size_t more = std::min(n, sizeof head_ - head_length_);
        std::memcpy(head_ + head_length_, p, more);
        head_length_ += more;
    }
    size_t i = 0;
    if (partial_length_ > 0) {
        if (complete_partial(p, n, i) == Outcome::fail) return Outcome::fail;
        if (partial_length_ > 0) {
            base_ += n;
            return Outcome::ok;
        }
    }
    while (i < n) {
        if (pending_cr_) {
            pending_cr_ = false;
            if (p[i] == '\n') {  // the "\n" of a "\r\n"
                ++i;
                continue;
            }
        }
        const void* hit = std::memchr(p + i, '\n', n - i);
        const size_t j = hit ? static_cast<size_t>(static_cast<const char*>(hit) - p) : n;
        if (plain_ascii(p + i, j - i)) {
            if (j > i) {
                splitter_.put_ascii(p + i, j - i);
                line_open_ = true;
            }
        } else if (segment(p, i, j, n) == Outcome::fail) {
            return Outcome::fail;
        }
        if (j == n) break;
        if (pending_cr_) {
            pending_cr_ = false;  // "\r\n": the line already ended at "\r"
        } else if (end_line() == Outcome::fail) {
            return Outcome::fail;
        }
        i = j + 1;
    }
    base_ += n;
    return Outcome::ok;
}

Outcome ByteFeed::finish() {
    if (invalid_) return Outcome::fail;
    if (partial_length_ > 0) return bad(base_ - partial_length_, partial_, partial_length_);
    if (line_open_ && end_line() == Outcome::fail) return Outcome::fail;
    return splitter_.finish();
}

Outcome CharFeed::end_line() {
    line_open_ = false;
    return splitter_.end_line();
}

Outcome CharFeed::feed(const TextView& text) {
    size_t i = 0;
    while (i < text.length) {
        if (pending_cr_) {
            pending_cr_ = false;
            if (text.at(i) == '\n') {
                ++i;
                continue;
            }
        }
        size_t j = i;
        uint32_t c = 0;
        if (const char* s = text.narrow()) {
            while (j < text.length && s[j] != '\n' && s[j] != '\r') ++j;
            if (j < text.length) c = static_cast<unsigned char>(s[j]);
        } else {
            while (j < text.length && (c = text.at(j)) != '\n' && c != '\r') ++j;
        }
        if (j > i) {
            splitter_.put_chars(text.sub(i, j - i));
            line_open_ = true;
        }
        if (j == text.length) break;
        if (end_line() == Outcome::fail) return Outcome::fail;
        pending_cr_ = c == '\r';
        i = j + 1;
    }
    return Outcome::ok;
}

Outcome CharFeed::finish() {
    if (line_open_ && end_line() == Outcome::fail) return Outcome::fail;
    return splitter_.finish();
}

}  // namespace tremix::reading
