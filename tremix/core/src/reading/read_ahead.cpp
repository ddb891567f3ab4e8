#include "read_ahead.hpp"

#include <algorithm>
#include <chrono>
#include <thread>

#include "context.hpp"
#include "descriptor.hpp"

#if defined(__unix__) || defined(__APPLE__)
#include <unistd.h>
#define TREMIX_READ_AHEAD 1
#endif

namespace tremix::reading {

namespace {

// Below this many bytes a thread costs more than it saves. A test build
// may lower it, so that short files are read this way too.
#ifndef TREMIX_MIN_READ_AHEAD
#define TREMIX_MIN_READ_AHEAD (size_t{4} << 20)
#endif
constexpr size_t kWorthIt = TREMIX_MIN_READ_AHEAD;

// How long the first thread waits before it looks for an interruption.
constexpr auto kPatience = std::chrono::milliseconds(20);

}  // namespace

ReadAhead::ReadAhead(int fd, uint64_t at, char* base, size_t from, size_t limit, size_t piece, int readers)
    : filled_(from) {
#if TREMIX_READ_AHEAD
    if (limit <= from || limit - from < kWorthIt || readers > 1 || std::thread::hardware_concurrency() < 2) return;
    try {
        worker_ = HelperThread([=, this] { run(fd, at - from, base, from, limit, piece); });
    } catch (...) {
        // Only slower: the first thread reads it all.
    }
#else
    (void)fd, (void)at, (void)base, (void)limit, (void)piece, (void)readers;
#endif
}

// Byte k of `base` is the file's byte offset + k.
void ReadAhead::run(int fd, uint64_t offset, char* base, size_t at, size_t limit, size_t piece) {
#if TREMIX_READ_AHEAD
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stop_) break;
        }
        const size_t room = std::min(piece, limit - at);
        if (room == 0) break;
        // Another operation has started since: the cores are taken, and the
        // first thread reads on by itself rather than share one with it.
        if (Context::readers().load(std::memory_order_relaxed) > 1) break;
        const ssize_t n = ::pread(fd, base + at, room, static_cast<off_t>(offset + at));
        if (n <= 0) break;  // the end, or what the first thread meets again when it reads on
        descriptor_bytes_read().fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed);
        at += static_cast<size_t>(n);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            filled_ = at;
        }
        changed_.notify_one();
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ended_ = true;
    }
    changed_.notify_one();
#else
    (void)fd, (void)offset, (void)base, (void)at, (void)limit, (void)piece;
#endif
}

// In a child forked while the second thread read, that thread is gone and
// its lock may have been held at the fork: its last count stands.
size_t ReadAhead::wait_beyond(size_t seen, bool& ended) {
    if (worker_.lost()) return filled(ended);
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, kPatience, [&] { return filled_ > seen || ended_; });
    ended = ended_;
    return filled_;
}

size_t ReadAhead::filled(bool& ended) {
    if (worker_.lost()) {
        ended = true;
        return filled_;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    ended = ended_;
    return filled_;
}

size_t ReadAhead::stop() {
    if (worker_.lost()) {
        worker_.join();
        return filled_;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    if (worker_.joinable()) worker_.join();
    std::lock_guard<std::mutex> lock(mutex_);
    return filled_;
}

}  // namespace tremix::reading
