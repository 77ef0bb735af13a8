// Allocation counts for the benchmarks.
//
// Two counters: blocks granted through the allocator hooks of heapkit,
// taskbase and hostshim (everything parcel and its message API allocate),
// and, in builds without sanitizers, every block the process takes from the
// C allocator (which also sees libtirpc's and protobuf's allocations).
#ifndef PARCEL_BENCH_ALLOC_COUNT_H
#define PARCEL_BENCH_ALLOC_COUNT_H

#include <cstdint>

namespace bench::alloc_count {

struct counts {
    uint64_t hooks = 0;   // through the three service hooks
    uint64_t process = 0; // from malloc/calloc/realloc, process-wide

    counts operator-(const counts &other) const { return {hooks - other.hooks, process - other.process}; }
    counts &operator+=(const counts &other)
    {
        hooks += other.hooks;
        process += other.process;
        return *this;
    }
};

// Installs the counting allocator into the three hooks.
void install();

// The counts so far.
counts now();

// Whether counts::process is counted in this build.
bool process_wide();

} // namespace bench::alloc_count

#endif // PARCEL_BENCH_ALLOC_COUNT_H
