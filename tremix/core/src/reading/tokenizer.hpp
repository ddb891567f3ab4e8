// The field syntax of record lines. A line loses its trailing commas and
// its surrounding whitespace; if a comma is left anywhere, it splits at
// every comma (pieces stripped, empty pieces dropped), else at runs of
// whitespace. Fields are spans of the line; no text is copied.
#pragma once

#include <vector>

#include "text.hpp"

namespace tremix::reading {

using FieldList = std::vector<Span>;

// `out` is cleared first; it is meant to be reused from line to line.
void split_fields(const TextView& line, FieldList& out);

// str.strip().
Span strip_span(const TextView& text);

// A title line: surrounding whitespace stripped, then trailing commas
// removed; "<NULL>" stands for no title and gives an empty span.
Span title_span(const TextView& text);

// Whether a line holds no field at all (blank, or only commas and blanks).
bool is_blank(const TextView& line);

}  // namespace tremix::reading
