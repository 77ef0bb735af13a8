// The per-type routine family, written once as templates over the record
// type.  family.cpp expands the twenty exported routines of every type of
// the catalogue onto these.
#ifndef PARCEL_MARSHAL_FAMILY_H
#define PARCEL_MARSHAL_FAMILY_H

#include <climits>
#include <cstring>

#include <parcel/records/descriptors.h>

#include "../services/services.h"

namespace parcel {

template <class R>
concept generic_union = requires { R::kArmCount; };

template <class R>
constexpr const var_desc_t *var_desc_of() { return &tables<R>::var_header; }
template <class R>
constexpr const var_length_desc_t *length_desc_of() { return &tables<R>::length_header; }
template <class R>
constexpr const var_clone_desc_t *clone_desc_of() { return &tables<R>::clone_header; }

// A record pointer is held in a slot: a caller's variable, or a union's arm
// word.  Slots are read and written as bytes, whatever pointer type the slot
// was declared with.
template <class R>
R *load_slot(const void *slot)
{
    R *record;
    std::memcpy(&record, slot, sizeof record);
    return record;
}

template <class R>
void store_slot(void *slot, R *record)
{
    std::memcpy(slot, &record, sizeof record);
}

// ---- Filters --------------------------------------------------------------------------

template <class R>
int value_filter(XDR *xdrs, R *record, goheap_t *heap)
{
    if constexpr (generic_union<R>) {
        if (record == nullptr)
            return 0;
        // A union decodes into a fresh arm: whatever the arm word held is
        // neither read nor freed.
        if (xdrs->x_op == XDR_DECODE)
            record->arm = nullptr;
        return mxdr_enh_generic_union(xdrs, var_desc_of<R>(), record, heap);
    } else {
        return mxdr_opt_fields_generic_struct(xdrs, var_desc_of<R>(), record, heap);
    }
}

template <class R>
int pointer_filter(XDR *xdrs, void *slot, goheap_t *heap)
{
    if (xdrs == nullptr || slot == nullptr)
        return 0;
    switch (xdrs->x_op) {
    case XDR_ENCODE: {
        R *record = load_slot<R>(slot);
        return record != nullptr && value_filter(xdrs, record, heap);
    }
    case XDR_DECODE: {
        R *record = R::place_in_goheap(heap);
        store_slot(slot, record);
        if (record == nullptr)
            return 0;
        if (value_filter(xdrs, record, heap))
            return 1;
        // The codec has already given back what it took for the fields.
        R::release_to_goheap(heap, record);
        store_slot<R>(slot, nullptr);
        return 0;
    }
    case XDR_FREE: {
        R *record = load_slot<R>(slot);
        if (record == nullptr)
            return 1;
        const int result = value_filter(xdrs, record, heap);
        R::release_to_goheap(heap, record);
        store_slot<R>(slot, nullptr);
        return result;
    }
    }
    return 0;
}

// ---- Lengths ----------------------------------------------------------------------------

template <class R>
int encoded_length(const R *record)
{
    if constexpr (generic_union<R>)
        return xdr_length_of_encoded_optional_generic_union(record, length_desc_of<R>());
    else
        return xdr_length_of_encoded_optional_generic_struct(length_desc_of<R>(), record);
}

template <class R>
int encoded_length_p(const void *slot)
{
    const R *record = slot == nullptr ? nullptr : load_slot<const R>(slot);
    return record == nullptr ? -1 : encoded_length(record);
}

// ---- Buffers ----------------------------------------------------------------------------

// Runs `filter` over a memory stream on the buffer; the stream's position
// afterwards is the byte count.
template <class Filter>
int32_t over_buffer(const void *buffer, uint32_t length, xdr_op op, Filter filter)
{
    if (buffer == nullptr)
        return -1;
    XDR stream;
    xdrmem_create(&stream, static_cast<char *>(const_cast<void *>(buffer)), length, op);
    int32_t result = -1;
    if (filter(&stream)) {
        const u_int position = XDR_GETPOS(&stream);
        if (position <= static_cast<u_int>(INT32_MAX))
            result = static_cast<int32_t>(position);
    }
    XDR_DESTROY(&stream);
    return result;
}

template <class R>
int32_t encode(const R *record, void *buffer, uint32_t length)
{
    if (record == nullptr)
        return -1;
    return over_buffer(buffer, length, XDR_ENCODE, [record](XDR *xdrs) {
        return value_filter(xdrs, const_cast<R *>(record), nullptr);
    });
}

template <class R>
int32_t encode_p(R *const *recordp, void *buffer, uint32_t length)
{
    if (recordp == nullptr)
        return -1;
    return over_buffer(buffer, length, XDR_ENCODE, [recordp](XDR *xdrs) {
        return pointer_filter<R>(xdrs, const_cast<R **>(recordp), nullptr);
    });
}

template <class R>
int32_t decode(const void *buffer, uint32_t length, R **recordp, goheap_t *heap)
{
    if (recordp == nullptr)
        return -1;
    *recordp = nullptr;
    return over_buffer(buffer, length, XDR_DECODE,
                       [recordp, heap](XDR *xdrs) { return pointer_filter<R>(xdrs, recordp, heap); });
}

template <class R>
int32_t decode_to_new_goheap(const void *buffer, uint32_t length, R **recordp, goheap_t **heapp)
{
    if (recordp == nullptr || heapp == nullptr)
        return -1;
    // Sized from the buffer alone, before any byte is read.
    goheap_t *heap = goheap_create(2 * static_cast<size_t>(length) + 64);
    *heapp = heap;
    if (heap == nullptr)
        return -1;
    return decode(buffer, length, recordp, heap);
}

// ---- Clone and free -------------------------------------------------------------------------

template <class R>
int clone_p(const void *source_slot, void *destination_slot, goheap_t *heap)
{
    if (source_slot == nullptr || destination_slot == nullptr)
        return 0;
    const R *source = load_slot<const R>(source_slot);
    if (source == nullptr) {
        store_slot<R>(destination_slot, nullptr);
        return 1;
    }
    R *copy = R::place_in_goheap(heap);
    store_slot(destination_slot, copy);
    if (copy == nullptr)
        return 0;
    int copied;
    if constexpr (generic_union<R>)
        copied = xdr_clone_optional_generic_union(source, copy, clone_desc_of<R>(), heap);
    else
        copied = xdr_clone_optional_generic_struct(clone_desc_of<R>(), source, copy, heap);
    if (copied)
        return 1;
    // The codec has already given back what it copied before failing.
    R::release_to_goheap(heap, copy);
    store_slot<R>(destination_slot, nullptr);
    return 0;
}

template <class R>
R *clone_to(const R *source, goheap_t *heap)
{
    R *copy = nullptr;
    return clone_p<R>(&source, &copy, heap) ? copy : nullptr;
}

template <class R>
R *clone_to_new_goheap(const R *source, goheap_t **heapp)
{
    if (heapp == nullptr)
        return nullptr;
    goheap_t *heap = goheap_create(0);
    *heapp = heap;
    return heap == nullptr ? nullptr : clone_to(source, heap);
}

// Drives a plain pointer filter in free mode through the XDR library.
inline void free_through_xdr(int (*filter)(XDR *, void *), void *recordp)
{
    if (recordp == nullptr)
        return;
    // The XDR library calls its procedures through an untyped signature.
    xdr_free(reinterpret_cast<xdrproc_t>(reinterpret_cast<void (*)(void)>(filter)), recordp);
}

} // namespace parcel

#endif // PARCEL_MARSHAL_FAMILY_H
