#include "fields.hpp"

#include <array>
#include <cstring>
#include <new>

namespace tremix {

namespace {

// str.split()/str.strip() whitespace among the first 256 code points: \t \n
// \v \f \r, the information separators \x1c-\x1f, space, NEL (\x85) and
// no-break space (\xa0). One table serves every character of a 1-byte str.
constexpr std::array<bool, 256> kLatin1Space = [] {
    std::array<bool, 256> table{};
    for (int ch : {0x09, 0x0a, 0x0b, 0x0c, 0x0d, 0x1c, 0x1d, 0x1e, 0x1f, 0x20, 0x85, 0xa0}) table[ch] = true;
    return table;
}();

template <typename Char>
inline bool is_space(Char ch) {
    if constexpr (sizeof(Char) == 1) {
        return kLatin1Space[ch];
    } else {
        return ch < 256 ? kLatin1Space[ch] : Py_UNICODE_ISSPACE(ch) != 0;
    }
}

// Position of the first comma in [begin, end), or `end`.
template <typename Char>
inline Py_ssize_t find_comma(const Char* s, Py_ssize_t begin, Py_ssize_t end) {
    if constexpr (sizeof(Char) == 1) {
        const void* hit = std::memchr(s + begin, ',', static_cast<size_t>(end - begin));
        return hit ? static_cast<const Char*>(hit) - s : end;
    } else {
        while (begin < end && s[begin] != ',') ++begin;
        return begin;
    }
}

template <typename Char>
inline Field strip_chars(const Char* s, Py_ssize_t begin, Py_ssize_t end) {
    while (begin < end && is_space(s[begin])) ++begin;
    while (end > begin && is_space(s[end - 1])) --end;
    return Field{begin, end - begin};
}

// rstrip(","), strip(), then comma mode when a comma is left, else
// whitespace mode. Commas are never whitespace, so the comma test on the
// stripped text is the same as a search between its ends.
template <typename Char>
void split_typed(const Char* s, Py_ssize_t length, FieldList& out) {
    Py_ssize_t end = length;
    while (end > 0 && s[end - 1] == ',') --end;
    const Field text = strip_chars(s, 0, end);
    const Py_ssize_t begin = text.start;
    end = text.start + text.length;

    const Py_ssize_t first_comma = find_comma(s, begin, end);
    if (first_comma < end) {
        // Pieces are short: one plain pass beats a search call per piece.
        Py_ssize_t piece = begin;
        for (Py_ssize_t i = first_comma; i < end; ++i) {
            if (s[i] != ',') continue;
            const Field f = strip_chars(s, piece, i);
            if (f.length > 0) out.push_back(f);
            piece = i + 1;
        }
        const Field last = strip_chars(s, piece, end);
        if (last.length > 0) out.push_back(last);
        return;
    }
    Py_ssize_t i = begin;
    while (i < end) {
        const Py_ssize_t start = i;
        while (i < end && !is_space(s[i])) ++i;
        out.push_back(Field{start, i - start});
        while (i < end && is_space(s[i])) ++i;
    }
}

template <typename Fn>
decltype(auto) with_chars(const StrView& v, Fn&& fn) {
    switch (v.kind) {
        case PyUnicode_1BYTE_KIND:
            return fn(static_cast<const Py_UCS1*>(v.data));
        case PyUnicode_2BYTE_KIND:
            return fn(static_cast<const Py_UCS2*>(v.data));
        default:
            return fn(static_cast<const Py_UCS4*>(v.data));
    }
}

}  // namespace

void split_fields(const StrView& line, FieldList& out) {
    out.clear();
    with_chars(line, [&](const auto* s) { split_typed(s, line.length, out); });
}

Field strip_span(const StrView& text) {
    return with_chars(text, [&](const auto* s) { return strip_chars(s, 0, text.length); });
}

Field title_span(const StrView& text) {
    return with_chars(text, [&](const auto* s) {
        Field f = strip_chars(s, 0, text.length);
        while (f.length > 0 && s[f.start + f.length - 1] == ',') --f.length;
        return f;
    });
}

bool span_equals_ascii(const StrView& text, Field span, const char* ascii) {
    Py_ssize_t i = 0;
    for (; ascii[i] != '\0'; ++i) {
        if (i >= span.length || text.at(span.start + i) != static_cast<unsigned char>(ascii[i])) {
            return false;
        }
    }
    return i == span.length;
}

PyObject* span_to_str(PyObject* str, Field span) {
    return PyUnicode_Substring(str, span.start, span.start + span.length);
}

PyObject* fields_to_list(PyObject* str, const FieldList& fields) {
    Ref list(PyList_New(static_cast<Py_ssize_t>(fields.size())));
    if (!list) return nullptr;
    for (size_t i = 0; i < fields.size(); ++i) {
        PyObject* item = span_to_str(str, fields[i]);
        if (!item) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

PyObject* parse_csv_line_fast(PyObject* line) {
    if (!PyUnicode_CheckExact(line)) {
        PyErr_Format(PyExc_TypeError, "a record line must be a str, not %.200s", Py_TYPE(line)->tp_name);
        return nullptr;
    }
    FieldList fields;
    try {
        split_fields(view_of(line), fields);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    return fields_to_list(line, fields);
}

PyObject* title_of(PyObject* line) {
    const StrView v = view_of(line);
    const Field span = title_span(v);
    if (span_equals_ascii(v, span, "<NULL>")) return PyUnicode_FromStringAndSize("", 0);
    if (span.start == 0 && span.length == v.length) return new_ref(line);
    return span_to_str(line, span);
}

}  // namespace tremix
