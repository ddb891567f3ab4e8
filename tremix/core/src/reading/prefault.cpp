#include "prefault.hpp"

#include "context.hpp"

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace tremix::reading {

namespace {

constexpr size_t kStep = size_t{1} << 21;        // a huge page
constexpr size_t kWorthIt = size_t{16} << 20;  // below this a thread costs more than it saves

}  // namespace

Prefault::Prefault(char* base, size_t length, int readers) {
#if defined(__linux__) && defined(MADV_POPULATE_WRITE)
    if (length < kWorthIt || readers > 1 || std::thread::hardware_concurrency() < 2) return;
    try {
        worker_ = std::thread([this, base, length] { run(base, length); });
    } catch (...) {
        // Only slower: the reading touches its pages itself.
    }
#else
    (void)base, (void)length, (void)readers;
#endif
}

Prefault::~Prefault() { stop(); }

void Prefault::stop() {
    stop_.store(true, std::memory_order_relaxed);
    if (worker_.joinable()) worker_.join();
}

void Prefault::run(char* base, size_t length) {
#if defined(__linux__) && defined(MADV_POPULATE_WRITE)
    // Steps start on huge-page boundaries of the buffer, which starts on one.
    size_t at = 0;
    // Another operation started meanwhile has the second processor.
    while (!stop_.load(std::memory_order_relaxed) && Context::readers().load(std::memory_order_relaxed) <= 1) {
        // A page the reading is at or near is left to it.
        const size_t ahead = reached_.load(std::memory_order_relaxed) + kStep;
        if (at < ahead) at = (ahead + kStep - 1) / kStep * kStep;
        if (at >= length) return;
        const size_t n = length - at < kStep ? length - at : kStep;
        if (madvise(base + at, n, MADV_POPULATE_WRITE) != 0) return;
        at += n;
    }
#else
    (void)base, (void)length;
#endif
}

}  // namespace tremix::reading
