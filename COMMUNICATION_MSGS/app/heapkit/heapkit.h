/* heapkit: goheap arenas and the default heap.
 *
 * A goheap is an arena: blocks are bump-allocated from chunks (the first
 * sized from the hint given to goheap_create, later ones growing) and all of
 * its memory goes back at once with goheap_destroy.  The null goheap is the
 * default heap, served by the process allocator.
 *
 * Every block carries a tag naming its owner, so goheap_free always does the
 * right thing whatever heap it is told: a default-heap block goes back to the
 * process allocator, an arena block is left to its arena (only the most
 * recent block of an arena is actually reclaimed, by moving the bump pointer
 * back).  An arena block is never handed to free().
 *
 * Blocks are aligned to 16 bytes on every target.  Allocation failures return null; nothing
 * here aborts.  A goheap is used by one thread at a time; the default heap
 * may be used from any thread.
 *
 * The memory of a destroyed goheap is kept for reuse by the next goheaps of
 * the thread that destroyed it, up to HEAPKIT_THREAD_CACHE_BYTES per thread;
 * the rest goes back to the process allocator at once, and what a thread
 * keeps goes back when the thread ends (or when the allocator is set). */
#ifndef HEAPKIT_H
#define HEAPKIT_H

#include <stddef.h>
#include <stdint.h>

/* Symbols are hidden by default in this build; the API is exported. */
#if defined(__GNUC__) || defined(__clang__)
#define HEAPKIT_API __attribute__((visibility("default")))
#else
#define HEAPKIT_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef struct goheap goheap_t;

/* A new arena whose first chunk can hold `size` bytes of blocks with their
 * headers and rounding (it is made half as large again, and more; with a
 * size of 0, 1 KiB all told), or null when memory cannot be had. */
HEAPKIT_API goheap_t *goheap_create(size_t size);

/* A block of `size` bytes from `heap` (null: the default heap), or null.
 * Small blocks that fit the current chunk of an arena are taken by the
 * inline definition at the end of this header, without a call. */
HEAPKIT_API void *goheap_malloc(goheap_t *heap, size_t size);

/* The out-of-line goheap_malloc, which the inline one calls for the default
 * heap, large blocks and a full chunk. */
HEAPKIT_API void *goheap_malloc_slow(goheap_t *heap, size_t size);

/* Gives a block back.  A null block is ignored. */
HEAPKIT_API void goheap_free(goheap_t *heap, void *block);

/* Releases an arena and every block in it.  Null is ignored.  The calling
 * thread keeps up to HEAPKIT_THREAD_CACHE_BYTES of it for its next goheaps. */
#define HEAPKIT_THREAD_CACHE_BYTES ((size_t)4 << 20)

HEAPKIT_API void goheap_destroy(goheap_t *heap);

/* Bytes currently handed out by an arena (payload, not counting headers),
 * for tests and diagnostics. */
HEAPKIT_API size_t goheap_bytes_in_use(const goheap_t *heap);

/* The process allocator behind the default heap and the arena chunks.
 * Tests install counting or failing allocators here; null restores
 * malloc/free.  Not to be changed while allocations are in flight.  Setting
 * it (even to the same pair) releases the memory the calling thread keeps
 * for reuse, through the allocator that granted it; other threads release
 * theirs the next time they make or destroy a goheap.  Memory is always
 * released through the allocator that granted it.  `alloc`
 * must return blocks aligned to HEAPKIT_ALIGN (16 bytes), since block
 * payloads sit a 16-byte header past them: a block that is not aligned is
 * given back and the allocation fails.  (malloc is aligned so on 64-bit
 * targets and i386, but only to 8 bytes on armel and armhf, where
 * aligned_alloc serves.) */
typedef struct heapkit_allocator {
    void *(*alloc)(size_t size);
    void (*release)(void *block);
} heapkit_allocator_t;

HEAPKIT_API void heapkit_set_allocator(const heapkit_allocator_t *allocator);

/* ---- The inline fast path of goheap_malloc --------------------------------
 * A goheap begins with the bump region of its current chunk, and every block
 * with a 16-byte header naming its owner and size.  Both layouts are part of
 * heapkit's interface so that goheap_malloc can be inlined, as C libraries
 * inline their hottest routines: the definition below is used for inlining
 * only (gnu_inline), every other call reaches the library's own. */
#define HEAPKIT_ALIGN 16u

struct goheap_region {
    unsigned char *cursor; /* next free byte of the current chunk */
    unsigned char *limit;  /* end of the current chunk */
    size_t in_use;         /* payload bytes handed out and not reclaimed */
};

struct goheap_block_header {
    goheap_t *owner; /* null: the default heap */
    size_t size;     /* bytes requested */
#if UINTPTR_MAX <= 0xffffffffu
    /* Where pointers and sizes are four bytes, the header is padded to
     * HEAPKIT_ALIGN bytes too, so that payloads stay 16-byte aligned. */
    unsigned char padding[HEAPKIT_ALIGN - sizeof(goheap_t *) - sizeof(size_t)];
#endif
};

#define HEAPKIT_INLINE_MAX 4096u

/* Set when the code is built with AddressSanitizer. */
#if defined(__SANITIZE_ADDRESS__)
#define HEAPKIT_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define HEAPKIT_ASAN 1
#endif
#endif

#if defined(HEAPKIT_ASAN) && !defined(HEAPKIT_NO_INLINE)
#define HEAPKIT_NO_INLINE 1
#endif

/* Chunk bytes a block of `size` payload bytes takes, its header included.
 * A zero-byte block still takes one aligned unit, so that its pointer is
 * distinct and dereferenceable.  Both paths of goheap_malloc use it. */
static inline size_t heapkit_block_span(size_t size)
{
    const size_t payload = size == 0 ? HEAPKIT_ALIGN : (size + HEAPKIT_ALIGN - 1) & ~(size_t)(HEAPKIT_ALIGN - 1);
    return sizeof(struct goheap_block_header) + payload;
}

/* Inside heapkit, under AddressSanitizer (which must see arena blocks
 * unpoisoned) and wherever HEAPKIT_NO_INLINE is defined, every call goes out
 * of line. */
#if defined(__GNUC__) && !defined(HEAPKIT_BUILDING) && !defined(HEAPKIT_NO_INLINE)
extern __inline __attribute__((__gnu_inline__, __always_inline__)) void *
goheap_malloc(goheap_t *heap, size_t size)
{
    if (heap != NULL && size <= HEAPKIT_INLINE_MAX) {
        struct goheap_region *region = (struct goheap_region *)heap;
        const size_t span = heapkit_block_span(size);
        if (span <= (size_t)(region->limit - region->cursor)) {
            unsigned char *at = region->cursor;
            struct goheap_block_header *header = (struct goheap_block_header *)(void *)at;
            region->cursor = at + span;
            region->in_use += size;
            header->owner = heap;
            header->size = size;
            return at + sizeof(struct goheap_block_header);
        }
    }
    return goheap_malloc_slow(heap, size);
}
#endif

#ifdef __cplusplus
}
#endif

#endif /* HEAPKIT_H */
