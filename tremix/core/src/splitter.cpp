#include "splitter.hpp"

#include <cstring>
#include <new>

#include "block.hpp"
#include "module_state.hpp"
#include "numbers.hpp"

namespace tremix {

namespace {

void release_all(std::vector<PyObject*>& objects) {
    for (PyObject* o : objects) Py_DECREF(o);
    objects.clear();
}

template <typename Char>
const Char* find_newline(const Char* p, Py_ssize_t n) {
    if constexpr (sizeof(Char) == 1) {
        return static_cast<const Char*>(std::memchr(p, '\n', static_cast<size_t>(n)));
    } else {
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (p[i] == '\n') return p + i;
        }
        return nullptr;
    }
}

int push_owned(std::vector<PyObject*>& to, PyObject* owned) {
    if (!owned) return -1;
    try {
        to.push_back(owned);
    } catch (const std::bad_alloc&) {
        Py_DECREF(owned);
        PyErr_NoMemory();
        return -1;
    }
    return 0;
}

}  // namespace

BlockSplitter::BlockSplitter(PyObject* delimiter) : delimiter_(Ref::borrow(delimiter)) {
    delimiter_view_ = view_of(delimiter);
}

BlockSplitter::~BlockSplitter() {
    release_all(pending_);
    release_all(carry_);
    for (auto& staged : staged_) Py_XDECREF(staged.second);
    Py_XDECREF(deferred_type_);
    Py_XDECREF(deferred_value_);
    Py_XDECREF(deferred_traceback_);
}

int BlockSplitter::feed(PyObject* chunk) {
    if (stopped_) return 0;  // only reading goes on, to report its own errors first
    switch (PyUnicode_KIND(chunk)) {
        case PyUnicode_1BYTE_KIND:
            return feed_typed(chunk, PyUnicode_1BYTE_DATA(chunk), PyUnicode_GET_LENGTH(chunk));
        case PyUnicode_2BYTE_KIND:
            return feed_typed(chunk, PyUnicode_2BYTE_DATA(chunk), PyUnicode_GET_LENGTH(chunk));
        default:
            return feed_typed(chunk, PyUnicode_4BYTE_DATA(chunk), PyUnicode_GET_LENGTH(chunk));
    }
}

template <typename Char>
int BlockSplitter::feed_typed(PyObject* chunk, const Char* s, Py_ssize_t length) {
    const bool ascii = PyUnicode_IS_ASCII(chunk);
    const int kind = static_cast<int>(PyUnicode_KIND(chunk));
    Py_ssize_t pos = 0;
    if (!carry_.empty()) {
        const Char* nl = find_newline(s, length);
        if (!nl) {
            // The line goes on past this chunk as well.
            return push_owned(carry_, new_ref(chunk));
        }
        if (join_carry(chunk, nl - s) < 0) return -1;
        pos = (nl - s) + 1;
        if (stopped_) return 0;
    }
    while (pos < length) {
        const Char* nl = find_newline(s + pos, length - pos);
        if (!nl) {
            // A line cut by the end of the chunk: keep its start for the next one.
            Ref tail(PyUnicode_Substring(chunk, pos, length));
            return tail ? push_owned(carry_, tail.release()) : -1;
        }
        const Py_ssize_t end = nl - s;
        const LineText line{StrView{kind, s + pos, end - pos}, ascii, nullptr};
        if (on_line(line) < 0) return -1;
        if (stopped_) return 0;
        pos = end + 1;
    }
    return 0;
}

// Completes the line whose start was carried over, with the first
// `head_length` characters of `chunk`.
int BlockSplitter::join_carry(PyObject* chunk, Py_ssize_t head_length) {
    Ref head(PyUnicode_Substring(chunk, 0, head_length));
    if (!head || push_owned(carry_, head.release()) < 0) return -1;
    Ref pieces(PyList_New(static_cast<Py_ssize_t>(carry_.size())));
    if (!pieces) return -1;
    for (size_t i = 0; i < carry_.size(); ++i) {
        PyList_SET_ITEM(pieces.get(), static_cast<Py_ssize_t>(i), carry_[i]);
    }
    carry_.clear();  // the list owns the pieces now
    Ref joined(PyUnicode_Join(g_state.empty_str, pieces.get()));
    if (!joined) return -1;
    const LineText line{view_of(joined.get()), PyUnicode_IS_ASCII(joined.get()) != 0, joined.get()};
    return on_line(line);
}

bool BlockSplitter::is_delimiter(const LineText& line) const {
    if (line.view.length != delimiter_view_.length) return false;
    for (Py_ssize_t i = 0; i < line.view.length; ++i) {
        if (line.view.at(i) != delimiter_view_.at(i)) return false;
    }
    return true;
}

PyObject* BlockSplitter::make_line(const LineText& line) const {
    if (line.whole) return new_ref(line.whole);
    const Py_ssize_t n = line.view.length;
    if (line.ascii) {
        // Every slice of ASCII text is ASCII: skip the widest-character scan.
        PyObject* str = PyUnicode_New(n, 127);
        if (str) std::memcpy(PyUnicode_DATA(str), line.view.data, static_cast<size_t>(n));
        return str;
    }
    return PyUnicode_FromKindAndData(line.view.kind, line.view.data, n);
}

int BlockSplitter::on_line(const LineText& line) {
    switch (state_) {
        case State::Outside:
            if (is_delimiter(line)) state_ = State::AfterDelimiter;
            return 0;
        case State::AfterDelimiter: {
            const Field id = strip_span(line.view);
            state_ = State::Outside;
            if (span_equals_ascii(line.view, id, "-1")) return on_line(line);
            const char* base = static_cast<const char*>(line.view.data);
            Ref id_text(PyUnicode_FromKindAndData(line.view.kind, base + id.start * line.view.kind, id.length));
            if (!id_text) return -1;
            const Conv c = field_to_int32(id_text.get(), view_of(id_text.get()),
                                          Field{0, PyUnicode_GET_LENGTH(id_text.get())}, block_id_);
            if (c == Conv::Invalid) return on_line(line);  // no block: examine the id line itself
            if (c == Conv::Error) {
                if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return -1;
                // Reported after reading ends, so that a reading error wins.
                PyErr_Fetch(&deferred_type_, &deferred_value_, &deferred_traceback_);
                stopped_ = true;
                return 0;
            }
            state_ = State::InBlock;
            return 0;
        }
        case State::InBlock:
            if (is_delimiter(line)) {
                state_ = State::Outside;
                return stage_block();
            }
            return push_owned(pending_, make_line(line));
    }
    return 0;
}

int BlockSplitter::stage_block() {
    Ref lines(PyList_New(static_cast<Py_ssize_t>(pending_.size())));
    if (!lines) return -1;
    for (size_t i = 0; i < pending_.size(); ++i) {
        PyList_SET_ITEM(lines.get(), static_cast<Py_ssize_t>(i), pending_[i]);
    }
    pending_.clear();
    PyObject* block = new_block(block_id_, lines.release());
    if (!block) return -1;
    try {
        staged_.emplace_back(block_id_, block);
    } catch (const std::bad_alloc&) {
        Py_DECREF(block);
        PyErr_NoMemory();
        return -1;
    }
    return 0;
}

int BlockSplitter::finish() {
    if (!stopped_ && !carry_.empty()) {
        // The last line has no line end.
        Ref empty(PyUnicode_New(0, 0));
        if (!empty || join_carry(empty.get(), 0) < 0) return -1;
    }
    if (!stopped_ && state_ == State::InBlock) {
        state_ = State::Outside;
        if (stage_block() < 0) return -1;
    }
    if (stopped_) {
        PyErr_Restore(deferred_type_, deferred_value_, deferred_traceback_);
        deferred_type_ = deferred_value_ = deferred_traceback_ = nullptr;
        return -1;
    }
    return 0;
}

int BlockSplitter::commit(PyObject* blocks) {
    for (auto& staged : staged_) {
        Ref block(staged.second);
        staged.second = nullptr;
        Ref key(PyLong_FromLong(staged.first));
        if (!key) return -1;
        Ref list = Ref::borrow(PyDict_GetItemWithError(blocks, key.get()));
        if (!list) {
            if (PyErr_Occurred()) return -1;
            list = Ref(PyList_New(0));
            if (!list || PyDict_SetItem(blocks, key.get(), list.get()) < 0) return -1;
        }
        if (PyList_CheckExact(list.get())) {
            if (PyList_Append(list.get(), block.get()) < 0) return -1;
        } else {
            Ref appended(PyObject_CallMethod(list.get(), "append", "O", block.get()));
            if (!appended) return -1;
        }
    }
    staged_.clear();
    return 0;
}

}  // namespace tremix
