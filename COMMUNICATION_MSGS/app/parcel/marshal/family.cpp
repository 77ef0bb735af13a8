// The exported routine family of every type: twenty routines each, expanded
// from catalogue.def onto the templates of family.h.
#include "family.h"

#define PARCEL_DEFINE_FAMILY(T)                                                                       \
    extern "C" int _mxdr_##T(XDR *xdrs, T *record, goheap_t *heap)                                  \
    {                                                                                                 \
        return parcel::value_filter(xdrs, record, heap);                                              \
    }                                                                                                 \
    extern "C" int _xdr_##T(XDR *xdrs, T *record) { return parcel::value_filter(xdrs, record, nullptr); } \
    extern "C" int mxdr_p_##T(XDR *xdrs, void *recordp, goheap_t *heap)                             \
    {                                                                                                 \
        return parcel::pointer_filter<T>(xdrs, recordp, heap);                                        \
    }                                                                                                 \
    extern "C" int xdr_p_##T(XDR *xdrs, void *recordp) { return parcel::pointer_filter<T>(xdrs, recordp, nullptr); } \
    extern "C" int32_t xdr_encode_##T(const T *record, void *buffer, uint32_t length)               \
    {                                                                                                 \
        return parcel::encode(record, buffer, length);                                                \
    }                                                                                                 \
    extern "C" int32_t xdr_encode_p_##T(T *const *recordp, void *buffer, uint32_t length)           \
    {                                                                                                 \
        return parcel::encode_p(recordp, buffer, length);                                             \
    }                                                                                                 \
    extern "C" int32_t xdr_decode_p_##T(const void *buffer, uint32_t length, T **recordp)           \
    {                                                                                                 \
        return parcel::decode(buffer, length, recordp, nullptr);                                      \
    }                                                                                                 \
    extern "C" int32_t xdr_decode_p_##T##_to_given_goheap(const void *buffer, uint32_t length,      \
                                                          T **recordp, goheap_t *heap)                \
    {                                                                                                 \
        return parcel::decode(buffer, length, recordp, heap);                                         \
    }                                                                                                 \
    extern "C" int32_t xdr_decode_p_##T##_to_new_goheap(const void *buffer, uint32_t length,        \
                                                        T **recordp, goheap_t **heapp)                \
    {                                                                                                 \
        return parcel::decode_to_new_goheap(buffer, length, recordp, heapp);                          \
    }                                                                                                 \
    extern "C" int xdr_length_of_encoded_##T(const T *record) { return parcel::encoded_length(record); } \
    extern "C" int xdr_length_of_encoded_p_##T(const void *recordp)                                  \
    {                                                                                                 \
        return parcel::encoded_length_p<T>(recordp);                                                  \
    }                                                                                                 \
    extern "C" int mxdr_clone_p_##T(const void *source, void *destination, goheap_t *heap)          \
    {                                                                                                 \
        return parcel::clone_p<T>(source, destination, heap);                                         \
    }                                                                                                 \
    extern "C" T *xdr_clone_##T(const T *record) { return parcel::clone_to(record, nullptr); }       \
    extern "C" T *xdr_clone_##T##_to_given_goheap(const T *record, goheap_t *heap)                  \
    {                                                                                                 \
        return parcel::clone_to(record, heap);                                                        \
    }                                                                                                 \
    extern "C" T *xdr_clone_##T##_to_new_goheap(const T *record, goheap_t **heapp)                  \
    {                                                                                                 \
        return parcel::clone_to_new_goheap(record, heapp);                                            \
    }                                                                                                 \
    extern "C" void xdr_free_p_##T(T **recordp) { parcel::free_through_xdr(&xdr_p_##T, recordp); }

#define PARCEL_STRUCT(group, T, FIELDS) PARCEL_DEFINE_FAMILY(T)
#define PARCEL_UNION(group, U, ARMS) PARCEL_DEFINE_FAMILY(U)
#include "../records/catalogue.def"
