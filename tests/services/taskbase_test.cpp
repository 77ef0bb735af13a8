// taskbase: maw_malloc/maw_free over the configured allocator.

#include "allocator_probe.h"
#include "taskbase.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace {

using Probe = ScopedProbe<taskbase_allocator_t>;

// Behaves like a malloc that answers zero-byte requests with null.
void *null_for_zero(std::size_t size) { return size == 0 ? nullptr : AllocatorProbe::alloc(size); }

TEST(Taskbase, BlocksAreWritableAndDistinct) {
    Probe probe(&taskbase_set_allocator);
    for (std::size_t size : {std::size_t{1}, std::size_t{16}, std::size_t{1000}, std::size_t{1} << 16}) {
        SCOPED_TRACE("size " + std::to_string(size));
        auto *a = static_cast<unsigned char *>(maw_malloc(size));
        auto *b = static_cast<unsigned char *>(maw_malloc(size));
        ASSERT_NE(a, nullptr);
        ASSERT_NE(b, nullptr);
        EXPECT_NE(a, b);
        EXPECT_GE(probe.stats().last_request, size);
        std::memset(a, 0xA5, size);
        std::memset(b, 0x5A, size);
        EXPECT_EQ(a[0], 0xA5);
        EXPECT_EQ(a[size - 1], 0xA5);
        maw_free(a);
        maw_free(b);
        EXPECT_EQ(probe.stats().live, 0u);
        EXPECT_EQ(probe.stats().foreign_releases, 0u);
    }
}

TEST(Taskbase, ZeroByteRequestGetsAUniqueBlock) {
    // Even over an allocator that answers zero-byte requests with null.
    Probe probe(&taskbase_set_allocator);
    const taskbase_allocator_t table{&null_for_zero, &AllocatorProbe::release};
    taskbase_set_allocator(&table);
    void *a = maw_malloc(0);
    void *b = maw_malloc(0);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_NE(a, b);
    maw_free(a);
    maw_free(b);
    EXPECT_EQ(probe.stats().live, 0u);
    EXPECT_EQ(probe.stats().foreign_releases, 0u);
}

TEST(Taskbase, RefusedMemoryGivesNull) {
    Probe probe(&taskbase_set_allocator, /*grants=*/0);
    for (std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{4096}, SIZE_MAX}) {
        EXPECT_EQ(maw_malloc(size), nullptr) << "size " << size;
    }
    EXPECT_EQ(probe.stats().refusals, 4u);
}

TEST(Taskbase, NullIsIgnoredAndNullTableRestoresMalloc) {
    Probe probe(&taskbase_set_allocator);
    maw_free(nullptr);
    EXPECT_EQ(probe.stats().releases + probe.stats().foreign_releases, 0u);

    taskbase_set_allocator(nullptr);
    void *block = maw_malloc(32);
    ASSERT_NE(block, nullptr);
    maw_free(block);
    EXPECT_EQ(probe.stats().allocs, 0u);
    EXPECT_EQ(probe.stats().foreign_releases, 0u);
}

}  // namespace
