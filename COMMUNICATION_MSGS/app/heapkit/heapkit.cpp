// heapkit: bump-pointer arenas (goheaps) and the tagged default heap.
//
// Layout
//   Every block is preceded by a 16-byte BlockHeader {owner, size}.  owner is
//   null for default-heap blocks and the arena otherwise; size is the byte
//   count the caller asked for.  Payloads are 16-byte aligned: allocations
//   from the process allocator are checked to be 16-byte aligned (see
//   raw_alloc), the header is 16 bytes on every target, every control structure
//   below is a multiple of 16 bytes, and every arena block spans a multiple
//   of 16 bytes.
//
//   goheap_create makes one allocation: [goheap][first chunk data].  Later
//   chunks are separate allocations: [Chunk][data], linked newest first so
//   goheap_destroy can release them.  The first chunk holds at least the
//   requested hint (one block of that size fits) and never less than
//   kMinChunk bytes; without a hint it fills a 1 KiB allocation.  Each new
//   regular chunk doubles the previous one up to kMaxChunk; a request that
//   would take more than half of the next regular chunk gets a chunk sized
//   exactly for it instead, and the current chunk stays in use for the
//   small blocks that follow.
//
// Sizes are checked against kMaxPayload before any arithmetic, so no sum
// below can wrap and no object exceeds PTRDIFF_MAX.
//
// Reuse
//   The memory of a destroyed goheap (its own allocation and its chunks) is
//   kept in a small cache of the thread that destroyed it, and goheap_create
//   and new chunks on that thread take the smallest cached block that is
//   large enough before asking the process allocator.  A receiver that makes
//   one goheap per batch so reuses the same few blocks batch after batch
//   instead of handing them back to glibc, which would trim them off the top
//   of its heap and fault the pages in again on the next batch (no mallopt
//   or environment setting is needed for that).  A thread keeps at most
//   HEAPKIT_THREAD_CACHE_BYTES in at most kCacheSlots blocks (larger blocks
//   evict smaller ones); anything else goes back to the allocator at once,
//   and the cache is released when the thread ends.
//
//   Every block remembers the release routine of the allocator that granted
//   it and that allocator's generation (bumped by heapkit_set_allocator), so
//   it always goes back through its own allocator, and a block of an earlier
//   generation is never reused: a cache whose generation is behind releases
//   its blocks before it hands out or keeps anything.
//
// Under AddressSanitizer the unused part of each chunk, and space given back
// by goheap_free, is poisoned so that overruns inside an arena are reported
// like overruns of malloc'd blocks; cached blocks are poisoned whole, so a
// goheap used after goheap_destroy is reported too.

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
// What goheap_create(0) takes in all, the goheap included: with no hint, a
// chunk that holds a typical message whole, in one block that glibc still
// serves from its per-thread cache (requests up to 1032 bytes).
constexpr std::size_t kUnhintedAllocation = 1024;
constexpr std::size_t kHintAllowance = 256;
constexpr std::size_t kMaxChunk = std::size_t{1} << 20;
constexpr std::size_t kCacheBytes = HEAPKIT_THREAD_CACHE_BYTES;
constexpr unsigned kCacheSlots = 16;
// Leaves room for the headers and rounding added to a request.
constexpr std::size_t kMaxPayload =
    (static_cast<std::size_t>(PTRDIFF_MAX) - 4096) & ~(kAlign - 1);

// The header of every block, as heapkit.h lays it out for the inline path.
using BlockHeader = goheap_block_header;
constexpr std::size_t kHeaderSize = sizeof(BlockHeader);
static_assert(kHeaderSize == kAlign);
static_assert(HEAPKIT_INLINE_MAX <= kMaxPayload);

// Writes a block's header at `at` (its padding, where it has some, zeroed).
void write_header(void *at, goheap_t *owner, std::size_t size) {
    auto *header = ::new (at) BlockHeader{};
    header->owner = owner;
    header->size = size;
}

using Release = service_common::ProcessAllocator::Release;

// Where a block of arena memory came from: the release routine of the
// allocator that granted it and that allocator's generation.
struct Origin {
    Release release;
    std::uint32_t generation;
};

// Header of every chunk after the first.
struct alignas(kAlign) Chunk {
    Chunk *next;            // older chunk
    std::size_t capacity;   // data bytes after this header
    Origin origin;
    bool dedicated;         // holds exactly one oversized block
};
static_assert(sizeof(Chunk) % kAlign == 0);

unsigned char *chunk_data(Chunk *chunk) {
    return reinterpret_cast<unsigned char *>(chunk) + sizeof(Chunk);
}

// --- process allocator ----------------------------------------------------

service_common::ProcessAllocator g_allocator;

// Bumped whenever the allocator is set: blocks of an older generation are
// released, never reused.
std::atomic<std::uint32_t> g_generation{0};

// Payload bytes currently held by default-heap blocks, process-wide.
std::atomic<std::size_t> g_default_in_use{0};

// Every block of the process allocator must be kAlign-aligned, since the
// headers and payloads carved from it are.  No type says so of malloc on
// every target (alignof(max_align_t) is 8 on s390x, whose malloc aligns to
// 16; on armel and armhf malloc aligns to 8 only and the default allocator
// asks aligned_alloc instead), so each block is checked as it comes: one the
// allocator misaligned is given back, and the allocation fails.
void *raw_alloc(std::size_t size) {
    void *block = g_allocator.alloc(size);
    if (reinterpret_cast<std::uintptr_t>(block) % kAlign != 0) [[unlikely]] {
        g_allocator.release(block);
        return nullptr;
    }
    return block;
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

// --- the thread's cache of released blocks ---------------------------------

// A block of arena memory: where it starts, its size and where it came from.
struct Memory {
    void *at;
    std::size_t size;
    Origin origin;
};

void give_back(const Memory &memory) {
    // The allocator may hand this memory to anyone next: lift the
    // poisoning first.
    unpoison(memory.at, memory.size);
    memory.origin.release(memory.at);
}

// The blocks a thread keeps.  All of them come from the allocator of one
// generation, whose release routine the cache holds once.
class BlockCache {
public:
    constexpr BlockCache() = default;
    BlockCache(const BlockCache &) = delete;
    BlockCache &operator=(const BlockCache &) = delete;
    ~BlockCache() {
        release_all();
        closed_ = true;
    }

    // A cached block of at least `size` bytes: the newest one if it is no
    // more than twice as large (a goheap that grows asks for the blocks of
    // the one destroyed before it in the order it kept them), else the
    // smallest that fits.  When none fits, `at` is null and the origin
    // carries the current generation.
    Memory take(std::size_t size) {
        catch_up();
        if (count_ != 0) {
            const Block &top = blocks_[count_ - 1];
            if (top.size >= size && top.size / 2 <= size) {
                return handed_out(count_ - 1);
            }
        }
        return take_best_fit(size);
    }

    // Keeps a block that a goheap no longer uses, or releases it: blocks of
    // an earlier allocator, blocks beyond the cap (a block larger than the
    // smallest cached one takes that one's place) and anything after the
    // thread's cache is gone go back at once.
    void keep(const Memory &memory) {
        catch_up();
        if (!closed_ && memory.origin.generation == generation_ && count_ < kCacheSlots &&
            bytes_ + memory.size <= kCacheBytes) {
            push(memory);
            return;
        }
        keep_beyond_room(memory);
    }

    // Releases every cached block through the allocator that granted it.
    void release_all() {
        while (count_ != 0) {
            give_back(remove(count_ - 1));
        }
    }

private:
    struct Block {
        void *at;
        std::size_t size;
    };

    // After the allocator was set, blocks of the earlier one are released.
    void catch_up() {
        const std::uint32_t now = g_generation.load(std::memory_order_acquire);
        if (now != generation_) [[unlikely]] {
            release_all();
            generation_ = now;
        }
    }

    [[gnu::noinline]] Memory take_best_fit(std::size_t size) {
        unsigned best = count_;
        for (unsigned i = 0; i < count_; ++i) {
            if (blocks_[i].size >= size && (best == count_ || blocks_[i].size < blocks_[best].size)) {
                best = i;
            }
        }
        return best == count_ ? Memory{nullptr, 0, {nullptr, generation_}} : handed_out(best);
    }

    [[gnu::noinline]] void keep_beyond_room(const Memory &memory) {
        if (closed_ || memory.origin.generation != generation_ || memory.size > kCacheBytes) {
            give_back(memory);
            return;
        }
        while (count_ == kCacheSlots || bytes_ + memory.size > kCacheBytes) {
            unsigned smallest = 0;
            for (unsigned i = 1; i < count_; ++i) {
                if (blocks_[i].size < blocks_[smallest].size) {
                    smallest = i;
                }
            }
            if (blocks_[smallest].size >= memory.size) {
                give_back(memory);
                return;
            }
            give_back(remove(smallest));
        }
        push(memory);
    }

    void push(const Memory &memory) {
        poison(memory.at, memory.size);
        release_ = memory.origin.release;
        blocks_[count_++] = Block{memory.at, memory.size};
        bytes_ += memory.size;
    }

    Memory handed_out(unsigned index) {
        const Memory memory = remove(index);
        unpoison(memory.at, memory.size);
        return memory;
    }

    // Kept blocks stay in the order they came, newest last.
    Memory remove(unsigned index) {
        const Block block = blocks_[index];
        std::copy(blocks_ + index + 1, blocks_ + count_, blocks_ + index);
        --count_;
        bytes_ -= block.size;
        return Memory{block.at, block.size, {release_, generation_}};
    }

    Block blocks_[kCacheSlots] = {};
    unsigned count_ = 0;
    std::size_t bytes_ = 0;
    Release release_ = nullptr;
    std::uint32_t generation_ = 0;
    bool closed_ = false;
};

// The cache itself, whose destructor releases it when the thread ends, and
// its address in the initial-exec model: one load, where reaching the
// object itself from a shared library takes calls into the dynamic linker.
// The address is set on the thread's first use, which is also when the
// destructor is registered; it stays set after the destructor has run, and
// the closed cache then lets everything go back at once.
thread_local BlockCache t_cache;
thread_local BlockCache *t_cache_at __attribute__((tls_model("initial-exec"))) = nullptr;

BlockCache &this_thread_cache() {
    BlockCache *cache = t_cache_at;
    if (cache == nullptr) [[unlikely]] {
        cache = t_cache_at = &t_cache;
    }
    return *cache;
}

// At least `size` bytes for a goheap or a chunk: a cached block of this
// thread, else a new one from the allocator (a null `at` if refused).
Memory obtain(std::size_t size) {
    Memory memory = this_thread_cache().take(size);
    if (memory.at == nullptr) {
        memory = Memory{raw_alloc(size), size, {g_allocator.current_release(), memory.origin.generation}};
    }
    return memory;
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
    Origin origin;              // of this struct's allocation
};
static_assert(sizeof(goheap) % kAlign == 0);
static_assert(kUnhintedAllocation - sizeof(goheap) >= kMinChunk);
static_assert(offsetof(goheap, region) == 0 && std::is_standard_layout_v<goheap>);

namespace {

unsigned char *first_chunk_data(goheap_t *heap) {
    return reinterpret_cast<unsigned char *>(heap) + sizeof(goheap);
}

// Writes the header at `at` and returns the payload.
void *stamp(goheap_t *heap, unsigned char *at, std::size_t size) {
    unpoison(at, kHeaderSize + size);
    write_header(at, heap, size);
    heap->region.in_use += size;
    return at + kHeaderSize;
}

// A chunk of at least `capacity` data bytes (a cached block may hold more).
Chunk *new_chunk(goheap_t *heap, std::size_t capacity, bool dedicated) {
    const Memory memory = obtain(sizeof(Chunk) + capacity);
    if (memory.at == nullptr) {
        return nullptr;
    }
    Chunk *chunk = ::new (memory.at) Chunk{heap->chunks, memory.size - sizeof(Chunk), memory.origin, dedicated};
    heap->chunks = chunk;
    poison(chunk_data(chunk), chunk->capacity);
    return chunk;
}

Memory chunk_memory(Chunk *chunk) {
    return Memory{chunk, sizeof(Chunk) + chunk->capacity, chunk->origin};
}

// The current chunk cannot hold `span` bytes: open a chunk that can.
[[gnu::noinline, gnu::cold]] void *take_from_new_chunk(goheap_t *heap, std::size_t size,
                                                       std::size_t span) {
    if (span > heap->next_capacity / 2) {
        Chunk *chunk = new_chunk(heap, span, true);
        return chunk == nullptr ? nullptr : stamp(heap, chunk_data(chunk), size);
    }
    Chunk *chunk = new_chunk(heap, heap->next_capacity, false);
    if (chunk == nullptr) {
        return nullptr;
    }
    heap->next_capacity = grown_capacity(chunk->capacity);
    unsigned char *at = chunk_data(chunk);
    heap->region.cursor = at + span;
    heap->region.limit = at + chunk->capacity;
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
    write_header(memory, nullptr, size);
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
        this_thread_cache().keep(chunk_memory(newest));
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
    const std::size_t wanted = size == 0 ? kUnhintedAllocation - sizeof(goheap)
                                         : std::max(kMinChunk, heapkit_block_span(size) + size / 2 + kHintAllowance);
    const Memory memory = obtain(sizeof(goheap) + wanted);
    if (memory.at == nullptr) {
        return nullptr;
    }
    // A cached block may be larger than asked for: all of it is used.
    const std::size_t capacity = memory.size - sizeof(goheap);
    goheap_t *heap = ::new (memory.at) goheap{};
    heap->region.cursor = first_chunk_data(heap);
    heap->region.limit = heap->region.cursor + capacity;
    heap->chunks = nullptr;
    heap->first_capacity = capacity;
    heap->next_capacity = grown_capacity(capacity);
    heap->origin = memory.origin;
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
    // Newest (largest) chunks first, so that they are the ones the cache
    // keeps when it cannot keep everything.
    BlockCache &cache = this_thread_cache();
    Chunk *chunk = heap->chunks;
    while (chunk != nullptr) {
        Chunk *older = chunk->next;
        cache.keep(chunk_memory(chunk));
        chunk = older;
    }
    cache.keep(Memory{heap, sizeof(goheap) + heap->first_capacity, heap->origin});
}

size_t goheap_bytes_in_use(const goheap_t *heap) {
    return heap == nullptr ? g_default_in_use.load(std::memory_order_relaxed) : heap->region.in_use;
}

void heapkit_set_allocator(const heapkit_allocator_t *allocator) {
    g_allocator.replace(allocator);
    g_generation.fetch_add(1, std::memory_order_acq_rel);
    // This thread's cache goes back now; other threads' caches when they
    // next use heapkit, or when they end.
    this_thread_cache().release_all();
}

}  // extern "C"
