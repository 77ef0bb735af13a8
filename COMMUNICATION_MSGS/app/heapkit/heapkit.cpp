// heapkit: bump-pointer arenas (goheaps) and the tagged default heap.
//
// Layout
//   Every block is preceded by a 16-byte BlockHeader {owner, size}.  owner is
//   null for default-heap blocks and the arena otherwise; size is the byte
//   count the caller asked for.  Payloads are 16-byte aligned: allocations
//   from the process allocator are 16-byte aligned, every control structure
//   below is a multiple of 16 bytes, and every arena block spans a multiple
//   of 16 bytes.
//
//   goheap_create makes one allocation: [goheap][first chunk data].  Later
//   chunks are separate allocations: [Chunk][data], linked newest first so
//   goheap_destroy can release them.  The first chunk holds at least the
//   requested hint (one block of that size fits) and never less than
//   kMinChunk bytes.  Each new regular chunk doubles the previous one up to
//   kMaxChunk; a request that would take more than half of the next regular
//   chunk gets a chunk sized exactly for it instead, and the current chunk
//   stays in use for the small blocks that follow.
//
// Sizes are checked against kMaxPayload before any arithmetic, so no sum
// below can wrap and no object exceeds PTRDIFF_MAX.
//
// Under AddressSanitizer the unused part of each chunk, and space given back
// by goheap_free, is poisoned so that overruns inside an arena are reported
// like overruns of malloc'd blocks.

// The library defines goheap_malloc itself: the header's inline copy stays out.
#define HEAPKIT_BUILDING 1
#include "heapkit.h"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <type_traits>

#include "process_allocator.h"

#if defined(HEAPKIT_ASAN)
#include <sanitizer/asan_interface.h>
#endif

namespace {

constexpr std::size_t kAlign = HEAPKIT_ALIGN;
constexpr std::size_t kMinChunk = 256;
constexpr std::size_t kHintAllowance = 256;
constexpr std::size_t kMaxChunk = std::size_t{1} << 20;
// Leaves room for the headers and rounding added to a request.
constexpr std::size_t kMaxPayload =
    (static_cast<std::size_t>(PTRDIFF_MAX) - 4096) & ~(kAlign - 1);

static_assert(alignof(std::max_align_t) >= kAlign,
              "the process allocator must return 16-byte aligned blocks");

// The header of every block, as heapkit.h lays it out for the inline path.
using BlockHeader = goheap_block_header;
constexpr std::size_t kHeaderSize = sizeof(BlockHeader);
static_assert(kHeaderSize == kAlign);
static_assert(HEAPKIT_INLINE_MAX <= kMaxPayload);

// Header of every chunk after the first.
struct alignas(kAlign) Chunk {
    Chunk *next;            // older chunk
    std::size_t capacity;   // data bytes after this header
    bool dedicated;         // holds exactly one oversized block
};
static_assert(sizeof(Chunk) % kAlign == 0);

unsigned char *chunk_data(Chunk *chunk) {
    return reinterpret_cast<unsigned char *>(chunk) + sizeof(Chunk);
}

// --- process allocator ----------------------------------------------------

service_common::ProcessAllocator g_allocator;

// Payload bytes currently held by default-heap blocks, process-wide.
std::atomic<std::size_t> g_default_in_use{0};

void *raw_alloc(std::size_t size) {
    return g_allocator.alloc(size);
}

void raw_release(void *block) {
    g_allocator.release(block);
}

// --- sanitizer hooks --------------------------------------------------------

void poison(const void *at, std::size_t size) {
#if defined(HEAPKIT_ASAN)
    ASAN_POISON_MEMORY_REGION(at, size);
#else
    (void)at;
    (void)size;
#endif
}

void unpoison(const void *at, std::size_t size) {
#if defined(HEAPKIT_ASAN)
    ASAN_UNPOISON_MEMORY_REGION(at, size);
#else
    (void)at;
    (void)size;
#endif
}

// --- size arithmetic (callers guarantee size <= kMaxPayload) ---------------

// Capacity of the regular chunk following one of `previous` bytes.
constexpr std::size_t grown_capacity(std::size_t previous) {
    return previous < kMaxChunk / 2 ? previous * 2 : std::max(previous, kMaxChunk);
}

}  // namespace

// A goheap begins with its bump region (cursor, limit, in_use), the part
// that heapkit.h's inline goheap_malloc reads and moves.
struct alignas(kAlign) goheap {
    goheap_region region;
    Chunk *chunks;              // chunks after the first, newest first
    std::size_t first_capacity; // data bytes of the chunk inside this struct's allocation
    std::size_t next_capacity;  // size of the next regular chunk
};
static_assert(sizeof(goheap) % kAlign == 0);
static_assert(offsetof(goheap, region) == 0 && std::is_standard_layout_v<goheap>);

namespace {

unsigned char *first_chunk_data(goheap_t *heap) {
    return reinterpret_cast<unsigned char *>(heap) + sizeof(goheap);
}

// Writes the header at `at` and returns the payload.
void *stamp(goheap_t *heap, unsigned char *at, std::size_t size) {
    unpoison(at, kHeaderSize + size);
    ::new (static_cast<void *>(at)) BlockHeader{heap, size};
    heap->region.in_use += size;
    return at + kHeaderSize;
}

Chunk *new_chunk(goheap_t *heap, std::size_t capacity, bool dedicated) {
    void *memory = raw_alloc(sizeof(Chunk) + capacity);
    if (memory == nullptr) {
        return nullptr;
    }
    Chunk *chunk = ::new (memory) Chunk{heap->chunks, capacity, dedicated};
    heap->chunks = chunk;
    poison(chunk_data(chunk), capacity);
    return chunk;
}

// The current chunk cannot hold `span` bytes: open a chunk that can.
[[gnu::noinline, gnu::cold]] void *take_from_new_chunk(goheap_t *heap, std::size_t size,
                                                       std::size_t span) {
    if (span > heap->next_capacity / 2) {
        Chunk *chunk = new_chunk(heap, span, true);
        return chunk == nullptr ? nullptr : stamp(heap, chunk_data(chunk), size);
    }
    const std::size_t capacity = heap->next_capacity;
    Chunk *chunk = new_chunk(heap, capacity, false);
    if (chunk == nullptr) {
        return nullptr;
    }
    heap->next_capacity = grown_capacity(capacity);
    unsigned char *at = chunk_data(chunk);
    heap->region.cursor = at + span;
    heap->region.limit = at + capacity;
    return stamp(heap, at, size);
}

inline void *take_from_arena(goheap_t *heap, std::size_t size) {
    if (size > kMaxPayload) {
        return nullptr;
    }
    const std::size_t span = heapkit_block_span(size);
    if (span <= static_cast<std::size_t>(heap->region.limit - heap->region.cursor)) {
        unsigned char *at = heap->region.cursor;
        heap->region.cursor = at + span;
        return stamp(heap, at, size);
    }
    return take_from_new_chunk(heap, size, span);
}

void *take_from_default_heap(std::size_t size) {
    if (size > kMaxPayload) {
        return nullptr;
    }
    void *memory = raw_alloc(kHeaderSize + size);
    if (memory == nullptr) {
        return nullptr;
    }
    ::new (memory) BlockHeader{nullptr, size};
    g_default_in_use.fetch_add(size, std::memory_order_relaxed);
    return static_cast<unsigned char *>(memory) + kHeaderSize;
}

// Reclaims an arena block if nothing was carved after it: the newest block
// of the current chunk moves the cursor back (repeatedly, so blocks given
// back newest first are all reclaimed), and a block with a chunk of its own
// goes back with that chunk while it is the newest chunk.  Any other block
// stays until the arena is destroyed.
void give_back_to_arena(goheap_t *heap, BlockHeader *header) {
    unsigned char *at = reinterpret_cast<unsigned char *>(header);
    const std::size_t size = header->size;
    const std::size_t span = heapkit_block_span(size);
    if (at + span == heap->region.cursor) {
        heap->region.cursor = at;
        heap->region.in_use -= size;
        poison(at, span);
        return;
    }
    Chunk *newest = heap->chunks;
    if (newest != nullptr && newest->dedicated && chunk_data(newest) == at) {
        heap->chunks = newest->next;
        heap->region.in_use -= size;
        unpoison(at, newest->capacity);
        raw_release(newest);
    }
}

}  // namespace

extern "C" {

goheap_t *goheap_create(size_t size) {
    if (size > kMaxPayload) {
        return nullptr;
    }
    // A size hint counts the bytes a caller means to store, not the block
    // headers and rounding around them; half as much again (and a few
    // headers' worth) keeps a heap that is used as hinted in one chunk.
    const std::size_t capacity = std::max(kMinChunk, heapkit_block_span(size) + size / 2 + kHintAllowance);
    void *memory = raw_alloc(sizeof(goheap) + capacity);
    if (memory == nullptr) {
        return nullptr;
    }
    goheap_t *heap = ::new (memory) goheap{};
    heap->region.cursor = first_chunk_data(heap);
    heap->region.limit = heap->region.cursor + capacity;
    heap->chunks = nullptr;
    heap->first_capacity = capacity;
    heap->next_capacity = grown_capacity(capacity);
    heap->region.in_use = 0;
    poison(heap->region.cursor, capacity);
    return heap;
}

void *goheap_malloc_slow(goheap_t *heap, size_t size) {
    return heap == nullptr ? take_from_default_heap(size) : take_from_arena(heap, size);
}

void *goheap_malloc(goheap_t *heap, size_t size) { return goheap_malloc_slow(heap, size); }

void goheap_free(goheap_t * /*heap*/, void *block) {
    // The header, not the argument, says who owns the block.
    if (block == nullptr) {
        return;
    }
    auto *header = reinterpret_cast<BlockHeader *>(static_cast<unsigned char *>(block) - kHeaderSize);
    if (header->owner != nullptr) {
        give_back_to_arena(header->owner, header);
        return;
    }
    g_default_in_use.fetch_sub(header->size, std::memory_order_relaxed);
    raw_release(header);
}

void goheap_destroy(goheap_t *heap) {
    if (heap == nullptr) {
        return;
    }
    Chunk *chunk = heap->chunks;
    while (chunk != nullptr) {
        Chunk *older = chunk->next;
        // The allocator may hand this memory to anyone next: lift the
        // poisoning first.
        unpoison(chunk_data(chunk), chunk->capacity);
        raw_release(chunk);
        chunk = older;
    }
    unpoison(first_chunk_data(heap), heap->first_capacity);
    raw_release(heap);
}

size_t goheap_bytes_in_use(const goheap_t *heap) {
    return heap == nullptr ? g_default_in_use.load(std::memory_order_relaxed) : heap->region.in_use;
}

void heapkit_set_allocator(const heapkit_allocator_t *allocator) { g_allocator.replace(allocator); }

}  // extern "C"
