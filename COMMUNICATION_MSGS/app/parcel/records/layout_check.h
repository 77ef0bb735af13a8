// Checks, when the library is compiled, that the classes and structures of
// the generated <parcel/records.h> and <parcel/parcel_api.h> are what
// catalogue.def says, laid out as records always have been: for every type a
// reference layout is expanded here from the catalogue itself, and each
// member of the generated type must have the reference member's type and
// offset, and the type its size and alignment.  The generated routine
// declarations are checked by the definitions in family.cpp and
// message_api.cpp, which must match them exactly (and, built with
// -Werror=missing-declarations, must each have one).
//
// Included once, by descriptors.cpp.
#ifndef PARCEL_RECORDS_LAYOUT_CHECK_H
#define PARCEL_RECORDS_LAYOUT_CHECK_H

#include <cstddef>
#include <type_traits>

#include <parcel/parcel_api.h>
#include <parcel/records.h>

namespace parcel::reference {

#define PARCEL_REF_COUNT(...) +1
#define PARCEL_REF_FIELD(index, kind, name) alignas(sizeof(kind_##kind::type)) kind_##kind::type name;

#define PARCEL_REF_INFO(T)                                                       \
    int (*filter)(XDR *, ::T *, goheap_t *);                                     \
    int (*length_routine)(const ::T *);                                          \
    int (*clone_routine)(const void *, void *, goheap_t *);                      \
    const var_desc_t *var_desc;                                                  \
    const var_length_desc_t *var_length_desc;                                    \
    const var_clone_desc_t *var_clone_desc;                                      \
    const var_sizeof_desc_t *var_sizeof_desc;

#define PARCEL_STRUCT(group, T, FIELDS)                                          \
    struct T {                                                                   \
        uint32_t field_count;                                                    \
        uint32_t *presence;                                                      \
        FIELDS(PARCEL_REF_FIELD)                                                 \
        uint32_t reserved;                                                       \
        goheap_t *heap;                                                          \
        uint32_t *tail;                                                          \
        PARCEL_REF_INFO(T)                                                       \
        [[no_unique_address]] parcel::presence_words<0 FIELDS(PARCEL_REF_COUNT)> presence_words; \
        uint32_t layout_code;                                                    \
        uint32_t plain_size;                                                     \
        uint32_t tail_area[(0 FIELDS(PARCEL_REF_COUNT)) == 0 ? 1 : 2];           \
    };
#define PARCEL_REF_ARM(position, arm_name, A) ::A *arm_name;
#define PARCEL_UNION(group, U, ARMS)                                             \
    struct U {                                                                   \
        uint32_t arm_count;                                                      \
        int32_t discriminant;                                                    \
        uint32_t layout_code;                                                    \
        uint32_t plain_size;                                                     \
        union {                                                                  \
            void *arm;                                                           \
            ARMS(PARCEL_REF_ARM)                                                 \
        };                                                                       \
        uint32_t reserved;                                                       \
        goheap_t *heap;                                                          \
        uint8_t union_flag;                                                      \
        PARCEL_REF_INFO(U)                                                       \
    };
#define PARCEL_MESSAGE(MSG, T, OPTIONAL)                                         \
    struct parcel_##MSG {                                                        \
        PARCEL_FIELDS_##T(PARCEL_REF_FIELD_OF_MESSAGE)                           \
    };
// A message structure is a plain C structure: its fields at their natural
// alignment, which is what C gives them.
#define PARCEL_REF_FIELD_OF_MESSAGE(index, kind, name) kind_##kind::type name;
#include "catalogue.def"

} // namespace parcel::reference

// The same member, at the same place with the same type, in the generated
// class G and the reference R.  (The compiler's notes name the catalogue
// line, and so the type, of a failure.)
#define PARCEL_SAME_MEMBER(G, R, member)                                                       \
    static_assert(offsetof(G, member) == offsetof(R, member) &&                                \
                      std::is_same_v<decltype(G::member), decltype(R::member)>,                \
                  "generated member " #member " differs from the catalogue's");
#define PARCEL_SAME_SHAPE(G, R)                                                                \
    static_assert(sizeof(G) == sizeof(R) && alignof(G) == alignof(R) &&                        \
                      std::is_standard_layout_v<G>,                                            \
                  "a generated type differs from the catalogue's in size or alignment");

#define PARCEL_CHECK_FIELD(index, kind, name) PARCEL_SAME_MEMBER(G, R, name)
#define PARCEL_CHECK_ARM(position, arm_name, A) PARCEL_SAME_MEMBER(G, R, arm_name)
#define PARCEL_CHECK_INFO                                                                      \
    PARCEL_SAME_MEMBER(G, R, reserved)                                                         \
    PARCEL_SAME_MEMBER(G, R, heap)                                                             \
    PARCEL_SAME_MEMBER(G, R, filter)                                                           \
    PARCEL_SAME_MEMBER(G, R, length_routine)                                                   \
    PARCEL_SAME_MEMBER(G, R, clone_routine)                                                    \
    PARCEL_SAME_MEMBER(G, R, var_desc)                                                         \
    PARCEL_SAME_MEMBER(G, R, var_length_desc)                                                  \
    PARCEL_SAME_MEMBER(G, R, var_clone_desc)                                                   \
    PARCEL_SAME_MEMBER(G, R, var_sizeof_desc)

#define PARCEL_STRUCT(group, T, FIELDS)                                                        \
    namespace parcel::reference::check_##T {                                                   \
    using G = ::T;                                                                             \
    using R = parcel::reference::T;                                                            \
    PARCEL_SAME_SHAPE(G, R)                                                                    \
    static_assert(G::kFieldCount == 0 FIELDS(PARCEL_REF_COUNT), #T "::kFieldCount");           \
    PARCEL_SAME_MEMBER(G, R, field_count)                                                      \
    PARCEL_SAME_MEMBER(G, R, presence)                                                         \
    FIELDS(PARCEL_CHECK_FIELD)                                                                 \
    PARCEL_CHECK_INFO                                                                          \
    PARCEL_SAME_MEMBER(G, R, tail)                                                             \
    PARCEL_SAME_MEMBER(G, R, presence_words)                                                   \
    PARCEL_SAME_MEMBER(G, R, layout_code)                                                      \
    PARCEL_SAME_MEMBER(G, R, plain_size)                                                       \
    PARCEL_SAME_MEMBER(G, R, tail_area)                                                        \
    }
#define PARCEL_UNION(group, U, ARMS)                                                           \
    namespace parcel::reference::check_##U {                                                   \
    using G = ::U;                                                                             \
    using R = parcel::reference::U;                                                            \
    PARCEL_SAME_SHAPE(G, R)                                                                    \
    static_assert(G::kArmCount == 0 ARMS(PARCEL_REF_COUNT), #U "::kArmCount");                 \
    PARCEL_SAME_MEMBER(G, R, arm_count)                                                        \
    PARCEL_SAME_MEMBER(G, R, discriminant)                                                     \
    PARCEL_SAME_MEMBER(G, R, layout_code)                                                      \
    PARCEL_SAME_MEMBER(G, R, plain_size)                                                       \
    PARCEL_SAME_MEMBER(G, R, arm)                                                              \
    ARMS(PARCEL_CHECK_ARM)                                                                     \
    PARCEL_CHECK_INFO                                                                          \
    PARCEL_SAME_MEMBER(G, R, union_flag)                                                       \
    }
#define PARCEL_MESSAGE(MSG, T, OPTIONAL)                                                       \
    namespace parcel::reference::check_parcel_##MSG {                                          \
    using G = ::parcel_##MSG##_t;                                                              \
    using R = parcel::reference::parcel_##MSG;                                                 \
    PARCEL_SAME_SHAPE(G, R)                                                                    \
    PARCEL_FIELDS_##T(PARCEL_CHECK_FIELD)                                                      \
    }
#include "catalogue.def"

#undef PARCEL_REF_COUNT
#undef PARCEL_REF_FIELD
#undef PARCEL_REF_INFO
#undef PARCEL_REF_ARM
#undef PARCEL_REF_FIELD_OF_MESSAGE
#undef PARCEL_SAME_MEMBER
#undef PARCEL_SAME_SHAPE
#undef PARCEL_CHECK_FIELD
#undef PARCEL_CHECK_ARM
#undef PARCEL_CHECK_INFO

#endif // PARCEL_RECORDS_LAYOUT_CHECK_H
