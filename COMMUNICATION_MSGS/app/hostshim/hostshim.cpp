// hostshim: caller-owned string copies over a replaceable process allocator.

#include "hostshim.h"

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace {

using AllocFn = void *(*)(std::size_t);
using ReleaseFn = void (*)(void *);

void *system_alloc(std::size_t size) { return std::malloc(size); }
void system_release(void *block) { std::free(block); }

// Read on every call from any thread; replaced only while no copy is in
// flight, so the two halves are never seen mismatched by a conforming caller.
std::atomic<AllocFn> g_alloc{&system_alloc};
std::atomic<ReleaseFn> g_release{&system_release};

}  // namespace

extern "C" {

char *os_strdup(const char *text) {
    if (text == nullptr) {
        return nullptr;
    }
    // strlen of a real string is below SIZE_MAX, so length + 1 cannot wrap.
    const std::size_t length = std::strlen(text);
    auto *copy = static_cast<char *>(g_alloc.load(std::memory_order_acquire)(length + 1));
    if (copy != nullptr) {
        std::memcpy(copy, text, length + 1);
    }
    return copy;
}

void os_strdup_free(char *copy) {
    if (copy != nullptr) {
        g_release.load(std::memory_order_acquire)(copy);
    }
}

// alloc and release only work as a pair, so a table missing either one
// restores malloc/free just as a null table does.
void hostshim_set_allocator(const hostshim_allocator_t *allocator) {
    const bool custom = allocator != nullptr && allocator->alloc != nullptr &&
                        allocator->release != nullptr;
    g_alloc.store(custom ? allocator->alloc : &system_alloc, std::memory_order_release);
    g_release.store(custom ? allocator->release : &system_release, std::memory_order_release);
}

}  // extern "C"
