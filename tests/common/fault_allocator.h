// A process allocator for the hooks of heapkit, taskbase and hostshim that
// counts live blocks, remembers the largest request and can refuse exactly
// the Nth request from the moment it is armed.
//
// One allocator serves all three hooks, so the Nth request is counted over
// every library an operation calls.  Blocks carry a small header with a
// marker: a release of anything this allocator did not hand out is counted
// (and not passed to free) instead of corrupting the heap.  Everything is
// atomic, so it may stay installed while several threads allocate; arming a
// failure is only meaningful while one thread runs the operation.
#ifndef PARCEL_TEST_COMMON_FAULT_ALLOCATOR_H
#define PARCEL_TEST_COMMON_FAULT_ALLOCATOR_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "heapkit.h"
#include "hostshim.h"
#include "taskbase.h"

namespace parcel_test {

class FaultAllocator {
public:
    // Routes the three service libraries through this allocator.
    static void install()
    {
        const heapkit_allocator_t heap{&alloc, &release};
        const taskbase_allocator_t task{&alloc, &release};
        const hostshim_allocator_t host{&alloc, &release};
        heapkit_set_allocator(&heap);
        taskbase_set_allocator(&task);
        hostshim_set_allocator(&host);
        state().installed.store(true);
    }

    // Gives the libraries back to malloc/free.  Blocks still live must not be
    // released afterwards.
    static void uninstall()
    {
        state().installed.store(false);
        heapkit_set_allocator(nullptr);
        taskbase_set_allocator(nullptr);
        hostshim_set_allocator(nullptr);
    }

    // Starts counting requests from zero and refuses request number `n`
    // (1-based) from now on; 0 refuses nothing.  Also clears the largest
    // request and the refusal count.
    static void arm(std::size_t n)
    {
        state().requests.store(0);
        state().refusals.store(0);
        state().largest.store(0);
        state().fail_at.store(n);
    }
    static void disarm() { state().fail_at.store(0); }

    // Blocks granted and not released, once heapkit has handed back the
    // memory it keeps for reuse on this thread (setting its allocator again
    // does that), so that only what the libraries really hold is counted.
    static std::size_t live()
    {
        if (state().installed.load()) {
            const heapkit_allocator_t heap{&alloc, &release};
            heapkit_set_allocator(&heap);
        }
        return state().live.load();
    }
    static std::size_t requests() { return state().requests.load(); }
    static std::size_t refusals() { return state().refusals.load(); }
    static std::size_t largest_request() { return state().largest.load(); }
    static std::size_t foreign_releases() { return state().foreign.load(); }

    static void *alloc(std::size_t size)
    {
        State &s = state();
        const std::size_t number = s.requests.fetch_add(1) + 1;
        std::size_t seen = s.largest.load();
        while (size > seen && !s.largest.compare_exchange_weak(seen, size)) {
        }
        if (number == s.fail_at.load() || size > kLargest) {
            s.refusals.fetch_add(1);
            return nullptr;
        }
        // heapkit takes only blocks aligned to HEAPKIT_ALIGN, which malloc
        // is not on every target; the header keeps the payload so aligned.
        const std::size_t whole = (kHeader + size + HEAPKIT_ALIGN - 1) & ~std::size_t{HEAPKIT_ALIGN - 1};
        auto *block = static_cast<unsigned char *>(std::aligned_alloc(HEAPKIT_ALIGN, whole));
        if (block == nullptr) {
            s.refusals.fetch_add(1);
            return nullptr;
        }
        std::memcpy(block, &kMarker, sizeof kMarker);
        s.live.fetch_add(1);
        return block + kHeader;
    }

    static void release(void *payload)
    {
        if (payload == nullptr)
            return;
        auto *block = static_cast<unsigned char *>(payload) - kHeader;
        uint64_t marker = 0;
        std::memcpy(&marker, block, sizeof marker);
        if (marker != kMarker) {
            state().foreign.fetch_add(1);
            return;
        }
        // Spoil the marker so a second release of the block is noticed.
        const uint64_t spent = ~kMarker;
        std::memcpy(block, &spent, sizeof spent);
        state().live.fetch_sub(1);
        std::free(block);
    }

private:
    static constexpr std::size_t kHeader = 16;
    static constexpr uint64_t kMarker = 0x70617263656c2d31ull;
    // Nothing the libraries do legitimately needs a block this large; a
    // request above it is refused (and still recorded as the largest).
    static constexpr std::size_t kLargest = std::size_t{1} << 31;

    struct State {
        std::atomic<std::size_t> requests{0};
        std::atomic<std::size_t> refusals{0};
        std::atomic<std::size_t> fail_at{0};
        std::atomic<std::size_t> largest{0};
        std::atomic<std::size_t> live{0};
        std::atomic<std::size_t> foreign{0};
        std::atomic<bool> installed{false};
    };
    static State &state()
    {
        static State s;
        return s;
    }
};

// Installs the allocator for one scope.
class ScopedFaultAllocator {
public:
    ScopedFaultAllocator() { FaultAllocator::install(); }
    ~ScopedFaultAllocator()
    {
        FaultAllocator::disarm();
        FaultAllocator::uninstall();
    }
    ScopedFaultAllocator(const ScopedFaultAllocator &) = delete;
    ScopedFaultAllocator &operator=(const ScopedFaultAllocator &) = delete;
};

} // namespace parcel_test

#endif
