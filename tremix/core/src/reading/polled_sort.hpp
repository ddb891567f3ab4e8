// Sorting that a signal can stop: millions of items take longer than the
// context may go without asking its host.
#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

#include "context.hpp"

namespace tremix::reading {

// Sorts `items` by `less` (not stably) in pieces, asking the context after
// each piece and after each merge of two sorted runs: false when it was
// interrupted, the items then in some order.
template <typename T, typename Less>
bool sort_polling(Context& ctx, std::vector<T>& items, Less less) {
    constexpr size_t kPiece = size_t{1} << 18;
    const size_t n = items.size();
    const auto at = [&](size_t k) { return items.begin() + static_cast<std::ptrdiff_t>(std::min(k, n)); };
    for (size_t k = 0; k < n; k += kPiece) {
        std::sort(at(k), at(k + kPiece), less);
        if (n > kPiece && !ctx.poll()) return false;
    }
    for (size_t width = kPiece; width < n; width *= 2) {
        for (size_t k = 0; k + width < n; k += 2 * width) {
            std::inplace_merge(at(k), at(k + width), at(k + 2 * width), less);
            if (!ctx.poll()) return false;
        }
    }
    return true;
}

}  // namespace tremix::reading
