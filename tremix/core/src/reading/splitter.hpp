// Splits a file's text into numbered blocks as the text arrives, line by
// line:
//   - a block opens with a delimiter line (exactly "   -1");
//   - the next line holds its number: stripped, "-1" or text that int()
//     rejects opens nothing, and that line is examined again as an
//     ordinary line; a number beyond the signed 32-bit range stops the
//     splitting (out_of_range) while reading goes on to the end;
//   - data lines follow up to the next delimiter line or the end of the text.
// The characters of a line are handed over in pieces (put_*) and the line
// is finished by end_line(); the text of data lines goes straight into the
// file's stored text. Or the text is read straight into the stored text's
// buffer and split where it lies (kept_*): plain ASCII with "\n" line ends
// needs no decoding, so its lines stay in place with their "\n" between
// them and nothing is copied. Nothing here throws: exhausted memory is a
// fail of end_line(), kept_bytes() or finish(), so callers may split where
// no exception can pass.
#pragma once

#include <cstdint>
#include <vector>

#include "context.hpp"
#include "file_text.hpp"

namespace tremix::reading {

// A line outside a block, its characters at the width its widest one needs
// (as a block's text is kept), so that a long line of stray text costs about
// its own size rather than four bytes a character. Appending throws
// std::bad_alloc when memory runs out.
class LineScratch {
  public:
    void append_ascii(const char* p, size_t n);
    void append(uint32_t c);
    TextView view() const { return TextView{bytes_.data(), length_, kind_}; }
    // Forgets the line; the memory of a long one is given back.
    void clear();

  private:
    std::vector<char> bytes_;
    size_t length_ = 0;
    uint8_t kind_ = 1;
};

class Splitter {
  public:
    Splitter(Context& ctx, FileText& out, ReadReport& report);

    // Characters of the current line: ASCII bytes, one code point, or
    // characters of any width.
    void put_ascii(const char* p, size_t n);
    void put_char(uint32_t c);
    void put_chars(const TextView& text);

    // The current line is complete. fail on exhausted memory or a failed
    // host conversion; an out-of-range block number is held until finish().
    Outcome end_line();

    // End of the text: closes an open block; fail with out_of_range when a
    // block number was out of range (the blocks before it are kept).
    Outcome finish();

    // Lines read so far.
    uint64_t lines() const { return line_no_; }

    // Splitting in place: the bytes up to `end` of the stored text's own
    // buffer arrived (the caller wrote them there); every line they
    // complete is split. A byte that is not plain ASCII ("\r", or 0x80 and
    // above) stops it with not_plain() true, its lines left unsplit: the
    // whole text is then to be read again through put_* (restart()).
    Outcome kept_bytes(size_t end);
    // End of the text read in place: a last line without "\n" gets one
    // (room for a byte past the text must be reserved), then finish().
    Outcome kept_finish();
    bool not_plain() const { return not_plain_; }

    // Forgets everything split so far, the stored text and the report
    // included, to read the text again from its start.
    void restart();

    // Line starts of a block are held in 32 bits until one passes
    // `limit` (4 Gi characters less one): lowered only by tests, so that
    // small blocks move to 64-bit starts part way through.
    void set_narrow_start_limit(uint64_t limit) { narrow_start_limit_ = limit; }

  private:
    enum class State : uint8_t { outside, after_delimiter, in_block };

    void widen_block(uint8_t kind);
    bool reserve_block(size_t chars);
    void open_block(int32_t id);
    bool push_start(uint64_t start);
    void close_block(bool closed);
    Outcome finish_line(const TextView& text);
    void outside_line(const TextView& text);
    void note_stray(const TextView& text, bool bad_number, bool blank);
    Outcome kept_line(size_t begin, size_t end);

    Context& ctx_;
    FileText& out_;
    ReadReport& report_;
    State state_ = State::outside;
    bool stopped_ = false;     // a block number was out of range
    bool no_memory_ = false;
    uint64_t line_no_ = 0;
    uint64_t narrow_start_limit_ = UINT32_MAX;

    // The open block: its characters from block_.text_offset (bytes) on.
    StoredBlock block_{};
    size_t line_start_ = 0;  // characters, from the block's start
    size_t end_ = 0;         // characters written

    LineScratch scratch_;  // a line outside a block
    bool pending_bad_number_ = false;
    StrayText* open_stray_ = nullptr;  // the run being noted, when it is kept
    bool in_stray_run_ = false;

    // Splitting in place: lines lie at their place in the buffer, so a
    // block starts where the line after its number starts.
    bool in_place_ = false;
    bool not_plain_ = false;
    size_t kept_scanned_ = 0;     // bytes of the buffer looked at
    size_t kept_line_begin_ = 0;  // where the current line starts
};

}  // namespace tremix::reading
