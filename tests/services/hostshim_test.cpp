// hostshim: os_strdup copies over the configured allocator.

#include "allocator_probe.h"
#include "hostshim.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <string>

namespace {

using Probe = ScopedProbe<hostshim_allocator_t>;

TEST(Hostshim, CopiesAreIndependentAndExact) {
    const std::string texts[] = {"", "a", "hello world", "tab\tand\nnewline", "\xc3\xa9t\xc3\xa9",
                                 std::string(1000, 'x') + "end"};
    Probe probe(&hostshim_set_allocator);
    for (const std::string &text : texts) {
        SCOPED_TRACE("length " + std::to_string(text.size()));
        std::string original = text;
        char *copy = os_strdup(original.c_str());
        ASSERT_NE(copy, nullptr);
        EXPECT_NE(copy, original.c_str());
        EXPECT_STREQ(copy, text.c_str());
        EXPECT_EQ(probe.stats().last_request, text.size() + 1);
        // The copy owns its bytes: changing the source leaves it alone.
        if (!original.empty()) {
            original[0] = '#';
            EXPECT_EQ(copy[0], text[0]);
        }
        os_strdup_free(copy);
    }
    EXPECT_EQ(probe.stats().live, 0u);
    EXPECT_EQ(probe.stats().foreign_releases, 0u);
}

TEST(Hostshim, NullGivesNullWithoutAllocating) {
    Probe probe(&hostshim_set_allocator);
    EXPECT_EQ(os_strdup(nullptr), nullptr);
    os_strdup_free(nullptr);
    const AllocatorProbe::Stats stats = probe.stats();
    EXPECT_EQ(stats.allocs + stats.refusals, 0u);
    EXPECT_EQ(stats.releases + stats.foreign_releases, 0u);
}

TEST(Hostshim, RefusedMemoryGivesNull) {
    Probe probe(&hostshim_set_allocator, /*grants=*/0);
    for (const char *text : {"", "x", "a longer string"}) {
        EXPECT_EQ(os_strdup(text), nullptr) << '"' << text << '"';
    }
    EXPECT_EQ(probe.stats().refusals, 3u);
}

TEST(Hostshim, NullTableRestoresMalloc) {
    Probe probe(&hostshim_set_allocator);
    hostshim_set_allocator(nullptr);
    char *copy = os_strdup("plain");
    ASSERT_NE(copy, nullptr);
    EXPECT_STREQ(copy, "plain");
    os_strdup_free(copy);
    EXPECT_EQ(probe.stats().allocs, 0u);
    EXPECT_EQ(probe.stats().foreign_releases, 0u);
}

}  // namespace
