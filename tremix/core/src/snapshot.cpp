#include "snapshot.hpp"

#include <cstdarg>
#include <new>

#include "arguments.hpp"
#include "block.hpp"
#include "module_state.hpp"
#include "py_host.hpp"

namespace tremix {

namespace {

// A line of a private list copy, for the core: its characters, or kind 0
// for anything that is not exactly a str. Runs without the interpreter
// lock: the copy holds the str alive and a str never changes.
reading::TextView view_line(const void* item) {
    PyObject* obj = static_cast<PyObject*>(const_cast<void*>(item));
    if (!PyUnicode_CheckExact(obj)) return reading::TextView{nullptr, 0, 0};
    return view_of(obj);
}

// A line's worth of work in characters: a block of few but very long lines
// is long work too.
constexpr size_t kCharsPerLine = 64;

// The characters of a block of stored text, in lines' worth.
size_t text_weight(const reading::BlockLines& lines) {
    if (lines.size() == 0) return 0;
    const reading::TextView first = lines.line(0);
    const reading::TextView last = lines.line(lines.size() - 1);
    const size_t bytes = static_cast<size_t>(static_cast<const char*>(last.data) - static_cast<const char*>(first.data));
    return (bytes / first.kind + last.length) / kCharsPerLine;
}

}  // namespace

void BlockSnapshot::Refs::clear() {
    if (!destructor_holds_lock()) return;
    std::vector<PyObject*> objects;
    objects.swap(objects_);
    for (PyObject* o : objects) Py_DECREF(o);
}

void BlockSnapshot::Refs::copy(PyObject* list) {
    Ref keep = Ref::borrow(list);
    const Py_ssize_t n = PyList_GET_SIZE(list);
    objects_.reserve(objects_.size() + static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n && i < PyList_GET_SIZE(list); ++i) objects_.push_back(new_ref(PyList_GET_ITEM(list, i)));
}

void BlockSnapshot::reset() {
    set_.clear();
    items_.clear();
    copies_.clear();
    texts_.clear();
    ends_file_.clear();
    text_of_.clear();
    weight_ = 0;
}

int BlockSnapshot::take(PyObject* block_list) {
    reset();
    return add(block_list);
}

int BlockSnapshot::check_list(PyObject* block_list) {
    if (block_list == Py_None) {
        PyErr_SetString(PyExc_TypeError, "'NoneType' object is not iterable");
        return -1;
    }
    if (!PyList_Check(block_list)) {
        raise_expected("list", block_list);
        return -1;
    }
    return 0;
}

int BlockSnapshot::add(PyObject* block_list) {
    if (check_list(block_list) < 0) return -1;
    try {
        const size_t first = items_.objects_.size();
        items_.copy(block_list);
        for (size_t k = first; k < items_.objects_.size(); ++k) {
            if (add_item(items_.objects_[k]) < 0) return -1;
        }
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return -1;
    }
    return 0;
}

int BlockSnapshot::add_item(PyObject* item) {
    copies_.emplace_back();
    reading::BlockEntry entry;
    if (!is_block(item)) {
        entry.state = reading::BlockEntry::State::not_a_block;
        set_.push_back(entry);
        ends_file_.push_back(false);
        return 0;
    }
    BlockObject* b = as_block(item);
    entry.block_id = b->block_id;
    ends_file_.push_back(b->lines ? b->ended_file : b->text && b->text->ends_file());
    if (!b->lines && b->text) {
        entry.lines = b->text->file->lines(b->text->index);
        weight_ += entry.lines.size() + 1 + text_weight(entry.lines);
        texts_.push_back(b->text->file);
        text_of_.resize(set_.size(), nullptr);
        text_of_.push_back(b->text->file.get());
        set_.push_back(entry);
        return 0;
    }
    if (!b->lines || !PyList_Check(b->lines)) {
        entry.state = reading::BlockEntry::State::no_lines;
        set_.push_back(entry);
        return 0;
    }
    set_.push_back(entry);
    return add_list(b->lines, b->block_id);
}

int BlockSnapshot::add_list(PyObject* lines, int32_t block_id) {
    Refs& copy = copies_.back();
    copy.copy(lines);
    // A str made by the legacy API may still need its canonical form, which
    // allocates and can fail with MemoryError; made on the copy's items.
    size_t chars = 0;
    for (PyObject* item : copy.objects_) {
        if (!PyUnicode_CheckExact(item)) continue;
        if (PyUnicode_READY(item) < 0) return -1;
        chars += static_cast<size_t>(PyUnicode_GET_LENGTH(item));
    }
    weight_ += chars / kCharsPerLine;
    reading::BlockEntry& entry = set_.back();
    entry.block_id = block_id;
    entry.lines = reading::BlockLines::items(reinterpret_cast<const void* const*>(copy.objects_.data()),
                                             copy.objects_.size(), view_line);
    weight_ += copy.objects_.size() + 1;
    return 0;
}

int BlockSnapshot::take_lines(PyObject* lines) {
    reset();
    try {
        items_.objects_.push_back(lines);
        Py_INCREF(lines);
        copies_.emplace_back();
        set_.emplace_back();
        ends_file_.push_back(false);
        return add_list(lines, 0);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return -1;
    }
}

int BlockSnapshot::take_item(PyObject* block_list, size_t index) {
    reset();
    if (check_list(block_list) < 0) return -1;
    if (index >= static_cast<size_t>(PyList_GET_SIZE(block_list))) return 0;
    PyObject* item = PyList_GET_ITEM(block_list, static_cast<Py_ssize_t>(index));
    try {
        items_.objects_.push_back(item);
        Py_INCREF(item);
        return add_item(item);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return -1;
    }
}

PyObject* BlockSnapshot::line_object(size_t index, size_t line) const {
    const std::vector<PyObject*>& copy = copies_[index].objects_;
    return line < copy.size() ? copy[line] : nullptr;
}

void add_note(const char* format, ...) {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value) {
        va_list args;
        va_start(args, format);
        Ref note(PyUnicode_FromFormatV(format, args));
        va_end(args);
        Ref done(note ? PyObject_CallMethodOneArg(value, g_state.s_add_note, note.get()) : nullptr);
        if (!done) PyErr_Clear();  // the original error matters more than its note
    }
    PyErr_Restore(type, value, traceback);
}

void raise_failure(const reading::Failure& failure, const BlockSnapshot& snapshot, PyHost& host, PyObject* path) {
    using Kind = reading::Failure::Kind;
    switch (failure.kind) {
        case Kind::out_of_range: {
            // The field for the note is made before the error is set: a
            // failure to make it must not take the OverflowError with it.
            Ref field;
            if (failure.block < snapshot.size()) {
                const reading::BlockLines& lines = snapshot.blocks()[failure.block].lines;
                field = Ref(failure.line < lines.size()
                                ? str_of(lines.line(failure.line).sub(failure.field.start, failure.field.length))
                                : PyUnicode_FromString(""));
                if (!field) PyErr_Clear();
            }
            // The line is one of the file the block was read from, which need
            // not be the parser's own (blocks taken from another parser).
            Ref block_file;
            if (const reading::FileText* text = snapshot.text_of(failure.block)) {
                block_file = text->name ? Ref(PyUnicode_DecodeUTF8(text->name->data(),
                                                                   static_cast<Py_ssize_t>(text->name->size()),
                                                                   "surrogatepass"))
                                        : Ref::borrow(Py_None);
                if (!block_file) PyErr_Clear();
                path = block_file.get();
            }
            PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
            if (!field) return;
            const reading::BlockEntry& entry = snapshot.blocks()[failure.block];
            const int64_t file_line = entry.lines.file_line(failure.line);
            if (file_line > 0 && path && PyUnicode_Check(path)) {
                add_note("the field %R in block %d, line %lld of %U", field.get(), static_cast<int>(entry.block_id),
                         static_cast<long long>(file_line), path);
            } else if (file_line > 0) {
                add_note("the field %R in block %d, line %lld of the file", field.get(),
                         static_cast<int>(entry.block_id), static_cast<long long>(file_line));
            } else {
                add_note("the field %R in block %d, item %zu of its lines", field.get(),
                         static_cast<int>(entry.block_id), failure.line);
            }
            return;
        }
        case Kind::not_a_block:
            raise_not_a_block(snapshot.item(failure.block));
            return;
        case Kind::no_lines:
            PyErr_SetString(PyExc_TypeError, "object of type 'NoneType' has no len()");
            return;
        case Kind::not_text: {
            PyObject* line = snapshot.line_object(failure.block, failure.line);
            PyErr_Format(PyExc_TypeError, "Expected str, got %.200s", line ? Py_TYPE(line)->tp_name : "NoneType");
            return;
        }
        case Kind::too_many_nodes:
            PyErr_SetString(PyExc_OverflowError, "more than 2147483647 element node ids in total");
            return;
        case Kind::host:
        case Kind::interrupted:
            host.restore_error();
            return;
        case Kind::no_memory:
        case Kind::none:
            PyErr_NoMemory();
            return;
    }
}

}  // namespace tremix
