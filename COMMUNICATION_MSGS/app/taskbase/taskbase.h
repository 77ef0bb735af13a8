/* taskbase: the process allocator for blocks handed to message-API callers. */
#ifndef TASKBASE_H
#define TASKBASE_H

#include <stddef.h>

/* Symbols are hidden by default in this build; the API is exported. */
#if defined(__GNUC__) || defined(__clang__)
#define TASKBASE_API __attribute__((visibility("default")))
#else
#define TASKBASE_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* A block of `size` bytes, or null when memory is exhausted. */
TASKBASE_API void *maw_malloc(size_t size);

/* Releases a block of maw_malloc; null is ignored. */
TASKBASE_API void maw_free(void *block);

/* The allocator behind maw_malloc/maw_free.  Tests install counting or
 * failing allocators here; null restores malloc/free. */
typedef struct taskbase_allocator {
    void *(*alloc)(size_t size);
    void (*release)(void *block);
} taskbase_allocator_t;

TASKBASE_API void taskbase_set_allocator(const taskbase_allocator_t *allocator);

#ifdef __cplusplus
}
#endif

#endif /* TASKBASE_H */
