// The text of a file's blocks as the splitter stores it: the data lines of
// every block, back to back in one buffer, each block in the width of its
// widest character; and where each line starts. Text split in place keeps
// its "\n" after every line of a block (and the file's other lines
// between blocks).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "grow_buffer.hpp"
#include "lines.hpp"

namespace tremix::reading {

struct StoredBlock {
    int32_t id = 0;
    uint8_t kind = 1;        // bytes per character
    bool ascii = true;       // every character below 128
    bool closed = true;      // ended by a delimiter line, not by the end of the file
    uint8_t gap = 0;         // characters after each line before the next one starts
    uint64_t text_offset = 0;    // bytes into the character buffer
    uint64_t starts_offset = 0;  // bytes into the line-start buffer
    uint64_t line_count = 0;
    // Line starts held in 32 bits; those after them (from the first that
    // passes 32 bits on) take 64, after the 32-bit ones from the next
    // multiple of 8 bytes on. All of them while UINT64_MAX.
    uint64_t narrow_starts = UINT64_MAX;
    uint64_t id_line = 0;        // line number of the block's number in the file
};

class FileText {
  public:
    GrowBuffer chars;
    GrowBuffer starts;
    std::vector<StoredBlock> blocks;
    // The path the text was read from, UTF-8 (lone surrogates passed); none
    // for a stream read without a name.
    std::optional<std::string> name;
    // Tells this text from every other one read in the process (0: none).
    uint64_t serial = 0;

    BlockLines lines(size_t block) const {
        const StoredBlock& b = blocks[block];
        return BlockLines::stored(chars.data() + b.text_offset, b.kind, starts.data() + b.starts_offset,
                                  b.narrow_starts == UINT64_MAX ? SIZE_MAX : static_cast<size_t>(b.narrow_starts),
                                  b.gap, static_cast<size_t>(b.line_count),
                                  static_cast<int64_t>(b.id_line + 1));
    }
};

// Text outside any block: one run of lines between two blocks.
struct StrayText {
    uint64_t first_line = 0;
    uint64_t last_line = 0;
    uint64_t count = 0;             // lines that hold anything but whitespace
    std::string first_text;         // the start of its first line, UTF-8
    uint64_t delimiter_like_line = 0;  // the first line reading -1 that is not a delimiter line, or 0
    uint64_t bad_number_line = 0;   // the first line after a delimiter that is not a block number, or 0
    std::string bad_number_text;    // its start, UTF-8
};

// What reading saw besides the blocks, for checking a file.
struct ReadReport {
    // The serial of the text read with this report: a parser may hold
    // blocks another parser read, numbered in that file.
    uint64_t text_serial = 0;
    uint64_t lines = 0;
    std::vector<StrayText> stray;  // the first few runs
    uint64_t stray_runs = 0;       // all runs
    uint64_t blocks = 0;           // blocks read, the one the file ended in included
    uint64_t overflow_line = 0;    // line of a block number beyond 32 bits, or 0
    uint64_t last_delimiter_line = 0;  // a delimiter line that is the file's last line, or 0
    bool unclosed = false;         // the file ended inside a block:
    int32_t unclosed_id = 0;       //   its number
    uint64_t unclosed_last_line = 0;  //   its last line (its number's line when it has none)
    // The start of the file's first line when that line lies outside any
    // block, UTF-8; empty otherwise. An archive's header holds no line end,
    // so the whole header shows there, and a stream, which cannot be read
    // again, is told from an archive by it.
    std::string first_line_text;
};

}  // namespace tremix::reading
