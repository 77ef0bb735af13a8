// taskbase: maw_malloc/maw_free over a replaceable process allocator.

#include "taskbase.h"

#include <cstddef>

#include "process_allocator.h"

namespace {

service_common::ProcessAllocator g_allocator;

}  // namespace

extern "C" {

void *maw_malloc(size_t size) {
    // A zero-byte request still gets a distinct block, so callers can treat
    // null strictly as exhaustion.
    return g_allocator.alloc(size == 0 ? 1 : size);
}

void maw_free(void *block) {
    if (block != nullptr) {
        g_allocator.release(block);
    }
}

void taskbase_set_allocator(const taskbase_allocator_t *allocator) { g_allocator.replace(allocator); }

}  // extern "C"
