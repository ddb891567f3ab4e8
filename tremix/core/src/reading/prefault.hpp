// Preparing the memory a file is about to be read into, on a second
// thread: the first touch of fresh pages (the kernel clears each one) costs
// more than copying the file into them, and it can be done beside the
// reading. The pages are filled in ahead of where the reading stands, and
// never written: only the kernel's populating touches them, so the reading
// may reach any page at any time.
#pragma once

#include <atomic>
#include <cstddef>
#include <thread>

namespace tremix::reading {

class Prefault {
  public:
    // Starts filling in bytes [0, length) of `base` when that is worth a
    // thread and one can be had: long enough, two processors, no other
    // operation of the core under way (`readers` counts this one).
    Prefault(char* base, size_t length, int readers);
    ~Prefault();
    Prefault(const Prefault&) = delete;
    Prefault& operator=(const Prefault&) = delete;

    // The reading has reached byte `at`: pages before it need no filling in.
    void reached(size_t at) { reached_.store(at, std::memory_order_relaxed); }

    // Stops the filling in, before the buffer may move or be given back.
    void stop();

  private:
    void run(char* base, size_t length);
    std::atomic<size_t> reached_{0};
    std::atomic<bool> stop_{false};
    std::thread worker_;
};

}  // namespace tremix::reading
