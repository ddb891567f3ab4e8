// State shared by every step of one operation of the core: the host, where
// reading stands, why it stopped, and the periodic check for a signal.
#pragma once

#include <atomic>

#include "host.hpp"
#include "outcome.hpp"

namespace tremix::reading {

class Context {
  public:
    explicit Context(Host& host) : host_(host) {
        readers().fetch_add(1, std::memory_order_relaxed);
        ++on_this_thread();
    }
    ~Context() {
        readers().fetch_sub(1, std::memory_order_relaxed);
        --on_this_thread();
    }
    Context(const Context&) = delete;
    Context& operator=(const Context&) = delete;

    // Operations of the core under way in the whole process: one that
    // could share its work with a second thread leaves it alone while
    // others run, as the cores are taken.
    // A child of fork() has only the thread that forked, and counts only
    // its operations (helper_thread.cpp).
    static std::atomic<int>& readers() {
        static std::atomic<int> count{0};
        return count;
    }
    // Operations under way on the calling thread (nested ones included).
    static int& on_this_thread() {
        thread_local int count = 0;
        return count;
    }

    Host& host() { return host_; }
    const Failure& failure() const { return failure_; }

    // Where the operation stands, for locating a failure.
    void at(size_t block, size_t line) {
        block_ = block;
        line_ = line;
    }
    size_t block() const { return block_; }
    size_t line() const { return line_; }

    // Records why the operation ends (the first reason wins) and returns fail.
    Outcome fail(Failure::Kind kind, Span field = {}) {
        if (failure_.kind == Failure::Kind::none) failure_ = Failure{kind, block_, line_, field};
        return Outcome::fail;
    }

    // Takes over why another operation over the same blocks ended.
    Outcome fail_with(const Failure& failure) {
        if (failure_.kind == Failure::Kind::none) failure_ = failure;
        return Outcome::fail;
    }

    // Called once per line or record; asks the host every few thousand
    // calls, so a signal stops even the longest walk promptly.
    bool tick() {
        if (++ticks_ < kTicksPerPoll) return true;
        return poll();
    }

    // Asks the host now (within one very long line, say).
    bool poll() {
        ticks_ = 0;
        if (host_.keep_going()) return true;
        fail(Failure::Kind::interrupted);
        return false;
    }

  private:
    static constexpr unsigned kTicksPerPoll = 1u << 14;
    Host& host_;
    Failure failure_{};
    size_t block_ = 0;
    size_t line_ = 0;
    unsigned ticks_ = 0;
};

}  // namespace tremix::reading
