#include "helper_thread.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <exception>
#include <new>
#include <system_error>
#include <utility>

#if defined(__unix__) || defined(__APPLE__)
#include <pthread.h>
#endif

#include "context.hpp"

#if defined(__linux__) && defined(__GLIBC__)
#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>
#define TREMIX_HELPER_PTHREAD 1
#else
#include <thread>
#endif

namespace tremix::reading {

namespace {

#if defined(__unix__) || defined(__APPLE__)
// Forks of the process so far, counted in each child.
std::atomic<unsigned> g_forks{0};
// The child has only the thread that forked: the operations other threads
// had under way are gone with them.
[[maybe_unused]] const bool g_forks_counted = pthread_atfork(nullptr, nullptr, [] {
    g_forks.fetch_add(1, std::memory_order_relaxed);
    Context::readers().store(Context::on_this_thread(), std::memory_order_relaxed);
}) == 0;
#endif

unsigned forks() noexcept {
#if defined(__unix__) || defined(__APPLE__)
    return g_forks.load(std::memory_order_relaxed);
#else
    return 0;
#endif
}

}  // namespace

struct HelperThread::Running {
    std::function<void()> body;
    unsigned forks_at_start = forks();
    int starter = -1;
#if TREMIX_HELPER_PTHREAD
    pthread_t id{};
    cpu_set_t everywhere{};
    bool kept_off_starter = false;
#else
    std::thread thread;
#endif
};

namespace {

// The C++ runtime keeps the state of exceptions in flight per thread, in
// memory glibc allocates on the thread's first use of it (the runtime is
// loaded with this module, after the process started), and glibc cannot
// fail that allocation: it ends the process. So a helper claims that state
// before its body allocates anything, and none is started while memory is
// so short that the claim could fail; the work is then done on one thread,
// whose allocations fail as a MemoryError.
void claim_exception_state() noexcept {
    // Declared pure: a result not used would let the call be left out.
    [[maybe_unused]] volatile int in_flight = std::uncaught_exceptions();
}

#if TREMIX_HELPER_PTHREAD
// A new thread's first allocation makes it an arena of its own, for which
// glibc reserves twice 64 MB of address space (twice 1 MB on 32-bit
// systems); where that cannot be had (a limit on address space, as
// `ulimit -v` sets, nearly reached) the thread's allocations fail though
// the process has memory to spare.
constexpr size_t kRoomToStart = sizeof(void*) >= 8 ? size_t{128} << 20 : size_t{2} << 20;

// A helper's stack. The walks keep their data on the heap and need a few
// kilobytes of stack; the default, the size `ulimit -s` gives the main
// thread (8 MB, often far more where deep recursion is wanted), would take
// address space that the reading itself may need.
constexpr size_t kHelperStack = size_t{2} << 20;
#endif

bool room_to_start() noexcept {
#if TREMIX_HELPER_PTHREAD
    void* probe = mmap(nullptr, kRoomToStart, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (probe == MAP_FAILED) return false;
    munmap(probe, kRoomToStart);
#endif
    return true;
}

}  // namespace

#if TREMIX_HELPER_PTHREAD

namespace {

extern "C" void* run_helper(void* arg) noexcept {
    auto* running = static_cast<HelperThread::Running*>(arg);
    claim_exception_state();
    if (running->kept_off_starter) sched_setaffinity(0, sizeof running->everywhere, &running->everywhere);
    running->body();
    return nullptr;
}

// The processors the calling thread may run on (`everywhere`) and those of
// them other than the one it runs on now (`elsewhere`); false when there
// is no other.
bool other_processors(cpu_set_t& everywhere, cpu_set_t& elsewhere, int& current) {
    CPU_ZERO(&everywhere);
    current = sched_getcpu();
    if (current < 0 || current >= CPU_SETSIZE || sched_getaffinity(0, sizeof everywhere, &everywhere) != 0)
        return false;
    elsewhere = everywhere;
    CPU_CLR(current, &elsewhere);
    return CPU_COUNT(&elsewhere) > 0;
}

// Starts the thread, on another processor when `elsewhere` is given; an
// error number, or 0.
int start(HelperThread::Running& running, const cpu_set_t* elsewhere) {
    pthread_attr_t attr;
    if (const int error = pthread_attr_init(&attr)) return error;
    int error = 0;
    if (elsewhere) error = pthread_attr_setaffinity_np(&attr, sizeof *elsewhere, elsewhere);
    if (!error) error = pthread_attr_setstacksize(&attr, std::max<size_t>(kHelperStack, PTHREAD_STACK_MIN));
    if (!error) error = pthread_create(&running.id, &attr, run_helper, &running);
    pthread_attr_destroy(&attr);
    return error;
}

}  // namespace

#endif

HelperThread::HelperThread(std::function<void()> body) : thread_(std::make_unique<Running>()) {
    if (!room_to_start()) throw std::bad_alloc();
    thread_->body = std::move(body);
#if TREMIX_HELPER_PTHREAD
    Running& running = *thread_;
    cpu_set_t elsewhere;
    running.kept_off_starter = other_processors(running.everywhere, elsewhere, running.starter);
    int error = running.kept_off_starter ? start(running, &elsewhere) : EINVAL;
    if (error) {
        // A processor set the system will not take only costs the placement.
        running.kept_off_starter = false;
        error = start(running, nullptr);
    }
    if (error) {
        thread_.reset();
        throw std::system_error(error, std::generic_category(), "a helper thread could not be started");
    }
#else
    Running* running = thread_.get();
    running->thread = std::thread([running] {
        claim_exception_state();
        running->body();
    });
#endif
}

HelperThread::HelperThread() noexcept = default;

HelperThread::~HelperThread() {
    if (joinable()) join();
}

HelperThread::HelperThread(HelperThread&& other) noexcept
    : thread_(std::move(other.thread_)), let_go_(std::exchange(other.let_go_, false)) {}

HelperThread& HelperThread::operator=(HelperThread&& other) noexcept {
    if (this != &other) {
        if (joinable()) join();
        thread_ = std::move(other.thread_);
        let_go_ = std::exchange(other.let_go_, false);
    }
    return *this;
}

bool HelperThread::lost() const { return let_go_ || (thread_ && thread_->forks_at_start != forks()); }

void HelperThread::join() {
    if (!thread_) return;
    if (lost()) {
        // Its handle names a thread of the parent: joined here, it would be
        // waited for forever (or a std::thread would end the process). The
        // little it holds is left as it is.
        (void)thread_.release();
        let_go_ = true;
        return;
    }
#if TREMIX_HELPER_PTHREAD
    pthread_join(thread_->id, nullptr);
#else
    thread_->thread.join();
#endif
    thread_.reset();
}

HelperThread::Placement HelperThread::try_placement() {
    Placement placement;
#if TREMIX_HELPER_PTHREAD
    cpu_set_t everywhere;
    CPU_ZERO(&everywhere);
    if (sched_getaffinity(0, sizeof everywhere, &everywhere) != 0) return placement;
    HelperThread helper([&] {
        placement.started_on = sched_getcpu();
        cpu_set_t now;
        CPU_ZERO(&now);
        placement.free_afterwards =
            sched_getaffinity(0, sizeof now, &now) == 0 && CPU_EQUAL(&now, &everywhere);
        pthread_attr_t attr;
        if (pthread_getattr_np(pthread_self(), &attr) == 0) {
            if (pthread_attr_getstacksize(&attr, &placement.stack_size) != 0) placement.stack_size = 0;
            pthread_attr_destroy(&attr);
        }
    });
    placement.starter = helper.thread_->starter;
    helper.join();
#endif
    return placement;
}

}  // namespace tremix::reading
