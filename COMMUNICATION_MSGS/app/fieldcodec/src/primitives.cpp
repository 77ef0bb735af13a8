// The exported routines of the eight field kinds: run a field through a
// stream, measure its encoding, copy it.
//
// int, long, u_int, u_long and float are four bytes moved as one word;
// double and u_hyper eight bytes moved as two.  Only the bit pattern
// matters.  wrapstring is a counted string (strings.h).
#include "fieldcodec.h"

#include <cstring>

#include "stream_access.h"
#include "strings.h"

namespace {

using namespace fieldcodec;

// Moves a field's bit pattern, one word (uint32_t) or two (uint64_t).
template <class Bits>
int run_bits(XDR *xdrs, void *field)
{
    Bits value = 0;
    switch (xdrs->x_op) {
    case XDR_ENCODE:
        std::memcpy(&value, field, sizeof value);
        return put_bits(xdrs, value);
    case XDR_DECODE:
        if (!get_bits(xdrs, &value))
            return 0;
        std::memcpy(field, &value, sizeof value);
        return 1;
    case XDR_FREE:
        return 1;
    }
    return 0;
}

template <size_t Size>
int clone_bytes(const void *source, void *destination)
{
    std::memcpy(destination, source, Size);
    return 1;
}

} // namespace

#define FC_DEFINE_PRIMITIVE(prim, run, length, clone)                                         \
    extern "C" int mxdr_##prim(XDR *xdrs, void *field, goheap_t *heap)                      \
    {                                                                                       \
        (void)heap;                                                                         \
        return field != nullptr && run;                                                     \
    }                                                                                       \
    extern "C" int xdr_length_of_encoded_##prim(const void *field)                          \
    {                                                                                       \
        return field == nullptr ? -1 : length;                                              \
    }                                                                                       \
    extern "C" int mxdr_clone_##prim(const void *source, void *destination, goheap_t *heap) \
    {                                                                                       \
        (void)heap;                                                                         \
        return source != nullptr && destination != nullptr && clone;                        \
    }

FC_DEFINE_PRIMITIVE(int, run_bits<uint32_t>(xdrs, field), 4, (clone_bytes<4>(source, destination)))
FC_DEFINE_PRIMITIVE(long, run_bits<uint32_t>(xdrs, field), 4, (clone_bytes<4>(source, destination)))
FC_DEFINE_PRIMITIVE(u_int, run_bits<uint32_t>(xdrs, field), 4, (clone_bytes<4>(source, destination)))
FC_DEFINE_PRIMITIVE(u_long, run_bits<uint32_t>(xdrs, field), 4, (clone_bytes<4>(source, destination)))
FC_DEFINE_PRIMITIVE(float, run_bits<uint32_t>(xdrs, field), 4, (clone_bytes<4>(source, destination)))
FC_DEFINE_PRIMITIVE(double, run_bits<uint64_t>(xdrs, field), 8, (clone_bytes<8>(source, destination)))
FC_DEFINE_PRIMITIVE(u_hyper, run_bits<uint64_t>(xdrs, field), 8, (clone_bytes<8>(source, destination)))
FC_DEFINE_PRIMITIVE(wrapstring, run_string(xdrs, field, heap), string_length(field),
                    clone_string(source, destination, heap))
#undef FC_DEFINE_PRIMITIVE
