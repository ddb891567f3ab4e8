// Preloaded into a test's Python process (LD_PRELOAD): makes the allocations
// of the tremix extension modules fail on demand. Only calls made from code
// of those modules are counted and failed (by return address), so that the
// interpreter, NumPy and the C++ library go on as usual.
//
//   failing_alloc_arm(n, all)  count from 0; fail call n, or every call from n on
//   failing_alloc_disarm()     stop; returns the calls counted
//
// malloc, calloc, realloc, the aligned allocations, mmap/mremap (the stored
// text's room) and every operator new are covered.
#include <dlfcn.h>
#include <errno.h>
#include <link.h>
#include <string.h>
#include <sys/mman.h>

#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <new>

namespace {

template <typename F>
F next(const char* name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

// dlsym may allocate before the real allocator is known: from here.
alignas(16) char g_boot[1 << 16];
std::atomic<size_t> g_boot_used{0};
void* boot_alloc(size_t n) {
    const size_t at = g_boot_used.fetch_add((n + 15) & ~size_t{15});
    return at + n <= sizeof g_boot ? g_boot + at : nullptr;
}
bool is_boot(void* p) { return p >= static_cast<void*>(g_boot) && p < static_cast<void*>(g_boot + sizeof g_boot); }

struct Real {
    void* (*malloc)(size_t);
    void* (*calloc)(size_t, size_t);
    void* (*realloc)(void*, size_t);
    void (*free)(void*);
    int (*posix_memalign)(void**, size_t, size_t);
    void* (*aligned_alloc)(size_t, size_t);
    void* (*mmap)(void*, size_t, int, int, int, off_t);
    void* (*mremap)(void*, size_t, size_t, int, ...);
};
Real g_real{};
thread_local bool t_resolving = false;

const Real& real() {
    if (!g_real.malloc && !t_resolving) {
        t_resolving = true;
        Real r{};
        r.calloc = next<decltype(r.calloc)>("calloc");
        r.realloc = next<decltype(r.realloc)>("realloc");
        r.free = next<decltype(r.free)>("free");
        r.posix_memalign = next<decltype(r.posix_memalign)>("posix_memalign");
        r.aligned_alloc = next<decltype(r.aligned_alloc)>("aligned_alloc");
        r.mmap = next<decltype(r.mmap)>("mmap");
        r.mremap = next<decltype(r.mremap)>("mremap");
        r.malloc = next<decltype(r.malloc)>("malloc");
        g_real = r;
        t_resolving = false;
    }
    return g_real;
}

std::atomic<bool> g_armed{false};
std::atomic<long> g_counted{0};
long g_fail_at = 0;
bool g_fail_all = false;
constexpr int kMostRanges = 64;
uintptr_t g_low[kMostRanges], g_high[kMostRanges];
int g_ranges = 0;

int note_module(dl_phdr_info* info, size_t, void*) {
    if (!info->dlpi_name || !strstr(info->dlpi_name, "tremix")) return 0;
    for (int k = 0; k < info->dlpi_phnum && g_ranges < kMostRanges; ++k) {
        const ElfW(Phdr)& ph = info->dlpi_phdr[k];
        if (ph.p_type == PT_LOAD && (ph.p_flags & PF_X)) {
            g_low[g_ranges] = info->dlpi_addr + ph.p_vaddr;
            g_high[g_ranges++] = info->dlpi_addr + ph.p_vaddr + ph.p_memsz;
        }
    }
    return 0;
}

bool fails(void* caller) {
    if (!g_armed.load(std::memory_order_relaxed)) return false;
    const auto at = reinterpret_cast<uintptr_t>(caller);
    bool ours = false;
    for (int k = 0; k < g_ranges && !ours; ++k) ours = at >= g_low[k] && at < g_high[k];
    if (!ours) return false;
    const long k = g_counted.fetch_add(1);
    return g_fail_all ? k >= g_fail_at : k == g_fail_at;
}

}  // namespace

#define CALLER __builtin_extract_return_addr(__builtin_return_address(0))

extern "C" {

long failing_alloc_arm(long n, int all) {
    real();
    g_ranges = 0;
    dl_iterate_phdr(note_module, nullptr);
    g_fail_at = n;
    g_fail_all = all != 0;
    g_counted = 0;
    g_armed = true;
    return g_ranges;
}

long failing_alloc_disarm() {
    g_armed = false;
    return g_counted.load();
}

void* malloc(size_t n) {
    if (!real().malloc) return boot_alloc(n);
    if (fails(CALLER)) return errno = ENOMEM, nullptr;
    return g_real.malloc(n);
}

void* calloc(size_t count, size_t n) {
    if (!real().calloc) return boot_alloc(count * n);  // zeroed, as static storage is
    if (fails(CALLER)) return errno = ENOMEM, nullptr;
    return g_real.calloc(count, n);
}

void* realloc(void* p, size_t n) {
    if (is_boot(p)) {
        void* q = real().malloc(n);
        if (q) memcpy(q, p, n);
        return q;
    }
    if (fails(CALLER)) return errno = ENOMEM, nullptr;
    return real().realloc(p, n);
}

void free(void* p) {
    if (p && !is_boot(p)) real().free(p);
}

int posix_memalign(void** out, size_t alignment, size_t n) {
    if (fails(CALLER)) return ENOMEM;
    return real().posix_memalign(out, alignment, n);
}

void* aligned_alloc(size_t alignment, size_t n) {
    if (fails(CALLER)) return errno = ENOMEM, nullptr;
    return real().aligned_alloc(alignment, n);
}

void* mmap(void* at, size_t n, int prot, int flags, int fd, off_t offset) {
    if (fails(CALLER)) return errno = ENOMEM, MAP_FAILED;
    return real().mmap(at, n, prot, flags, fd, offset);
}

void* mremap(void* old, size_t old_size, size_t new_size, int flags, ...) {
    void* to = nullptr;
    if (flags & MREMAP_FIXED) {
        va_list args;
        va_start(args, flags);
        to = va_arg(args, void*);
        va_end(args);
    }
    if (fails(CALLER)) return errno = ENOMEM, MAP_FAILED;
    return real().mremap(old, old_size, new_size, flags, to);
}

}  // extern "C"

void* operator new(size_t n) {
    if (fails(CALLER)) throw std::bad_alloc();
    if (void* p = malloc(n)) return p;
    throw std::bad_alloc();
}
void* operator new[](size_t n) {
    if (fails(CALLER)) throw std::bad_alloc();
    if (void* p = malloc(n)) return p;
    throw std::bad_alloc();
}
void* operator new(size_t n, const std::nothrow_t&) noexcept { return fails(CALLER) ? nullptr : malloc(n); }
void* operator new[](size_t n, const std::nothrow_t&) noexcept { return fails(CALLER) ? nullptr : malloc(n); }
// Aligned and sized forms are left to the C++ library, which makes them of
// malloc's kin, and delete of free().
