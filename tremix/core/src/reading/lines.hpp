// The lines of one block as the record walks see them: views into a file's
// stored text, or into the items of a list of lines that the program around
// the core owns (a view function, supplied by that program, turns an item
// into its characters). A line that is not text has kind 0.
#pragma once

#include <cstddef>
#include <climits>
#include <cstdint>
#include <vector>

#include "text.hpp"

namespace tremix::reading {

using ItemView = TextView (*)(const void* item);

class BlockLines {
  public:
    BlockLines() = default;

    // Stored text: the characters of line i run from start i to start
    // i + 1 less `gap` (counted in characters from `chars`). `starts` holds
    // the n + 1 starts: the first `narrow` of them in 32 bits (all when
    // `narrow` is SIZE_MAX), the rest in 64 bits after them, from the next
    // multiple of 8 bytes on.
    static BlockLines stored(const char* chars, uint8_t kind, const void* starts, size_t narrow, uint8_t gap, size_t n,
                             int64_t first_file_line) {
        BlockLines b;
        b.chars_ = chars;
        b.kind_ = kind;
        b.narrow_starts_ = static_cast<const uint32_t*>(starts);
        if (narrow != SIZE_MAX) {
            b.wide_starts_ = reinterpret_cast<const uint64_t*>(static_cast<const char*>(starts) + (narrow * 4 + 7) / 8 * 8);
        }
        b.narrow_ = narrow;
        b.gap_ = gap;
        b.n_ = n;
        b.first_file_line_ = first_file_line;
        return b;
    }
    static BlockLines items(const void* const* items, size_t n, ItemView view) {
        BlockLines b;
        b.items_ = items;
        b.view_ = view;
        b.n_ = n;
        return b;
    }

    size_t size() const { return n_; }

    TextView line(size_t i) const {
        if (items_) return view_(items_[i]);
        size_t begin, end;
        if (i + 1 < narrow_) {
            begin = narrow_starts_[i];
            end = narrow_starts_[i + 1];
        } else {
            begin = start(i);
            end = start(i + 1);
        }
        // Lines are walked in order through text that is usually not in
        // any cache: asking for the text well ahead keeps the walk from
        // waiting on memory at every page the hardware does not foresee.
        // (Computed as an address: the text may end before that point.)
        __builtin_prefetch(reinterpret_cast<const void*>(reinterpret_cast<uintptr_t>(chars_ + begin * kind_) +
                                                         kPrefetchAhead));
        return TextView{chars_ + begin * kind_, end - gap_ - begin, kind_};
    }

    // Whether the lines are stored one-byte text, which first_not_passed
    // looks at straight.
    bool stored_narrow() const { return !items_ && kind_ == 1; }

    // The first of lines `from` to `to` - 1 that `passes_over(chars,
    // length)` does not pass over, looked at straight in stored one-byte
    // text (`to` when it passes over them all); `from` itself for items and
    // wider text, whose lines the caller looks at one by one.
    template <typename PassOver>
    [[gnu::always_inline]] size_t first_not_passed(size_t from, size_t to, PassOver passes_over) const {
        if (!stored_narrow()) return from;
        if (from >= to) return to;
        // Starts all in 32 bits (the usual case) are read without asking
        // which of the two arrays holds each.
        if (to < narrow_) return first_not_passed_in<true>(from, to, passes_over);
        return first_not_passed_in<false>(from, to, passes_over);
    }

    // Stored one-byte text whose line starts from 0 to `to` all lie in 32
    // bits, for a loop over its lines of the caller's own: line k runs
    // from chars + starts[k] to chars + starts[k + 1] - gap.
    struct NarrowTable {
        const char* chars;
        const uint32_t* starts;
        size_t gap;
    };
    bool narrow_table(size_t to, NarrowTable& table) const {
        if (!stored_narrow() || to >= narrow_ || to > n_) return false;
        table = NarrowTable{chars_, narrow_starts_, gap_};
        return true;
    }

    // Where the text of the last line ends: the bytes from any line's start
    // up to here lie in the stored text and may be read (those past a
    // line's end belong to the lines after it, or to the line ends between
    // them). Only for stored text.
    const char* stored_end() const {
        return n_ == 0 ? chars_ : chars_ + (start(n_) - gap_) * kind_;
    }

    // How many characters lines i to the end hold, with the line ends kept
    // between them, or SIZE_MAX when the lines are items, whose sizes are
    // not known without looking at each.
    size_t chars_from(size_t i) const {
        if (i >= n_) return 0;  // an empty list of items may have no items pointer
        if (items_) return SIZE_MAX;
        return start(n_) - start(i);
    }

    // The same lines without their line numbers in the file.
    BlockLines unnumbered() const {
        BlockLines b = *this;
        b.first_file_line_ = -1;
        return b;
    }

    // The 1-based line number in the file of line i, or -1 when the lines
    // do not come from a file's text.
    int64_t file_line(size_t i) const { return first_file_line_ < 0 ? -1 : first_file_line_ + static_cast<int64_t>(i); }

  private:
    // first_not_passed, lines `from` to `to` of stored one-byte text, all
    // their starts in 32 bits when `Narrow`.
    template <bool Narrow, typename PassOver>
    [[gnu::always_inline]] size_t first_not_passed_in(size_t from, size_t to, PassOver& passes_over) const {
        const auto at = [&](size_t k) -> size_t {
            if constexpr (Narrow) {
                return narrow_starts_[k];
            } else {
                return start(k);
            }
        };
        size_t begin = at(from);
        for (size_t k = from; k < to; ++k) {
            const size_t next = at(k + 1);  // where the line ends, and the next one begins
            __builtin_prefetch(reinterpret_cast<const void*>(reinterpret_cast<uintptr_t>(chars_ + begin) +
                                                             kPrefetchAhead));  // as line() asks
            if (!passes_over(chars_ + begin, next - gap_ - begin)) return k;
            begin = next;
        }
        return to;
    }
    size_t start(size_t k) const {
        return k < narrow_ ? narrow_starts_[k] : static_cast<size_t>(wide_starts_[k - narrow_]);
    }

    static constexpr size_t kPrefetchAhead = 1024;
    const char* chars_ = nullptr;
    const uint32_t* narrow_starts_ = nullptr;
    const uint64_t* wide_starts_ = nullptr;
    size_t narrow_ = SIZE_MAX;
    const void* const* items_ = nullptr;
    ItemView view_ = nullptr;
    size_t n_ = 0;
    int64_t first_file_line_ = -1;
    uint8_t kind_ = 1;
    uint8_t gap_ = 0;
};

// One item of the list of blocks an operation reads.
struct BlockEntry {
    enum class State : uint8_t { lines, not_a_block, no_lines };
    State state = State::lines;
    int32_t block_id = 0;
    BlockLines lines;
};

using BlockSet = std::vector<BlockEntry>;

}  // namespace tremix::reading
