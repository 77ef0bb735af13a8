// A process allocator for the service libraries' *_set_allocator hooks that
// records what passes through it and can be told to refuse requests.
//
// The hooks take plain function pointers, so the probe is one global object.
// Releases of pointers it never handed out are counted instead of being
// passed to free(), so a library that releases memory it does not own shows
// up as a failed expectation rather than a crash.
#ifndef SERVICES_TEST_ALLOCATOR_PROBE_H
#define SERVICES_TEST_ALLOCATOR_PROBE_H

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <unordered_map>

class AllocatorProbe {
public:
    struct Stats {
        std::size_t allocs = 0;            // requests that were granted
        std::size_t refusals = 0;          // requests that got null
        std::size_t releases = 0;          // releases of blocks it granted
        std::size_t foreign_releases = 0;  // releases of anything else
        std::size_t live = 0;              // granted and not yet released
        std::size_t live_bytes = 0;        // bytes of those
        std::size_t last_request = 0;      // size of the latest request
    };

    static AllocatorProbe &instance() {
        static AllocatorProbe probe;
        return probe;
    }

    // Forgets all history and sets the refusal rules: requests above
    // `max_request` are refused, and so is every request once `grants`
    // requests have been granted.
    void reset(std::size_t grants = SIZE_MAX, std::size_t max_request = SIZE_MAX) {
        std::lock_guard<std::mutex> lock(mutex_);
        stats_ = Stats{};
        grants_left_ = grants;
        max_request_ = max_request;
        // Blocks a failed earlier test left live stay tracked, so their
        // release later is not mistaken for a foreign one.
    }

    Stats stats() {
        std::lock_guard<std::mutex> lock(mutex_);
        Stats copy = stats_;
        copy.live = blocks_.size();
        for (const auto &block : blocks_)
            copy.live_bytes += block.second;
        return copy;
    }

    static void *alloc(std::size_t size) { return instance().do_alloc(size); }
    static void release(void *block) { instance().do_release(block); }

private:
    void *do_alloc(std::size_t size) {
        std::lock_guard<std::mutex> lock(mutex_);
        stats_.last_request = size;
        if (grants_left_ == 0 || size > max_request_) {
            ++stats_.refusals;
            return nullptr;
        }
        // heapkit takes only blocks aligned to its 16 bytes, which malloc
        // is not on every target.
        void *block = size > SIZE_MAX - 15 ? nullptr : std::aligned_alloc(16, (size + 15) & ~std::size_t{15});
        if (block == nullptr) {
            ++stats_.refusals;
            return nullptr;
        }
        --grants_left_;
        ++stats_.allocs;
        blocks_.emplace(block, size);
        return block;
    }

    void do_release(void *block) {
        std::lock_guard<std::mutex> lock(mutex_);
        auto found = blocks_.find(block);
        if (found == blocks_.end()) {
            ++stats_.foreign_releases;
            return;
        }
        ++stats_.releases;
        blocks_.erase(found);
        std::free(block);
    }

    std::mutex mutex_;
    Stats stats_;
    std::size_t grants_left_ = SIZE_MAX;
    std::size_t max_request_ = SIZE_MAX;
    std::unordered_map<void *, std::size_t> blocks_;
};

// Installs the probe into one library for the life of the object and
// restores malloc/free afterwards.
template <typename Table>
class ScopedProbe {
public:
    using Setter = void (*)(const Table *);

    explicit ScopedProbe(Setter set, std::size_t grants = SIZE_MAX,
                         std::size_t max_request = SIZE_MAX)
        : set_(set) {
        AllocatorProbe::instance().reset(grants, max_request);
        set_(&table_);
    }
    ~ScopedProbe() { set_(nullptr); }

    ScopedProbe(const ScopedProbe &) = delete;
    ScopedProbe &operator=(const ScopedProbe &) = delete;

    // The counts once the library has handed back what it keeps for reuse
    // on this thread (setting its allocator again does that, and heapkit
    // keeps the memory of destroyed goheaps), so that `live` counts what the
    // library really holds.
    AllocatorProbe::Stats stats() const
    {
        set_(&table_);
        return raw_stats();
    }

    // The counts as they stand, what the library keeps for reuse included.
    AllocatorProbe::Stats raw_stats() const { return AllocatorProbe::instance().stats(); }

private:
    Setter set_;
    const Table table_{&AllocatorProbe::alloc, &AllocatorProbe::release};
};

#endif  // SERVICES_TEST_ALLOCATOR_PROBE_H
