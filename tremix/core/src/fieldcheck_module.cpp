// Test-only module: the tokenizer and the number conversions, callable on
// one str at a time, so tests can compare them with the interpreter.
//
// Each conversion takes the text and optionally a (start, length) range in
// it, so a field that sits inside a longer line (possibly of another storage
// kind than the field's own characters would need) is exercised too.
#include <chrono>
#include <cstring>
#include <new>
#include <thread>

#if defined(__unix__) || defined(__APPLE__)
#include <sys/mman.h>
#include <unistd.h>
#define FIELDCHECK_PAGE_END 1
#endif

#include "fields_api.hpp"
#include "py_host.hpp"
#include "reading/numbers.hpp"
#include "reading/plain_values.hpp"
#include "reading/format.hpp"
#include "reading/tokenizer.hpp"
#include "reading/helper_thread.hpp"
#include "reading/two_threads.hpp"
#include "reading/value_range.hpp"
#include "reading/vector_data.hpp"
#include "reading/vectors.hpp"
#include "reading/whitespace.hpp"

namespace {

namespace reading = tremix::reading;
using reading::Outcome;
using reading::Span;
using reading::TextView;
using tremix::Ref;
using tremix::view_of;

// Parses (text[, start[, length]]) into the str and the field range.
bool field_args(PyObject* args, PyObject*& text, Span& field) {
    Py_ssize_t start = 0;
    Py_ssize_t length = -1;
    if (!PyArg_ParseTuple(args, "U|nn", &text, &start, &length)) return false;
    const Py_ssize_t size = PyUnicode_GET_LENGTH(text);
    if (start < 0 || start > size) {
        PyErr_SetString(PyExc_IndexError, "start out of range");
        return false;
    }
    if (length < 0) length = size - start;
    if (length > size - start) {
        PyErr_SetString(PyExc_IndexError, "length out of range");
        return false;
    }
    field = Span{static_cast<size_t>(start), static_cast<size_t>(length)};
    return true;
}

// Raises what the interpreter raises for the field's text: int() or
// float() called on it (a generic ValueError should they accept it).
PyObject* raise_rejected(PyObject* text, Span field, bool as_int) {
    const Py_ssize_t start = static_cast<Py_ssize_t>(field.start);
    Ref sub(PyUnicode_Substring(text, start, start + static_cast<Py_ssize_t>(field.length)));
    if (!sub) return nullptr;
    Ref value(as_int ? PyLong_FromUnicodeObject(sub.get(), 10) : PyFloat_FromString(sub.get()));
    if (value) PyErr_Format(PyExc_ValueError, "the scanner rejected %R", sub.get());
    return nullptr;
}

// Runs one conversion through the core with the interpreter as its host.
template <typename Convert>
Outcome convert(Convert&& fn, reading::Failure& failure, tremix::PyHost& host) {
    reading::Context ctx(host);
    const Outcome o = fn(ctx);
    failure = ctx.failure();
    return o;
}

PyObject* raise_failure(const reading::Failure& failure, tremix::PyHost& host) {
    if (failure.kind == reading::Failure::Kind::out_of_range) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
    } else {
        host.restore_error();
    }
    return nullptr;
}

PyObject* split(PyObject*, PyObject* line) {
    if (!PyUnicode_Check(line)) {
        PyErr_SetString(PyExc_TypeError, "split() needs a str");
        return nullptr;
    }
    reading::FieldList fields;
    try {
        reading::split_fields(view_of(line), fields);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    return tremix::field_strings(line, fields);
}

PyObject* title(PyObject*, PyObject* line) {
    if (!PyUnicode_Check(line)) {
        PyErr_SetString(PyExc_TypeError, "title() needs a str");
        return nullptr;
    }
    const Span t = reading::title_span(view_of(line));
    const Py_ssize_t start = static_cast<Py_ssize_t>(t.start);
    return PyUnicode_Substring(line, start, start + static_cast<Py_ssize_t>(t.length));
}

PyObject* to_int32(PyObject*, PyObject* args) {
    PyObject* text;
    Span field;
    if (!field_args(args, text, field)) return nullptr;
    tremix::PyHost host;
    reading::Failure failure;
    int32_t value = 0;
    switch (convert([&](reading::Context& ctx) { return reading::to_int32(ctx, view_of(text), field, value); },
                    failure, host)) {
        case Outcome::ok: return PyLong_FromLong(value);
        case Outcome::skip: return raise_rejected(text, field, true);
        case Outcome::fail: break;
    }
    return raise_failure(failure, host);
}

PyObject* is_int(PyObject*, PyObject* args) {
    PyObject* text;
    Span field;
    if (!field_args(args, text, field)) return nullptr;
    tremix::PyHost host;
    reading::Failure failure;
    switch (convert([&](reading::Context& ctx) { return reading::check_int(ctx, view_of(text), field); }, failure,
                    host)) {
        case Outcome::ok: Py_RETURN_TRUE;
        case Outcome::skip: Py_RETURN_FALSE;
        case Outcome::fail: break;
    }
    return raise_failure(failure, host);
}

template <bool cut>
PyObject* to_float(PyObject* args) {
    PyObject* text;
    Span field;
    if (!field_args(args, text, field)) return nullptr;
    tremix::PyHost host;
    reading::Failure failure;
    double value = 0.0;
    const TextView view = view_of(text);
    switch (convert(
        [&](reading::Context& ctx) {
            return cut ? reading::parse_float(ctx, view, field, value) : reading::to_double(ctx, view, field, value);
        },
        failure, host)) {
        case Outcome::ok: return PyFloat_FromDouble(value);
        case Outcome::skip: return raise_rejected(text, cut ? reading::cut_at_paren(view, field) : field, false);
        case Outcome::fail: break;
    }
    return raise_failure(failure, host);
}

PyObject* to_double(PyObject*, PyObject* args) { return to_float<false>(args); }
PyObject* parse_float(PyObject*, PyObject* args) { return to_float<true>(args); }

// The characters of a str for a reader of whole lines: the str's own, or
// with at_page_end a copy of its one-byte characters that ends right where
// a page that cannot be read begins, so that a reader looking past the
// line's end faults (as it could on the last line of a mapped file).
class LineText {
  public:
    LineText(PyObject* line, bool at_page_end) : view_(view_of(line)) {
#ifdef FIELDCHECK_PAGE_END
        if (!at_page_end || view_.kind != 1) return;
        const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        size_ = (view_.length + page - 1) / page * page + page;
        void* base = mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (base == MAP_FAILED) {
            failed_ = true;
            PyErr_SetFromErrno(PyExc_OSError);
            return;
        }
        base_ = static_cast<char*>(base);
        char* const guard = base_ + size_ - page;
        if (mprotect(guard, page, PROT_NONE) != 0) {
            failed_ = true;
            PyErr_SetFromErrno(PyExc_OSError);
            return;
        }
        char* const copy = guard - view_.length;
        if (view_.length) std::memcpy(copy, view_.data, view_.length);
        view_.data = copy;
#else
        (void)at_page_end;
#endif
    }
    ~LineText() {
#ifdef FIELDCHECK_PAGE_END
        if (base_) munmap(base_, size_);
#endif
    }
    LineText(const LineText&) = delete;
    LineText& operator=(const LineText&) = delete;

    bool failed() const { return failed_; }
    const TextView& view() const { return view_; }

  private:
    TextView view_;
    char* base_ = nullptr;
    size_t size_ = 0;
    bool failed_ = false;
};

// plain_values(line, check=False, at_page_end=False) -> list[float] | None:
// the values of a result line read without splitting it, or None when the
// line is not of that form. With check=True only whether it is (a list of
// Nones on success).
PyObject* plain_values(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* kKeywords[] = {"line", "check", "at_page_end", nullptr};
    PyObject* line;
    int check = 0;
    int at_page_end = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "U|pp", const_cast<char**>(kKeywords), &line, &check,
                                     &at_page_end)) {
        return nullptr;
    }
    const LineText text(line, at_page_end);
    if (text.failed()) return nullptr;
    reading::PlainHost host;
    reading::Context ctx(host);
    std::vector<double> values;
    size_t gathered = 0;
    std::optional<Outcome> o;
    try {
        o = check ? reading::gather_plain_values<false>(ctx, text.view(), values, gathered)
                  : reading::gather_plain_values<true>(ctx, text.view(), values, gathered);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    if (!o) Py_RETURN_NONE;
    if (*o != Outcome::ok || (!check && values.size() != gathered)) {
        PyErr_SetString(PyExc_SystemError, "plain_values: inconsistent result");
        return nullptr;
    }
    Ref result(PyList_New(static_cast<Py_ssize_t>(gathered)));
    if (!result) return nullptr;
    for (size_t k = 0; k < gathered; ++k) {
        PyObject* item = check ? Py_NewRef(Py_None) : PyFloat_FromDouble(values[k]);
        if (!item) return nullptr;
        PyList_SET_ITEM(result.get(), static_cast<Py_ssize_t>(k), item);
    }
    return result.release();
}

// plain_single(line, check=False, at_page_end=False) -> (int, float |
// None) | None: a single-value result record read without splitting it,
// or None.
PyObject* plain_single(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* kKeywords[] = {"line", "check", "at_page_end", nullptr};
    PyObject* line;
    int check = 0;
    int at_page_end = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "U|pp", const_cast<char**>(kKeywords), &line, &check,
                                     &at_page_end)) {
        return nullptr;
    }
    const LineText text(line, at_page_end);
    if (text.failed()) return nullptr;
    int32_t id = 0;
    double value = 0.0;
    const bool read = check ? reading::read_plain_single<false>(text.view(), id, value)
                            : reading::read_plain_single<true>(text.view(), id, value);
    if (!read) Py_RETURN_NONE;
    if (check) return Py_BuildValue("(iO)", id, Py_None);
    return Py_BuildValue("(id)", id, value);
}

// value_range(texts) -> (float, float) | None: the smallest and largest
// finite value of the texts as a vector's catalogue ranges them: a text the
// one-pass readers take whole is read as they read it, any other is given
// by float().
PyObject* value_range(PyObject*, PyObject* texts) {
    Ref items(PySequence_Fast(texts, "value_range() takes a sequence of str"));
    if (!items) return nullptr;
    reading::ValueRange range;
    for (Py_ssize_t k = 0; k < PySequence_Fast_GET_SIZE(items.get()); ++k) {
        // A new reference: float() below may run code that changes the sequence.
        Ref text(Py_NewRef(PySequence_Fast_GET_ITEM(items.get(), k)));
        Py_ssize_t length = 0;
        const char* chars = PyUnicode_Check(text.get()) ? PyUnicode_AsUTF8AndSize(text.get(), &length) : nullptr;
        if (!chars) {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "value_range() takes a sequence of str");
            return nullptr;
        }
        reading::ScannedValue value;
        if (value.scan(chars, chars + length, chars + length) == chars + length) {
            value.add_to(range);
            continue;
        }
        Ref number(PyFloat_FromString(text.get()));
        if (!number) return nullptr;
        range.add(PyFloat_AS_DOUBLE(number.get()));
    }
    if (!range.finite()) Py_RETURN_NONE;
    return Py_BuildValue("(dd)", range.minimum(), range.maximum());
}

// Calls read(view) on the line of a (line, at_page_end=False) call: with
// at_page_end, on a copy that ends right before a page that cannot be read.
template <typename Read>
PyObject* with_line(PyObject* args, PyObject* kwargs, Read&& read) {
    static const char* kKeywords[] = {"line", "at_page_end", nullptr};
    PyObject* line;
    int at_page_end = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "U|p", const_cast<char**>(kKeywords), &line, &at_page_end)) {
        return nullptr;
    }
    const LineText text(line, at_page_end);
    if (text.failed()) return nullptr;
    return read(text.view());
}

// plain_node(line, at_page_end=False) -> (id, x, y, z) | None: a node line
// read without splitting it, or None.
PyObject* plain_node(PyObject*, PyObject* args, PyObject* kwargs) {
    return with_line(args, kwargs, [](const TextView& view) -> PyObject* {
        int32_t id = 0;
        double xyz[3];
        if (!reading::read_plain_node(view, id, xyz)) Py_RETURN_NONE;
        return Py_BuildValue("(iddd)", id, xyz[0], xyz[1], xyz[2]);
    });
}

// plain_element_header(line, at_page_end=False) -> (id, prop_id,
// topology) | None: an element's first line read without splitting it.
PyObject* plain_element_header(PyObject*, PyObject* args, PyObject* kwargs) {
    return with_line(args, kwargs, [](const TextView& view) -> PyObject* {
        int32_t head[3];
        if (!reading::read_plain_element_header(view, head)) Py_RETURN_NONE;
        return Py_BuildValue("(iii)", head[0], head[1], head[2]);
    });
}

// may_be_end_marker(line, at_page_end=False) -> bool: whether a line
// looked at without splitting it may be a vector's end-of-data line.
PyObject* may_be_end_marker(PyObject*, PyObject* args, PyObject* kwargs) {
    return with_line(args, kwargs, [](const TextView& view) -> PyObject* {
        return PyBool_FromLong(reading::may_be_end_marker(view));
    });
}

// plain_node_ids(line, at_page_end=False) -> list[int] | None: the node
// ids of an element's node line other than 0, read without splitting it.
PyObject* plain_node_ids(PyObject*, PyObject* args, PyObject* kwargs) {
    return with_line(args, kwargs, [](const TextView& view) -> PyObject* {
        reading::PlainHost host;
        reading::Context ctx(host);
        std::vector<int32_t> ids;
        std::optional<Outcome> o;
        try {
            o = reading::read_plain_node_ids(ctx, view, ids);
        } catch (const std::bad_alloc&) {
            return PyErr_NoMemory();
        }
        if (!o) Py_RETURN_NONE;
        if (*o != Outcome::ok) {
            PyErr_SetString(PyExc_SystemError, "plain_node_ids: inconsistent result");
            return nullptr;
        }
        Ref result(PyList_New(static_cast<Py_ssize_t>(ids.size())));
        if (!result) return nullptr;
        for (size_t k = 0; k < ids.size(); ++k) {
            PyObject* item = PyLong_FromLong(ids[k]);
            if (!item) return nullptr;
            PyList_SET_ITEM(result.get(), static_cast<Py_ssize_t>(k), item);
        }
        return result.release();
    });
}

// is_space(code_point) -> bool: the tokenizer's notion of whitespace.
PyObject* is_space(PyObject*, PyObject* arg) {
    const unsigned long c = PyLong_AsUnsignedLong(arg);
    if (c == static_cast<unsigned long>(-1) && PyErr_Occurred()) return nullptr;
    return PyBool_FromLong(reading::is_space(static_cast<uint32_t>(c)));
}

// What a node record reads: its id as an int32, its coordinates as doubles.
bool convert_node_line(reading::Context& ctx, const TextView& view, reading::FieldList& fields, double& checksum) {
    reading::split_fields(view, fields);
    if (fields.size() < reading::kNodeFields) return false;
    int32_t id = 0;
    if (reading::to_int32(ctx, view, fields[0], id) != Outcome::ok) return false;
    checksum += id;
    for (size_t k = reading::kXField; k < reading::kXField + 3; ++k) {
        double value = 0.0;
        if (reading::to_double(ctx, view, fields[k], value) != Outcome::ok) return false;
        checksum += value;
    }
    return true;
}

// Mean time in ns of `repeat` runs of `work` (false on failure) in a C++
// loop. For benchmarks.
template <typename Work>
PyObject* time_loop(Py_ssize_t repeat, Work&& work) {
    if (repeat < 1) {
        PyErr_SetString(PyExc_ValueError, "repeat must be at least 1");
        return nullptr;
    }
    const auto started = std::chrono::steady_clock::now();
    try {
        for (Py_ssize_t r = 0; r < repeat; ++r) {
            if (!work()) {
                if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "the line does not convert");
                return nullptr;
            }
        }
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    const std::chrono::duration<double, std::nano> elapsed = std::chrono::steady_clock::now() - started;
    return PyFloat_FromDouble(elapsed.count() / static_cast<double>(repeat));
}

// The (line, repeat) arguments of the timing hooks. The view stays valid
// for the call: the arguments hold the line.
bool line_and_repeat(PyObject* args, TextView& view, Py_ssize_t& repeat) {
    PyObject* line;
    if (!PyArg_ParseTuple(args, "Un", &line, &repeat)) return false;
    view = view_of(line);
    return true;
}

// node_line_ns(line, repeat) -> float: split a node line and convert what a
// node record reads.
PyObject* node_line_ns(PyObject*, PyObject* args) {
    TextView view;
    Py_ssize_t repeat;
    if (!line_and_repeat(args, view, repeat)) return nullptr;
    reading::FieldList fields;
    reading::PlainHost host;
    reading::Context ctx(host);
    volatile double checksum = 0.0;  // keeps the loop from being optimised away
    return time_loop(repeat, [&] {
        double sum = 0.0;
        if (!convert_node_line(ctx, view, fields, sum)) return false;
        checksum = checksum + sum;
        return true;
    });
}

// split_ns(line, repeat) -> float: only split the line.
PyObject* split_ns(PyObject*, PyObject* args) {
    TextView view;
    Py_ssize_t repeat;
    if (!line_and_repeat(args, view, repeat)) return nullptr;
    reading::FieldList fields;
    volatile size_t count = 0;
    return time_loop(repeat, [&] {
        reading::split_fields(view, fields);
        count = count + fields.size();
        return true;
    });
}

// plain_node_ns(line, repeat) -> float: read a node line without
// splitting it.
PyObject* plain_node_ns(PyObject*, PyObject* args) {
    TextView view;
    Py_ssize_t repeat;
    if (!line_and_repeat(args, view, repeat)) return nullptr;
    volatile double checksum = 0.0;
    return time_loop(repeat, [&] {
        int32_t id;
        double xyz[3];
        if (!reading::read_plain_node(view, id, xyz)) return false;
        checksum = checksum + id + xyz[0] + xyz[1] + xyz[2];
        return true;
    });
}

// plain_values_ns(line, repeat) -> float: gather a result line's values
// without splitting it, into room kept from one run to the next as a
// vector's values are.
PyObject* plain_values_ns(PyObject*, PyObject* args) {
    TextView view;
    Py_ssize_t repeat;
    if (!line_and_repeat(args, view, repeat)) return nullptr;
    reading::PlainHost host;
    reading::Context ctx(host);
    std::vector<double> values;
    volatile double checksum = 0.0;
    return time_loop(repeat, [&] {
        values.clear();
        size_t gathered = 0;
        if (reading::gather_plain_values<true>(ctx, view, values, gathered) != Outcome::ok) return false;
        checksum = checksum + values.back();
        return true;
    });
}

// plain_single_ns(line, repeat) -> float: read a single-value record
// without splitting it.
PyObject* plain_single_ns(PyObject*, PyObject* args) {
    TextView view;
    Py_ssize_t repeat;
    if (!line_and_repeat(args, view, repeat)) return nullptr;
    volatile double checksum = 0.0;
    return time_loop(repeat, [&] {
        int32_t id;
        double value;
        if (!reading::read_plain_single<true>(view, id, value)) return false;
        checksum = checksum + id + value;
        return true;
    });
}

// A reading on a second thread that goes on until it is stopped (two
// seconds at most), beside one that is done at once and is asked to keep
// waiting `polls` times, then says no: (whether the second thread's reading
// stands, how often the waiting one was asked).
PyObject* stop_while_waiting(PyObject*, PyObject* arg) {
    const long polls = PyLong_AsLong(arg);
    if (polls == -1 && PyErr_Occurred()) return nullptr;
    long asked = 0;
    bool usable = false;
    Py_BEGIN_ALLOW_THREADS
    usable = reading::run_beside(
        [] { return true; },
        [](reading::Context& ctx) {
            const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(2);
            while (ctx.poll() && std::chrono::steady_clock::now() < give_up) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        },
        [&] { return ++asked <= polls; });
    Py_END_ALLOW_THREADS
    return Py_BuildValue("(Ol)", usable ? Py_True : Py_False, asked);
}

// Where a helper thread started: (the starter's processor, the helper's
// first processor, whether the helper could then run anywhere its starter
// could, the size of its stack); -1 (0 for the size) where the system does
// not tell.
PyObject* helper_placement(PyObject*, PyObject*) {
    reading::HelperThread::Placement placement;
    bool started = true;
    Py_BEGIN_ALLOW_THREADS
    try {
        placement = reading::HelperThread::try_placement();
    } catch (const std::exception&) {
        started = false;
    }
    Py_END_ALLOW_THREADS
    if (!started) {
        PyErr_SetString(PyExc_RuntimeError, "no helper thread could be started");
        return nullptr;
    }
    return Py_BuildValue("(iiOn)", placement.starter, placement.started_on,
                         placement.free_afterwards ? Py_True : Py_False, static_cast<Py_ssize_t>(placement.stack_size));
}

PyMethodDef kMethods[] = {
    {"helper_placement", helper_placement, METH_NOARGS,
     "helper_placement() -> (int, int, bool, int): where a helper thread started, whether it was then let go, "
     "and its stack's size."},
    {"stop_while_waiting", stop_while_waiting, METH_O,
     "stop_while_waiting(polls) -> (bool, int): a reading left to a second thread is stopped while waiting."},
    {"split", split, METH_O, "split(line) -> list[str]: the record line tokenizer."},
    {"title", title, METH_O, "title(line) -> str: a title line as the extractors read it."},
    {"is_space", is_space, METH_O, "is_space(code_point) -> bool: whitespace as the tokenizer sees it."},
    {"to_int32", to_int32, METH_VARARGS, "to_int32(text[, start[, length]]) -> int: int() as a signed 32-bit value."},
    {"is_int", is_int, METH_VARARGS, "is_int(text[, start[, length]]) -> bool: whether int() accepts the text."},
    {"to_double", to_double, METH_VARARGS, "to_double(text[, start[, length]]) -> float: float() of the text."},
    {"parse_float", parse_float, METH_VARARGS,
     "parse_float(text[, start[, length]]) -> float: float() of the text cut at its first '(' after position 0."},
    {"plain_values", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(plain_values)),
     METH_VARARGS | METH_KEYWORDS,
     "plain_values(line, check=False, at_page_end=False) -> list[float] | None: a result line's values read "
     "without splitting it."},
    {"plain_single", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(plain_single)),
     METH_VARARGS | METH_KEYWORDS,
     "plain_single(line, check=False, at_page_end=False) -> tuple | None: a single-value result record read "
     "without splitting it."},
    {"value_range", value_range, METH_O,
     "value_range(texts) -> (float, float) | None: the finite values' range as a vector's catalogue finds it."},
    {"plain_node", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(plain_node)),
     METH_VARARGS | METH_KEYWORDS,
     "plain_node(line, at_page_end=False) -> tuple | None: a node line read without splitting it."},
    {"plain_element_header", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(plain_element_header)),
     METH_VARARGS | METH_KEYWORDS,
     "plain_element_header(line, at_page_end=False) -> tuple | None: an element's first line read without "
     "splitting it."},
    {"plain_node_ids", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(plain_node_ids)),
     METH_VARARGS | METH_KEYWORDS,
     "plain_node_ids(line, at_page_end=False) -> list | None: an element's node line read without splitting it."},
    {"may_be_end_marker", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(may_be_end_marker)),
     METH_VARARGS | METH_KEYWORDS,
     "may_be_end_marker(line, at_page_end=False) -> bool: whether a line not yet split may end a vector's data."},
    {"node_line_ns", node_line_ns, METH_VARARGS,
     "node_line_ns(line, repeat) -> float: ns to split a node line and convert its id and coordinates."},
    {"split_ns", split_ns, METH_VARARGS, "split_ns(line, repeat) -> float: ns to split a line."},
    {"plain_node_ns", plain_node_ns, METH_VARARGS,
     "plain_node_ns(line, repeat) -> float: ns to read a node line without splitting it."},
    {"plain_values_ns", plain_values_ns, METH_VARARGS,
     "plain_values_ns(line, repeat) -> float: ns to gather a result line's values without splitting it."},
    {"plain_single_ns", plain_single_ns, METH_VARARGS,
     "plain_single_ns(line, repeat) -> float: ns to read a single-value record without splitting it."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kModule = {PyModuleDef_HEAD_INIT, "_fieldcheck", "Field conversion checks for tests.", -1, kMethods};

}  // namespace

PyMODINIT_FUNC PyInit__fieldcheck() {
    PyObject* module = PyModule_Create(&kModule);
    // Whether this build scans with SSE2 or with the portable loops.
    if (module != nullptr && PyModule_AddObjectRef(module, "SSE2", TREMIX_SSE2 ? Py_True : Py_False) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}
