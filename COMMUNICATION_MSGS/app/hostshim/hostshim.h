/* hostshim: string copies owned by the caller. */
#ifndef HOSTSHIM_H
#define HOSTSHIM_H

#include <stddef.h>

/* Symbols are hidden by default in this build; the API is exported. */
#if defined(__GNUC__) || defined(__clang__)
#define HOSTSHIM_API __attribute__((visibility("default")))
#else
#define HOSTSHIM_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* A copy of `text`, or null for a null `text` or when memory is exhausted. */
HOSTSHIM_API char *os_strdup(const char *text);

/* Releases a copy made by os_strdup; null is ignored. */
HOSTSHIM_API void os_strdup_free(char *copy);

/* The allocator behind os_strdup/os_strdup_free.  Tests install counting
 * or failing allocators here; null restores malloc/free. */
typedef struct hostshim_allocator {
    void *(*alloc)(size_t size);
    void (*release)(void *block);
} hostshim_allocator_t;

HOSTSHIM_API void hostshim_set_allocator(const hostshim_allocator_t *allocator);

#ifdef __cplusplus
}
#endif

#endif /* HOSTSHIM_H */
