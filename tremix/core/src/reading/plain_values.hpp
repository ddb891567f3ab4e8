// Record lines written the way exporters write them, read without
// splitting them first. Each reader takes only lines whose fields it can be
// sure of (no blank anywhere in what it reads, no empty field) and gives
// exactly what splitting and converting field by field gives; any other
// line is left to the split.
#pragma once

#include <optional>
#include <vector>

#include "context.hpp"
#include "decimal_scan.hpp"
#include "text.hpp"

namespace tremix::reading {

// An id field at p, an optional minus and one to nine digits, and the
// comma after it: the position after the comma, or null.
inline const char* read_plain_id(const char* p, const char* end, int32_t& id) {
    const bool negative = p < end && *p == '-';
    p += negative;
    const char* const digits = p;
    int32_t magnitude = 0;
    while (p < end && p - digits < 9 && is_ascii_digit(*p)) magnitude = magnitude * 10 + (*p++ - '0');
    if (p == digits || p >= end || *p != ',') return nullptr;  // a tenth digit is not a comma either
    id = negative ? -magnitude : magnitude;
    return p + 1;
}

// The values of a line written the way exporters write them, read without
// splitting it: one-byte text, every value in the straight scientific shape
// and followed at once by a comma, nothing after the last value but commas.
// Such a line has no blank and no empty field, so splitting it would give
// exactly these values' texts, and it is never an end-of-data line. Empty
// (nothing gathered) for any other line, which is then split and read field
// by field.
template <bool Convert>
std::optional<Outcome> gather_plain_values(Context& ctx, const TextView& text, std::vector<double>& range,
                                           size_t& gathered) {
    const char* const s = text.narrow();
    if (!s) return std::nullopt;
    const char* const limit = s + text.length;
    const char* end = limit;
    while (end > s && end[-1] == ',') --end;
    const size_t range_before = range.size();
    const size_t gathered_before = gathered;
    for (const char* p = s; p < end;) {
        if (!ctx.tick()) return Outcome::fail;
        const char* stop;
        if constexpr (Convert) {
            double v;
            stop = scan_scientific(p, end, limit, v);
            if (stop) range.push_back(v);
        } else {
            stop = scientific_end(p, end, limit);
        }
        if (!stop || (stop < end && *stop != ',')) break;
        ++gathered;
        if (stop == end) return Outcome::ok;
        p = stop + 1;
    }
    range.resize(range_before);
    gathered = gathered_before;
    return std::nullopt;
}

// A single-value record written the usual way, "12,-1.2084482E-07,": an id
// of an optional minus and one to nine digits, a comma, one value as
// gather_plain_values reads it, then only commas. False for any other
// line, which is then split (an end-of-data line "-1,0.," among them).
template <bool Convert>
bool read_plain_single(const TextView& text, int32_t& id, double& value) {
    const char* const s = text.narrow();
    if (!s) return false;
    const char* const limit = s + text.length;
    const char* end = limit;
    while (end > s && end[-1] == ',') --end;
    const char* p = read_plain_id(s, end, id);
    if (!p) return false;
    const char* stop;
    if constexpr (Convert) {
        stop = scan_scientific(p, end, limit, value);
    } else {
        stop = scientific_end(p, end, limit);
    }
    return stop == end;
}

// A node line: the id, ten fields of printable ASCII that are not read,
// and the three coordinates as plain decimals, each followed by a comma or
// the end of the line's text; whatever follows the coordinates is not read.
inline bool read_plain_node(const TextView& text, int32_t& id, double (&xyz)[3]) {
    const char* const s = text.narrow();
    if (!s) return false;
    const char* const end = s + text.length;
    const char* p = read_plain_id(s, end, id);
    if (!p) return false;
    for (int field = 0; field < 10; ++field) {
        const char* const start = p;
        while (p < end && *p != ',' && static_cast<unsigned char>(*p - 0x21) < 0x5e) ++p;
        if (p == start || p >= end || *p != ',') return false;
        ++p;
    }
    for (int axis = 0; axis < 3; ++axis) {
        bool out_of_range;
        const char* stop = scan_scientific(p, end, end, xyz[axis]);  // the usual shape, inline
        if (!stop) stop = scan_plain_decimal(p, end, end, xyz[axis], out_of_range);
        if (!stop) return false;
        if (axis == 2) return stop == end || *stop == ',';
        if (stop == end || *stop != ',') return false;
        p = stop + 1;
    }
    return false;
}

}  // namespace tremix::reading
