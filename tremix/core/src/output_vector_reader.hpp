// The output vector layout of blocks 1051 and 451, shared by the record form
// and the array form of the extractor.
//
// A vector is a start line (set id, vector id), a title line, some header
// lines, an entity-type line pair (4 integers, then 3 integers; the 4th
// integer of the first line is the entity type) and then data records up to
// an end-of-data marker line "-1, 0.". Data records are single values
// (entity id, value) or ranges (first id, last id, values...) whose values
// may continue over the following lines.
//
// Everything here reads lines through SplitLine, which re-checks the list's
// current size on every access: conversions that fall back to the
// interpreter allocate, and a finalizer may change the list meanwhile.
#pragma once

#include <algorithm>
#include <concepts>
#include <new>
#include <vector>

#include "quick_numbers.hpp"

namespace tremix::vectors {

// At least two fields, exactly "-1" and "0." (text, not value: "-1, 0.0" is
// a data record for entity -1).
inline bool is_end_marker(const SplitLine& line) {
    return line.size() >= 2 && line.field_is(0, "-1") && line.field_is(1, "0.");
}

// Whether the line could split into a first field "-1": false when its
// first field plainly starts otherwise (a digit, say, or "-1." or "-2"),
// which settles nearly every data line without splitting it. In either
// split mode the first field starts at the first non-blank character unless
// that is a comma; it is "-1" only if a blank, a comma or the line's end
// follows. Anything outside ASCII is left to the full split.
inline bool may_be_end_marker(const StrView& view) {
    Py_ssize_t i = 0;
    while (i < view.length && quick::is_ascii_space(view.at(i))) ++i;
    if (i == view.length) return false;  // blank: no fields
    const Py_UCS4 first = view.at(i);
    if (first == ',' || first >= 128) return true;
    if (first != '-') return false;
    if (i + 1 == view.length || view.at(i + 1) != '1') return i + 1 < view.length && view.at(i + 1) >= 128;
    if (i + 2 == view.length) return true;
    const Py_UCS4 after = view.at(i + 2);
    return after == ',' || after >= 128 || quick::is_ascii_space(after);
}

// Loads lines[i] and tells whether it is an end-of-data marker: 1 yes, 0 no,
// -1 with an exception (IndexError for a shrunk list, TypeError for a
// non-str line). The line is split only when its start leaves it open.
inline int load_is_end_marker(SplitLine& line, PyObject* lines, Py_ssize_t i) {
    line.str = Ref(line_at(lines, i));
    if (!line.str) return -1;
    line.view = view_of(line.str.get());
    if (!may_be_end_marker(line.view)) return 0;
    try {
        split_fields(line.view, line.fields);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return -1;
    }
    return is_end_marker(line) ? 1 : 0;
}

// Where a vector's data begins.
struct VectorHeader {
    int32_t ent_type = -1;
    bool found = false;
    Py_ssize_t data_start = 0;
};

// Checks one candidate pair; Ok when all seven fields are integers (the
// entity type then set), Invalid when one is not, Error (OverflowError for
// an entity type beyond 32 bits, or another exception) ends the search.
inline Conv check_pair(const SplitLine& first, const SplitLine& second, int32_t& ent_type) {
    for (size_t f = 0; f < 3; ++f) {
        const Conv c = first.is_int(f);
        if (c != Conv::Ok) return c;
    }
    const Conv c = first.to_int32(3, ent_type);
    if (c != Conv::Ok) return c;
    for (size_t f = 0; f < 3; ++f) {
        const Conv c2 = second.is_int(f);
        if (c2 != Conv::Ok) return c2;
    }
    return Conv::Ok;
}

// Searches the entity-type line pair from start + 3 to the end of the list
// (past the vector's own end if need be). The list's length is read again at
// every test. -1 with an exception set when a line cannot be read or a
// conversion fails otherwise than by rejecting its text.
inline int locate_header(PyObject* lines, Py_ssize_t start, SplitLine& first, SplitLine& second,
                         VectorHeader& out) {
    for (Py_ssize_t k = start + 3; k + 1 < line_count(lines); ++k) {
        // Line k is usually the line k + 1 of the previous step: the same
        // str object splits the same way, so its fields are taken over.
        if (second.str && k > start + 3 && PyList_GET_ITEM(lines, k) == second.str.get()) {
            std::swap(first, second);
        } else if (first.load(lines, k) < 0) {
            return -1;
        }
        if (second.load(lines, k + 1) < 0) return -1;
        if (first.size() != 4 || second.size() != 3) continue;
        int32_t ent_type;
        const Conv c = check_pair(first, second, ent_type);
        if (c == Conv::Error) return -1;
        if (c == Conv::Ok) {
            out = VectorHeader{ent_type, true, k + 2};
            return 0;
        }
    }
    out = VectorHeader{-1, false, line_count(lines)};
    return 0;
}

// Where the values read from data records go. A range record's values are
// gathered at the end of `range_values()`, from `begin` on; `end_range`
// then keeps the first `stored` of them for the ids first, first + 1, ...
// Both calls return false with an exception set.
template <typename Sink>
concept ValueSink = requires(Sink s, int32_t id, double v, size_t n) {
    { s.range_values() } -> std::same_as<std::vector<double>&>;
    { s.store(id, v) } -> std::same_as<bool>;
    { s.end_range(id, n, n) } -> std::same_as<bool>;
};

// Passes over a vector that is not wanted: lines are only checked for the
// end-of-data marker, nothing is converted. `i` ends after the marker or at
// `n`. -1 with an exception set (i then on the line that failed).
inline int skip_data_records(PyObject* lines, Py_ssize_t n, Py_ssize_t& i, SplitLine& line) {
    while (i < n) {
        const int marker = load_is_end_marker(line, lines, i);
        if (marker < 0) return -1;
        ++i;
        if (marker) break;
    }
    return 0;
}

// Reads data records from line i up to and including the end-of-data marker
// (or to n) into `sink`. On a failure `i` is the line being read, so the
// caller can resume after it; the Step tells whether the failure is one
// that passes the vector over (Skip) or ends the call (Fail).
template <ValueSink Sink>
Step read_data_records(PyObject* lines, Py_ssize_t n, Py_ssize_t& i, SplitLine& line, Sink& sink) {
    auto failed = [] { return absorb_record_failure() ? Step::Skip : Step::Fail; };
    std::vector<double>& values = sink.range_values();
    auto convert_all = [&](const SplitLine& source, size_t from) -> Step {
        for (size_t f = from; f < source.size(); ++f) {
            double v;
            const Step s = step_of(quick::parse_float(source, f, v));
            if (s != Step::Ok) return s;
            values.push_back(v);
        }
        return Step::Ok;
    };
    try {
        while (i < n) {
            line.str = Ref(line_at(lines, i));
            if (!line.str) return failed();
            line.view = view_of(line.str.get());
            if (!may_be_end_marker(line.view)) {
                int32_t id;
                double value;
                if (quick::single_value_line(line.view, id, value)) {
                    if (!sink.store(id, value)) return failed();
                    ++i;
                    continue;
                }
            }
            split_fields(line.view, line.fields);
            if (is_end_marker(line)) {
                ++i;
                return Step::Ok;
            }
            const size_t fields = line.size();
            if (fields == 2) {
                int32_t id;
                double value;
                Step s = step_of(line.to_int32(0, id));
                if (s != Step::Ok) return s;
                s = step_of(quick::parse_float(line, 1, value));
                if (s != Step::Ok) return s;
                if (!sink.store(id, value)) return failed();
                ++i;
            } else if (fields >= 3) {
                int32_t first, last;
                Step s = step_of(line.to_int32(0, first));
                if (s != Step::Ok) return s;
                s = step_of(line.to_int32(1, last));
                if (s != Step::Ok) return s;
                const size_t begin = values.size();
                s = convert_all(line, 2);
                if (s != Step::Ok) return s;
                // 64-bit: a range from INT32_MIN to INT32_MAX still counts right.
                const int64_t count = int64_t{last} - first + 1;
                ++i;
                while (static_cast<int64_t>(values.size() - begin) < count && i < n) {
                    line.str = Ref(line_at(lines, i));
                    if (!line.str) return failed();
                    line.view = view_of(line.str.get());
                    // A line of plain values converts in one pass; anything
                    // else is split and converted field by field.
                    if (may_be_end_marker(line.view) || !quick::append_values_line(line.view, values)) {
                        split_fields(line.view, line.fields);
                        if (is_end_marker(line)) break;  // read again above: it ends the vector
                        s = convert_all(line, 0);
                        if (s != Step::Ok) return s;
                    }
                    ++i;
                }
                const int64_t gathered = static_cast<int64_t>(values.size() - begin);
                const size_t stored = count <= 0 ? 0 : static_cast<size_t>(std::min(count, gathered));
                if (!sink.end_range(first, begin, stored)) return failed();
            } else {
                ++i;
            }
        }
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return Step::Fail;
    }
    return Step::Ok;
}

}  // namespace tremix::vectors
