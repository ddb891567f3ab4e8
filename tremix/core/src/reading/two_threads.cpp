#include "two_threads.hpp"

namespace tremix::reading {

namespace {

// Below this many lines a second thread costs more than it saves. A test
// build may lower it to share small walks.
#ifndef TREMIX_MIN_SHARED_LINES
#define TREMIX_MIN_SHARED_LINES 100000
#endif
constexpr size_t kMinLines = TREMIX_MIN_SHARED_LINES;

}  // namespace

std::optional<Position> halfway(const BlockSet& blocks, size_t stride) {
    const size_t total = total_lines(blocks);
    if (total < kMinLines || std::thread::hardware_concurrency() < 2) return std::nullopt;
    // Another operation under way besides this one: the cores are taken.
    if (Context::readers().load(std::memory_order_relaxed) > 1) return std::nullopt;
    size_t remaining = total / 2;
    for (size_t b = 0; b < blocks.size(); ++b) {
        if (blocks[b].state != BlockEntry::State::lines) return std::nullopt;
        const size_t n = blocks[b].lines.size();
        if (remaining < n) {
            const size_t line = remaining / stride * stride;
            if (line == 0) return std::nullopt;
            return Position{b, line};
        }
        remaining -= n;
    }
    return std::nullopt;
}

}  // namespace tremix::reading
