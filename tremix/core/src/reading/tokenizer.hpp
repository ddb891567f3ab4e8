// The field syntax of record lines. A line loses its trailing commas and
// its surrounding whitespace; if a comma is left anywhere, it splits at
// every comma (pieces stripped, empty pieces dropped), else at runs of
// whitespace. Fields are spans of the line; no text is copied.
#pragma once

#include <cstdint>
#include <memory>

#include "text.hpp"

namespace tremix::reading {

// The fields of a line, reused from line to line so that splitting
// allocates only when a line has more fields than any line before.
class FieldList {
  public:
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    Span operator[](size_t i) const { return data_[i]; }
    void clear() { size_ = 0; }
    void push_back(Span span) {
        if (size_ == capacity_) grow(size_ + 1);
        data_[size_++] = span;
    }
    // Room for `n` fields from the start, and for `n` positions of commas.
    Span* room(size_t n) {
        if (n > capacity_) grow(n);
        return data_.get();
    }
    uint32_t* positions(size_t n) {
        if (n > position_capacity_) {
            positions_.reset(new uint32_t[n]);
            position_capacity_ = n;
        }
        return positions_.get();
    }
    void resize(size_t n) { size_ = n; }

  private:
    void grow(size_t n) {
        size_t capacity = capacity_ ? 2 * capacity_ : 32;
        while (capacity < n) capacity *= 2;
        std::unique_ptr<Span[]> data(new Span[capacity]);
        for (size_t i = 0; i < size_; ++i) data[i] = data_[i];
        data_ = std::move(data);
        capacity_ = capacity;
    }
    std::unique_ptr<Span[]> data_;
    size_t size_ = 0;
    size_t capacity_ = 0;
    std::unique_ptr<uint32_t[]> positions_;
    size_t position_capacity_ = 0;
};

class Context;

// `out` is cleared first; it is meant to be reused from line to line. With
// a context, a very long line asks it every megabyte whether to go on;
// when told to stop, the split ends with no fields and the context holds
// the failure.
void split_fields(const TextView& line, FieldList& out, Context* ctx = nullptr);

// str.strip().
Span strip_span(const TextView& text);

// A title line: surrounding whitespace stripped, then trailing commas
// removed; "<NULL>" stands for no title and gives an empty span.
Span title_span(const TextView& text);

// Whether a line holds no field at all (blank, or only commas and blanks).
bool is_blank(const TextView& line);

}  // namespace tremix::reading
