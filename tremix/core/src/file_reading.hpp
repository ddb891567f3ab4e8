// Reading a file's text into a parser's blocks map.
//
// The file is opened with the built-in `open` captured at import, in text
// mode as the interpreter does it (the default encoding, strict decoding,
// universal newlines). When that encoding is UTF-8 or ASCII, the bytes are
// read from the file descriptor and decoded, checked and split in C++
// without the interpreter lock; at the first byte that does not decode the
// file is read again through the text file object, so that the interpreter
// raises its own error (with a note giving the byte's offset and line).
// Other encodings are read through the text file object in pieces.
//
// Blocks are filed into the map only after the whole text was read, so a
// reading error stores nothing; a block number out of range keeps the
// blocks before it and then raises OverflowError.
#pragma once

#include "pyref.hpp"
#include "stored_text.hpp"

namespace tremix {

struct ReadResult {
    SharedReport report;  // what reading saw besides the blocks, when it got that far
};

// Reads the file `path` (a str, or whatever `open` accepts) into `blocks`
// (a dict). 0, or -1 with an exception set.
int read_path(PyObject* path, PyObject* blocks, ReadResult& result);

// Whether read_stream decodes bytes in `encoding` with `errors` itself
// (UTF-8, ASCII or Latin-1, strictly): 1 or 0, or -1 with an exception.
// Other decodings need a text wrapper around the stream.
int decodes_itself(PyObject* encoding, PyObject* errors);

// Reads a binary stream (an object with readinto or read returning bytes)
// decoding it as `encoding` with `errors`, or a text stream (read returning
// str), into `blocks`. `name` (str or None) names the source in notes.
int read_stream(PyObject* stream, PyObject* encoding, PyObject* errors, PyObject* name, PyObject* blocks,
                ReadResult& result);

}  // namespace tremix
