// Running the reading core from the binding: the snapshot is read without
// the interpreter lock when the work is long enough, C++ allocation
// failures become MemoryError, and a failure becomes the Python exception
// it stands for.
#pragma once

#include <new>

#include "py_host.hpp"
#include "reading/context.hpp"
#include "snapshot.hpp"

namespace tremix {

// `read(ctx)` may not touch any Python object. 0, or -1 with an exception set.
template <typename Read>
int run_core(const BlockSnapshot& snapshot, PyObject* path, Read&& read) {
    Ref keep_path = Ref::borrow(path);
    PyHost host;
    reading::Context ctx(host);
    reading::Outcome outcome;
    host.release(snapshot.worth_releasing());
    try {
        outcome = read(ctx);
    } catch (const std::bad_alloc&) {
        outcome = ctx.fail(reading::Failure::Kind::no_memory);
    }
    host.reacquire();
    if (outcome != reading::Outcome::fail) return 0;
    raise_failure(ctx.failure(), snapshot, host, keep_path.get());
    return -1;
}

// Takes the blocks of `block_list` (what get_blocks returned) into
// `snapshot` and runs `read(ctx, blocks)` on them.
template <typename Read>
int read_blocks(BlockSnapshot& snapshot, PyObject* block_list, PyObject* path, Read&& read) {
    if (snapshot.take(block_list) < 0) return -1;
    return run_core(snapshot, path, [&](reading::Context& ctx) { return read(ctx, snapshot.blocks()); });
}

// Every few thousand items while results are built, lets other threads
// have the interpreter lock if they wait for it, and checks for a pending
// signal: building a large result takes seconds, and Ctrl-C is answered
// only by the main thread, when it holds the lock. Both can run any Python
// code, so nothing borrowed is held across a step.
class SignalPacer {
  public:
    int step() {
        if (++count_ < kItemsPerCheck) return 0;
        count_ = 0;
        let_other_threads_run();
        return PyErr_CheckSignals();
    }

  private:
    static constexpr unsigned kItemsPerCheck = 4096;
    unsigned count_ = 0;
};

// Runs a body that grows C++ containers while holding the lock, turning an
// exhausted allocator into MemoryError.
template <typename Body>
PyObject* with_memory_guard(Body&& body) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

}  // namespace tremix
