// The text of a file's blocks as the splitter stores it: the data lines of
// every block, back to back in one buffer, each block in the width of its
// widest character; and where each line starts.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "grow_buffer.hpp"
#include "lines.hpp"

namespace tremix::reading {

struct StoredBlock {
    int32_t id = 0;
    uint8_t kind = 1;        // bytes per character
    bool ascii = true;       // every character below 128
    bool wide_starts = false;
    bool closed = true;      // ended by a delimiter line, not by the end of the file
    uint64_t text_offset = 0;    // bytes into the character buffer
    uint64_t starts_offset = 0;  // bytes into the line-start buffer
    uint64_t line_count = 0;
    uint64_t id_line = 0;        // line number of the block's number in the file
};

class FileText {
  public:
    GrowBuffer chars;
    GrowBuffer starts;
    std::vector<StoredBlock> blocks;

    BlockLines lines(size_t block) const {
        const StoredBlock& b = blocks[block];
        return BlockLines::stored(chars.data() + b.text_offset, b.kind, starts.data() + b.starts_offset,
                                  b.wide_starts, static_cast<size_t>(b.line_count),
                                  static_cast<int64_t>(b.id_line + 1));
    }
};

// Text outside any block: one run of lines between two blocks.
struct StrayText {
    uint64_t first_line = 0;
    uint64_t last_line = 0;
    uint64_t count = 0;          // lines that hold anything but whitespace
    bool delimiter_like = false; // one of them reads -1 without being a delimiter line
    bool after_bad_number = false;  // it starts at a delimiter whose next line is not a block number
    std::string first_text;      // the start of its first line, UTF-8
};

// What reading saw besides the blocks, for checking a file.
struct ReadReport {
    uint64_t lines = 0;
    std::vector<StrayText> stray;  // the first few runs
    uint64_t stray_runs = 0;       // all runs
    uint64_t overflow_line = 0;    // line of a block number beyond 32 bits, or 0
};

}  // namespace tremix::reading
