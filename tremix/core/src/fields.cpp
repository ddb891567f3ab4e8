#include "fields.hpp"

#include <new>

namespace tremix {

namespace {

// str.split()/str.strip() whitespace: for ASCII \t \n \v \f \r, the
// information separators \x1c-\x1f and space; beyond ASCII the Unicode
// white-space characters.
inline bool is_space(Py_UCS4 ch) {
    if (ch < 128) {
        return ch == ' ' || (ch >= '\t' && ch <= '\r') || (ch >= 0x1c && ch <= 0x1f);
    }
    return Py_UNICODE_ISSPACE(ch);
}

template <typename Char>
Field strip_chars(const Char* s, Py_ssize_t begin, Py_ssize_t end) {
    while (begin < end && is_space(s[begin])) ++begin;
    while (end > begin && is_space(s[end - 1])) --end;
    return Field{begin, end - begin};
}

template <typename Char>
void split_typed(const Char* s, Py_ssize_t length, FieldList& out) {
    Py_ssize_t end = length;
    while (end > 0 && s[end - 1] == ',') --end;  // rstrip(",")
    const Field text = strip_chars(s, 0, end);
    const Py_ssize_t begin = text.start;
    end = text.start + text.length;

    bool has_comma = false;
    for (Py_ssize_t i = begin; i < end; ++i) {
        if (s[i] == ',') {
            has_comma = true;
            break;
        }
    }
    if (has_comma) {
        Py_ssize_t piece = begin;
        for (Py_ssize_t i = begin; i <= end; ++i) {
            if (i == end || s[i] == ',') {
                const Field f = strip_chars(s, piece, i);
                if (f.length > 0) out.push_back(f);
                piece = i + 1;
            }
        }
        return;
    }
    Py_ssize_t i = begin;
    while (i < end) {
        while (i < end && is_space(s[i])) ++i;
        if (i >= end) break;
        const Py_ssize_t start = i;
        while (i < end && !is_space(s[i])) ++i;
        out.push_back(Field{start, i - start});
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
