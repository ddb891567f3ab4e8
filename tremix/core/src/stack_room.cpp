#include "stack_room.hpp"

#include <algorithm>
#include <cstdint>

#if defined(__linux__) || defined(__APPLE__) || defined(__FreeBSD__)
#include <pthread.h>
#endif
#if defined(__FreeBSD__)
#include <pthread_np.h>
#endif

namespace tremix {

namespace {

struct StackBounds {
    uintptr_t low = 0;     // the lowest address of the stack (it grows down)
    uintptr_t high = 0;
    uintptr_t margin = 0;  // room one whole call needs, with the interpreter's frames
};

// The stack [low, low + size), with the margin kept free of it.
StackBounds bounds_from(uintptr_t low, size_t size) {
    StackBounds b;
    if (low == 0 || size == 0) return b;
    b.low = low;
    b.high = low + size;
    // A whole reading, every extractor and a pickle round trip run in
    // less than 32 KB; a quarter of a small stack still leaves the
    // recursion most of it.
    b.margin = std::min<uintptr_t>(uintptr_t{64} << 10, size / 4);
    return b;
}

StackBounds bounds_of_this_thread() {
    StackBounds b;
#if defined(__linux__) || defined(__FreeBSD__)
    pthread_attr_t attr;
#if defined(__linux__)
    if (pthread_getattr_np(pthread_self(), &attr) != 0) return b;
#else
    if (pthread_attr_init(&attr) != 0) return b;
    if (pthread_attr_get_np(pthread_self(), &attr) != 0) {
        pthread_attr_destroy(&attr);
        return b;
    }
#endif
    void* addr = nullptr;
    size_t size = 0;
    if (pthread_attr_getstack(&attr, &addr, &size) == 0) b = bounds_from(reinterpret_cast<uintptr_t>(addr), size);
    pthread_attr_destroy(&attr);
#elif defined(__APPLE__)
    // macOS gives the top of the stack (its highest address) and its size.
    const pthread_t self = pthread_self();
    const auto top = reinterpret_cast<uintptr_t>(pthread_get_stackaddr_np(self));
    const size_t size = pthread_get_stacksize_np(self);
    if (top > size) b = bounds_from(top - size, size);
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
