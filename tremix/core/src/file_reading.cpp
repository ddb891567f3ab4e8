#include "file_reading.hpp"

#include <atomic>
#include <cerrno>
#include <memory>
#include <new>
#include <string>
#include <vector>


#include "block.hpp"
#include "module_state.hpp"
#include "py_host.hpp"
#include "reading/descriptor.hpp"
#include "reading/text_feed.hpp"
#include "snapshot.hpp"

namespace tremix {

namespace {

// Bytes per read from a file descriptor, and characters per read from a
// text file object: large enough for few calls, small enough to stay in the
// processor's caches while its lines are cut out. A text wrapper sizes the
// buffer it reads its bytes into by the characters asked for, at every read
// of the stream under it: a megabyte asked for a stream that hands out a few
// bytes a read cost tens of microseconds a read, so text is asked for as
// the decoder's own chunks.
constexpr size_t kByteChunk = size_t{1} << 20;
constexpr Py_ssize_t kCharChunk = 1 << 16;
// Decoder buffer size for the text file object: larger than its default,
// so that each read call decodes in a few large steps.
constexpr long kDecodeChunk = 1 << 16;
// Blocks filed into the blocks map between looks for a signal.
constexpr size_t kBlocksPerSignalCheck = 4096;

// One reading of a text into blocks: the stored text, the report, and the
// core's splitter, with a host for the rare block numbers the core's own
// scanner leaves open.
struct Reading {
    reading::FileText text;
    reading::ReadReport report;
    PyHost host;
    reading::Context ctx{host};
    reading::Splitter splitter{ctx, text, report};
};

// Runs `step()` without the interpreter lock when `worth_it` (short work is
// not worth the hand-over), and has the lock back before anything else
// happens, also when the allocator is exhausted: the reading then fails
// with no_memory and `failed` is returned. Unwinding past the caller's
// references with the lock still free would release them without it.
template <typename Step, typename Result>
Result without_lock(Reading& r, bool worth_it, Step&& step, Result failed) {
    r.host.release(worth_it);
    Result result = failed;
    try {
        result = step();
    } catch (const std::bad_alloc&) {
        r.ctx.fail(reading::Failure::Kind::no_memory);
    }
    r.host.reacquire();
    return result;
}

// The codec information of `encoding` (codecs.lookup).
PyObject* lookup_codec(PyObject* encoding) {
    Ref codecs(PyImport_Import(g_state.s_codecs));
    Ref lookup(codecs ? PyObject_GetAttr(codecs.get(), g_state.s_lookup) : nullptr);
    return lookup ? PyObject_CallOneArg(lookup.get(), encoding) : nullptr;
}

// Which decoding the core can do itself for a text file object or an
// encoding name: UTF-8, ASCII or Latin-1 with strict errors. 1 yes (with
// `out` set), 0 no, -1 with an exception.
int native_encoding(PyObject* encoding, PyObject* errors, reading::Encoding& out) {
    if (!encoding || !PyUnicode_Check(encoding)) return 0;
    if (errors && errors != Py_None) {
        if (!PyUnicode_Check(errors) || PyUnicode_CompareWithASCIIString(errors, "strict") != 0) return 0;
    }
    Ref info(lookup_codec(encoding));
    if (!info) {
        // An unknown encoding: the interpreter's own reading reports it.
        if (PyErr_ExceptionMatches(PyExc_LookupError)) {
            PyErr_Clear();
            return 0;
        }
        return -1;
    }
    Ref name(PyObject_GetAttr(info.get(), g_state.s_name));
    if (!name) return -1;
    if (!PyUnicode_Check(name.get())) return 0;
    reading::Encoding found;
    if (PyUnicode_CompareWithASCIIString(name.get(), "utf-8") == 0) {
        found = reading::Encoding::utf8;
    } else if (PyUnicode_CompareWithASCIIString(name.get(), "ascii") == 0) {
        found = reading::Encoding::ascii;
    } else if (PyUnicode_CompareWithASCIIString(name.get(), "iso8859-1") == 0) {
        found = reading::Encoding::latin1;
    } else {
        return 0;
    }
    // A codec registered under another name may call itself by one of these
    // names and still decode in its own way: only the interpreter's own
    // codec of that name (its incremental decoder) is decoded here.
    Ref own(lookup_codec(name.get()));
    if (!own) {
        if (!PyErr_ExceptionMatches(PyExc_LookupError)) return -1;
        PyErr_Clear();
        return 0;
    }
    if (own.get() != info.get()) {
        Ref mine(PyObject_GetAttrString(info.get(), "incrementaldecoder"));
        Ref theirs(mine ? PyObject_GetAttrString(own.get(), "incrementaldecoder") : nullptr);
        if (!theirs) return -1;
        if (mine.get() != theirs.get()) return 0;
    }
    out = found;
    return 1;
}

// After a failure inside the with-block: calls __exit__ with the error that
// is set, and keeps that error unless __exit__ suppresses it (returns 1
// then) or fails itself.
int exit_with_error(PyObject* exit) {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback && value) PyException_SetTraceback(value, traceback);
    Ref etype(type), evalue(value), etb(traceback);
    Ref suppress(PyObject_CallFunctionObjArgs(exit, etype ? etype.get() : Py_None, evalue ? evalue.get() : Py_None,
                                              etb ? etb.get() : Py_None, nullptr));
    if (!suppress) return -1;
    const int swallow = PyObject_IsTrue(suppress.get());
    if (swallow < 0) return -1;
    if (swallow) return 1;
    PyErr_Restore(etype.release(), evalue.release(), etb.release());
    return -1;
}

// Where the bytes that do not decode stand, for the note on the error.
struct BadBytes {
    bool found = false;
    uint64_t offset = 0;
    uint64_t line = 0;
    std::string bytes;  // the bytes the feed kept around the first that does not decode
};

void note_bad_bytes(const BadBytes& bad, PyObject* name) {
    if (!bad.found || !PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) return;
    if (name && PyUnicode_Check(name)) {
        add_note("the byte at offset %llu (line %llu) of %U does not decode", static_cast<unsigned long long>(bad.offset),
                 static_cast<unsigned long long>(bad.line), name);
    } else {
        add_note("the byte at offset %llu (line %llu) of the input does not decode",
                 static_cast<unsigned long long>(bad.offset), static_cast<unsigned long long>(bad.line));
    }
}

// Line ends in `text` as text mode counts them ("\n", "\r\n", a lone "\r").
uint64_t count_line_ends(PyObject* text) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    uint64_t ends = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c == '\n' || (c == '\r' && (i + 1 == n || PyUnicode_READ(kind, data, i + 1) != '\n'))) ++ends;
    }
    return ends;
}

// Drops the error of a step that is only worth trying (where a stream
// stands, where its bad bytes are), unless it is no Exception at all: a
// KeyboardInterrupt or SystemExit raised by a signal handler while the
// stream's own Python code ran ends the reading. False when it stays set.
bool drop_ordinary_error() {
    if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_Exception)) return false;
    PyErr_Clear();
    return true;
}

// text_start() with such an error set.
constexpr long long kRaised = -2;

// Where the text file object `file` stands before it is read, in bytes of
// its binary buffer: its tell(), when that is a plain byte position (a
// codec with state makes it a cookie beyond the buffer's own position);
// -1 when it cannot tell, kRaised with an error that drop_ordinary_error keeps.
long long text_start(PyObject* file) {
    Ref told(PyObject_CallMethod(file, "tell", nullptr));
    Ref buffer(told ? PyObject_GetAttrString(file, "buffer") : nullptr);
    Ref position(buffer ? PyObject_CallMethod(buffer.get(), "tell", nullptr) : nullptr);
    const long long at = position && PyLong_Check(told.get()) ? PyLong_AsLongLong(told.get()) : -1;
    const long long buffered = at >= 0 && PyLong_Check(position.get()) ? PyLong_AsLongLong(position.get()) : -1;
    if (!drop_ordinary_error()) return kRaised;
    return at >= 0 && at <= buffered ? at : -1;
}

// Where the bytes that did not decode stand when a text file object (not
// the core) decoded them, counted from `begin`, where its reading began:
// the error's bytes end where the binary buffer under the text file object
// stands, so the offset is that position less their length plus the
// error's start. The line is counted in the text from `begin` to that
// offset, decoded again; the buffer is then put back where it stood.
// Nothing is found when the buffer cannot tell or seek, or when the byte
// at the computed offset is not the error's (a codec that holds bytes back
// in some other way).
BadBytes locate_text_decode_error(PyObject* file, PyObject* error, long long begin) {
    BadBytes bad;
    if (begin < 0) return bad;
    Ref start(PyObject_GetAttrString(error, "start"));
    Ref object(start ? PyObject_GetAttrString(error, "object") : nullptr);
    Ref buffer(object ? PyObject_GetAttrString(file, "buffer") : nullptr);
    Ref encoding(buffer ? PyObject_GetAttr(file, g_state.s_encoding) : nullptr);
    Ref position(encoding ? PyObject_CallMethod(buffer.get(), "tell", nullptr) : nullptr);
    if (!position || !PyBytes_Check(object.get()) || !PyUnicode_Check(encoding.get())) {
        drop_ordinary_error();
        return bad;
    }
    // The text before it decodes as the file decoded it: with the file's
    // error handler, which may have passed over bytes before this one.
    Ref errors(PyObject_GetAttr(file, g_state.s_errors));
    const char* handler = errors && PyUnicode_Check(errors.get()) ? PyUnicode_AsUTF8(errors.get()) : nullptr;
    if (!handler) {
        if (!drop_ordinary_error()) return bad;
        handler = "strict";
    }
    const long long at = PyLong_AsLongLong(start.get());
    if (at == -1 && PyErr_Occurred()) {
        drop_ordinary_error();
        return bad;
    }
    const long long end = PyLong_AsLongLong(position.get());
    const long long offset = end - static_cast<long long>(PyBytes_GET_SIZE(object.get())) + at;
    if (PyErr_Occurred() || at < 0 || at >= PyBytes_GET_SIZE(object.get()) || offset < begin) {
        drop_ordinary_error();
        return bad;
    }
    const char* codec = PyUnicode_AsUTF8(encoding.get());
    if (!codec) {
        drop_ordinary_error();
        return bad;
    }
    Ref seek(PyObject_CallMethod(buffer.get(), "seek", "L", offset));
    Ref byte(seek ? PyObject_CallMethod(buffer.get(), "read", "i", 1) : nullptr);
    if (!byte || !PyBytes_Check(byte.get()) || PyBytes_GET_SIZE(byte.get()) != 1 ||
        PyBytes_AS_STRING(byte.get())[0] != PyBytes_AS_STRING(object.get())[at]) {
        drop_ordinary_error();
        return bad;
    }
    Ref rewound(PyObject_CallMethod(buffer.get(), "seek", "L", begin));
    Ref prefix(rewound ? PyObject_CallMethod(buffer.get(), "read", "L", offset - begin) : nullptr);
    Ref text(prefix && PyBytes_Check(prefix.get()) ? PyUnicode_FromEncodedObject(prefix.get(), codec, handler) : nullptr);
    // Back where the buffer stood also after a failure above, which is kept
    // aside meanwhile: no call into the interpreter is made with an error set.
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    Ref back(PyObject_CallMethod(buffer.get(), "seek", "L", end));
    if (type && (back || drop_ordinary_error())) {
        PyErr_Restore(type, value, traceback);
    } else {
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(traceback);
    }
    if (!text || PyUnicode_READY(text.get()) < 0 || !back) {
        drop_ordinary_error();
        return bad;
    }
    bad.found = true;
    bad.offset = static_cast<uint64_t>(offset - begin);
    bad.line = count_line_ends(text.get()) + 1;
    return bad;
}

// Adds the offset-and-line note to a UnicodeDecodeError raised while the
// text file object `file` decoded, from `begin` (text_start) on.
void note_text_decode_error(PyObject* file, PyObject* name, long long begin) {
    if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) return;
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    const BadBytes bad = value ? locate_text_decode_error(file, value, begin) : BadBytes{};
    if (PyErr_Occurred()) {
        // Interrupted meanwhile: that error ends the reading instead.
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(traceback);
        return;
    }
    PyErr_Restore(type, value, traceback);
    note_bad_bytes(bad, name);
}

// Sets the interpreter's own UnicodeDecodeError for `data`, which holds
// bytes that do not decode: its reason, and its positions within `data`.
void raise_decode_error(reading::Encoding encoding, const char* data, size_t length) {
    const char* codec = encoding == reading::Encoding::ascii ? "ascii" : "utf-8";
    Ref text(PyUnicode_Decode(data, static_cast<Py_ssize_t>(length), codec, "strict"));
    if (!text) return;
    // They decode after all: the feed and the interpreter disagree, which
    // the tests rule out; still an error, never a text read wrong.
    PyObject* error = PyUnicodeDecodeError_Create(codec, data, static_cast<Py_ssize_t>(length), 0,
                                                  length > 0 ? 1 : 0, "the bytes do not decode");
    if (error) {
        PyErr_SetObject(PyExc_UnicodeDecodeError, error);
        Py_DECREF(error);
    }
}

// The error for bytes of a stream that do not decode, found while the
// piece `bytes`[0, n) at `offset` was fed: the piece, as the interpreter's
// text reading decodes a stream piece by piece, or the few bytes the feed
// kept when the bad sequence began in the piece before or the bytes ended
// inside a character.
void raise_stream_decode_error(reading::Encoding encoding, const reading::ByteFeed& feed, const char* bytes,
                               size_t n, uint64_t offset) {
    if (feed.error_offset() >= offset && n > 0) {
        // The piece may begin with the last bytes of a character begun in
        // the piece before, which decode only with it: the piece is decoded
        // from the byte after them (before the bad one, which is no such
        // byte when it stands first).
        const size_t bad = static_cast<size_t>(feed.error_offset() - offset);
        size_t from = 0;
        while (from < 3 && from < bad && (static_cast<unsigned char>(bytes[from]) & 0xc0) == 0x80) ++from;
        raise_decode_error(encoding, bytes + from, n - from);
    } else {
        raise_decode_error(encoding, reinterpret_cast<const char*>(feed.error_bytes()), feed.error_bytes_length());
    }
}

// A UnicodeDecodeError tells positions within the piece of bytes that was
// being decoded, so its text depends on how the file was read. Reads the
// lines of `file` from where it stands, as readlines() does, and drops
// them: 1 with the error that reading the lines raised (a
// UnicodeDecodeError), 0 without an exception when every line decoded
// (the file changed meanwhile), -1 with any other exception.
int decode_error_of_lines(PyObject* file) {
    Ref lines(PyObject_GetIter(file));
    if (!lines) return -1;
    for (size_t count = 1;; ++count) {
        Ref line(PyIter_Next(lines.get()));
        if (!line) break;
        if (count % 4096 == 0 && PyErr_CheckSignals() < 0) return -1;
    }
    if (!PyErr_Occurred()) return 0;
    return PyErr_ExceptionMatches(PyExc_UnicodeDecodeError) ? 1 : -1;
}

// After reading the text file object `file` in pieces failed with a
// UnicodeDecodeError: replaces that error with the one reading the file's
// lines from its start with the chunk size `chunk_size` gives. Keeps the
// first error where the file cannot go back to its start or then decodes.
void decode_error_as_lines_give(PyObject* file, PyObject* chunk_size) {
    if (!chunk_size || !PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) return;
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    Ref etype(type), evalue(value), etb(traceback);
    Ref rewound(PyObject_CallMethodOneArg(file, g_state.s_seek, g_state.int_zero));
    const int again = rewound && PyObject_SetAttr(file, g_state.s_chunk_size, chunk_size) == 0
                          ? decode_error_of_lines(file)
                          : 0;
    if (again != 0 || !drop_ordinary_error()) return;
    PyErr_Restore(etype.release(), evalue.release(), etb.release());
}

// How feeding a file's text to the splitter ended.
enum class Fed {
    done,
    core_failed,  // the core's context says why
    raised,       // with an exception
    undecodable,  // bytes that do not decode
    unsupported,  // this system cannot read the descriptor so
};

// Feeds decoded text from `read(size)` calls (str pieces) until it returns
// an empty str.
Fed feed_text(Reading& r, PyObject* read) {
    reading::CharFeed feed(r.splitter);
    Ref size(PyLong_FromSsize_t(kCharChunk));
    if (!size) return Fed::raised;
    for (;;) {
        Ref chunk(PyObject_CallOneArg(read, size.get()));
        if (!chunk) return Fed::raised;
        if (!PyUnicode_Check(chunk.get())) {
            PyErr_Format(PyExc_TypeError, "read() should return a str, not %.200s", Py_TYPE(chunk.get())->tp_name);
            return Fed::raised;
        }
        if (PyUnicode_READY(chunk.get()) < 0) return Fed::raised;
        const Py_ssize_t n = PyUnicode_GET_LENGTH(chunk.get());
        if (n == 0) break;
        const reading::TextView view = view_of(chunk.get());
        const reading::Outcome fed =
            without_lock(r, n >= kCharChunk, [&] { return feed.feed(view); }, reading::Outcome::fail);
        if (fed == reading::Outcome::fail) return Fed::core_failed;
        if (PyErr_CheckSignals() < 0) return Fed::raised;
    }
    return feed.finish() == reading::Outcome::fail ? Fed::core_failed : Fed::done;
}

// Reads bytes from a file descriptor and decodes them in C++, without the
// interpreter lock (`bad` says where bytes do not decode).
Fed feed_descriptor(Reading& r, int fd, reading::Encoding encoding, BadBytes& bad) {
    reading::ByteFeed feed(r.splitter, encoding);
    const reading::DescriptorRead read = without_lock(
        r, true, [&] { return reading::read_descriptor(fd, r.splitter, feed, r.ctx, r.text); },
        reading::DescriptorRead{reading::DescriptorRead::Status::failed, 0});
    switch (read.status) {
        case reading::DescriptorRead::Status::done: return Fed::done;
        case reading::DescriptorRead::Status::invalid:
            bad.found = true;
            bad.offset = feed.error_offset();
            bad.line = feed.error_line();
            bad.bytes = feed.error_data();
            return Fed::undecodable;
        case reading::DescriptorRead::Status::failed: return Fed::core_failed;
        case reading::DescriptorRead::Status::os_error:
            errno = read.error;
            PyErr_SetFromErrno(PyExc_OSError);
            return Fed::raised;
        case reading::DescriptorRead::Status::unsupported: return Fed::unsupported;
    }
    return Fed::unsupported;
}

// Serials of texts read, from 1 on: never one of a text freed before.
std::atomic<uint64_t> next_text_serial{1};

// Files the stored blocks into `blocks`, in file order.
int commit(Reading& r, PyObject* blocks, PyObject* name, ReadResult& result) {
    r.text.chars.shrink_to_fit();
    r.text.starts.shrink_to_fit();
    if (name && PyUnicode_Check(name)) {
        // Kept with the text, so that a note on one of its lines names this
        // file, also when the block is read through another parser.
        Ref bytes(PyUnicode_AsEncodedString(name, "utf-8", "surrogatepass"));
        if (!bytes) return -1;
        try {
            r.text.name.emplace(PyBytes_AS_STRING(bytes.get()), static_cast<size_t>(PyBytes_GET_SIZE(bytes.get())));
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
            return -1;
        }
    }
    SharedText file;
    SharedReport report;
    try {
        r.text.serial = r.report.text_serial = next_text_serial.fetch_add(1, std::memory_order_relaxed);
        file = std::make_shared<const reading::FileText>(std::move(r.text));
        report = std::make_shared<const reading::ReadReport>(std::move(r.report));
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return -1;
    }
    for (size_t k = 0; k < file->blocks.size(); ++k) {
        // A file of millions of short blocks takes seconds here: Ctrl-C is
        // looked for meanwhile, as while the file was read.
        if (k % kBlocksPerSignalCheck == 0 && k > 0 && PyErr_CheckSignals() < 0) return -1;
        const int32_t id = file->blocks[k].id;
        Ref block(new_text_block(id, file, k));
        Ref key(block ? PyLong_FromLong(id) : nullptr);
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
    // Only with every block filed: an interrupted reading leaves the blocks
    // filed so far without the report of the whole file.
    result.report = report;
    return 0;
}

// After the whole text was read (done), or the core failed reading it.
int finish(Reading& r, Fed status, PyObject* blocks, PyObject* name, ReadResult& result) {
    if (status == Fed::done) return commit(r, blocks, name, result);
    if (r.ctx.failure().kind != reading::Failure::Kind::out_of_range) {
        if (r.ctx.failure().kind == reading::Failure::Kind::no_memory) {
            PyErr_NoMemory();
        } else {
            r.host.restore_error();
        }
        return -1;
    }
    // A block number out of range: the blocks before it are kept.
    const uint64_t line = r.report.overflow_line;
    if (commit(r, blocks, name, result) < 0) return -1;
    PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
    if (name && PyUnicode_Check(name)) {
        add_note("the block number on line %llu of %U", static_cast<unsigned long long>(line), name);
    } else {
        add_note("the block number on line %llu", static_cast<unsigned long long>(line));
    }
    return -1;
}

// Reads the opened text file `file` (inside its with-block) into `blocks`.
int read_text_file(PyObject* file, PyObject* path, PyObject* blocks, ReadResult& result) {
    Ref encoding(PyObject_GetAttr(file, g_state.s_encoding));
    if (!encoding) PyErr_Clear();
    Ref errors(PyObject_GetAttr(file, g_state.s_errors));
    if (!errors) PyErr_Clear();
    reading::Encoding native = reading::Encoding::utf8;
    const int can = native_encoding(encoding.get(), errors ? errors.get() : Py_None, native);
    if (can < 0) return -1;
    BadBytes bad;
    if (can > 0) {
        Ref fileno(PyObject_CallMethodNoArgs(file, g_state.s_fileno));
        const int fd = fileno ? PyLong_AsLong(fileno.get()) : -1;
        if (fd >= 0 && !PyErr_Occurred()) {
            auto r = std::make_unique<Reading>();
            const Fed status = feed_descriptor(*r, fd, native, bad);
            if (status == Fed::done || status == Fed::core_failed) return finish(*r, status, blocks, path, result);
            if (status == Fed::raised) return -1;
            // Bytes that do not decode, or no descriptor reading: from the
            // start again through the text file object (for the
            // interpreter's own error).
            Ref rewound(PyObject_CallMethodOneArg(file, g_state.s_seek, g_state.int_zero));
            if (!rewound) {
                if (!bad.found) return -1;
                // A pipe cannot be read again: the error is made from the
                // bytes the feed kept.
                PyErr_Clear();
                raise_decode_error(native, bad.bytes.data(), bad.bytes.size());
                note_bad_bytes(bad, path);
                return -1;
            }
            if (bad.found) {
                // The interpreter's own error, as reading the lines raises it.
                const int raised = decode_error_of_lines(file);
                if (raised == 1) note_bad_bytes(bad, path);
                if (raised != 0) return -1;
                rewound = Ref(PyObject_CallMethodOneArg(file, g_state.s_seek, g_state.int_zero));
                if (!rewound) return -1;
            }
        } else {
            PyErr_Clear();
        }
    }
    Ref chunk_size(PyObject_GetAttr(file, g_state.s_chunk_size));
    if (!chunk_size) PyErr_Clear();
    {
        Ref size(PyLong_FromLong(kDecodeChunk));
        if (!size || PyObject_SetAttr(file, g_state.s_chunk_size, size.get()) < 0) PyErr_Clear();
    }
    Ref read(PyObject_GetAttr(file, g_state.s_read));
    if (!read) return -1;
    auto r = std::make_unique<Reading>();
    const Fed status = feed_text(*r, read.get());
    if (status == Fed::raised) {
        decode_error_as_lines_give(file, chunk_size.get());
        if (bad.found) {
            note_bad_bytes(bad, path);
        } else {
            // decode_error_as_lines_give read the file from its start.
            note_text_decode_error(file, path, 0);
        }
        return -1;
    }
    return finish(*r, status, blocks, path, result);
}

// read(0) must give nothing. A stream that takes 0 for "all of it" (or
// ignores the size) would have that text dropped with the probe, and the
// reading would succeed without it. -1 with ValueError then.
int refuse_probe_data(PyObject* probe) {
    Py_ssize_t length = 0;
    if (PyUnicode_Check(probe)) {
        if (PyUnicode_READY(probe) < 0) return -1;
        length = PyUnicode_GET_LENGTH(probe);
    } else if (PyObject_CheckBuffer(probe)) {
        Py_buffer view;
        if (PyObject_GetBuffer(probe, &view, PyBUF_SIMPLE) < 0) return -1;
        length = view.len;
        PyBuffer_Release(&view);
    }
    if (length == 0) return 0;
    PyErr_Format(PyExc_ValueError, "read(0) returned %zd items instead of none: the stream's read(size) must "
                 "return at most size characters or bytes", length);
    return -1;
}

// None is what io's binary streams return from read() in non-blocking mode
// when no data is ready: not the end of the data, and nothing to wait for
// here. (tremix.reading.NO_DATA_READY says the same for other routes.)
int raise_no_data_ready() {
    Ref args(Py_BuildValue("(is)", EAGAIN, "the stream is in non-blocking mode and had no data ready: "
                                           "its data was not all read; read it in blocking mode"));
    if (args) PyErr_SetObject(PyExc_BlockingIOError, args.get());
    return -1;
}

}  // namespace

int decodes_itself(PyObject* encoding, PyObject* errors) {
    reading::Encoding native = reading::Encoding::utf8;
    return native_encoding(encoding, errors, native);
}

int read_path(PyObject* path, PyObject* blocks, ReadResult& result) {
    Ref file(PyObject_CallFunctionObjArgs(g_state.builtin_open, path, g_state.s_r, nullptr));
    if (!file) return -1;
    Ref exit(PyObject_GetAttr(file.get(), g_state.s_exit));
    if (!exit) return -1;
    Ref entered(PyObject_CallMethodNoArgs(file.get(), g_state.s_enter));
    if (!entered) return -1;
    try {
        if (read_text_file(entered.get(), path, blocks, result) < 0) return exit_with_error(exit.get()) > 0 ? 0 : -1;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return exit_with_error(exit.get()) > 0 ? 0 : -1;
    }
    Ref closed(PyObject_Call(exit.get(), g_state.tuple_none3, nullptr));
    return closed ? 0 : -1;
}

int read_stream(PyObject* stream, PyObject* encoding, PyObject* errors, PyObject* name, PyObject* blocks,
                ReadResult& result) {
    try {
        Ref read(PyObject_GetAttr(stream, g_state.s_read));
        if (!read) return -1;
        // A text stream hands out str; a binary one bytes.
        Ref probe(PyObject_CallFunction(read.get(), "i", 0));
        if (!probe || refuse_probe_data(probe.get()) < 0) return -1;
        if (PyUnicode_Check(probe.get())) {
            const long long begin = text_start(stream);
            if (begin == kRaised) return -1;
            auto r = std::make_unique<Reading>();
            const Fed status = feed_text(*r, read.get());
            if (status == Fed::raised) {
                note_text_decode_error(stream, name, begin);
                return -1;
            }
            return finish(*r, status, blocks, name, result);
        }
        reading::Encoding native = reading::Encoding::utf8;
        const int can = native_encoding(encoding, errors, native);
        if (can < 0) return -1;
        if (can == 0) {
            if (encoding == Py_None) {
                // Taken for a text stream (by its class), yet it reads bytes.
                PyErr_Format(PyExc_TypeError, "read() should return a str, not %.200s", Py_TYPE(probe.get())->tp_name);
            } else {
                PyErr_SetString(PyExc_ValueError, "the encoding is to be decoded by a text wrapper");
            }
            return -1;
        }
        auto r = std::make_unique<Reading>();
        reading::ByteFeed feed(r->splitter, native);
        Ref size(PyLong_FromSsize_t(static_cast<Py_ssize_t>(kByteChunk)));
        if (!size) return -1;
        Fed status = Fed::done;
        uint64_t offset = 0;  // of the current piece in the stream
        std::vector<char> copied;
        for (;;) {
            Ref chunk(PyObject_CallOneArg(read.get(), size.get()));
            if (!chunk) return -1;
            if (chunk.get() == Py_None) return raise_no_data_ready();
            Py_buffer view;
            if (PyObject_GetBuffer(chunk.get(), &view, PyBUF_SIMPLE) < 0) return -1;
            const size_t n = static_cast<size_t>(view.len);
            // The feed reads each byte more than once (a line is checked for
            // plain ASCII, then copied), and without the lock: the bytes of
            // anything but a bytes object (a bytearray, a memoryview of one,
            // a shared mapping) could change in between, and an ASCII-only
            // block would then store a byte above 0x7f, which makes its
            // lines invalid str objects. Such bytes are copied first.
            const char* bytes = static_cast<const char*>(view.buf);
            if (!PyBytes_Check(chunk.get())) {
                try {
                    copied.assign(bytes, bytes + n);
                } catch (const std::bad_alloc&) {
                    PyBuffer_Release(&view);
                    throw;
                }
                bytes = copied.data();
            }
            PyBuffer_Release(&view);
            const reading::Outcome fed = without_lock(
                *r, n > (1 << 16), [&] { return n == 0 ? feed.finish() : feed.feed(bytes, n); },
                reading::Outcome::fail);
            if (fed == reading::Outcome::fail) {
                if (feed.invalid()) {
                    raise_stream_decode_error(native, feed, bytes, n, offset);
                    note_bad_bytes(BadBytes{true, feed.error_offset(), feed.error_line()}, name);
                    return -1;
                }
                status = Fed::core_failed;
                break;
            }
            offset += n;
            if (n == 0) break;
            if (PyErr_CheckSignals() < 0) return -1;
        }
        return finish(*r, status, blocks, name, result);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return -1;
    }
}

}  // namespace tremix
