// Stream access: how the field codec moves bytes through an XDR stream.
// Internal to libfieldcodec; not installed.
//
// The codec reads and writes a stream's buffer directly wherever it can, in
// windows: a window of an aligned memory stream holds every byte the stream
// has left, and is taken without a call; any other stream that lends its
// buffer through XDR_INLINE hands the codec a window of exactly the bytes it
// asks for -- record streams lend while the current fragment and the bytes
// already buffered (or, when writing, the room left in the buffer) hold
// them.  Where a stream refuses -- near the end of a fragment or of its
// buffer, always on stdio streams and on memory streams over unaligned
// buffers -- the codec moves the next item through the stream's operations,
// one word (or one bounded piece of a string) at a time, and then asks again
// for a window of the rest.  A refusal leaves the stream as it was, so every
// way reads and writes the same bytes and reaches the same verdicts.
//
// Window bytes are wire bytes, big-endian, at any alignment: they are loaded
// and stored with memcpy and converted with be32toh/htobe32.
#ifndef FIELDCODEC_STREAM_ACCESS_H
#define FIELDCODEC_STREAM_ACCESS_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <endian.h>
#include <vector>

#include <rpc/xdr.h>

namespace fieldcodec {

// ---- Windows -------------------------------------------------------------------

// The XDR library gives memory streams one of two operation tables, chosen
// by the buffer's alignment.  An aligned one keeps its position in x_private
// and the bytes that remain in x_handy, and lends its buffer from there
// (XDR_INLINE) as far as x_handy allows.  Reading the two words directly
// gives the codec every byte such a stream holds without a call, where
// XDR_INLINE would take one call per window; a probe when the library is
// loaded makes sure the library keeps them that way, and without that
// assurance no stream is held.  Served through XDR_INLINE like any other
// stream instead, an aligned memory stream costs a window and a call per run
// of fields: decoding a cu_vuser_msg_t into a goheap took a third more
// instructions under callgrind (1076 against 804), encoding it 2% more.
struct MemoryStreams {
    const struct XDR::xdr_ops *aligned = nullptr;
    bool held = false; // aligned memory streams may be held
};
[[gnu::visibility("hidden")]] extern const MemoryStreams g_memory_streams;

// The bytes a stream holds from its position on.
struct Window {
    unsigned char *start;
    unsigned char *end;
};

// True when the stream is an aligned memory stream, whose window of all the
// bytes it has left is then put in `window`.  They stay the stream's until
// consume() moves it past those used.  The stream's operations are tested
// first, so that any other stream is told apart by one comparison.
inline bool held_window(XDR *xdrs, Window *window)
{
    const MemoryStreams &streams = g_memory_streams;
    if (xdrs->x_ops != streams.aligned || !streams.held)
        return false;
    auto *start = static_cast<unsigned char *>(xdrs->x_private);
    *window = {start, start + xdrs->x_handy};
    return true;
}

// Moves an aligned memory stream past `used` bytes of its held window, as
// XDR_INLINE would.
inline void consume(XDR *xdrs, size_t used)
{
    xdrs->x_private = static_cast<unsigned char *>(xdrs->x_private) + used;
    xdrs->x_handy -= static_cast<u_int>(used);
}

// The next `size` bytes of the stream, lent for reading or writing in place
// and already counted as consumed, or null when the stream will not lend
// them (a stream without an inline operation lends nothing).  `size` is
// never 0: XDR_INLINE gives nothing for nothing on some streams.
inline unsigned char *lend(XDR *xdrs, uint32_t size)
{
    if (xdrs->x_ops->x_inline == nullptr)
        return nullptr;
    return reinterpret_cast<unsigned char *>(XDR_INLINE(xdrs, size));
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

// The bit patterns of the fixed-width kinds: one word (uint32_t) or two
// (uint64_t), the high half first.
inline void store_bits(unsigned char *out, uint32_t value) { store_word(out, value); }
inline void store_bits(unsigned char *out, uint64_t value)
{
    store_word(out, static_cast<uint32_t>(value >> 32));
    store_word(out + 4, static_cast<uint32_t>(value));
}

template <class Bits>
Bits load_bits(const unsigned char *in)
{
    if constexpr (sizeof(Bits) == 8)
        return (static_cast<uint64_t>(load_word(in)) << 32) | load_word(in + 4);
    else
        return load_word(in);
}

// ---- Word by word through the stream's operations ----------------------------------

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

// The fixed-width kinds' bit patterns, word by word.
inline bool put_bits(XDR *xdrs, uint32_t value) { return put_word(xdrs, value); }
inline bool put_bits(XDR *xdrs, uint64_t value)
{
    return put_word(xdrs, static_cast<uint32_t>(value >> 32)) && put_word(xdrs, static_cast<uint32_t>(value));
}

inline bool get_bits(XDR *xdrs, uint32_t *value) { return get_word(xdrs, value); }
inline bool get_bits(XDR *xdrs, uint64_t *value)
{
    uint32_t high = 0;
    uint32_t low = 0;
    if (!get_word(xdrs, &high) || !get_word(xdrs, &low))
        return false;
    *value = (static_cast<uint64_t>(high) << 32) | low;
    return true;
}

// Reads `length` bytes that no window proved to be there, in steps of at
// most 64 KiB, so that the memory taken grows only with the bytes actually
// received however large a length the sender announced.
bool read_in_steps(XDR *xdrs, uint32_t length, std::vector<char> *bytes);

} // namespace fieldcodec

#endif // FIELDCODEC_STREAM_ACCESS_H
