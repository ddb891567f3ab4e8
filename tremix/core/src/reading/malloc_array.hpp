// A growable array of plain values in memory from malloc(), which it can
// hand over: an owner that frees with free() (a NumPy array) takes the
// values as they stand, without a copy into memory touched anew. Growing
// goes through realloc(), which for large blocks moves the pages rather
// than copying the values. Failures throw as std::vector's do.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>
#include <type_traits>
#include <utility>

namespace tremix::reading {

template <typename T>
class MallocArray {
    static_assert(std::is_trivially_copyable_v<T>);

  public:
    MallocArray() = default;
    ~MallocArray() { std::free(data_); }
    MallocArray(MallocArray&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)),
          size_(std::exchange(other.size_, 0)),
          capacity_(std::exchange(other.capacity_, 0)) {}
    MallocArray& operator=(MallocArray&& other) noexcept {
        if (this != &other) {
            std::free(data_);
            data_ = std::exchange(other.data_, nullptr);
            size_ = std::exchange(other.size_, 0);
            capacity_ = std::exchange(other.capacity_, 0);
        }
        return *this;
    }
    MallocArray(const MallocArray&) = delete;
    MallocArray& operator=(const MallocArray&) = delete;

    size_t size() const { return size_; }
    size_t capacity() const { return capacity_; }
    bool empty() const { return size_ == 0; }
    T* data() { return data_; }
    const T* data() const { return data_; }
    T& operator[](size_t i) { return data_[i]; }
    const T& operator[](size_t i) const { return data_[i]; }
    T* begin() { return data_; }
    T* end() { return data_ + size_; }
    const T* begin() const { return data_; }
    const T* end() const { return data_ + size_; }

    void push_back(T value) {
        if (size_ == capacity_) grow(size_ + 1);
        data_[size_++] = value;
    }
    void append(const T* values, size_t n) {
        if (n == 0) return;
        if (n > capacity_ - size_) grow(checked_sum(size_, n));
        std::memcpy(data_ + size_, values, n * sizeof(T));
        size_ += n;
    }
    // Shrinks to `n` values, or grows to it with zeros.
    void resize(size_t n) {
        if (n > capacity_) grow(n);
        if (n > size_) std::memset(static_cast<void*>(data_ + size_), 0, (n - size_) * sizeof(T));
        size_ = n;
    }
    void clear() { size_ = 0; }
    // Room for `n` values in all, asked for exactly.
    void reserve(size_t n) {
        if (n > capacity_) reallocate(n);
    }
    // Whether the room is at most an eighth larger than the values in it:
    // room an owner takes over with them rather than a copy (more would
    // keep address space the values never use).
    bool fills_room() const { return !empty() && snug(capacity_, size_); }
    // Appends `n` values; when the room would then not be filled, all of
    // them go into new room of their number instead, which an owner can
    // take over: one copy of them all rather than of these here and of all
    // again into the owner's memory.
    void append_filling(const T* values, size_t n) {
        if (n == 0) return;  // nothing to join (and no room of no values to ask malloc for)
        const size_t total = checked_sum(size_, n);
        if (capacity_ >= total && snug(capacity_, total)) {
            append(values, n);
            return;
        }
        MallocArray joined;
        joined.reallocate(total);
        joined.append(data_, size_);
        joined.append(values, n);
        *this = std::move(joined);
    }
    // The values' memory, now the caller's to free with free(); empty afterwards.
    T* release() {
        size_ = capacity_ = 0;
        return std::exchange(data_, nullptr);
    }

  private:
    static bool snug(size_t capacity, size_t size) { return capacity - size <= size / 8; }
    static size_t checked_sum(size_t a, size_t b) {
        if (b > max_size() - a) throw std::length_error("MallocArray");
        return a + b;
    }
    static constexpr size_t max_size() { return (SIZE_MAX / 2) / sizeof(T); }
    // Room for `needed` values at least, doubling so that pushing stays cheap.
    void grow(size_t needed) {
        if (needed > max_size()) throw std::length_error("MallocArray");  // doubling would never reach it
        size_t target = capacity_ < 8 ? 8 : capacity_;
        while (target < needed) target = target > max_size() / 2 ? max_size() : target * 2;
        reallocate(target);
    }
    void reallocate(size_t n) {
        if (n > max_size()) throw std::length_error("MallocArray");
        void* p = std::realloc(data_, n * sizeof(T));
        if (!p) throw std::bad_alloc();
        data_ = static_cast<T*>(p);
        capacity_ = n;
    }

    T* data_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
};

}  // namespace tremix::reading
