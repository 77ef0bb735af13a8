// hostshim: caller-owned string copies over a replaceable process allocator.

#include "hostshim.h"

#include <cstddef>

#include "process_allocator.h"
#include <cstring>

namespace {

service_common::ProcessAllocator g_allocator;

}  // namespace

extern "C" {

char *os_strdup(const char *text) {
    if (text == nullptr) {
        return nullptr;
    }
    // strlen of a real string is below SIZE_MAX, so length + 1 cannot wrap.
    const std::size_t length = std::strlen(text);
    auto *copy = static_cast<char *>(g_allocator.alloc(length + 1));
    if (copy != nullptr) {
        std::memcpy(copy, text, length + 1);
    }
    return copy;
}

void os_strdup_free(char *copy) {
    if (copy != nullptr) {
        g_allocator.release(copy);
    }
}

void hostshim_set_allocator(const hostshim_allocator_t *allocator) { g_allocator.replace(allocator); }

}  // extern "C"
