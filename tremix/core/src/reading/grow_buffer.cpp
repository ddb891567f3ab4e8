#include "grow_buffer.hpp"

#include <algorithm>
#include <cstdlib>
#include <utility>

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#define TREMIX_MREMAP 1
#endif

namespace tremix::reading {

namespace {

// Mappings grow in steps of 2 MB at least. They are left to small pages:
// on virtual machines whose host takes back the memory a guest frees, the
// first touch of a huge page costs several times what its small pages do
// (128 MB touched a second after other memory was freed: 240 to 330 ms in
// huge pages, 40 ms in small ones), and a file is read once.
constexpr size_t kStep = size_t{1} << 21;
constexpr size_t kMinMapped = size_t{1} << 20;
// Up to this, room of a known size comes from malloc(). 64-bit glibc keeps
// freed memory for reuse up to 32 MB a request (the highest its threshold
// for mapping a request of its own rises to); room beyond it would be
// mapped and given back at once either way. A test build may lower it,
// so that small files take both ways.
#ifndef TREMIX_MOST_ALLOCATED_ROOM
#define TREMIX_MOST_ALLOCATED_ROOM (size_t{32} << 20)
#endif
constexpr size_t kMostAllocated = TREMIX_MOST_ALLOCATED_ROOM;
// Room past the end of allocated memory is given back only when it is
// worth a call: shrinking by a few bytes would leave a request the
// allocator no longer serves from the memory freed for the same file.
constexpr size_t kWorthGivingBack = size_t{1} << 16;

size_t round_up(size_t n, size_t to) { return (n + to - 1) / to * to; }

#if TREMIX_MREMAP
// The kernel's page: 4 KB on x86-64, 16 or 64 KB on some aarch64 kernels.
// madvise() works on whole pages, so a range it is given must be made of
// them, or it would reach bytes beyond the range.
uintptr_t small_page() {
    static const uintptr_t size = [] {
        const long n = sysconf(_SC_PAGESIZE);
        return n > 0 ? static_cast<uintptr_t>(n) : uintptr_t{4096};
    }();
    return size;
}

// The whole pages within [from, to), or those that hold any of its bytes.
struct Pages {
    uintptr_t first, last;
};
Pages pages_within(const char* from, const char* to) {
    const auto a = reinterpret_cast<uintptr_t>(from), b = reinterpret_cast<uintptr_t>(to);
    const uintptr_t page = small_page();
    return {round_up(a, page), b / page * page};
}
#if defined(MADV_POPULATE_WRITE)
Pages pages_holding(const char* from, const char* to) {
    const auto a = reinterpret_cast<uintptr_t>(from), b = reinterpret_cast<uintptr_t>(to);
    const uintptr_t page = small_page();
    return {a / page * page, round_up(b, page)};
}
#endif
#endif

}  // namespace

GrowBuffer::~GrowBuffer() {
#if TREMIX_MREMAP
    if (mapped_) {
        munmap(data_, capacity_);
        return;
    }
#endif
    std::free(data_);
}

GrowBuffer::GrowBuffer(GrowBuffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)),
      mapped_(std::exchange(other.mapped_, false)) {}

GrowBuffer& GrowBuffer::operator=(GrowBuffer&& other) noexcept {
    if (this != &other) {
        GrowBuffer old(std::move(*this));
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
        capacity_ = std::exchange(other.capacity_, 0);
        mapped_ = std::exchange(other.mapped_, false);
    }
    return *this;
}

bool GrowBuffer::reserve_whole(size_t total) {
    if (data_) return reserve(total);
    if (total > kMostAllocated) return grow(total);
    void* p = std::malloc(total ? total : 1);
    if (!p) return false;
    data_ = static_cast<char*>(p);
    capacity_ = total;
    return true;
}

bool GrowBuffer::grow(size_t needed) {
    if (needed < size_) return false;  // wrapped around
    size_t target = capacity_ ? capacity_ : kMinMapped;
    while (target < needed) {
        if (target > SIZE_MAX / 2) return false;
        target *= 2;
    }
#if TREMIX_MREMAP
    target = round_up(target, kStep);
    if (!data_ || mapped_) {
        void* p;
        if (!data_) {
            p = mmap(nullptr, target, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        } else {
            p = mremap(data_, capacity_, target, MREMAP_MAYMOVE);
        }
        if (p != MAP_FAILED) {
            data_ = static_cast<char*>(p);
            capacity_ = target;
            mapped_ = true;
            return true;
        }
        if (data_) return false;
    }
#endif
    void* p = std::realloc(data_, target);
    if (!p) return false;
    data_ = static_cast<char*>(p);
    capacity_ = target;
    return true;
}

void GrowBuffer::shrink_to_fit() {
#if TREMIX_MREMAP
    if (mapped_) {
        const size_t keep = round_up(size_ ? size_ : 1, small_page());
        if (keep < capacity_) {
            void* p = mremap(data_, capacity_, keep, 0);
            if (p != MAP_FAILED) capacity_ = keep;
        }
        return;
    }
#endif
    if (size_ && capacity_ - size_ >= kWorthGivingBack) {
        if (void* p = std::realloc(data_, size_)) {
            data_ = static_cast<char*>(p);
            capacity_ = size_;
        }
    }
}

// Pages wholly within the buffer are its own, also where they came from
// malloc(): the allocator keeps nothing of its own inside them.
void GrowBuffer::forget(size_t from, size_t to) {
#if TREMIX_MREMAP
    if (from >= std::min(to, size_)) return;
    const Pages pages = pages_within(data_ + from, data_ + std::min(to, size_));
    if (pages.last > pages.first) {
        madvise(reinterpret_cast<void*>(pages.first), pages.last - pages.first, MADV_DONTNEED);
    }
#else
    (void)from, (void)to;
#endif
}

// Pages that hold the buffer's bytes are mapped and writable, also where a
// neighbour of malloc()'s shares them, and are left holding what they hold.
bool GrowBuffer::provide(size_t from, size_t to) {
#if TREMIX_MREMAP && defined(MADV_POPULATE_WRITE)
    to = std::min(to, capacity_);
    if (from >= to) return true;
    const Pages pages = pages_holding(data_ + from, data_ + to);
    return madvise(reinterpret_cast<void*>(pages.first), pages.last - pages.first, MADV_POPULATE_WRITE) == 0;
#else
    (void)from, (void)to;
    return false;
#endif
}

}  // namespace tremix::reading
