// Stream access: how the field codec moves words through an XDR stream and
// which streams it reads and writes in place.  Internal to libfieldcodec;
// not installed.
#ifndef FIELDCODEC_STREAM_ACCESS_H
#define FIELDCODEC_STREAM_ACCESS_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <endian.h>
#include <vector>

#include <rpc/xdr.h>

namespace fieldcodec {

// ---- Stream words -----------------------------------------------------------

// The XDR library moves 32-bit words as C longs; these keep the bit pattern.
inline bool put_word(XDR *xdrs, uint32_t value)
{
    long word = static_cast<int32_t>(value);
    return XDR_PUTLONG(xdrs, &word) != 0;
}

inline bool get_word(XDR *xdrs, uint32_t *value)
{
    long word = 0;
    if (!XDR_GETLONG(xdrs, &word))
        return false;
    *value = static_cast<uint32_t>(word);
    return true;
}

// 64-bit values travel high half first.
inline bool put_doubleword(XDR *xdrs, uint64_t value)
{
    return put_word(xdrs, static_cast<uint32_t>(value >> 32)) && put_word(xdrs, static_cast<uint32_t>(value));
}

inline bool get_doubleword(XDR *xdrs, uint64_t *value)
{
    uint32_t high = 0;
    uint32_t low = 0;
    if (!get_word(xdrs, &high) || !get_word(xdrs, &low))
        return false;
    *value = (static_cast<uint64_t>(high) << 32) | low;
    return true;
}

inline void store_word(unsigned char *out, uint32_t value)
{
    value = htobe32(value);
    std::memcpy(out, &value, sizeof value);
}

inline uint32_t load_word(const unsigned char *in)
{
    uint32_t value;
    std::memcpy(&value, in, sizeof value);
    return be32toh(value);
}

// ---- Knowing the stream -----------------------------------------------------

// The XDR library gives memory streams one of two operation tables, chosen by
// the buffer's alignment; on both, x_handy counts the bytes that remain.  On
// an aligned one the library also lends its memory (XDR_INLINE), keeping the
// position in x_private, and the codec then reads and writes the buffer there
// directly.  A probe at load time makes sure the library keeps both words that
// way; without that assurance no stream is read or written directly.
struct MemoryStreams {
    const struct XDR::xdr_ops *aligned = nullptr;
    const struct XDR::xdr_ops *unaligned = nullptr;
    bool direct = false; // aligned streams may be read and written in place
};
[[gnu::visibility("hidden")]] extern const MemoryStreams g_memory_streams;

inline bool is_memory_stream(const XDR *xdrs)
{
    const MemoryStreams &streams = g_memory_streams;
    return xdrs->x_ops == streams.aligned || xdrs->x_ops == streams.unaligned;
}

// The bytes an aligned memory stream lends from its position on, or null for
// any other stream.
struct Window {
    unsigned char *start;
    size_t room;
};

inline Window window_of(XDR *xdrs)
{
    const MemoryStreams &streams = g_memory_streams;
    if (!streams.direct || xdrs->x_ops != streams.aligned)
        return {nullptr, 0};
    return {static_cast<unsigned char *>(xdrs->x_private), xdrs->x_handy};
}

// Moves an aligned memory stream past `used` bytes of its window, as
// XDR_INLINE would.
inline void advance(XDR *xdrs, size_t used)
{
    xdrs->x_private = static_cast<unsigned char *>(xdrs->x_private) + used;
    xdrs->x_handy -= static_cast<u_int>(used);
}

// Reads `length` bytes from a stream that cannot say how many it holds, in
// steps of at most 64 KiB, so memory grows only with the bytes received.
bool read_in_steps(XDR *xdrs, uint32_t length, std::vector<char> *bytes);

} // namespace fieldcodec

#endif // FIELDCODEC_STREAM_ACCESS_H
