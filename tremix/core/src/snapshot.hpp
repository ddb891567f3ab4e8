// The blocks an operation reads, taken from the list that get_blocks
// returned, as the reading core sees them: stored text where a block has
// it, otherwise a private copy of its list of lines (the str objects stay
// alive and unchanged while the core reads them without the interpreter
// lock). The core then reads a consistent snapshot, whatever other threads
// or Python code run meanwhile do to the blocks.
//
// Items that are not blocks, and blocks without lines, are kept as such:
// the walk reports them when it reaches them, after the blocks before them.
#pragma once

#include <vector>

#include "pyref.hpp"
#include "reading/lines.hpp"
#include "reading/outcome.hpp"
#include "stored_text.hpp"

namespace tremix {

class BlockSnapshot {
  public:
    BlockSnapshot() = default;
    BlockSnapshot(const BlockSnapshot&) = delete;
    BlockSnapshot& operator=(const BlockSnapshot&) = delete;

    // Takes the items of `block_list` (what get_blocks returned). -1 with
    // TypeError when it is not a list.
    int take(PyObject* block_list);
    // Adds the items of one more list (the 451 blocks after the 1051 ones).
    int add(PyObject* block_list);
    // A single list of lines, as one block.
    int take_lines(PyObject* lines);
    // Only the item at `index` of `block_list`, as the one block (none when
    // the list is shorter): the other blocks' lines are not copied.
    int take_item(PyObject* block_list, size_t index);

    const reading::BlockSet& blocks() const { return set_; }
    size_t size() const { return set_.size(); }
    // Whether the core's work is long enough to let other threads run.
    bool worth_releasing() const { return weight_ > (1u << 16); }

    // The item at `index` (borrowed; alive as long as the snapshot).
    PyObject* item(size_t index) const { return items_.objects_[index]; }
    // Line `line` of list-backed block `index`, or null (borrowed).
    PyObject* line_object(size_t index, size_t line) const;
    // Whether item `index` is the block the file ended inside (its stored
    // text, or the list made from it), as it was when taken.
    bool ends_file(size_t index) const { return index < ends_file_.size() && ends_file_[index]; }
    // The stored text item `index` was taken from, or null for its lines list.
    const reading::FileText* text_of(size_t index) const {
        return index < text_of_.size() ? text_of_[index] : nullptr;
    }

  private:
    // Owned references, released with the snapshot. Copying a list's items
    // into one makes no Python object, so no Python code can run (and
    // change the list) half-way through the copy.
    class Refs {
      public:
        Refs() = default;
        Refs(Refs&& other) noexcept : objects_(std::move(other.objects_)) {}
        Refs(const Refs&) = delete;
        ~Refs() { clear(); }
        void clear();
        // Copies the current items of `list`; the list is held meanwhile.
        void copy(PyObject* list);
        std::vector<PyObject*> objects_;
    };

    static int check_list(PyObject* block_list);
    int add_item(PyObject* item);
    int add_list(PyObject* lines, int32_t block_id);
    void reset();

    reading::BlockSet set_;
    Refs items_;                          // the block objects, in order
    std::vector<Refs> copies_;            // copies of line lists, by block (empty for others)
    std::vector<SharedText> texts_;       // stored texts read
    std::vector<bool> ends_file_;         // by item: the block the file ended inside
    std::vector<const reading::FileText*> text_of_;  // by item: its stored text (held in texts_), or null
    size_t weight_ = 0;
};

// Sets the Python exception that a core failure stands for. `path` is the
// parser's file path (str) or null; it goes into the note of an
// OverflowError, with the block and line.
void raise_failure(const reading::Failure& failure, const BlockSnapshot& snapshot, class PyHost& host,
                   PyObject* path);

// Adds a PEP 678 note to the exception that is set (keeps it otherwise).
void add_note(const char* format, ...);

}  // namespace tremix
