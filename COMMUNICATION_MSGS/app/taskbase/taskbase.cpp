// taskbase: maw_malloc/maw_free over a replaceable process allocator.

#include "taskbase.h"

#include <atomic>
#include <cstddef>
#include <cstdlib>

namespace {

using AllocFn = void *(*)(std::size_t);
using ReleaseFn = void (*)(void *);

void *system_alloc(std::size_t size) { return std::malloc(size); }
void system_release(void *block) { std::free(block); }

// Read on every call from any thread; replaced only while no block is in
// flight, so the two halves are never seen mismatched by a conforming caller.
std::atomic<AllocFn> g_alloc{&system_alloc};
std::atomic<ReleaseFn> g_release{&system_release};

}  // namespace

extern "C" {

void *maw_malloc(size_t size) {
    // A zero-byte request still gets a distinct block, so callers can treat
    // null strictly as exhaustion.
    return g_alloc.load(std::memory_order_acquire)(size == 0 ? 1 : size);
}

void maw_free(void *block) {
    if (block != nullptr) {
        g_release.load(std::memory_order_acquire)(block);
    }
}

// alloc and release only work as a pair, so a table missing either one
// restores malloc/free just as a null table does.
void taskbase_set_allocator(const taskbase_allocator_t *allocator) {
    const bool custom = allocator != nullptr && allocator->alloc != nullptr &&
                        allocator->release != nullptr;
    g_alloc.store(custom ? allocator->alloc : &system_alloc, std::memory_order_release);
    g_release.store(custom ? allocator->release : &system_release, std::memory_order_release);
}

}  // extern "C"
