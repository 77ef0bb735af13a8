// The replaceable process allocator behind each service library: malloc and
// free unless a test installs its own pair (counting, or failing on demand).
// Read on every call from any thread; replaced only while no block is in
// flight, so a conforming caller never sees the two halves mismatched.
#ifndef SERVICE_COMMON_PROCESS_ALLOCATOR_H
#define SERVICE_COMMON_PROCESS_ALLOCATOR_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace service_common {

class ProcessAllocator {
public:
    using Alloc = void *(*)(std::size_t);
    using Release = void (*)(void *);

    void *alloc(std::size_t size) const { return alloc_.load(std::memory_order_acquire)(size); }
    void release(void *block) const { release_.load(std::memory_order_acquire)(block); }

    // The release routine in force: what a block taken now must go back
    // through, whatever is installed by then.
    Release current_release() const { return release_.load(std::memory_order_acquire); }

    // alloc and release only work as a pair: a pair missing either one
    // restores malloc/free, as no pair does.
    void replace(Alloc alloc, Release release)
    {
        const bool custom = alloc != nullptr && release != nullptr;
        alloc_.store(custom ? alloc : &system_alloc, std::memory_order_release);
        release_.store(custom ? release : &system_release, std::memory_order_release);
    }

    template <class Table>
    void replace(const Table *table)
    {
        replace(table == nullptr ? nullptr : table->alloc, table == nullptr ? nullptr : table->release);
    }

private:
    // Blocks are aligned to 16 bytes on every target, as heapkit's block
    // headers need.  malloc promises alignof(max_align_t), which on some
    // targets is 8 (armel and armhf, whose malloc aligns to 8 only; s390x,
    // whose malloc aligns to 16 all the same): there aligned_alloc is asked,
    // which glibc serves with plain malloc wherever that is aligned enough.
    static void *system_alloc(std::size_t size)
    {
        constexpr std::size_t align = 16;
        if constexpr (alignof(std::max_align_t) >= align) {
            return std::malloc(size);
        } else {
            // aligned_alloc takes whole multiples of the alignment.
            if (size > SIZE_MAX - (align - 1))
                return nullptr;
            return std::aligned_alloc(align, (size + align - 1) & ~(align - 1));
        }
    }
    static void system_release(void *block) { std::free(block); }

    std::atomic<Alloc> alloc_{&system_alloc};
    std::atomic<Release> release_{&system_release};
};

} // namespace service_common

#endif
