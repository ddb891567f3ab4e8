// What every extractor shares: walking the block list that get_blocks
// returned, reading a line of a block safely, and telling a record failure
// that is passed over (ValueError, IndexError) from one that ends the call.
//
// Python code can run during any allocation (a finalizer started by the
// garbage collector) and change the lists being walked, so nothing here
// keeps a borrowed reference across a call that allocates, and every index
// is checked against the list's current size.
#pragma once

#include <new>

#include "fields.hpp"
#include "numbers.hpp"
#include "parser.hpp"

namespace tremix {

// Walks a block list item by item, re-reading its size at every step.
class BlockWalker {
  public:
    // `block_list`: what get_blocks returned (a list, or None).
    explicit BlockWalker(PyObject* block_list) : list_(Ref::borrow(block_list)) {}

    // 1 with the next block's `lines` list (a new reference), 0 at the end,
    // -1 with TypeError for an item that is not a block or a block whose
    // lines are None.
    int next(Ref& lines);

  private:
    Ref list_;
    Py_ssize_t index_ = 0;
};

// A line of a block split into fields.
struct SplitLine {
    Ref str;            // keeps the buffer that `view` and `fields` point into
    StrView view{};
    FieldList fields;

    // Reads lines[index] (it must be exactly a str) and splits it. -1 with
    // IndexError when the list is shorter than `index`, TypeError for an
    // item that is not a str.
    int load(PyObject* lines, Py_ssize_t index);

    // Splits the line held in `str` (set by the caller) into `fields`.
    int split();

    size_t size() const { return fields.size(); }
    Conv to_int32(size_t i, int32_t& out) const { return field_to_int32(str.get(), view, fields[i], out); }
    Conv is_int(size_t i) const { return field_is_int(str.get(), view, fields[i]); }
    Conv to_double(size_t i, double& out) const { return field_to_double(str.get(), view, fields[i], out); }
    Conv parse_float(size_t i, double& out) const {
        return field_parse_float(str.get(), view, fields[i], out);
    }
    bool field_is(size_t i, const char* ascii) const { return span_equals_ascii(view, fields[i], ascii); }
};

// New reference to lines[index], which must be exactly a str.
PyObject* line_at(PyObject* lines, Py_ssize_t index);

// Current length of a block's line list.
inline Py_ssize_t line_count(PyObject* lines) { return PyList_GET_SIZE(lines); }

// After a record's protected section failed with an exception set: clears
// it and returns true when it is a ValueError or IndexError (or subclass),
// so the record is passed over; returns false, exception kept, otherwise.
bool absorb_record_failure();

// Outcome of one conversion inside a protected section.
enum class Step { Ok, Skip, Fail };
inline Step step_of(Conv c) {
    if (c == Conv::Ok) return Step::Ok;
    if (c == Conv::Invalid) return Step::Skip;
    return absorb_record_failure() ? Step::Skip : Step::Fail;
}

// Runs an extractor body that grows C++ containers, turning an exhausted
// allocator into MemoryError at the boundary to Python.
template <typename Body>
PyObject* with_memory_guard(Body&& body) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

// Walks the lines of every block that get_blocks(block_id) returns (the
// override rule applies), blocks in list order. For each block of n lines
// (n read once, when its walk starts) `on_block(n)` runs first; then
// `on_line(lines, n, i)` handles line i and returns how many lines to
// advance (a record's stride, or 1), or -1 with an exception set, which ends
// the walk. Returns 0, or -1 with an exception set.
template <typename OnBlock, typename OnLine>
int walk_block_lines(ParserObject* self, int32_t block_id, OnBlock&& on_block, OnLine&& on_line) {
    Ref blocks(call_get_blocks(self, block_id));
    if (!blocks) return -1;
    BlockWalker walker(blocks.get());
    Ref lines;
    int more;
    while ((more = walker.next(lines)) > 0) {
        const Py_ssize_t n = line_count(lines.get());
        on_block(n);
        for (Py_ssize_t i = 0; i < n;) {
            const Py_ssize_t advance = on_line(lines.get(), n, i);
            if (advance < 0) return -1;
            i += advance;
        }
    }
    return more;
}

template <typename OnLine>
int walk_block_lines(ParserObject* self, int32_t block_id, OnLine&& on_line) {
    return walk_block_lines(self, block_id, [](Py_ssize_t) {}, on_line);
}

}  // namespace tremix
