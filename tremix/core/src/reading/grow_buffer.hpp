// A byte buffer that grows without copying and without holding the old
// and the new storage at once: on Linux its pages are mapped directly and
// the mapping is extended in place or moved by the kernel (mremap), so a
// buffer the size of a large file never needs twice that memory while it
// grows. Elsewhere it falls back to realloc. Room of a known size that is
// not large is taken from malloc() instead (see `reserve_whole`).
#pragma once

#include <cstddef>
#include <cstdint>

namespace tremix::reading {

class GrowBuffer {
  public:
    GrowBuffer() = default;
    ~GrowBuffer();
    GrowBuffer(const GrowBuffer&) = delete;
    GrowBuffer& operator=(const GrowBuffer&) = delete;
    GrowBuffer(GrowBuffer&& other) noexcept;
    GrowBuffer& operator=(GrowBuffer&& other) noexcept;

    char* data() { return data_; }
    const char* data() const { return data_; }
    size_t size() const { return size_; }
    size_t capacity() const { return capacity_; }

    // Makes room for `extra` more bytes; false when memory is exhausted.
    // Addresses into the buffer may change.
    bool reserve_more(size_t extra) { return size_ + extra <= capacity_ || grow(size_ + extra); }
    // Reserves virtual room for `total` bytes up front (no memory is used
    // until it is written).
    bool reserve(size_t total) { return total <= capacity_ || grow(total); }
    // Room for `total` bytes in an empty buffer, for text of a known size
    // that will fill it. Room of at most 32 MB comes from malloc(), which
    // keeps memory the process freed for the next request of its size: a
    // script that reads file after file then writes each into pages it
    // already has, rather than into pages the kernel must clear anew.
    // Larger room is mapped, as `reserve` maps it.
    bool reserve_whole(size_t total);
    // The size after writing into reserved room.
    void resize(size_t size) { size_ = size; }
    // Gives back the reserved room past the end.
    void shrink_to_fit();
    // Gives back the memory of the whole pages within bytes [from, to),
    // which are read no more (where the pages are mapped directly).
    void forget(size_t from, size_t to);
    // Has the kernel provide the pages of reserved bytes [from, to) now,
    // without changing what they hold, so that writing them later costs
    // no fault; false where that cannot be done.
    bool provide(size_t from, size_t to);

  private:
    bool grow(size_t needed);
    char* data_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
    bool mapped_ = false;
};

}  // namespace tremix::reading
