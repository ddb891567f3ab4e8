// Fields to numbers by the interpreter's own rules: int() for integers,
// then held as a signed 32-bit value, and float() for doubles. Plain ASCII
// numbers, nearly all of any real file, are converted here; a text the
// scanners cannot settle for certain goes to the host's exact conversion.
#pragma once

#include <cstdint>

#include "context.hpp"
#include "text.hpp"

namespace tremix::reading {

// int(text) as a signed 32-bit value; outside the range the operation
// fails with out_of_range.
Outcome to_int32(Context& ctx, const TextView& line, Span field, int32_t& out);

// Whether int() accepts the text, whatever the value's size.
Outcome check_int(Context& ctx, const TextView& line, Span field);

// float(text).
Outcome to_double(Context& ctx, const TextView& line, Span field, double& out);

// The value rule of result fields: the text from the first "(" after the
// first character is cut off, the rest converts by float().
Outcome parse_float(Context& ctx, const TextView& line, Span field, double& out);

// The part of `field` that parse_float converts.
Span cut_at_paren(const TextView& line, Span field);

}  // namespace tremix::reading
