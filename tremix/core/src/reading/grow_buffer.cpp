#include "grow_buffer.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <utility>

#if defined(__linux__)
#include <sys/mman.h>
#define TREMIX_MREMAP 1
#endif

namespace tremix::reading {

namespace {

constexpr size_t kPage = size_t{1} << 21;  // huge page size on x86-64 and arm64
constexpr size_t kMinMapped = size_t{1} << 20;

size_t round_up(size_t n, size_t to) { return (n + to - 1) / to * to; }

#if TREMIX_MREMAP
// Mappings of buffers given up, kept for the buffers made next, as the C
// allocator keeps freed memory of moderate size: their pages are in place
// already, while fresh ones are cleared by the kernel at their first touch,
// which is most of what reading a file into a new buffer costs. At most
// kMostKept bytes in all are kept, the latest given up first; larger
// buffers go back to the system at once.
class KeptMappings {
  public:
    static constexpr size_t kMostKept = size_t{64} << 20;

    // Keeps the mapping; false when it is not kept (the caller unmaps it).
    // Mappings under a megabyte are not kept: clearing their few pages
    // costs little, and they would take the places of larger ones.
    bool put(void* p, size_t size) {
        if (size > kMostKept || size < kMinMapped) return false;
#if defined(TREMIX_SPOIL_KEPT_MAPPINGS)
        char* bytes = static_cast<char*>(p);
        size_t filled = std::min<size_t>(size, 5);
        std::memcpy(bytes, "1,\n\r-", filled);
        while (filled < size) {
            const size_t n = std::min(filled, size - filled);
            std::memcpy(bytes + filled, bytes, n);
            filled += n;
        }
#elif defined(MADV_FREE)
        // The kernel may still take the pages back when memory runs short:
        // they are then cleared at their next touch, as fresh ones are.
        madvise(p, size, MADV_FREE);
#endif
        std::lock_guard<std::mutex> lock(mutex_);
        while (count_ > 0 && (total_ + size > kMostKept || count_ == kSlots)) {
            // The one given up longest ago goes.
            munmap(slots_[0].p, slots_[0].size);
            total_ -= slots_[0].size;
            std::move(slots_ + 1, slots_ + count_, slots_);
            --count_;
        }
        slots_[count_++] = {p, size};
        total_ += size;
        return true;
    }
    // A kept mapping for a buffer of `needed` bytes: the smallest that
    // holds them, else the largest (to be extended); null when none is
    // kept, or all are over four times as large (they are kept for larger
    // buffers: a small one would hold their pages until it is cut to size).
    void* take(size_t needed, size_t& size) {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto better = [needed](const Slot& a, const Slot& b) {
            const bool a_fits = a.size >= needed, b_fits = b.size >= needed;
            if (a_fits != b_fits) return a_fits;
            return a_fits ? a.size < b.size : a.size > b.size;
        };
        size_t best = count_;
        for (size_t k = 0; k < count_; ++k) {
            if (slots_[k].size / 4 <= needed && (best == count_ || better(slots_[k], slots_[best]))) best = k;
        }
        if (best == count_) return nullptr;
        void* p = slots_[best].p;
        size = slots_[best].size;
        total_ -= size;
        std::move(slots_ + best + 1, slots_ + count_, slots_ + best);
        --count_;
        return p;
    }

  private:
    struct Slot {
        void* p;
        size_t size;
    };
    static constexpr size_t kSlots = 4;
    std::mutex mutex_;
    Slot slots_[kSlots]{};
    size_t count_ = 0;
    size_t total_ = 0;
};

KeptMappings& kept_mappings() {
    // Never destroyed: buffers may be given up while the process exits.
    static KeptMappings* kept = new KeptMappings;
    return *kept;
}
#endif

}  // namespace

GrowBuffer::~GrowBuffer() {
#if TREMIX_MREMAP
    if (mapped_) {
        if (!kept_mappings().put(data_, capacity_)) munmap(data_, capacity_);
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
    target = round_up(target, kPage);
    if (!data_ || mapped_) {
        void* p = MAP_FAILED;
        if (data_) {
            p = mremap(data_, capacity_, target, MREMAP_MAYMOVE);
        } else {
            size_t kept_size = 0;
            if (void* kept = kept_mappings().take(target, kept_size)) {
                if (kept_size >= target) {
                    data_ = static_cast<char*>(kept);
                    capacity_ = kept_size;
                    mapped_ = true;
                    return true;
                }
                // Extended in place or moved by the kernel, with its pages.
                p = mremap(kept, kept_size, target, MREMAP_MAYMOVE);
                if (p == MAP_FAILED) munmap(kept, kept_size);
            }
            if (p == MAP_FAILED) p = mmap(nullptr, target, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        }
        if (p != MAP_FAILED) {
#ifdef MADV_HUGEPAGE
            madvise(p, target, MADV_HUGEPAGE);
#endif
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

}  // namespace tremix::reading
