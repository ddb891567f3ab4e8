// The one way the reading core says how a step went, and what stopped it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "text.hpp"

namespace tremix::reading {

// ok: done. skip: the text does not hold what was looked for (a number
// that does not convert, a line with too few fields); the format's
// recovery rules pass it over. fail: the whole operation ends; the context
// says why.
enum class Outcome : uint8_t { ok, skip, fail };

// Why an operation ended, and where.
struct Failure {
    enum class Kind : uint8_t {
        none,
        out_of_range,    // an integer outside the signed 32-bit range
        not_a_block,     // an item of the block list is not a block
        no_lines,        // a block whose lines are missing
        not_text,        // a line that is not text
        too_many_nodes,  // more element node ids than a 32-bit offset counts
        host,            // the host's own conversion failed; the host holds the error
        interrupted,     // the host asked to stop (a signal); the host holds the error
        no_memory,
    };
    Kind kind = Kind::none;
    size_t block = 0;  // index in the block list
    size_t line = 0;   // index of the line in its block
    Span field{};      // the field, for out_of_range
};

}  // namespace tremix::reading
