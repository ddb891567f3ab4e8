#include "grow_buffer.hpp"

#include <algorithm>
#include <cstdlib>
#include <utility>

#if defined(__linux__)
#include <sys/mman.h>
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

size_t round_up(size_t n, size_t to) { return (n + to - 1) / to * to; }

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
        const size_t keep = round_up(size_ ? size_ : 1, size_t{4096});
        if (keep < capacity_) {
            void* p = mremap(data_, capacity_, keep, 0);
            if (p != MAP_FAILED) capacity_ = keep;
        }
        return;
    }
#endif
    if (size_ && size_ < capacity_) {
        if (void* p = std::realloc(data_, size_)) {
            data_ = static_cast<char*>(p);
            capacity_ = size_;
        }
    }
}

void GrowBuffer::forget(size_t from, size_t to) {
#if TREMIX_MREMAP
    constexpr size_t kSmallPage = 4096;
    const size_t first = round_up(from, kSmallPage);
    const size_t last = std::min(to, size_) / kSmallPage * kSmallPage;
    if (mapped_ && last > first) madvise(data_ + first, last - first, MADV_DONTNEED);
#else
    (void)from, (void)to;
#endif
}

bool GrowBuffer::provide(size_t from, size_t to) {
#if TREMIX_MREMAP && defined(MADV_POPULATE_WRITE)
    constexpr size_t kSmallPage = 4096;
    const size_t first = from / kSmallPage * kSmallPage;
    const size_t last = std::min(round_up(to, kSmallPage), capacity_);
    if (!mapped_) return false;
    if (last <= first) return true;
    return madvise(data_ + first, last - first, MADV_POPULATE_WRITE) == 0;
#else
    (void)from, (void)to;
    return false;
#endif
}

}  // namespace tremix::reading
