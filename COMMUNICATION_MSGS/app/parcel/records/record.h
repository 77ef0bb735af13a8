// What the record classes of <parcel/records.h> are built from: the field
// kinds, the presence words, construction and placement helpers, and the
// layout that the field codec relies on.  Include <parcel/records.h>, which
// spells out every class and routine; this header declares no type of the
// catalogue.
//
// An optional generic struct record is a plain part (field count, presence
// pointer, the fields in field order) followed by an information block that
// ties it to its goheap, its type's own routines and its four descriptors,
// then the presence word, the layout code, the plain part's size and a small
// tail area used by the field codec.  A generic union record is its arm
// count, discriminant, layout code, plain size and one arm pointer, then an
// information block of the same kind.
//
// Records point into themselves, so they are never copied byte for byte: a
// copy is made with the type's clone routines.
//
// Valid C++17.
#ifndef PARCEL_RECORDS_RECORD_H
#define PARCEL_RECORDS_RECORD_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

#include "../fieldcodec.h"
#include "../heapkit.h"
#include "../hostshim.h"
#include "../taskbase.h"

#define PARCEL_API __attribute__((visibility("default")))

namespace parcel {

// ---- Field kinds ---------------------------------------------------------------
// Each kind names its storage type, the type its setter takes, the field
// codec's three routines for it and its storage shape in a plan (FC_SHAPE_*).
// A field is aligned to its own width within a record, on every target: the
// i386 ABI would put the 8-byte kinds of a struct on 4 bytes.

#define PARCEL_DEFINE_KIND(kind, Storage, Param, Shape)                               \
    struct kind_##kind {                                                              \
        using type = Storage;                                                         \
        using param = Param;                                                          \
        static constexpr fc_xdr_routine_t xdr = &mxdr_##kind;                         \
        static constexpr fc_length_routine_t length = &xdr_length_of_encoded_##kind;  \
        static constexpr fc_clone_routine_t clone = &mxdr_clone_##kind;               \
        static constexpr uint8_t storage_shape = FC_SHAPE_##Shape;                     \
    };
PARCEL_DEFINE_KIND(int, int32_t, int32_t, WORD)
PARCEL_DEFINE_KIND(long, int32_t, int32_t, WORD)
PARCEL_DEFINE_KIND(u_int, uint32_t, uint32_t, WORD)
PARCEL_DEFINE_KIND(u_long, uint32_t, uint32_t, WORD)
PARCEL_DEFINE_KIND(float, float, float, WORD)
PARCEL_DEFINE_KIND(double, double, double, DOUBLEWORD)
PARCEL_DEFINE_KIND(u_hyper, uint64_t, uint64_t, DOUBLEWORD)
PARCEL_DEFINE_KIND(wrapstring, char *, const char *, STRING)
#undef PARCEL_DEFINE_KIND

// The presence words of a record with N fields: one word, or none at all for
// a type without fields (the member, [[no_unique_address]], then takes no
// space; compilers honour that in C++17 as in C++20, and the layout check
// below fails to compile where one would not).
template <uint32_t N>
struct presence_words {
    uint32_t word[1];
};
template <>
struct presence_words<0> {};

// Where a record's presence words begin: its word, or for a type without
// fields the layout code that follows where the words would be.
template <uint32_t N>
uint32_t *first_presence_word(presence_words<N> &words, uint32_t *)
{
    return words.word;
}
inline uint32_t *first_presence_word(presence_words<0> &, uint32_t *layout_code) { return layout_code; }

// Fills a record with zero bytes as straight-line 16-byte stores.  Records
// are a few hundred bytes at most, and for those a compiler's memset may be
// a string instruction whose start-up costs more than the stores.
template <size_t... Chunk>
void zero_chunks(unsigned char *bytes, std::index_sequence<Chunk...>)
{
    (std::memset(bytes + Chunk * 16, 0, 16), ...);
}

template <size_t Size>
void zero_fill(void *record)
{
    auto *bytes = static_cast<unsigned char *>(record);
    zero_chunks(bytes, std::make_index_sequence<Size / 16>{});
    std::memset(bytes + Size / 16 * 16, 0, Size % 16);
}

// A layout code that the field codec checks at construction.
inline constexpr uint32_t kLayoutCode = FC_LAYOUT_CODE;

// Placement of a record in a goheap: one block, constructed with (heap, 0);
// null when the heap has no block to give.
template <class R>
R *place_in_goheap(goheap_t *heap)
{
    void *block = goheap_malloc(heap, sizeof(R));
    return block == nullptr ? nullptr : ::new (block) R(heap, 0);
}

// Uninitialises a record and gives its block back; a null record is ignored.
template <class R>
void release_to_goheap(goheap_t *heap, R *record)
{
    if (record == nullptr)
        return;
    record->~R();
    goheap_free(heap, record);
}

// A setter's argument as the field stores it (a string setter takes const
// text; the record never writes through the pointer).
template <class Storage, class Param>
Storage to_storage(Param value)
{
    if constexpr (std::is_same_v<Storage, char *>)
        return const_cast<char *>(value);
    else
        return value;
}

// Sets a field through the field codec, as every setter does.  (A real
// passed by value may have gone through a floating-point register: on i386
// the x87 unit quiets a signalling NaN.  The message API sets its fields from
// memory instead.)
template <class Storage, class Param>
bool set_field(void *record, Storage *field, uint32_t index, Param value)
{
    Storage stored = to_storage<Storage>(value);
    return xdr_optional_generic_struct_set_field(record, field, sizeof(Storage), index, &stored) != 0;
}

// The words of a record that the field codec reads at fixed places
// (fieldcodec.h).  <parcel/records.h> checks every class against these when
// it is compiled, so a compiler or a flag that laid a record out otherwise
// is refused there rather than corrupting records at run time.
template <class R>
constexpr bool struct_layout_fits_codec()
{
    return std::is_standard_layout_v<R> && offsetof(R, field_count) == FC_STRUCT_FIELD_COUNT_OFFSET &&
           offsetof(R, presence) == FC_STRUCT_PRESENCE_OFFSET &&
           offsetof(R, layout_code) == offsetof(R, var_sizeof_desc) + sizeof(void *) +
                                           (R::kFieldCount == 0 ? 0 : sizeof(uint32_t)) &&
           offsetof(R, plain_size) == offsetof(R, layout_code) + sizeof(uint32_t);
}

template <class R>
constexpr bool union_layout_fits_codec()
{
    return std::is_standard_layout_v<R> && offsetof(R, arm_count) == FC_UNION_ARM_COUNT_OFFSET &&
           offsetof(R, discriminant) == FC_UNION_DISCRIMINANT_OFFSET &&
           offsetof(R, arm) == FC_UNION_ARM_OFFSET && offsetof(R, reserved) == offsetof(R, arm) + sizeof(void *);
}

} // namespace parcel

#endif // PARCEL_RECORDS_RECORD_H
