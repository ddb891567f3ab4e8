// Turns a file's text, arriving in pieces of any size, into lines for the
// splitter, as the interpreter's text mode does: line ends "\n", "\r\n" and
// a lone "\r" all end a line (universal newlines), and the text of the
// last line needs no line end.
//
// ByteFeed decodes bytes itself (UTF-8, ASCII or Latin-1, strictly): it
// stops at the first byte that does not decode and tells its position, so
// that the caller can have the interpreter raise its own error. CharFeed
// takes text that is already decoded.
#pragma once

#include <cstdint>
#include <string>

#include "splitter.hpp"

namespace tremix::reading {

enum class Encoding : uint8_t { utf8, ascii, latin1 };

class ByteFeed {
  public:
    ByteFeed(Splitter& splitter, Encoding encoding) : splitter_(splitter), encoding_(encoding) {}

    // fail when the splitter failed (the context says why), or when the
    // bytes do not decode (invalid() is then true).
    Outcome feed(const char* p, size_t n);
    // End of the bytes: a truncated character is invalid too.
    Outcome finish();

    bool invalid() const { return invalid_; }
    // Offset in the whole input of the first byte that does not decode, and
    // the number of the line it stands in.
    uint64_t error_offset() const { return error_offset_; }
    uint64_t error_line() const { return error_line_; }
    // The bytes from that one on, as many as the feed was given, at most
    // four: enough for a decoder to tell why they do not decode.
    const unsigned char* error_bytes() const { return error_bytes_; }
    size_t error_bytes_length() const { return error_bytes_length_; }
    // The bytes the feed has around that one: the input from its start
    // when the bad byte stands among its first 64 (the start shows a
    // compressed file or a byte-order mark), else the error bytes alone.
    std::string error_data() const;

  private:
    Outcome segment(const char* p, size_t a, size_t b, size_t n);
    Outcome end_line();
    Outcome bad(uint64_t offset, const unsigned char* from, size_t available);
    Outcome complete_partial(const char* p, size_t n, size_t& used);

    Splitter& splitter_;
    Encoding encoding_;
    uint64_t base_ = 0;        // offset of the current piece in the input
    bool pending_cr_ = false;  // the last byte was a "\r" that ended a line
    bool line_open_ = false;   // the current line has characters
    unsigned char partial_[4]{};
    size_t partial_length_ = 0;  // bytes of a character cut by the end of a piece
    bool invalid_ = false;
    uint64_t error_offset_ = 0;
    uint64_t error_line_ = 0;
    unsigned char error_bytes_[4]{};
    size_t error_bytes_length_ = 0;
    unsigned char head_[64]{};  // the first bytes of the input
    size_t head_length_ = 0;
};

class CharFeed {
  public:
    explicit CharFeed(Splitter& splitter) : splitter_(splitter) {}
    Outcome feed(const TextView& text);
    Outcome finish();

  private:
    Outcome end_line();
    Splitter& splitter_;
    bool pending_cr_ = false;
    bool line_open_ = false;
};

}  // namespace tremix::reading
