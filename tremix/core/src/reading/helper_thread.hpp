// A thread that works beside the one that starts it, started on another
// processor than its starter's.
//
// Some schedulers, notably in virtual machines that pack work onto as few
// processors as they can, put a new thread on the processor of the thread
// that made it and move it only at their next balancing of the load,
// milliseconds later: until then the two take turns instead of running side
// by side, and a walk shared between them takes as long as on one thread.
// A helper is made with the other processors the process may use as the
// only ones it may start on, so it starts on one of them at once; its
// first act is to allow itself every processor again, so that it is never
// kept waiting for a busy processor while another stands idle. When the
// process may use no other processor, it starts as any thread does.
#pragma once

#include <functional>
#include <memory>

namespace tremix::reading {

class HelperThread {
  public:
    HelperThread() noexcept;
    // Runs `body` on the new thread; throws std::system_error (as
    // std::thread does) or std::bad_alloc when no thread can be had.
    explicit HelperThread(std::function<void()> body);
    // A helper that is still joinable is joined.
    ~HelperThread();
    HelperThread(HelperThread&& other) noexcept;
    HelperThread& operator=(HelperThread&& other) noexcept;
    HelperThread(const HelperThread&) = delete;
    HelperThread& operator=(const HelperThread&) = delete;

    bool joinable() const { return static_cast<bool>(thread_); }
    // Waits for the thread to end. A helper lost to fork() is let go
    // instead: no such thread runs in this process.
    void join();
    // Whether the process forked since the helper started: it then runs
    // (or ran) in the parent only, and its state here is a copy taken at
    // any moment of its work, with any lock it held then held for good.
    bool lost() const;

    // What a helper saw of its processors, for tests: the processor its
    // starter ran on when it made it, the processor the helper started on,
    // and whether the helper could then run on every processor its starter
    // could. -1 where this system does not tell.
    struct Placement {
        int starter = -1;
        int started_on = -1;
        bool free_afterwards = false;
        size_t stack_size = 0;  // of the helper, 0 where the system does not tell
    };
    static Placement try_placement();

    struct Running;  // what the thread runs on: defined with the code

  private:
    std::unique_ptr<Running> thread_;
    bool let_go_ = false;  // lost, and let go by join()
};

}  // namespace tremix::reading
