#include "descriptor.hpp"

#include <algorithm>
#include <cerrno>
#include <memory>
#include <new>
#include <optional>

#include "read_ahead.hpp"

#if defined(__unix__) || defined(__APPLE__)
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>
#define TREMIX_POSIX_READ 1
#endif

namespace tremix::reading {

#if TREMIX_POSIX_READ

namespace {

// Bytes per read: large enough for few calls, small enough to stay in the
// processor's caches while its lines are cut out, and for the lines of a
// file read ahead to be found soon after its first piece arrives and soon
// after its last. A test build may make it small, so that short files are
// read in many pieces.
#ifndef TREMIX_READ_PIECE
#define TREMIX_READ_PIECE (size_t{1} << 18)
#endif
constexpr size_t kPiece = TREMIX_READ_PIECE;
// Pages made ready ahead of the second thread: 2 MB at a time, at
// most this far ahead of what it has read.
constexpr size_t kProvide = size_t{1} << 21;
constexpr size_t kProvideLead = size_t{8} << 20;

DescriptorRead fed_badly(const ByteFeed& feed) {
    return {feed.invalid() ? DescriptorRead::Status::invalid : DescriptorRead::Status::failed, 0};
}

DescriptorRead interrupted(Context& ctx) {
    ctx.fail(Failure::Kind::interrupted);
    return {DescriptorRead::Status::failed, 0};
}

// Where the next bytes of a file come from: a regular file is read at
// `offset` with pread(), which leaves the descriptor's own offset alone (a
// child forked during the reading shares it with its parent, and each
// reads on from its own place); anything else with read().
struct ReadPlace {
    int fd;
    std::optional<uint64_t> offset;
};

// How long a read of a pipe waits for data before the host is asked again.
constexpr int kWaitMs = 50;

// One read into `to`: the bytes read, 0 at the end, -1 with `result` set
// when reading failed or was interrupted.
ssize_t read_some(ReadPlace& place, char* to, size_t n, Context& ctx, DescriptorRead& result) {
    for (;;) {
        // A signal that came while the last piece was fed cut no system
        // call short, and the host may have passed over it (it looks only
        // now and then): a pipe that brings no more data would keep it
        // waiting for good. It waits a while at a time, then asks again.
        if (!place.offset) {
            pollfd wait{place.fd, POLLIN, 0};
            const int ready = ::poll(&wait, 1, kWaitMs);
            if (ready == 0 || (ready < 0 && errno == EINTR)) {
                if (!ctx.host().keep_going_after_signal()) {
                    result = interrupted(ctx);
                    return -1;
                }
                continue;
            }
            // Ready, or poll() itself failed: read() tells which.
        }
        const ssize_t got = place.offset ? ::pread(place.fd, to, n, static_cast<off_t>(*place.offset))
                                         : ::read(place.fd, to, n);
        if (got >= 0) {
            descriptor_bytes_read().fetch_add(static_cast<uint64_t>(got), std::memory_order_relaxed);
            if (place.offset) *place.offset += static_cast<uint64_t>(got);
            return got;
        }
        if (errno != EINTR) {
            result = {DescriptorRead::Status::os_error, errno};
            return -1;
        }
        // A read of a pipe may wait for data for good: the signal that cut
        // it short is looked at now, not at the next periodic look.
        if (!ctx.host().keep_going_after_signal()) {
            result = interrupted(ctx);
            return -1;
        }
    }
}

// The rest of the file through the feed, a piece at a time.
DescriptorRead feed_rest(ReadPlace& place, ByteFeed& feed, Context& ctx) {
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[kPiece]);
    if (!buffer) {
        ctx.fail(Failure::Kind::no_memory);
        return {DescriptorRead::Status::failed, 0};
    }
    for (;;) {
        DescriptorRead result;
        const ssize_t n = read_some(place, buffer.get(), kPiece, ctx, result);
        if (n < 0) return result;
        const Outcome fed = n == 0 ? feed.finish() : feed.feed(buffer.get(), static_cast<size_t>(n));
        if (fed == Outcome::fail) return fed_badly(feed);
        if (n == 0) return {DescriptorRead::Status::done, 0};
        if (!ctx.host().keep_going()) return interrupted(ctx);
    }
}

// Text that turned out not to be plain ASCII: what was read so far goes
// through the feed from its start, its memory given back as it is read,
// then the rest of the file.
DescriptorRead read_again(ReadPlace& place, Splitter& splitter, ByteFeed& feed, Context& ctx, FileText& text) {
    GrowBuffer read = std::move(text.chars);
    splitter.restart();
    for (size_t at = 0; at < read.size(); at += kPiece) {
        const size_t n = std::min(kPiece, read.size() - at);
        if (feed.feed(read.data() + at, n) == Outcome::fail) return fed_badly(feed);
        read.forget(at, at + n);
        if (!ctx.host().keep_going()) return interrupted(ctx);
    }
    read = GrowBuffer();
    return feed_rest(place, feed, ctx);
}

// A regular file read straight into the stored text and split where it
// lies, as long as it is plain ASCII with "\n" line ends (every encoding
// the feed knows reads such bytes as they are).
DescriptorRead read_in_place(ReadPlace& place, size_t expected, Splitter& splitter, ByteFeed& feed, Context& ctx,
                             FileText& text) {
    GrowBuffer& chars = text.chars;
    // Room for the whole file, the line end its last line may need, and
    // a byte to read into when looking for its end.
    if (!chars.reserve_whole(expected + 2)) return feed_rest(place, feed, ctx);
    // Byte k of the text is the file's byte start + k.
    const uint64_t start = *place.offset - chars.size();
    // The descriptor's place: where the text read so far ends, whichever
    // way the reading below is left.
    const auto place_at_text_end = [&] { place.offset = start + chars.size(); };
    {
        // The file as it was measured, read on a second thread while the
        // lines are found here; the room stays where it is meanwhile.
        ReadAhead ahead(place.fd, *place.offset, chars.data(), chars.size(), chars.capacity() - 1, kPiece,
                        Context::readers().load(std::memory_order_relaxed));
        bool ended = !ahead.running();
        size_t filled = chars.size();
        // Pages before `provided` are ready or left to the second thread.
        const size_t room_end = expected + 1;
        size_t provided = 0;
        bool providing = ahead.running();
        while (!ended || chars.size() < filled) {
            filled = ahead.filled(ended);
            bool made_ready = false;
            if (filled <= chars.size() && !ended && providing && provided < filled + kProvideLead) {
                // Nothing to split yet: the pages the second thread reads
                // into next are made ready here, which takes the kernel's
                // clearing of them off that thread. Only from the 2 MB
                // boundary after the piece it reads now: in the stretch it
                // writes, both threads would fault in the same pages and
                // wait on each other in the kernel.
                provided = std::max(provided, (filled + kPiece + kProvide - 1) / kProvide * kProvide);
                providing = provided < room_end && chars.provide(provided, std::min(provided + kProvide, room_end));
                provided += kProvide;
                made_ready = providing;
            }
            if (!made_ready) {
                if (filled <= chars.size()) filled = ahead.wait_beyond(chars.size(), ended);
                if (filled > chars.size()) {
                    // No more than a piece between looks for an interruption,
                    // however far ahead the second thread has read.
                    const size_t upto = std::min(filled, chars.size() + kPiece);
                    chars.resize(upto);
                    if (splitter.kept_bytes(upto) == Outcome::fail) {
                        place_at_text_end();
                        return {DescriptorRead::Status::failed, 0};
                    }
                    if (splitter.not_plain()) {
                        chars.resize(ahead.stop());
                        place_at_text_end();
                        return read_again(place, splitter, feed, ctx, text);
                    }
                }
            }
            if (!ctx.host().keep_going()) {
                place_at_text_end();
                return interrupted(ctx);
            }
        }
    }
    place_at_text_end();
    // The rest, if any: the file grew, or the second thread met an error
    // that reading here meets again and reports.
    for (;;) {
        // At least one byte to read into, and one left for that line end.
        if (chars.capacity() - chars.size() < 2 && !chars.reserve_more(kPiece + 1)) {
            ctx.fail(Failure::Kind::no_memory);
            return {DescriptorRead::Status::failed, 0};
        }
        const size_t room = std::min(kPiece, chars.capacity() - chars.size() - 1);
        DescriptorRead result;
        const ssize_t n = read_some(place, chars.data() + chars.size(), room, ctx, result);
        if (n < 0) return result;
        if (n == 0) break;
        chars.resize(chars.size() + static_cast<size_t>(n));
        if (splitter.kept_bytes(chars.size()) == Outcome::fail) return {DescriptorRead::Status::failed, 0};
        if (splitter.not_plain()) return read_again(place, splitter, feed, ctx, text);
        if (!ctx.host().keep_going()) return interrupted(ctx);
    }
    if (splitter.kept_finish() == Outcome::fail) return {DescriptorRead::Status::failed, 0};
    return {DescriptorRead::Status::done, 0};
}

}  // namespace

DescriptorRead read_descriptor(int fd, Splitter& splitter, ByteFeed& feed, Context& ctx, FileText& text) {
    ReadPlace place{fd, std::nullopt};
    struct stat st;
    const off_t at = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? lseek(fd, 0, SEEK_CUR) : -1;
    if (at < 0) return feed_rest(place, feed, ctx);
    place.offset = static_cast<uint64_t>(at);
    const DescriptorRead read = st.st_size > 0
                                    ? read_in_place(place, static_cast<size_t>(st.st_size), splitter, feed, ctx, text)
                                    : feed_rest(place, feed, ctx);
    // The descriptor is left where the bytes read end, as read() leaves it.
    lseek(fd, static_cast<off_t>(*place.offset), SEEK_SET);
    return read;
}

#else

DescriptorRead read_descriptor(int, Splitter&, ByteFeed&, Context&, FileText&) {
    return {DescriptorRead::Status::unsupported, 0};
}

#endif

}  // namespace tremix::reading
