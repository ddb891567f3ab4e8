#include "two_threads.hpp"

#include <algorithm>
#include <thread>

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

std::optional<Position> halfway_at_block(const BlockSet& blocks) {
    if (total_lines(blocks) < kMinLines || std::thread::hardware_concurrency() < 2) return std::nullopt;
    if (Context::readers().load(std::memory_order_relaxed) > 1) return std::nullopt;
    for (const BlockEntry& e : blocks) {
        if (e.state != BlockEntry::State::lines) return std::nullopt;
    }
    // The block boundary nearest the middle of the work.
    const size_t total = total_work(blocks);
    const auto off_middle = [&](size_t at) { return at > total / 2 ? at - total / 2 : total / 2 - at; };
    size_t best = 0, best_at = 0, passed = 0;
    for (size_t b = 1; b < blocks.size(); ++b) {
        passed += block_work(blocks[b - 1]);
        if (best == 0 || off_middle(passed) < off_middle(best_at)) {
            best = b;
            best_at = passed;
        }
    }
    // A quarter of the work at least on each side, or the thread is not worth it.
    if (best == 0 || std::min(best_at, total - best_at) < total / 4) return std::nullopt;
    return Position{best, 0};
}

bool worth_sharing_data(size_t lines) {
    return lines >= kMinLines / 5 && std::thread::hardware_concurrency() >= 2 &&
           Context::readers().load(std::memory_order_relaxed) <= 1;
}

size_t block_boundary_near(const BlockSet& blocks, size_t work) {
    for (const BlockEntry& e : blocks) {
        if (e.state != BlockEntry::State::lines) return blocks.size();
    }
    const auto off = [&](size_t at) { return at > work ? at - work : work - at; };
    size_t best = 0, passed = 0, best_off = off(0);
    for (size_t b = 0; b < blocks.size(); ++b) {
        passed += block_work(blocks[b]);
        if (off(passed) < best_off) {
            best = b + 1;
            best_off = off(passed);
        }
    }
    return best;
}

}  // namespace tremix::reading
