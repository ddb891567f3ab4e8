#include "stack_room.hpp"

#include <algorithm>
#include <cstdint>

#if defined(__linux__)
#include <pthread.h>
#endif

namespace tremix {

namespace {

struct StackBounds {
    uintptr_t low = 0;     // the lowest address of the stack (it grows down)
    uintptr_t high = 0;
    uintptr_t margin = 0;  // room one whole call needs, with the interpreter's frames
};

StackBounds bounds_of_this_thread() {
    StackBounds b;
#if defined(__linux__)
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) return b;
    void* addr = nullptr;
    size_t size = 0;
    if (pthread_attr_getstack(&attr, &addr, &size) == 0 && addr && size) {
        b.low = reinterpret_cast<uintptr_t>(addr);
        b.high = b.low + size;
        // A whole reading, every extractor and a pickle round trip run in
        // less than 32 KB; a quarter of a small stack still leaves the
        // recursion most of it.
        b.margin = std::min<uintptr_t>(uintptr_t{64} << 10, size / 4);
    }
    pthread_attr_destroy(&attr);
#endif
    return b;
}

}  // namespace

bool stack_room_left() {
    thread_local StackBounds bounds = bounds_of_this_thread();
    const auto at = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    // Code run on a stack of its own (a fiber, a signal stack) lies outside
    // the thread's: nothing is known of its room, and it is not held back.
    const auto room = [&] { return at < bounds.low || at >= bounds.high || at - bounds.low >= bounds.margin; };
    if (room()) return true;
    // The main thread's stack is as large as its limit says now: a script
    // may have raised it since the bounds were taken.
    bounds = bounds_of_this_thread();
    if (room()) return true;
    PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded while calling a Python object");
    return false;
}

}  // namespace tremix
