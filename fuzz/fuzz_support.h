// What the fuzz targets share: the check that aborts on a broken invariant,
// the counting allocator behind the three service libraries, and input
// buffers that end exactly where the bytes end, so that AddressSanitizer
// catches a read one byte too far.
#ifndef PARCEL_FUZZ_SUPPORT_H
#define PARCEL_FUZZ_SUPPORT_H

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

#include "../tests/common/fault_allocator.h"
#include "typetable.h"

namespace parcel_fuzz {

using typetable::Bytes;
using parcel_test::FaultAllocator;

[[noreturn]] inline void violated(const char *what, std::string_view type, const char *file, int line)
{
    const int length = static_cast<int>(type.size());
    std::fprintf(stderr, "%s:%d: invariant broken for %.*s: %s\n", file, line, length, type.data(), what);
    std::abort();
}

// Aborts (and so reports a crash to the fuzzer) when `condition` is false.
#define FUZZ_CHECK(condition, type_name)                                    \
    do {                                                                    \
        if (!(condition))                                                   \
            parcel_fuzz::violated(#condition, type_name, __FILE__, __LINE__); \
    } while (0)

// The bytes at `skew` (0 or 1) into a heap block that ends with them.  A
// skew of 0 gives a block as aligned as malloc's, which memory streams read
// in place; a skew of 1 makes them go word by word.
class Input {
public:
    Input(const uint8_t *data, size_t size, size_t skew)
        : block_(new unsigned char[size + skew]), skew_(skew), size_(size)
    {
        if (size != 0)
            std::memcpy(block_.get() + skew, data, size);
    }
    const unsigned char *data() const { return block_.get() + skew_; }
    unsigned char *data() { return block_.get() + skew_; }
    uint32_t size() const { return static_cast<uint32_t>(size_); }

private:
    std::unique_ptr<unsigned char[]> block_;
    size_t skew_;
    size_t size_;
};

// Reads a big-endian word.
inline uint32_t word_at(const unsigned char *bytes)
{
    return uint32_t{bytes[0]} << 24 | uint32_t{bytes[1]} << 16 | uint32_t{bytes[2]} << 8 | bytes[3];
}

// Largest block any operation on `size` input bytes may ask for: a new
// goheap is sized 2 * size + 64, an arena chunk at most doubles what the
// arena already holds, and everything else is a record or a string that the
// input carried.
inline size_t allocation_bound(size_t size) { return 4 * size + 8192; }

} // namespace parcel_fuzz

#endif
