// Preloaded into a test's Python process (LD_PRELOAD): fails the heap
// allocations (malloc, calloc, realloc, operator new) made by code of the
// tremix extension modules, told apart by return address, so that the
// interpreter and NumPy go on as usual.
//
//   failing_alloc_arm(n, all)  count from 0; fail call n, or every call from n on
//   failing_alloc_disarm()     stop; returns the calls counted
#include <dlfcn.h>
#include <errno.h>
#include <link.h>
#include <string.h>

#include <atomic>
#include <cstdint>
#include <new>

namespace {

// dlsym may allocate before the real allocator is known: from here.
alignas(16) char g_boot[1 << 16];
std::atomic<size_t> g_boot_used{0};
bool is_boot(void* p) { return p >= static_cast<void*>(g_boot) && p < static_cast<void*>(g_boot + sizeof g_boot); }

void* (*g_malloc)(size_t);
void* (*g_calloc)(size_t, size_t);
void* (*g_realloc)(void*, size_t);
void (*g_free)(void*);
thread_local bool t_resolving = false;

bool resolved() {
    if (!g_free && !t_resolving) {
        t_resolving = true;
        g_calloc = reinterpret_cast<decltype(g_calloc)>(dlsym(RTLD_NEXT, "calloc"));
        g_realloc = reinterpret_cast<decltype(g_realloc)>(dlsym(RTLD_NEXT, "realloc"));
        g_malloc = reinterpret_cast<decltype(g_malloc)>(dlsym(RTLD_NEXT, "malloc"));
        g_free = reinterpret_cast<decltype(g_free)>(dlsym(RTLD_NEXT, "free"));
        t_resolving = false;
    }
    return g_free != nullptr;
}

std::atomic<bool> g_armed{false};
std::atomic<long> g_counted{0};
long g_fail_at = 0;
bool g_fail_all = false;
uintptr_t g_low[64], g_high[64];
int g_ranges = 0;

int note_module(dl_phdr_info* info, size_t, void*) {
    if (!info->dlpi_name || !strstr(info->dlpi_name, "tremix")) return 0;
    for (int k = 0; k < info->dlpi_phnum && g_ranges < 64; ++k) {
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
    if (!resolved()) return g_boot + g_boot_used.fetch_add((n + 15) & ~size_t{15});
    return fails(CALLER) ? (errno = ENOMEM, nullptr) : g_malloc(n);
}

void* calloc(size_t count, size_t n) {
    if (!resolved()) return g_boot + g_boot_used.fetch_add((count * n + 15) & ~size_t{15});  // zeroed
    return fails(CALLER) ? (errno = ENOMEM, nullptr) : g_calloc(count, n);
}

void* realloc(void* p, size_t n) {
    if (is_boot(p)) {
        void* q = g_malloc(n);
        if (q) memcpy(q, p, n);
        return q;
    }
    return fails(CALLER) ? (errno = ENOMEM, nullptr) : g_realloc(p, n);
}

void free(void* p) {
    if (p && !is_boot(p) && resolved()) g_free(p);
}

}  // extern "C"

void* operator new(size_t n) {
    void* p = fails(CALLER) ? nullptr : malloc(n);
    if (!p) throw std::bad_alloc();
    return p;
}
void* operator new[](size_t n) {
    void* p = fails(CALLER) ? nullptr : malloc(n);
    if (!p) throw std::bad_alloc();
    return p;
}
void* operator new(size_t n, const std::nothrow_t&) noexcept { return fails(CALLER) ? nullptr : malloc(n); }
void* operator new[](size_t n, const std::nothrow_t&) noexcept { return fails(CALLER) ? nullptr : malloc(n); }
