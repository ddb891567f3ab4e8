// Reading the records of a large walk on two threads, for record kinds
// whose records start at fixed places in a clean file: a node on every
// line, an element every seven lines. The second half starts at a record
// boundary of a clean file; its reading is kept only if the first half's
// walk arrives exactly there, only if it needed nothing from the host (no
// exact conversion, which only the first thread may ask for), and only if
// it does not depend on what the first half carried. Otherwise the second
// half is read again on the first thread, so the result is always the
// one-thread result.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <memory>
#include <optional>
#include <type_traits>

#include "helper_thread.hpp"
#include "walk.hpp"

namespace tremix::reading {

// The host of the second thread: it settles no text itself and stops when
// the first thread says so.
class DeferringHost final : public Host {
  public:
    explicit DeferringHost(const std::atomic<bool>& stop) : stop_(stop) {}
    Outcome exact_int(const TextView&, int64_t&, bool&) override { return defer(); }
    Outcome exact_float(const TextView&, double&) override { return defer(); }
    bool keep_going() override { return !stop_.load(std::memory_order_relaxed); }
    bool deferred() const { return deferred_; }

  private:
    Outcome defer() {
        deferred_ = true;
        return Outcome::fail;
    }
    const std::atomic<bool>& stop_;
    bool deferred_ = false;
};

// About half of the lines of `blocks`, moved back to a multiple of `stride`
// from its block's start; none when the walk is too short to share, or
// when other operations of the core are under way in other threads.
std::optional<Position> halfway(const BlockSet& blocks, size_t stride);
// The same for records that never span blocks: the block boundary nearest
// half of the walk's work (block_work).
std::optional<Position> halfway_at_block(const BlockSet& blocks);
// Whether a run of `lines` lines of one record kind's data, each holding
// several values or more work than a node line, is worth a second thread:
// a fifth of the lines a walk needs.
bool worth_sharing_data(size_t lines);
// The block boundary with the nearest to `work` (block_work) of `blocks`
// before it, as the index of the block that starts there (0 to
// blocks.size()): for a caller that shares out several walks between two
// threads itself. blocks.size() when some block holds no lines, so that
// the walk stays whole.
size_t block_boundary_near(const BlockSet& blocks, size_t work);

// Runs `here()` on this thread while `there(ctx)` runs on another, with a
// DeferringHost. `here` returns false when it failed, which stops `there`.
// Once `here` is done, `keep_waiting()` (when given) is asked every few
// milliseconds while `there` goes on, as a long walk may be left to it;
// false stops `there` too. True when `there`'s reading stands: it deferred
// nothing, was not stopped and threw nothing; false also when no second
// thread could be had (then `there` never ran), and in a child forked
// meanwhile (code run by `here` or `keep_waiting` can fork) before `there`
// ended: what it wrote is then left part-way.
template <typename Here, typename There, typename KeepWaiting = std::nullptr_t>
bool run_beside(Here&& here, There&& there, KeepWaiting&& keep_waiting = nullptr) {
    std::atomic<bool> stop{false};
    bool usable = false;
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    std::optional<HelperThread> worker;
    try {
        worker.emplace([&] {
            try {
                DeferringHost host(stop);
                Context c(host);
                there(c);
                usable = !host.deferred() && c.failure().kind != Failure::Kind::interrupted;
            } catch (...) {
                usable = false;
            }
            std::lock_guard<std::mutex> lock(mutex);
            finished = true;
            done.notify_one();
        });
    } catch (...) {
        here();
        return false;
    }
    try {
        if (!here()) {
            stop = true;
        } else if constexpr (!std::is_same_v<std::decay_t<KeepWaiting>, std::nullptr_t>) {
            // A helper lost to a fork may have left the mutex held.
            while (!worker->lost()) {
                {
                    std::unique_lock<std::mutex> lock(mutex);
                    if (done.wait_for(lock, std::chrono::milliseconds(10), [&] { return finished; })) break;
                }
                if (!keep_waiting()) {
                    stop = true;
                    break;
                }
            }
        }
    } catch (...) {
        stop = true;
        worker->join();
        throw;
    }
    // Nothing else runs in a child: its copy of the flags is read as it is.
    const bool ended_here = !worker->lost() || finished;
    worker->join();
    return usable && ended_here;
}

// Whether a failure of the second half is the one the one-thread walk
// meets at that place: true only for failures that the text there alone
// decides. Others depend on what the walk carried there (the element walk's
// node count, the memory the first half holds) and are found again by
// reading on from the first half.
inline bool decided_by_text(Failure::Kind kind) {
    switch (kind) {
        case Failure::Kind::out_of_range:
        case Failure::Kind::not_a_block:
        case Failure::Kind::no_lines:
        case Failure::Kind::not_text:
            return true;
        default:
            return false;
    }
}

// The walk is split at `split` (from halfway() or halfway_at_block(); none
// reads it all on this thread). `walk(ctx, from, table)` reads records from
// `from` on (up to from.until)
// into `table`. `divide(out, split)` makes the second half's table before
// either half starts: it may hand the second half the part of out's room
// past where the first half's records can end, so that they are written
// where they stay. `join(out, second, keep)` then puts the second half's
// records after the first's and gives its room back to `out`; without
// `keep` it only gives the room back. It returns false (and leaves both as
// they are) when the records cannot be joined: the second half is then
// read again on this thread.
template <typename Table, typename Walk, typename Divide, typename Join>
Outcome walk_in_two(Context& ctx, const std::optional<Position>& split, Table& out, Walk&& walk, Divide&& divide,
                    Join&& join) {
    if (!split) return walk(ctx, WalkFrom{}, out);
    // The other thread writes the second half's table at every record, as
    // this one writes `out`: on this thread's stack the two could share a
    // cache line and pass it back and forth all along the walk.
    struct alignas(64) OwnLines {
        Table table;
    };
    const auto own = std::make_unique<OwnLines>(OwnLines{divide(out, *split)});
    Table& second = own->table;
    Outcome second_outcome = Outcome::fail;
    Failure second_failure;
    Position reached{SIZE_MAX, 0};
    Outcome outcome = Outcome::ok;
    const bool second_usable = run_beside(
        [&] {
            WalkFrom first;
            first.until = *split;
            first.reached = &reached;
            outcome = walk(ctx, first, out);
            return outcome != Outcome::fail;
        },
        [&](Context& c) {
            WalkFrom from;
            from.block = split->block;
            from.line = split->line;
            second_outcome = walk(c, from, second);
            second_failure = c.failure();
        });
    if (reached == *split && second_usable && outcome != Outcome::fail) {
        // A failure the text decides stands only if the records read before
        // it join the first half's: else the whole walk may stop earlier.
        const bool failed = second_outcome == Outcome::fail;
        if ((!failed || decided_by_text(second_failure.kind)) && join(out, second, true))
            return failed ? ctx.fail_with(second_failure) : Outcome::ok;
    }
    join(out, second, false);
    second = Table{};  // not needed any more: its memory goes back before the reading again
    if (outcome == Outcome::fail) return outcome;
    WalkFrom rest;
    rest.block = reached.block == SIZE_MAX ? split->block : reached.block;
    rest.line = reached.block == SIZE_MAX ? split->line : reached.line;
    return walk(ctx, rest, out);
}

}  // namespace tremix::reading
