#include "descriptor.hpp"

#include <cerrno>
#include <memory>
#include <new>

#if defined(__unix__) || defined(__APPLE__)
#include <sys/stat.h>
#include <unistd.h>
#define TREMIX_POSIX_READ 1
#endif

namespace tremix::reading {

namespace {

// Bytes per read: large enough for few calls, small enough to stay in the
// processor's caches while its lines are cut out.
constexpr size_t kPiece = size_t{1} << 20;

}  // namespace

DescriptorRead read_descriptor(int fd, ByteFeed& feed, Context& ctx, FileText& text) {
#if TREMIX_POSIX_READ
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
        // Only touched pages take memory.
        text.chars.reserve(static_cast<size_t>(st.st_size));
    }
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[kPiece]);
    if (!buffer) {
        ctx.fail(Failure::Kind::no_memory);
        return {DescriptorRead::Status::failed, 0};
    }
    for (;;) {
        const ssize_t n = ::read(fd, buffer.get(), kPiece);
        if (n < 0) {
            if (errno != EINTR) return {DescriptorRead::Status::os_error, errno};
            if (!ctx.host().keep_going()) {
                ctx.fail(Failure::Kind::interrupted);
                return {DescriptorRead::Status::failed, 0};
            }
            continue;
        }
        const Outcome fed = n == 0 ? feed.finish() : feed.feed(buffer.get(), static_cast<size_t>(n));
        if (fed == Outcome::fail) {
            return {feed.invalid() ? DescriptorRead::Status::invalid : DescriptorRead::Status::failed, 0};
        }
        if (n == 0) return {DescriptorRead::Status::done, 0};
        if (!ctx.host().keep_going()) {
            ctx.fail(Failure::Kind::interrupted);
            return {DescriptorRead::Status::failed, 0};
        }
    }
#else
    (void)fd, (void)feed, (void)ctx, (void)text;
    return {DescriptorRead::Status::unsupported, 0};
#endif
}

}  // namespace tremix::reading
