// Record classes: the in-memory form of every message type.
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
// copy is made with the type's clone routines.  Every type's classes and
// routines are expanded from catalogue.def by the macros below.
#ifndef PARCEL_RECORDS_RECORD_H
#define PARCEL_RECORDS_RECORD_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

#include "../services/services.h"

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
// a type without fields (the member then takes no space).
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
template <size_t Size>
void zero_fill(void *record)
{
    auto *bytes = static_cast<unsigned char *>(record);
    [bytes]<size_t... Chunk>(std::index_sequence<Chunk...>) {
        (std::memset(bytes + Chunk * 16, 0, 16), ...);
    }(std::make_index_sequence<Size / 16>{});
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
template <class Storage>
bool set_field(void *record, Storage *field, uint32_t index, Storage value)
{
    return xdr_optional_generic_struct_set_field(record, field, sizeof(Storage), index, &value) != 0;
}

} // namespace parcel

// ---- The exported routine family of a type ------------------------------------------
// Routines that stand in descriptor tables (the pointer filter, pointer length
// and pointer clone) take the address of a record pointer as an untyped
// pointer, the shape that the field codec calls them with.

#define PARCEL_DECLARE_FAMILY(T)                                                               \
    class T;                                                                                   \
    extern "C" {                                                                               \
    PARCEL_API const var_desc_t *get_var_desc_for_##T(void);                                   \
    PARCEL_API const var_length_desc_t *get_var_length_desc_for_##T(void);                     \
    PARCEL_API const var_clone_desc_t *get_var_clone_desc_for_##T(void);                       \
    PARCEL_API const var_sizeof_desc_t *get_var_sizeof_desc_for_##T(void);                     \
    PARCEL_API int _mxdr_##T(XDR *xdrs, T *record, goheap_t *heap);                            \
    PARCEL_API int _xdr_##T(XDR *xdrs, T *record);                                             \
    PARCEL_API int mxdr_p_##T(XDR *xdrs, void *recordp, goheap_t *heap);                       \
    PARCEL_API int xdr_p_##T(XDR *xdrs, void *recordp);                                        \
    PARCEL_API int32_t xdr_encode_##T(const T *record, void *buffer, uint32_t length);         \
    PARCEL_API int32_t xdr_encode_p_##T(T *const *recordp, void *buffer, uint32_t length);     \
    PARCEL_API int32_t xdr_decode_p_##T(const void *buffer, uint32_t length, T **recordp);     \
    PARCEL_API int32_t xdr_decode_p_##T##_to_given_goheap(const void *buffer, uint32_t length, \
                                                          T **recordp, goheap_t *heap);        \
    PARCEL_API int32_t xdr_decode_p_##T##_to_new_goheap(const void *buffer, uint32_t length,   \
                                                        T **recordp, goheap_t **heapp);        \
    PARCEL_API int xdr_length_of_encoded_##T(const T *record);                                 \
    PARCEL_API int xdr_length_of_encoded_p_##T(const void *recordp);                           \
    PARCEL_API int mxdr_clone_p_##T(const void *source, void *destination, goheap_t *heap);    \
    PARCEL_API T *xdr_clone_##T(const T *record);                                              \
    PARCEL_API T *xdr_clone_##T##_to_given_goheap(const T *record, goheap_t *heap);            \
    PARCEL_API T *xdr_clone_##T##_to_new_goheap(const T *record, goheap_t **heapp);            \
    PARCEL_API void xdr_free_p_##T(T **recordp);                                               \
    }

// The information block shared by both record kinds: the type's own value
// filter, length and clone routines, then its four descriptors.
#define PARCEL_INFO_ROUTINES(T)                                                  \
    int (*filter)(XDR *, T *, goheap_t *);                                       \
    int (*length_routine)(const T *);                                            \
    int (*clone_routine)(const void *, void *, goheap_t *);                      \
    const var_desc_t *var_desc;                                                  \
    const var_length_desc_t *var_length_desc;                                    \
    const var_clone_desc_t *var_clone_desc;                                      \
    const var_sizeof_desc_t *var_sizeof_desc;

#define PARCEL_WRITE_INFO_ROUTINES(T)                                            \
    filter = &_mxdr_##T;                                                         \
    length_routine = &xdr_length_of_encoded_##T;                                 \
    clone_routine = &mxdr_clone_p_##T;                                           \
    var_desc = get_var_desc_for_##T();                                           \
    var_length_desc = get_var_length_desc_for_##T();                             \
    var_clone_desc = get_var_clone_desc_for_##T();                               \
    var_sizeof_desc = get_var_sizeof_desc_for_##T();

#define PARCEL_NO_COPY(T)                                                        \
    T(const T &) = delete;                                                       \
    T &operator=(const T &) = delete;                                            \
    static T *place_in_goheap(goheap_t *heap) { return parcel::place_in_goheap<T>(heap); } \
    static void release_to_goheap(goheap_t *heap, T *record) { parcel::release_to_goheap(heap, record); }

// ---- Optional generic struct records -------------------------------------------------

#define PARCEL_COUNT_FIELD(index, kind, name) +1
#define PARCEL_FIELD_MEMBER(index, kind, name) \
    alignas(sizeof(parcel::kind_##kind::type)) parcel::kind_##kind::type name;
#define PARCEL_FIELD_ACCESSORS(index, kind, name)                                           \
    bool set_##name(parcel::kind_##kind::param value)                                       \
    {                                                                                       \
        return parcel::set_field<parcel::kind_##kind::type>(                                \
            this, &name, index, parcel::to_storage<parcel::kind_##kind::type>(value));       \
    }                                                                                       \
    parcel::kind_##kind::type get_##name() const { return name; }                           \
    bool has_##name() const { return xdr_optional_generic_struct_check_field(this, index) != 0; }

#define PARCEL_DEFINE_STRUCT_RECORD(T, FIELDS)                                              \
    PARCEL_DECLARE_FAMILY(T)                                                                \
    class T {                                                                               \
    public:                                                                                 \
        static constexpr uint32_t kFieldCount = 0 FIELDS(PARCEL_COUNT_FIELD);              \
        /* plain part */                                                                    \
        uint32_t field_count;                                                               \
        uint32_t *presence;                                                                 \
        FIELDS(PARCEL_FIELD_MEMBER)                                                         \
        /* information block */                                                             \
        uint32_t reserved;                                                                  \
        goheap_t *heap;                                                                     \
        uint32_t *tail;                                                                     \
        PARCEL_INFO_ROUTINES(T)                                                             \
        [[no_unique_address]] parcel::presence_words<kFieldCount> presence_words;           \
        uint32_t layout_code;                                                               \
        uint32_t plain_size;                                                                \
        uint32_t tail_area[kFieldCount == 0 ? 1 : 2];                                       \
                                                                                            \
        T(goheap_t *owner, uint32_t reserved_word)                                          \
        {                                                                                   \
            parcel::zero_fill<sizeof(T)>(this);                                             \
            field_count = kFieldCount;                                                      \
            presence = parcel::first_presence_word(presence_words, &layout_code);           \
            reserved = reserved_word;                                                       \
            heap = owner;                                                                   \
            tail = tail_area;                                                               \
            PARCEL_WRITE_INFO_ROUTINES(T)                                                   \
            layout_code = parcel::kLayoutCode;                                              \
            plain_size = static_cast<uint32_t>(offsetof(T, reserved));                      \
            xdr_optional_generic_struct_init(this);                                         \
        }                                                                                   \
        ~T() { xdr_optional_generic_struct_uninit(this); }                                  \
        PARCEL_NO_COPY(T)                                                                   \
        FIELDS(PARCEL_FIELD_ACCESSORS)                                                      \
    };

// ---- Generic union records --------------------------------------------------------------

#define PARCEL_ARM_VIEW(position, arm_name, A) A *arm_name;

#define PARCEL_DEFINE_UNION_RECORD(U, ARMS)                                                 \
    PARCEL_DECLARE_FAMILY(U)                                                                \
    class U {                                                                               \
    public:                                                                                 \
        static constexpr uint32_t kArmCount = 0 ARMS(PARCEL_COUNT_FIELD);                   \
        /* plain part */                                                                    \
        uint32_t arm_count;                                                                 \
        int32_t discriminant;                                                               \
        uint32_t layout_code;                                                               \
        uint32_t plain_size;                                                                \
        /* the selected arm's record; the named arms are typed views of it */              \
        union {                                                                             \
            void *arm;                                                                      \
            ARMS(PARCEL_ARM_VIEW)                                                           \
        };                                                                                  \
        /* information block */                                                             \
        uint32_t reserved;                                                                  \
        goheap_t *heap;                                                                     \
        uint8_t union_flag;                                                                 \
        PARCEL_INFO_ROUTINES(U)                                                             \
                                                                                            \
        U(goheap_t *owner, uint32_t reserved_word)                                          \
        {                                                                                   \
            arm_count = kArmCount;                                                          \
            discriminant = -1;                                                              \
            layout_code = parcel::kLayoutCode;                                              \
            plain_size = static_cast<uint32_t>(offsetof(U, reserved));                      \
            arm = nullptr;                                                                  \
            reserved = reserved_word;                                                       \
            heap = owner;                                                                   \
            union_flag = 0;                                                                 \
            PARCEL_WRITE_INFO_ROUTINES(U)                                                   \
            xdr_optional_generic_union_init(this);                                          \
        }                                                                                   \
        ~U() { xdr_optional_generic_union_uninit(this); }                                   \
        PARCEL_NO_COPY(U)                                                                   \
    };

#endif // PARCEL_RECORDS_RECORD_H
