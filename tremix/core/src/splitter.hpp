// Splitting a file's text into numbered blocks.
//
// The text arrives in chunks (the file is read piece by piece, so the whole
// text never has to sit in memory at once); lines are assembled across chunk
// boundaries and fed one by one to the block grammar:
//   - a block opens with a delimiter line (exactly the delimiter text);
//   - the next line holds its number: stripped, "-1" or text that int()
//     rejects opens nothing, and that line is examined again as an ordinary
//     line; a number outside the signed 32-bit range is an OverflowError;
//   - data lines follow up to the next delimiter line or the end of the text.
// Blocks are staged in file order and only filed into the blocks map by
// `commit`, after the whole text has been read, so a reading error leaves
// the map untouched.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "fields.hpp"

namespace tremix {

class BlockSplitter {
  public:
    explicit BlockSplitter(PyObject* delimiter);
    ~BlockSplitter();
    BlockSplitter(const BlockSplitter&) = delete;
    BlockSplitter& operator=(const BlockSplitter&) = delete;

    // Feeds the next piece of text. Returns -1 on a failure that must end
    // reading at once (MemoryError, ...). A block number out of range does
    // not fail here: it stops the splitting and is reported by `finish`.
    int feed(PyObject* chunk);

    // End of text: closes an open block. Returns -1 with the deferred
    // OverflowError (or another error) set.
    int finish();

    // Files the staged blocks into `blocks`, in file order.
    int commit(PyObject* blocks);

  private:
    enum class State { Outside, AfterDelimiter, InBlock };

    struct LineText {
        StrView view;
        bool ascii;
        PyObject* whole;  // a str holding exactly this line, or null
    };

    template <typename Char>
    int feed_typed(PyObject* chunk, const Char* s, Py_ssize_t length);
    int join_carry(PyObject* chunk, Py_ssize_t head_length);
    int on_line(const LineText& line);
    bool is_delimiter(const LineText& line) const;
    PyObject* make_line(const LineText& line) const;
    int stage_block();

    Ref delimiter_;
    StrView delimiter_view_{};
    State state_ = State::Outside;
    int32_t block_id_ = 0;
    std::vector<PyObject*> pending_;                    // data lines of the open block (owned)
    std::vector<std::pair<int32_t, PyObject*>> staged_;  // finished blocks (owned)
    std::vector<PyObject*> carry_;                      // pieces of a line cut by a chunk end (owned)
    bool stopped_ = false;                              // a block number overflowed
    PyObject* deferred_type_ = nullptr;
    PyObject* deferred_value_ = nullptr;
    PyObject* deferred_traceback_ = nullptr;
};

}  // namespace tremix
