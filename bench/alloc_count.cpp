// The counting allocators behind alloc_count.h.  The benchmarks run on one
// thread, so plain counters suffice.
#include "alloc_count.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "heapkit.h"
#include "hostshim.h"
#include "taskbase.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define BENCH_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || \
    __has_feature(undefined_behavior_sanitizer)
#define BENCH_SANITIZED 1
#endif
#endif

namespace {

uint64_t g_hook_allocs = 0;
uint64_t g_process_allocs = 0;

void *counting_alloc(size_t size)
{
    ++g_hook_allocs;
    // heapkit takes only blocks aligned to HEAPKIT_ALIGN, which malloc is not
    // on every target.
    if constexpr (alignof(std::max_align_t) >= HEAPKIT_ALIGN)
        return std::malloc(size);
    else
        return size > SIZE_MAX - HEAPKIT_ALIGN ? nullptr
                                               : std::aligned_alloc(HEAPKIT_ALIGN, (size + HEAPKIT_ALIGN - 1) & ~size_t{HEAPKIT_ALIGN - 1});
}

void counting_release(void *block) { std::free(block); }

} // namespace

// Process-wide counts replace the C allocator's entry points with ones that
// count and forward to glibc's own implementation, as glibc allows.  The
// sanitizers bring allocators of their own, so those builds count the hooks
// only.
#if defined(__GLIBC__) && !defined(BENCH_SANITIZED)
#define BENCH_COUNT_PROCESS 1
extern "C" {
void *__libc_malloc(size_t size);
void *__libc_calloc(size_t count, size_t size);
void *__libc_realloc(void *block, size_t size);
void __libc_free(void *block);
void *__libc_memalign(size_t alignment, size_t size);

void *malloc(size_t size) noexcept
{
    ++g_process_allocs;
    return __libc_malloc(size);
}

void *calloc(size_t count, size_t size) noexcept
{
    ++g_process_allocs;
    return __libc_calloc(count, size);
}

void *realloc(void *block, size_t size) noexcept
{
    if (block == nullptr)
        ++g_process_allocs;
    return __libc_realloc(block, size);
}

void *aligned_alloc(size_t alignment, size_t size) noexcept
{
    ++g_process_allocs;
    return __libc_memalign(alignment, size);
}

void free(void *block) noexcept { __libc_free(block); }
}
#endif

namespace bench::alloc_count {

void install()
{
    const heapkit_allocator_t heapkit{&counting_alloc, &counting_release};
    const taskbase_allocator_t taskbase{&counting_alloc, &counting_release};
    const hostshim_allocator_t hostshim{&counting_alloc, &counting_release};
    heapkit_set_allocator(&heapkit);
    taskbase_set_allocator(&taskbase);
    hostshim_set_allocator(&hostshim);
}

counts now() { return {g_hook_allocs, g_process_allocs}; }

bool process_wide()
{
#if defined(BENCH_COUNT_PROCESS)
    return true;
#else
    return false;
#endif
}

} // namespace bench::alloc_count
