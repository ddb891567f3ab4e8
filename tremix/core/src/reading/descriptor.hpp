// Reading a whole file from an open file descriptor into the splitter, in
// pieces, checking with the host between pieces whether to go on.
#pragma once

#include <atomic>
#include <cstdint>

#include "context.hpp"
#include "file_text.hpp"
#include "text_feed.hpp"

namespace tremix::reading {

struct DescriptorRead {
    enum class Status : uint8_t {
        done,         // the whole file was read and split
        invalid,      // bytes that do not decode (the feed says where)
        failed,       // the core failed (the context says why)
        os_error,     // reading failed: `error` holds errno
        unsupported,  // no descriptor reading on this system
    };
    Status status = Status::done;
    int error = 0;
};

// Reads `fd` from where it stands to its end through `feed`, which splits
// with `splitter` into `text`. A regular file is read straight into the
// stored text and split in place while it is plain ASCII.
DescriptorRead read_descriptor(int fd, Splitter& splitter, ByteFeed& feed, Context& ctx, FileText& text);

// Bytes read from file descriptors by every reading of the process so far,
// on whichever thread: a running total that a progress display can follow
// while a reading runs without the interpreter.
inline std::atomic<uint64_t>& descriptor_bytes_read() {
    static std::atomic<uint64_t> total{0};
    return total;
}

}  // namespace tremix::reading
