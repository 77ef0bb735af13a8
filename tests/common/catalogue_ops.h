// Every type and every message of the catalogue, reached through the
// library's exported routines with the record type erased, so that a check
// is written once and run over all thirty types and seventeen messages.
//
// Also builds sample encodings: a record (or message) with every field
// present and non-empty strings, and for a union each arm (or none), made
// through the record classes' own setters and encoded by the library.
#ifndef PARCEL_TEST_COMMON_CATALOGUE_OPS_H
#define PARCEL_TEST_COMMON_CATALOGUE_OPS_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <ostream>
#include <type_traits>
#include <vector>

#include "api/parcel_api.h"
#include "records/records.h"

namespace parcel_test {

using Bytes = std::vector<unsigned char>;

// ---- Sample values -------------------------------------------------------------
// Field `index` of variant `variant`: numbers with every byte non-zero,
// strings of 1 to 9 characters so that every padding length occurs.

template <class Value>
Value sample_value(uint32_t index, unsigned variant)
{
    const uint64_t bits = 0x9e3779b97f4a7c15ull * (index + 1) + 0x0101010101010101ull * (variant + 1);
    if constexpr (std::is_same_v<Value, float>)
        return static_cast<float>(index) + 0.25f * static_cast<float>(variant + 1);
    else if constexpr (std::is_same_v<Value, double>)
        return -1.5 * static_cast<double>(index + 1) + 1e-3 * static_cast<double>(variant);
    else
        return static_cast<Value>(bits | 0x0101010101010101ull);
}

inline const char *sample_text(uint32_t index, unsigned variant)
{
    static const char *const texts[] = {"a", "bc", "def", "ghij", "klmno", "pqrstu", "vwxyz01", "23456789", "status ok"};
    return texts[(index + variant) % (sizeof texts / sizeof texts[0])];
}

// The sample of field `index` as its setter (or a message member) takes it.
template <class Storage>
auto sample_for(uint32_t index, unsigned variant)
{
    if constexpr (std::is_same_v<Storage, char *>)
        return const_cast<char *>(sample_text(index, variant));
    else
        return sample_value<Storage>(index, variant);
}

template <class Record>
struct sampler;

// Encodes a record with the library, sized by its own length routine.
template <class Record>
Bytes encode_record(const Record &record, int (*length)(const Record *),
                    int32_t (*encode)(const Record *, void *, uint32_t))
{
    const int size = length(&record);
    if (size < 0)
        return {};
    Bytes bytes(static_cast<size_t>(size));
    if (encode(&record, bytes.data(), static_cast<uint32_t>(bytes.size())) != size)
        return {};
    return bytes;
}

} // namespace parcel_test

// Struct records: every field set through its setter.
#define PARCEL_TEST_SET_FIELD(index, kind, name)                                                        \
    if (((fields >> index) & 1u) != 0)                                                                  \
        ok = record.set_##name(parcel_test::sample_for<parcel::kind_##kind::type>(index, variant)) && ok;

#define PARCEL_STRUCT(group, T, FIELDS)                                                                 \
    template <>                                                                                         \
    struct parcel_test::sampler<T> {                                                                    \
        static bool fill([[maybe_unused]] T &record, [[maybe_unused]] unsigned variant,                 \
                         [[maybe_unused]] uint32_t fields = ~0u)                                        \
        {                                                                                               \
            bool ok = true;                                                                             \
            FIELDS(PARCEL_TEST_SET_FIELD)                                                               \
            return ok;                                                                                  \
        }                                                                                               \
        /* The fields in `fields` present; `arm` only matters for unions. */                            \
        static Bytes encoding(int, unsigned variant, uint32_t fields)                                   \
        {                                                                                               \
            T record(nullptr, 0);                                                                       \
            if (!fill(record, variant, fields))                                                         \
                return {};                                                                              \
            return encode_record<T>(record, &xdr_length_of_encoded_##T, &xdr_encode_##T);               \
        }                                                                                               \
    };

// Unions: the arm `arm` (-1: none) holding a full arm record.
#define PARCEL_TEST_ARM_CASE(position, arm_name, A)                                                     \
    case position: {                                                                                    \
        A arm_record(nullptr, 0);                                                                       \
        if (!parcel_test::sampler<A>::fill(arm_record, variant, fields))                                \
            return {};                                                                                  \
        record.discriminant = position;                                                                 \
        record.arm_name = &arm_record;                                                                  \
        return encode_record<R>(record, length, encode);                                                \
    }

#define PARCEL_UNION(group, U, ARMS)                                                                    \
    template <>                                                                                         \
    struct parcel_test::sampler<U> {                                                                    \
        using R = U;                                                                                    \
        static Bytes encoding(int arm, unsigned variant, uint32_t fields)                               \
        {                                                                                               \
            int (*length)(const U *) = &xdr_length_of_encoded_##U;                                      \
            int32_t (*encode)(const U *, void *, uint32_t) = &xdr_encode_##U;                           \
            U record(nullptr, 0);                                                                       \
            switch (arm) {                                                                              \
                ARMS(PARCEL_TEST_ARM_CASE)                                                              \
            default:                                                                                    \
                (void)variant;                                                                          \
                (void)fields;                                                                           \
                return encode_record<R>(record, length, encode);                                        \
            }                                                                                           \
        }                                                                                               \
    };

#include "records/catalogue.def"
#undef PARCEL_TEST_SET_FIELD
#undef PARCEL_TEST_ARM_CASE

namespace parcel_test {

// ---- The thirty types ------------------------------------------------------------

struct TypeOps {
    const char *name;
    bool is_union;
    uint32_t count; // fields of a struct, arms of a union
    const var_desc_t *desc;
    const var_length_desc_t *length_desc;

    // The routine family with records as void *.  Out-pointers are passed
    // through unchanged, so what a routine leaves in them can be checked.
    int32_t (*decode)(const void *, uint32_t, void **record);
    int32_t (*decode_given)(const void *, uint32_t, void **record, goheap_t *);
    int32_t (*decode_new)(const void *, uint32_t, void **record, goheap_t **heapp);
    int32_t (*encode)(const void *record, void *, uint32_t);
    int32_t (*encode_p)(void *const *recordp, void *, uint32_t);
    int (*length)(const void *record);
    int (*length_p)(const void *recordp);
    void *(*clone)(const void *record);
    void *(*clone_given)(const void *record, goheap_t *);
    void *(*clone_new)(const void *record, goheap_t **heapp);
    int (*clone_p)(const void *sourcep, void *destinationp, goheap_t *);
    int (*pointer_filter)(XDR *, void *recordp, goheap_t *);
    int (*value_filter)(XDR *, void *record, goheap_t *);
    void (*free_p)(void **recordp);
    // A sample with the fields in `fields` present (every field: ~0u); for
    // a union, arm `arm` (-1: none) holding such a record.
    Bytes (*sample)(int arm, unsigned variant, uint32_t fields);
};

// Test frameworks print a type by its name.
inline void PrintTo(const TypeOps &type, std::ostream *out) { *out << type.name; }

#define PARCEL_TEST_TYPE_OPS(T, IS_UNION, COUNT)                                                                \
    parcel_test::TypeOps{                                                                                       \
        #T,                                                                                                     \
        IS_UNION,                                                                                               \
        COUNT,                                                                                                  \
        get_var_desc_for_##T(),                                                                                 \
        get_var_length_desc_for_##T(),                                                                          \
        [](const void *b, uint32_t n, void **out) {                                                             \
            T *r = static_cast<T *>(*out);                                                                      \
            const int32_t k = xdr_decode_p_##T(b, n, &r);                                                       \
            *out = r;                                                                                           \
            return k;                                                                                           \
        },                                                                                                      \
        [](const void *b, uint32_t n, void **out, goheap_t *h) {                                                \
            T *r = static_cast<T *>(*out);                                                                      \
            const int32_t k = xdr_decode_p_##T##_to_given_goheap(b, n, &r, h);                                  \
            *out = r;                                                                                           \
            return k;                                                                                           \
        },                                                                                                      \
        [](const void *b, uint32_t n, void **out, goheap_t **hp) {                                              \
            T *r = static_cast<T *>(*out);                                                                      \
            const int32_t k = xdr_decode_p_##T##_to_new_goheap(b, n, &r, hp);                                   \
            *out = r;                                                                                           \
            return k;                                                                                           \
        },                                                                                                      \
        [](const void *r, void *b, uint32_t n) { return xdr_encode_##T(static_cast<const T *>(r), b, n); },     \
        [](void *const *rp, void *b, uint32_t n) {                                                              \
            T *const r = static_cast<T *>(*rp);                                                                 \
            return xdr_encode_p_##T(&r, b, n);                                                                  \
        },                                                                                                      \
        [](const void *r) { return xdr_length_of_encoded_##T(static_cast<const T *>(r)); },                     \
        &xdr_length_of_encoded_p_##T,                                                                           \
        [](const void *r) -> void * { return xdr_clone_##T(static_cast<const T *>(r)); },                       \
        [](const void *r, goheap_t *h) -> void * {                                                              \
            return xdr_clone_##T##_to_given_goheap(static_cast<const T *>(r), h);                               \
        },                                                                                                      \
        [](const void *r, goheap_t **hp) -> void * {                                                            \
            return xdr_clone_##T##_to_new_goheap(static_cast<const T *>(r), hp);                                \
        },                                                                                                      \
        &mxdr_clone_p_##T,                                                                                      \
        &mxdr_p_##T,                                                                                            \
        [](XDR *x, void *r, goheap_t *h) { return _mxdr_##T(x, static_cast<T *>(r), h); },                      \
        [](void **rp) {                                                                                         \
            T *r = static_cast<T *>(*rp);                                                                       \
            xdr_free_p_##T(&r);                                                                                 \
            *rp = r;                                                                                            \
        },                                                                                                      \
        &parcel_test::sampler<T>::encoding},

inline const std::vector<TypeOps> &all_types()
{
#define PARCEL_STRUCT(group, T, FIELDS) PARCEL_TEST_TYPE_OPS(T, false, T::kFieldCount)
#define PARCEL_UNION(group, U, ARMS) PARCEL_TEST_TYPE_OPS(U, true, U::kArmCount)
    static const std::vector<TypeOps> types = {
#include "records/catalogue.def"
    };
    return types;
}

// The arms of a union to try (-1, no arm, first), or the one "arm" of a struct.
inline std::vector<int> sample_arms(const TypeOps &type)
{
    if (!type.is_union)
        return {0};
    std::vector<int> arms{-1};
    for (uint32_t a = 0; a < type.count; ++a)
        arms.push_back(static_cast<int>(a));
    return arms;
}

// ---- The seventeen messages ------------------------------------------------------

struct MessageOps {
    const char *name;
    const char *record_type;
    uint32_t field_count;
    uint32_t optional; // fields read only when carried
    size_t size;       // sizeof the message structure

    // *out is passed through, so that "untouched on failure" can be checked.
    int32_t (*decode)(const void *, uint32_t, void **out);
    int32_t (*encode)(const void *msg, void *, uint32_t);
    void (*free)(void *msg);
    // The record decoder of the message's type, for comparison.
    int32_t (*decode_record)(const void *, uint32_t, void **record);
    void (*free_record)(void **recordp);
    // Whether every field of `msg` equals the record's (a field the record
    // lacks compares as zero or null).
    bool (*matches_record)(const void *msg, const void *record);
    // Whether two messages hold the same fields; with `null_as_empty` a null
    // string equals the empty string (as the encoder sends it).
    bool (*equal)(const void *a, const void *b, bool null_as_empty);
    // A message with every field set, encoded by parcel_encode_<msg>.
    Bytes (*sample)(unsigned variant);
};

inline void PrintTo(const MessageOps &msg, std::ostream *out) { *out << msg.name; }

inline bool same_field(const char *a, const char *b, bool null_as_empty)
{
    if (null_as_empty) {
        a = a == nullptr ? "" : a;
        b = b == nullptr ? "" : b;
    }
    if (a == nullptr || b == nullptr)
        return a == b;
    return std::strcmp(a, b) == 0;
}

template <class Value>
    requires std::is_arithmetic_v<Value>
bool same_field(Value a, Value b, bool)
{
    return std::memcmp(&a, &b, sizeof a) == 0; // bit patterns: NaN payloads too
}

} // namespace parcel_test

#define PARCEL_TEST_MSG_SET(index, kind, name) \
    msg.name = parcel_test::sample_for<decltype(msg.name)>(index, variant);
#define PARCEL_TEST_MSG_VS_RECORD(index, kind, name)                                                    \
    ok = ok && parcel_test::same_field(m->name,                                                         \
                                       r->has_##name() ? r->name : decltype(r->name){}, false);
#define PARCEL_TEST_MSG_VS_MSG(index, kind, name) ok = ok && parcel_test::same_field(x->name, y->name, null_as_empty);

#define PARCEL_MESSAGE(MSG, T, OPTIONAL)                                                                \
    parcel_test::MessageOps{                                                                            \
        #MSG,                                                                                           \
        #T,                                                                                             \
        T::kFieldCount,                                                                                 \
        OPTIONAL,                                                                                       \
        sizeof(parcel_##MSG##_t),                                                                       \
        [](const void *b, uint32_t n, void **out) {                                                     \
            auto *m = static_cast<parcel_##MSG##_t *>(*out);                                            \
            const int32_t k = parcel_decode_##MSG(b, n, &m);                                            \
            *out = m;                                                                                   \
            return k;                                                                                   \
        },                                                                                              \
        [](const void *m, void *b, uint32_t n) {                                                        \
            return parcel_encode_##MSG(*static_cast<const parcel_##MSG##_t *>(m), b, n);                \
        },                                                                                              \
        [](void *m) { parcel_free_##MSG(static_cast<parcel_##MSG##_t *>(m)); },                         \
        [](const void *b, uint32_t n, void **out) {                                                     \
            T *r = static_cast<T *>(*out);                                                              \
            const int32_t k = xdr_decode_p_##T(b, n, &r);                                               \
            *out = r;                                                                                   \
            return k;                                                                                   \
        },                                                                                              \
        [](void **rp) {                                                                                 \
            T *r = static_cast<T *>(*rp);                                                               \
            xdr_free_p_##T(&r);                                                                         \
            *rp = r;                                                                                    \
        },                                                                                              \
        [](const void *mp, const void *rp) {                                                            \
            const auto *m = static_cast<const parcel_##MSG##_t *>(mp);                                  \
            const auto *r = static_cast<const T *>(rp);                                                 \
            bool ok = true;                                                                             \
            PARCEL_FIELDS_##T(PARCEL_TEST_MSG_VS_RECORD)                                                \
            return ok;                                                                                  \
        },                                                                                              \
        [](const void *a, const void *b, [[maybe_unused]] bool null_as_empty) {                         \
            const auto *x = static_cast<const parcel_##MSG##_t *>(a);                                   \
            const auto *y = static_cast<const parcel_##MSG##_t *>(b);                                   \
            bool ok = true;                                                                             \
            PARCEL_FIELDS_##T(PARCEL_TEST_MSG_VS_MSG)                                                   \
            return ok;                                                                                  \
        },                                                                                              \
        [](unsigned variant) {                                                                          \
            parcel_##MSG##_t msg{};                                                                     \
            PARCEL_FIELDS_##T(PARCEL_TEST_MSG_SET)                                                      \
            Bytes bytes(4096);                                                                          \
            const int32_t n = parcel_encode_##MSG(msg, bytes.data(), static_cast<uint32_t>(bytes.size())); \
            bytes.resize(n < 0 ? 0 : static_cast<size_t>(n));                                          \
            return bytes;                                                                               \
        }},

namespace parcel_test {

inline const std::vector<MessageOps> &all_messages()
{
    static const std::vector<MessageOps> messages = {
#include "records/catalogue.def"
    };
    return messages;
}

} // namespace parcel_test

#undef PARCEL_TEST_MSG_SET
#undef PARCEL_TEST_MSG_VS_RECORD
#undef PARCEL_TEST_MSG_VS_MSG
#undef PARCEL_TEST_TYPE_OPS

#endif
