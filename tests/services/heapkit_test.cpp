// heapkit: arena and default-heap allocation, block ownership on free,
// allocator failure handling and thread use of the default heap.

#include "allocator_probe.h"
#include "heapkit.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace {

using Probe = ScopedProbe<heapkit_allocator_t>;

// Sizes around every 16-byte boundary, the minimum chunk and beyond.
constexpr std::size_t kSizes[] = {0,   1,   2,   7,   8,    15,   16,   17,   24,   31,   32,  33,
                                  48,  63,  64,  100, 255,  256,  257,  1000, 4095, 4096, 4097,
                                  70000};

struct Block {
    unsigned char *data;
    std::size_t size;
    unsigned tag;
};

unsigned char pattern(unsigned tag, std::size_t i) {
    return static_cast<unsigned char>(tag * 131u + i * 7u + 1u);
}

void fill(const Block &block) {
    for (std::size_t i = 0; i < block.size; ++i) {
        block.data[i] = pattern(block.tag, i);
    }
}

bool intact(const Block &block) {
    for (std::size_t i = 0; i < block.size; ++i) {
        if (block.data[i] != pattern(block.tag, i)) {
            return false;
        }
    }
    return true;
}

bool aligned16(const void *p) { return reinterpret_cast<std::uintptr_t>(p) % 16 == 0; }

Block take(goheap_t *heap, std::size_t size, unsigned tag) {
    return Block{static_cast<unsigned char *>(goheap_malloc(heap, size)), size, tag};
}

// Allocates `count` blocks cycling through kSizes from `first`, checking each
// is non-null and aligned, and fills them.
std::vector<Block> take_mixed(goheap_t *heap, std::size_t count, std::size_t first) {
    std::vector<Block> blocks;
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t size = kSizes[(first + i) % std::size(kSizes)];
        Block block = take(heap, size, static_cast<unsigned>(i));
        EXPECT_NE(block.data, nullptr) << "block " << i << " of " << size << " bytes";
        if (block.data == nullptr) {
            break;
        }
        EXPECT_TRUE(aligned16(block.data)) << "block " << i << " of " << size << " bytes";
        fill(block);
        blocks.push_back(block);
    }
    return blocks;
}

// Every block still holds its own pattern and no two blocks share a byte.
void expect_disjoint_and_intact(std::vector<Block> blocks) {
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        EXPECT_TRUE(intact(blocks[i])) << "block " << i << " was overwritten";
    }
    std::sort(blocks.begin(), blocks.end(), [](const Block &a, const Block &b) {
        return reinterpret_cast<std::uintptr_t>(a.data) < reinterpret_cast<std::uintptr_t>(b.data);
    });
    for (std::size_t i = 1; i < blocks.size(); ++i) {
        const auto end = reinterpret_cast<std::uintptr_t>(blocks[i - 1].data) +
                         std::max<std::size_t>(blocks[i - 1].size, 1);
        EXPECT_LE(end, reinterpret_cast<std::uintptr_t>(blocks[i].data)) << "blocks overlap";
    }
}

std::size_t total_size(const std::vector<Block> &blocks) {
    std::size_t total = 0;
    for (const Block &block : blocks) {
        total += block.size;
    }
    return total;
}

// Every block the probe granted went back, and through it.
void expect_all_released(const AllocatorProbe::Stats &stats) {
    EXPECT_EQ(stats.live, 0u);
    EXPECT_EQ(stats.releases, stats.allocs);
    EXPECT_EQ(stats.foreign_releases, 0u);
}

TEST(HeapkitArena, MixedSizeBlocksAreAlignedDisjointAndCounted) {
    for (std::size_t hint : {std::size_t{0}, std::size_t{1}, std::size_t{100}, std::size_t{4096},
                             std::size_t{1} << 20}) {
        SCOPED_TRACE("hint " + std::to_string(hint));
        goheap_t *heap = goheap_create(hint);
        ASSERT_NE(heap, nullptr);
        const std::vector<Block> blocks = take_mixed(heap, 600, hint % 7);
        ASSERT_EQ(blocks.size(), 600u);
        expect_disjoint_and_intact(blocks);
        EXPECT_EQ(goheap_bytes_in_use(heap), total_size(blocks));
        goheap_destroy(heap);
    }
}

TEST(HeapkitDefaultHeap, MixedSizeBlocksAreAlignedDisjointAndCounted) {
    const std::size_t before = goheap_bytes_in_use(nullptr);
    const std::vector<Block> blocks = take_mixed(nullptr, 200, 3);
    ASSERT_EQ(blocks.size(), 200u);
    expect_disjoint_and_intact(blocks);
    EXPECT_EQ(goheap_bytes_in_use(nullptr), before + total_size(blocks));
    for (const Block &block : blocks) {
        goheap_free(nullptr, block.data);
    }
    EXPECT_EQ(goheap_bytes_in_use(nullptr), before);
}

TEST(HeapkitArena, CreateIsOneAllocationThatHoldsTheHint) {
    for (std::size_t hint : {std::size_t{0}, std::size_t{1}, std::size_t{255}, std::size_t{256},
                             std::size_t{4096}, std::size_t{100000}}) {
        SCOPED_TRACE("hint " + std::to_string(hint));
        Probe probe(&heapkit_set_allocator);
        goheap_t *heap = goheap_create(hint);
        ASSERT_NE(heap, nullptr);
        EXPECT_EQ(probe.stats().allocs, 1u);

        // A block of the hinted size comes from the first chunk.
        Block block = take(heap, hint, 1);
        ASSERT_NE(block.data, nullptr);
        fill(block);
        EXPECT_EQ(probe.stats().allocs, 1u);

        // Outgrow the first chunk, including a block far larger than any
        // regular chunk so far.
        std::vector<Block> more = take_mixed(heap, 100, 0);
        Block big = take(heap, 3 * (hint + 4096), 2);
        ASSERT_NE(big.data, nullptr);
        fill(big);
        more.push_back(big);
        more.push_back(block);
        expect_disjoint_and_intact(more);
        EXPECT_GT(probe.stats().allocs, 1u);

        goheap_destroy(heap);
        expect_all_released(probe.stats());
    }
}

TEST(HeapkitArena, ChunksGrowGeometrically) {
    Probe probe(&heapkit_set_allocator);
    goheap_t *heap = goheap_create(0);
    ASSERT_NE(heap, nullptr);
    // 20000 blocks of 40 bytes is over a megabyte of arena; chunks of a
    // fixed small size would take thousands of allocations.
    std::vector<Block> blocks;
    for (unsigned i = 0; i < 20000; ++i) {
        Block block = take(heap, 40, i);
        ASSERT_NE(block.data, nullptr) << "block " << i;
        fill(block);
        blocks.push_back(block);
    }
    const std::size_t allocs = probe.stats().allocs;
    EXPECT_GT(allocs, 5u);
    EXPECT_LT(allocs, 32u);
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        ASSERT_TRUE(intact(blocks[i])) << "block " << i;
    }
    EXPECT_EQ(goheap_bytes_in_use(heap), 40u * blocks.size());
    goheap_destroy(heap);
    EXPECT_EQ(probe.stats().live, 0u);
    EXPECT_EQ(probe.stats().foreign_releases, 0u);
}

TEST(HeapkitOversized, RequestsThatCannotBeSizedReturnNull) {
    constexpr std::size_t kHuge[] = {SIZE_MAX,      SIZE_MAX - 1,  SIZE_MAX - 15,
                                     SIZE_MAX - 16, SIZE_MAX - 31, SIZE_MAX - 64,
                                     SIZE_MAX / 2 + 1};
    Probe probe(&heapkit_set_allocator);
    goheap_t *heap = goheap_create(64);
    ASSERT_NE(heap, nullptr);
    Block keep = take(heap, 24, 9);
    ASSERT_NE(keep.data, nullptr);
    fill(keep);
    const std::size_t arena_bytes = goheap_bytes_in_use(heap);
    const std::size_t default_bytes = goheap_bytes_in_use(nullptr);

    for (std::size_t size : kHuge) {
        SCOPED_TRACE("size " + std::to_string(size));
        EXPECT_EQ(goheap_create(size), nullptr);
        EXPECT_EQ(goheap_malloc(heap, size), nullptr);
        EXPECT_EQ(goheap_malloc(nullptr, size), nullptr);
        EXPECT_EQ(goheap_bytes_in_use(heap), arena_bytes);
        EXPECT_EQ(goheap_bytes_in_use(nullptr), default_bytes);
    }
    // The arena is still sound after the refusals.
    Block next = take(heap, 24, 10);
    ASSERT_NE(next.data, nullptr);
    fill(next);
    EXPECT_TRUE(intact(keep));
    EXPECT_TRUE(intact(next));
    goheap_destroy(heap);
    EXPECT_EQ(probe.stats().live, 0u);
}

TEST(HeapkitAllocatorFailure, RefusedMemoryGivesNull) {
    Probe probe(&heapkit_set_allocator, /*grants=*/0);
    for (std::size_t hint : {std::size_t{0}, std::size_t{4096}}) {
        EXPECT_EQ(goheap_create(hint), nullptr) << "hint " << hint;
    }
    const std::size_t default_bytes = goheap_bytes_in_use(nullptr);
    for (std::size_t size : {std::size_t{0}, std::size_t{16}, std::size_t{1} << 20}) {
        EXPECT_EQ(goheap_malloc(nullptr, size), nullptr) << "size " << size;
    }
    EXPECT_EQ(goheap_bytes_in_use(nullptr), default_bytes);
    EXPECT_GE(probe.stats().refusals, 5u);
    EXPECT_EQ(probe.stats().live, 0u);
}

TEST(HeapkitAllocatorFailure, ArenaThatCannotGrowStaysUsable) {
    // Only the arena itself is granted; every new chunk is refused.
    Probe probe(&heapkit_set_allocator, /*grants=*/1);
    goheap_t *heap = goheap_create(0);
    ASSERT_NE(heap, nullptr);
    std::vector<Block> blocks;
    for (unsigned i = 0; i < 1000; ++i) {
        Block block = take(heap, 16, i);
        if (block.data == nullptr) {
            break;
        }
        fill(block);
        blocks.push_back(block);
    }
    ASSERT_FALSE(blocks.empty());
    ASSERT_LT(blocks.size(), 1000u) << "the arena never asked for a second chunk";
    EXPECT_GE(probe.stats().refusals, 1u);
    EXPECT_EQ(goheap_bytes_in_use(heap), 16u * blocks.size());
    EXPECT_EQ(goheap_malloc(heap, 1u << 20), nullptr);
    expect_disjoint_and_intact(blocks);

    // Giving back the newest block makes room again without the allocator.
    goheap_free(heap, blocks.back().data);
    Block again = take(heap, 16, 77);
    EXPECT_EQ(again.data, blocks.back().data);

    goheap_destroy(heap);
    EXPECT_EQ(probe.stats().live, 0u);
    EXPECT_EQ(probe.stats().foreign_releases, 0u);
}

TEST(HeapkitFree, NewestBlocksAreReclaimedInReverseOrder) {
    for (std::size_t size : kSizes) {
        SCOPED_TRACE("size " + std::to_string(size));
        // Both blocks share the first chunk; a block with a chunk of its own
        // goes back with the chunk instead (see OversizedBlockGoesBackWithItsChunk).
        goheap_t *heap = goheap_create(1u << 17);
        ASSERT_NE(heap, nullptr);
        Block first = take(heap, 40, 1);
        Block second = take(heap, size, 2);
        ASSERT_NE(first.data, nullptr);
        ASSERT_NE(second.data, nullptr);
        fill(first);
        fill(second);

        goheap_free(heap, second.data);
        EXPECT_EQ(goheap_bytes_in_use(heap), 40u);
        Block reused = take(heap, size, 3);
        EXPECT_EQ(reused.data, second.data);
        fill(reused);
        EXPECT_TRUE(intact(first));

        goheap_free(heap, reused.data);
        goheap_free(heap, first.data);
        EXPECT_EQ(goheap_bytes_in_use(heap), 0u);
        EXPECT_EQ(take(heap, 40, 4).data, first.data);
        goheap_destroy(heap);
    }
}

// goheap_malloc takes small arena blocks inline, in the caller; the
// library's own path must see the same region and the same headers.
TEST(HeapkitArena, InlineAndOutOfLineBlocksShareOneRegion) {
    goheap_t *heap = goheap_create(4096);
    ASSERT_NE(heap, nullptr);
    auto *inline_block = static_cast<unsigned char *>(goheap_malloc(heap, 24));
    auto *library_block = static_cast<unsigned char *>(goheap_malloc_slow(heap, 24));
    auto *empty_block = static_cast<unsigned char *>(goheap_malloc(heap, 0));
    ASSERT_NE(inline_block, nullptr);
    ASSERT_NE(library_block, nullptr);
    ASSERT_NE(empty_block, nullptr);
    // A 16-byte header before each payload, payloads rounded up to 16 bytes.
    EXPECT_EQ(library_block - inline_block, 48);
    EXPECT_EQ(empty_block - library_block, 48);
    EXPECT_EQ(goheap_bytes_in_use(heap), 48u);

    goheap_free(heap, empty_block);
    goheap_free(heap, library_block);
    EXPECT_EQ(goheap_bytes_in_use(heap), 24u);
    EXPECT_EQ(goheap_malloc(heap, 24), library_block);
    goheap_destroy(heap);
}

TEST(HeapkitFree, OlderBlocksAreLeftInPlace) {
    goheap_t *heap = goheap_create(0);
    ASSERT_NE(heap, nullptr);
    Block older = take(heap, 32, 1);
    Block newer = take(heap, 32, 2);
    ASSERT_NE(older.data, nullptr);
    ASSERT_NE(newer.data, nullptr);
    fill(older);
    fill(newer);

    goheap_free(heap, older.data);
    EXPECT_EQ(goheap_bytes_in_use(heap), 64u);
    Block next = take(heap, 32, 3);
    ASSERT_NE(next.data, nullptr);
    EXPECT_NE(next.data, older.data);
    fill(next);
    EXPECT_TRUE(intact(newer));
    goheap_destroy(heap);
}

TEST(HeapkitFree, ArenaBlockGivenToNullHeapNeverReachesTheAllocator) {
    Probe probe(&heapkit_set_allocator);
    goheap_t *heap = goheap_create(0);
    ASSERT_NE(heap, nullptr);
    Block older = take(heap, 32, 1);
    Block newest = take(heap, 32, 2);
    ASSERT_NE(older.data, nullptr);
    ASSERT_NE(newest.data, nullptr);
    fill(older);
    fill(newest);

    goheap_free(nullptr, older.data);
    goheap_free(nullptr, newest.data);
    EXPECT_EQ(probe.stats().releases, 0u);
    EXPECT_EQ(probe.stats().foreign_releases, 0u);
    // The block's tag, not the argument, decided: the arena took it back.
    EXPECT_EQ(goheap_bytes_in_use(heap), 32u);
    EXPECT_EQ(take(heap, 32, 3).data, newest.data);
    EXPECT_TRUE(intact(older));

    goheap_destroy(heap);
    EXPECT_EQ(probe.stats().live, 0u);
    EXPECT_EQ(probe.stats().foreign_releases, 0u);
}

TEST(HeapkitFree, DefaultBlockGivenToArenaIsReleased) {
    goheap_t *heap = goheap_create(0);
    ASSERT_NE(heap, nullptr);
    Block arena_block = take(heap, 48, 1);
    ASSERT_NE(arena_block.data, nullptr);
    fill(arena_block);

    Probe probe(&heapkit_set_allocator);
    const std::size_t default_bytes = goheap_bytes_in_use(nullptr);
    Block block = take(nullptr, 48, 2);
    ASSERT_NE(block.data, nullptr);
    fill(block);
    EXPECT_EQ(goheap_bytes_in_use(nullptr), default_bytes + 48);
    EXPECT_EQ(probe.stats().allocs, 1u);

    goheap_free(heap, block.data);
    EXPECT_EQ(probe.stats().releases, 1u);
    EXPECT_EQ(probe.stats().live, 0u);
    EXPECT_EQ(goheap_bytes_in_use(nullptr), default_bytes);
    EXPECT_EQ(goheap_bytes_in_use(heap), 48u);
    EXPECT_TRUE(intact(arena_block));
    heapkit_set_allocator(nullptr);
    goheap_destroy(heap);
}

TEST(HeapkitFree, NullBlocksAndHeapsAreIgnored) {
    Probe probe(&heapkit_set_allocator);
    goheap_t *heap = goheap_create(0);
    ASSERT_NE(heap, nullptr);
    Block block = take(heap, 16, 1);
    ASSERT_NE(block.data, nullptr);

    goheap_free(heap, nullptr);
    goheap_free(nullptr, nullptr);
    goheap_destroy(nullptr);
    EXPECT_EQ(probe.stats().releases, 0u);
    EXPECT_EQ(probe.stats().foreign_releases, 0u);
    EXPECT_EQ(goheap_bytes_in_use(heap), 16u);
    EXPECT_NE(take(heap, 16, 2).data, block.data);

    goheap_destroy(heap);
    EXPECT_EQ(probe.stats().live, 0u);
}

TEST(HeapkitFree, OversizedBlockGoesBackWithItsChunk) {
    Probe probe(&heapkit_set_allocator);
    goheap_t *heap = goheap_create(0);
    ASSERT_NE(heap, nullptr);
    Block big = take(heap, std::size_t{1} << 21, 1);
    ASSERT_NE(big.data, nullptr);
    fill(big);
    EXPECT_EQ(probe.stats().allocs, 2u);
    EXPECT_EQ(goheap_bytes_in_use(heap), std::size_t{1} << 21);

    goheap_free(heap, big.data);
    EXPECT_EQ(probe.stats().releases, 1u);
    EXPECT_EQ(probe.stats().live, 1u);
    EXPECT_EQ(goheap_bytes_in_use(heap), 0u);
    EXPECT_NE(take(heap, 16, 2).data, nullptr);

    goheap_destroy(heap);
    EXPECT_EQ(probe.stats().live, 0u);
    EXPECT_EQ(probe.stats().foreign_releases, 0u);
}

// ---- Reuse of a destroyed goheap's memory by the next goheaps of its thread ----

// A goheap of `hint` with `count` blocks of `size` bytes, destroyed.
void fill_and_destroy(std::size_t hint, std::size_t count, std::size_t size) {
    goheap_t *heap = goheap_create(hint);
    ASSERT_NE(heap, nullptr);
    for (std::size_t i = 0; i < count; ++i) {
        Block block = take(heap, size, static_cast<unsigned>(i));
        ASSERT_NE(block.data, nullptr) << "block " << i;
        fill(block);
    }
    goheap_destroy(heap);
}

TEST(HeapkitCache, TheNextGoheapsOfAThreadReuseTheMemory) {
    for (std::size_t hint : {std::size_t{0}, std::size_t{4096}, std::size_t{1} << 20}) {
        SCOPED_TRACE("hint " + std::to_string(hint));
        Probe probe(&heapkit_set_allocator);
        fill_and_destroy(hint, 3000, 40);
        const AllocatorProbe::Stats first = probe.raw_stats();
        EXPECT_GT(first.allocs, 0u);
        EXPECT_EQ(first.live, first.allocs) << "nothing was kept";
        for (int round = 0; round < 3; ++round) {
            fill_and_destroy(hint, 3000, 40);
        }
        EXPECT_EQ(probe.raw_stats().allocs, first.allocs);
        expect_all_released(probe.stats());
    }
}

TEST(HeapkitCache, AThreadKeepsNoMoreThanTheCap) {
    struct Case {
        std::size_t hint, count, size;
    };
    // Chunks of 256 B to 1 MiB and then more 1 MiB chunks, 9 MiB in all; a
    // goheap whose first chunk alone exceeds the cap; an oversized block.
    for (const Case c : {Case{0, 24000, 384}, Case{HEAPKIT_THREAD_CACHE_BYTES, 1, 16},
                         Case{0, 1, HEAPKIT_THREAD_CACHE_BYTES}}) {
        SCOPED_TRACE("hint " + std::to_string(c.hint) + ", " + std::to_string(c.count) + " blocks of " +
                     std::to_string(c.size));
        Probe probe(&heapkit_set_allocator);
        fill_and_destroy(c.hint, c.count, c.size);
        const AllocatorProbe::Stats kept = probe.raw_stats();
        EXPECT_LE(kept.live_bytes, HEAPKIT_THREAD_CACHE_BYTES);
        EXPECT_GT(kept.releases, 0u) << "everything was kept";
        EXPECT_EQ(probe.stats().live, 0u);
    }
}

TEST(HeapkitCache, ReleasedWhenTheThreadEnds) {
    Probe probe(&heapkit_set_allocator);
    std::size_t kept_by_thread = 0;
    std::thread([&kept_by_thread] {
        fill_and_destroy(0, 3000, 40);
        kept_by_thread = AllocatorProbe::instance().stats().live;
    }).join();
    EXPECT_GT(kept_by_thread, 0u);
    expect_all_released(probe.raw_stats());
}

// Memory another thread keeps goes back through the allocator that granted
// it once the allocator is set, and is not reused under the new one.
TEST(HeapkitCache, MemoryGoesBackThroughTheAllocatorThatGrantedIt) {
    Probe probe(&heapkit_set_allocator);
    std::atomic<int> step{0};
    AllocatorProbe::Stats after_switch;
    std::thread other([&] {
        fill_and_destroy(0, 3000, 40);
        step = 1;
        while (step.load() != 2) {
            std::this_thread::yield();
        }
        // The first goheap after the switch: the cached blocks go back to
        // the probe and this one comes from malloc.
        fill_and_destroy(0, 10, 40);
        after_switch = AllocatorProbe::instance().stats();
    });
    while (step.load() != 1) {
        std::this_thread::yield();
    }
    const AllocatorProbe::Stats before_switch = probe.raw_stats();
    heapkit_set_allocator(nullptr);
    step = 2;
    other.join();
    EXPECT_GT(before_switch.live, 0u);
    EXPECT_EQ(after_switch.allocs, before_switch.allocs);
    expect_all_released(after_switch);
}

TEST(HeapkitCache, RefusalWhileCachedMemoryIsTooSmallLeavesTheGoheapUsable) {
    // Three grants: the first goheap and two chunks, all kept on destroy.
    Probe probe(&heapkit_set_allocator, /*grants=*/3);
    goheap_t *heap = goheap_create(0);
    ASSERT_NE(heap, nullptr);
    std::size_t first_blocks = 0;
    while (goheap_malloc(heap, 16) != nullptr) {
        ++first_blocks;
    }
    goheap_destroy(heap);
    ASSERT_EQ(probe.raw_stats().allocs, 3u);

    // The same again from the cache alone, then a refusal.
    heap = goheap_create(0);
    ASSERT_NE(heap, nullptr);
    std::vector<Block> blocks;
    for (Block block = take(heap, 16, 0); block.data != nullptr; block = take(heap, 16, 0)) {
        block.tag = static_cast<unsigned>(blocks.size());
        fill(block);
        blocks.push_back(block);
    }
    EXPECT_EQ(blocks.size(), first_blocks);
    EXPECT_EQ(probe.raw_stats().refusals, 2u);
    expect_disjoint_and_intact(blocks);
    goheap_free(heap, blocks.back().data);
    EXPECT_EQ(take(heap, 16, 1).data, blocks.back().data);
    goheap_destroy(heap);
    expect_all_released(probe.stats());
}

TEST(HeapkitAllocator, NullOrIncompleteTableRestoresMalloc) {
    const heapkit_allocator_t incomplete{&AllocatorProbe::alloc, nullptr};
    for (const heapkit_allocator_t *table : {static_cast<const heapkit_allocator_t *>(nullptr),
                                             &incomplete}) {
        Probe probe(&heapkit_set_allocator);
        heapkit_set_allocator(table);
        goheap_t *heap = goheap_create(0);
        ASSERT_NE(heap, nullptr);
        void *block = goheap_malloc(nullptr, 8);
        ASSERT_NE(block, nullptr);
        goheap_free(nullptr, block);
        goheap_destroy(heap);
        EXPECT_EQ(probe.stats().allocs, 0u);
        EXPECT_EQ(probe.stats().foreign_releases, 0u);
    }
}

TEST(HeapkitDefaultHeap, UsableFromSeveralThreadsAtOnce) {
    constexpr unsigned kThreads = 4;
    constexpr unsigned kRounds = 5000;
    constexpr std::size_t kRing = 8;
    const std::size_t before = goheap_bytes_in_use(nullptr);
    std::atomic<unsigned> failures{0};

    auto worker = [&failures](unsigned id) {
        Block ring[kRing] = {};
        for (unsigned round = 0; round < kRounds; ++round) {
            Block &slot = ring[round % kRing];
            if (slot.data != nullptr) {
                if (!intact(slot)) {
                    failures.fetch_add(1);
                }
                goheap_free(nullptr, slot.data);
            }
            slot = take(nullptr, (round * 37u + id * 11u) % 300u, id * kRounds + round);
            if (slot.data == nullptr || !aligned16(slot.data)) {
                failures.fetch_add(1);
                slot.data = nullptr;
                continue;
            }
            fill(slot);
        }
        for (Block &slot : ring) {
            if (slot.data != nullptr && !intact(slot)) {
                failures.fetch_add(1);
            }
            goheap_free(nullptr, slot.data);
        }
    };

    std::vector<std::thread> threads;
    for (unsigned id = 0; id < kThreads; ++id) {
        threads.emplace_back(worker, id);
    }
    for (std::thread &thread : threads) {
        thread.join();
    }
    EXPECT_EQ(failures.load(), 0u);
    EXPECT_EQ(goheap_bytes_in_use(nullptr), before);
}

}  // namespace
