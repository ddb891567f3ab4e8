// One kind of value of a walk's records, in file order: written into room
// the caller gives (plain memory, such as the array the values end up in,
// so that they need no copy afterwards) or, when no room was given or the
// values outgrow it, held in a vector of the column's own. Values that
// outgrow the room move into the vector, so a room too small costs a copy,
// never values.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <type_traits>
#include <utility>
#include <vector>

namespace tremix::reading {

template <typename T>
class Column {
    static_assert(std::is_trivially_copyable_v<T>);

  public:
    Column() = default;
    Column(T* room, size_t capacity) : room_(room), capacity_(room ? capacity : 0) {}
    // A column never holds its room's memory: the caller keeps it alive
    // for as long as the column is written.
    Column(const Column&) = delete;
    Column& operator=(const Column&) = delete;
    Column(Column&& other) noexcept { *this = std::move(other); }
    Column& operator=(Column&& other) noexcept {
        if (this != &other) {
            room_ = std::exchange(other.room_, nullptr);
            size_ = std::exchange(other.size_, 0);
            capacity_ = std::exchange(other.capacity_, 0);
            spilled_ = std::exchange(other.spilled_, false);
            owned_ = std::move(other.owned_);
            other.owned_.clear();
        }
        return *this;
    }

    // Whether the values are in the room given (not in the column's vector).
    bool in_room() const { return room_ && !spilled_; }
    const T* room() const { return room_; }
    // Values the room given holds in all, whether used or not.
    size_t room_capacity() const { return in_room() ? capacity_ : 0; }

    size_t size() const { return in_room() ? size_ : owned_.size(); }
    bool empty() const { return size() == 0; }
    const T* data() const { return in_room() ? room_ : owned_.data(); }
    T* data() { return in_room() ? room_ : owned_.data(); }
    const T& operator[](size_t i) const { return data()[i]; }
    T& operator[](size_t i) { return data()[i]; }
    const T& back() const { return data()[size() - 1]; }
    const T* begin() const { return data(); }
    const T* end() const { return data() + size(); }

    void push_back(T value) {
        if (size_ < capacity_) {
            room_[size_++] = value;
        } else {
            spill(1);
            owned_.push_back(value);
        }
    }
    void append(const T* values, size_t n) {
        if (n <= capacity_ - size_) {
            if (n) std::memcpy(room_ + size_, values, n * sizeof(T));
            size_ += n;
        } else {
            spill(n);
            owned_.insert(owned_.end(), values, values + n);
        }
    }
    // Shrinks to `n` values, or grows to it with zeros.
    void resize(size_t n) {
        if (in_room() && n <= capacity_) {
            if (n > size_) std::memset(static_cast<void*>(room_ + size_), 0, (n - size_) * sizeof(T));
            size_ = n;
        } else {
            spill(n > size() ? n - size() : 0);
            owned_.resize(n);
        }
    }
    void clear() { resize(0); }
    // Room for `n` values in all, when they go to the vector; a room given
    // stays as it is.
    void reserve(size_t n) {
        if (!in_room()) owned_.reserve(n);
    }

    // The room from `at` on, as a column of its own for a later part of
    // the walk to write into while this one goes on in the room before
    // it. A column that cannot share its room that way (no room, values
    // past `at` already) gives a column without room.
    Column split_off(size_t at) {
        if (!in_room() || at < size_ || at > capacity_) return Column{};
        Column later(room_ + at, capacity_ - at);
        capacity_ = at;
        return later;
    }

    // Puts the values of `later` after this column's and takes back the
    // room split off for it; `later` is left empty. When the two rooms
    // were one, the values move down over the gap between them, if any.
    void join(Column&& later) {
        if (in_room() && later.room_ && later.room_ == room_ + capacity_) capacity_ += later.capacity_;
        const size_t n = later.size();
        const T* from = later.data();
        if (in_room() && n <= capacity_ - size_) {
            if (n && from != room_ + size_) std::memmove(room_ + size_, from, n * sizeof(T));
            size_ += n;
        } else if (n) {
            spill(n);
            owned_.insert(owned_.end(), from, from + n);
        }
        later = Column{};
    }

  private:
    // Makes the vector hold every value, with room for `extra` more.
    void spill(size_t extra) {
        if (!in_room()) return;
        std::vector<T> values;
        values.reserve(size_ + std::max(size_, extra));
        values.assign(room_, room_ + size_);
        owned_ = std::move(values);
        spilled_ = true;
        size_ = capacity_;  // the room takes no more values
    }

    T* room_ = nullptr;
    size_t size_ = 0;      // values in the room (its capacity once spilled)
    size_t capacity_ = 0;  // of the room
    bool spilled_ = false;
    std::vector<T> owned_;
};

}  // namespace tremix::reading
