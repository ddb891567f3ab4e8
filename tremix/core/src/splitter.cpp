#include "splitter.hpp"

#include <cstring>
#include <vector>

#include "block.hpp"
#include "fields.hpp"
#include "numbers.hpp"

namespace tremix {

namespace {

// Line k of the text: [start, end) without its "\n".
struct Line {
    Py_ssize_t start;
    Py_ssize_t end;
};

template <typename Char>
class LineCursor {
  public:
    LineCursor(const Char* s, Py_ssize_t length) : s_(s), length_(length) {}

    // The line starting at `pos`; `pos` must be < length.
    Line line_at(Py_ssize_t pos) const {
        const Char* found = find_newline(s_ + pos, length_ - pos);
        return Line{pos, found ? found - s_ : length_};
    }
    // Start of the line after `line`, or length when it is the last.
    Py_ssize_t next(const Line& line) const { return line.end < length_ ? line.end + 1 : length_; }
    Py_ssize_t length() const { return length_; }

  private:
    static const Char* find_newline(const Char* p, Py_ssize_t n) {
        if constexpr (sizeof(Char) == 1) {
            return static_cast<const Char*>(std::memchr(p, '\n', static_cast<size_t>(n)));
        } else {
            for (Py_ssize_t i = 0; i < n; ++i) {
                if (p[i] == '\n') return p + i;
            }
            return nullptr;
        }
    }

    const Char* s_;
    Py_ssize_t length_;
};

// Owns the line objects of a block until they move into its list.
class PendingLines {
  public:
    ~PendingLines() { clear(); }
    void clear() {
        for (PyObject* o : items_) Py_DECREF(o);
        items_.clear();
    }
    int push(PyObject* owned) {
        if (!owned) return -1;
        try {
            items_.push_back(owned);
        } catch (const std::bad_alloc&) {
            Py_DECREF(owned);
            PyErr_NoMemory();
            return -1;
        }
        return 0;
    }
    PyObject* take_list() {
        PyObject* list = PyList_New(static_cast<Py_ssize_t>(items_.size()));
        if (!list) return nullptr;
        for (size_t i = 0; i < items_.size(); ++i) PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), items_[i]);
        items_.clear();
        return list;
    }

  private:
    std::vector<PyObject*> items_;
};

template <typename Char>
class Splitter {
  public:
    Splitter(PyObject* text, const Char* s, Py_ssize_t length, PyObject* delimiter, PyObject* blocks)
        : text_(text), s_(s), cursor_(s, length), view_(view_of(text)), delimiter_(view_of(delimiter)),
          ascii_(PyUnicode_IS_ASCII(text)), blocks_(blocks) {}

    int run() {
        Py_ssize_t pos = 0;
        const Py_ssize_t length = cursor_.length();
        while (pos < length) {
            const Line line = cursor_.line_at(pos);
            const Py_ssize_t after = cursor_.next(line);
            if (!is_delimiter(line)) {
                pos = after;
                continue;
            }
            if (after >= length) break;  // a delimiter on the last line opens nothing
            const Line id_line = cursor_.line_at(after);
            const Field id_text = strip_span(sub_view(id_line));
            if (span_equals(id_line, id_text, "-1")) {
                pos = after;  // a closing delimiter followed by an opening one
                continue;
            }
            int32_t block_id = 0;
            const Field id_field{id_line.start + id_text.start, id_text.length};
            const Conv c = field_to_int32(text_, view_, id_field, block_id);
            if (c == Conv::Error) return -1;
            if (c == Conv::Invalid) {
                pos = after;  // no block: the id line is examined like any other
                continue;
            }
            pos = collect_block(cursor_.next(id_line));
            if (pos < 0) return -1;
            if (store_block(block_id) < 0) return -1;
        }
        return 0;
    }

  private:
    StrView sub_view(const Line& line) const {
        return StrView{view_.kind, s_ + line.start, line.end - line.start};
    }

    bool span_equals(const Line& line, Field span, const char* ascii) const {
        return span_equals_ascii(sub_view(line), span, ascii);
    }

    bool is_delimiter(const Line& line) const {
        const Py_ssize_t n = line.end - line.start;
        if (n != delimiter_.length) return false;
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (static_cast<Py_UCS4>(s_[line.start + i]) != delimiter_.at(i)) return false;
        }
        return true;
    }

    PyObject* make_line(const Line& line) const {
        const Py_ssize_t n = line.end - line.start;
        if (ascii_) {
            // Every slice of ASCII text is ASCII: skip the widest-character scan.
            PyObject* str = PyUnicode_New(n, 127);
            if (str) std::memcpy(PyUnicode_DATA(str), s_ + line.start, static_cast<size_t>(n));
            return str;
        }
        return PyUnicode_FromKindAndData(view_.kind, s_ + line.start, n);
    }

    // Gathers the data lines from `pos` up to the closing delimiter or the
    // end of the text; returns the position after the closing delimiter.
    Py_ssize_t collect_block(Py_ssize_t pos) {
        pending_.clear();
        const Py_ssize_t length = cursor_.length();
        while (pos < length) {
            const Line line = cursor_.line_at(pos);
            const Py_ssize_t after = cursor_.next(line);
            if (is_delimiter(line)) return after;
            if (pending_.push(make_line(line)) < 0) return -1;
            pos = after;
        }
        return length;
    }

    int store_block(int32_t block_id) {
        Ref lines(pending_.take_list());
        if (!lines) return -1;
        Ref block(new_block(block_id, lines.release()));
        if (!block) return -1;
        Ref key(PyLong_FromLong(block_id));
        if (!key) return -1;
        PyObject* found = PyDict_GetItemWithError(blocks_, key.get());
        Ref list = Ref::borrow(found);
        if (!list) {
            if (PyErr_Occurred()) return -1;
            list = Ref(PyList_New(0));
            if (!list || PyDict_SetItem(blocks_, key.get(), list.get()) < 0) return -1;
        }
        if (PyList_CheckExact(list.get())) return PyList_Append(list.get(), block.get());
        Ref appended(PyObject_CallMethod(list.get(), "append", "O", block.get()));
        return appended ? 0 : -1;
    }

    PyObject* text_;
    const Char* s_;
    LineCursor<Char> cursor_;
    StrView view_;
    StrView delimiter_;
    bool ascii_;
    PyObject* blocks_;
    PendingLines pending_;
};

template <typename Char>
int split_typed(PyObject* text, PyObject* delimiter, PyObject* blocks) {
    Splitter<Char> splitter(text, static_cast<const Char*>(PyUnicode_DATA(text)), PyUnicode_GET_LENGTH(text),
                            delimiter, blocks);
    return splitter.run();
}

}  // namespace

int split_into_blocks(PyObject* text, PyObject* delimiter, PyObject* blocks) {
    if (!PyUnicode_Check(text)) {
        PyErr_Format(PyExc_TypeError, "file text must be a str, not %.200s", Py_TYPE(text)->tp_name);
        return -1;
    }
    if (!PyUnicode_Check(delimiter)) {
        PyErr_Format(PyExc_TypeError, "block delimiter must be a str, not %.200s", Py_TYPE(delimiter)->tp_name);
        return -1;
    }
    if (!PyDict_Check(blocks)) {
        PyErr_Format(PyExc_TypeError, "blocks must be a dict, not %.200s", Py_TYPE(blocks)->tp_name);
        return -1;
    }
    Ref keep_text = Ref::borrow(text);
    Ref keep_delimiter = Ref::borrow(delimiter);
    Ref keep_blocks = Ref::borrow(blocks);
    switch (PyUnicode_KIND(text)) {
        case PyUnicode_1BYTE_KIND:
            return split_typed<Py_UCS1>(text, delimiter, blocks);
        case PyUnicode_2BYTE_KIND:
            return split_typed<Py_UCS2>(text, delimiter, blocks);
        default:
            return split_typed<Py_UCS4>(text, delimiter, blocks);
    }
}

}  // namespace tremix
