// Reading a regular file on a second thread while the first splits what
// has arrived. Most of what reading a file costs is the kernel's: the first
// touch of each fresh page (it clears them) and the copy of the file into
// them. Done on another thread, that work overlaps with finding the lines
// (and the first thread, when it has caught up, prepares pages ahead).
//
// The second thread only calls pread(), into room reserved before it
// starts, which neither moves nor is given back while it runs; the file's
// offset is left alone, so that a child forked meanwhile (which has no
// second thread) and its parent each read on at their own places. Whatever
// else can happen (an error, an interrupted call, a file longer than the
// room, another operation of the core starting) ends its reading; the first
// thread then reads on from there itself, and meets and reports the error
// as it always does.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "helper_thread.hpp"

namespace tremix::reading {

class ReadAhead {
  public:
    // Starts reading `fd` from its offset `at` into bytes [from, limit) of
    // `base`, `piece` bytes a call, when that is worth a thread and one can
    // be had: a large enough file, two processors, and no other operation
    // of the core under way (`readers` counts this one).
    ReadAhead(int fd, uint64_t at, char* base, size_t from, size_t limit, size_t piece, int readers);
    ~ReadAhead() { stop(); }
    ReadAhead(const ReadAhead&) = delete;
    ReadAhead& operator=(const ReadAhead&) = delete;

    bool running() const { return worker_.joinable(); }

    // Where the bytes read so far end, once that is past `seen`, the
    // reading has ended (`ended` set; the end is then final), or a short
    // while has passed (so that the caller can look for an interruption).
    // In a child forked meanwhile the reading has ended where it was.
    size_t wait_beyond(size_t seen, bool& ended);

    // Where the bytes read so far end, without waiting.
    size_t filled(bool& ended);

    // Ends the reading and waits for the thread; where the bytes read end.
    size_t stop();

  private:
    void run(int fd, uint64_t offset, char* base, size_t at, size_t limit, size_t piece);

    std::mutex mutex_;
    std::condition_variable changed_;
    size_t filled_ = 0;
    bool ended_ = false;
    bool stop_ = false;
    HelperThread worker_;
};

}  // namespace tremix::reading
