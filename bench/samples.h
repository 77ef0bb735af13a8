// What the benchmark knows of the catalogue, all of it in this file: the
// thirty types, each with its routines behind entry points that take the
// record as void *, a sample record with every field set and the sample's
// encoding; the seventeen messages of the message API, each with a filled
// message; and value(), the field values that every sample and every
// anchor carries.
#ifndef PARCEL_BENCH_SAMPLES_H
#define PARCEL_BENCH_SAMPLES_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "api/parcel_api.h"
#include "records/records.h"

namespace bench {

// Any failure aborts: a benchmark of an operation that fails would time
// the failure path.
inline void expect(bool ok, const char *what)
{
    if (!ok) {
        std::fprintf(stderr, "parcel_bench: %s\n", what);
        std::abort();
    }
}

// Large enough for the encoding of any sample.
inline constexpr uint32_t kBufferSize = 1024;

// ---- Field values -------------------------------------------------------------------
// One value per (field kind, field index), so that a record and its twins
// carry the same data when they list the same fields in the same order.
// They look like what a load test sends: timestamps, virtual-user numbers,
// script paths, log lines.  The texts are 25 to 49 bytes long and leave
// every remainder modulo 4, so every padding length occurs.
#define BENCH_VALUES(kind, type, ...)                              \
    inline type value(parcel::kind_##kind, uint32_t index)         \
    {                                                              \
        static constexpr type values[] = {__VA_ARGS__};            \
        return values[index % (sizeof values / sizeof values[0])]; \
    }
BENCH_VALUES(wrapstring, const char *, "Action.c(118): transaction \"checkout\" ended: PASS",
             "scripts/web_shop/Action.cpp", "group_checkout/vuser_0017", "lg-07.loadlab.internal:54312",
             "rendezvous_all_users_ready", "Iteration 12 of 100 started", "vuser_end: 3 transactions, 0 errors")
BENCH_VALUES(int, int32_t, 1042, 200, 17, 65535, -1, 300)
BENCH_VALUES(long, int32_t, 86400, -7, 123456, 2500, 42, -30000)
BENCH_VALUES(u_int, uint32_t, 12, 4000000000u, 250, 7)
BENCH_VALUES(u_long, uint32_t, 3, 1800, 3000000000u, 64)
BENCH_VALUES(float, float, 125.5f, 0.75f, 3.25e4f, 12.125f)
BENCH_VALUES(double, double, 1712345678.25, 99.875, 0.001953125, 42.5)
BENCH_VALUES(u_hyper, uint64_t, 1712345678123456789ull, 1ull << 40, 4096, 987654321012ull)
#undef BENCH_VALUES

// A value as a plain C structure holds it: strings as char *, which
// encoders only read.
inline char *member_value(const char *text) { return const_cast<char *>(text); }
template <class Value>
Value member_value(Value value)
{
    return value;
}

// ---- The types and the messages -------------------------------------------------------

struct type_entry {
    const char *name;
    const void *sample;               // every field set
    size_t size;                      // sizeof the record
    std::vector<unsigned char> bytes; // the sample's encoding
    int32_t (*encode)(const void *record, void *buffer, uint32_t length);
    int (*length)(const void *record);
    int32_t (*decode)(const void *buffer, uint32_t length, void **record);
    int32_t (*decode_given)(const void *buffer, uint32_t length, void **record, goheap_t *heap);
    int32_t (*decode_new)(const void *buffer, uint32_t length, void **record, goheap_t **heapp);
    void *(*clone)(const void *record);
    void *(*clone_new)(const void *record, goheap_t **heapp);
    int (*filter)(XDR *xdrs, const void *record);                    // _xdr_T
    int (*pointer_filter)(XDR *xdrs, void *recordp, goheap_t *heap); // mxdr_p_T
    void (*free)(void *record);                                      // xdr_free_p_T
};

struct message_entry {
    const char *type; // the record type it mirrors
    const void *sample;
    int32_t (*encode)(const void *msg, void *buffer, uint32_t length);
    int32_t (*decode)(const void *buffer, uint32_t length, void **msg);
    void (*free)(void *msg);
};

namespace samples {

// Records point into themselves and are never copied: a sample stays where
// of() puts it.  A union's sample selects the arm with the longest encoding.
template <class T>
struct sample;

template <class T>
sample<T> &of()
{
    static sample<T> instance;
    return instance;
}

#define BENCH_SET_FIELD(index, kind, name) \
    expect(record.set_##name(value(parcel::kind_##kind{}, index)), "cannot set field " #name);
#define BENCH_CONSIDER_ARM(position, name, A) \
    record.discriminant = position;           \
    record.arm = &of<A>().record;             \
    if (length(&record) > longest) {          \
        longest = length(&record);            \
        best = position;                      \
        chosen = record.arm;                  \
    }
#define PARCEL_STRUCT(group, T, FIELDS)      \
    template <>                              \
    struct sample<T> {                       \
        T record{nullptr, 0};                \
        sample() { FIELDS(BENCH_SET_FIELD) } \
    };
#define PARCEL_UNION(group, U, ARMS)                  \
    template <>                                       \
    struct sample<U> {                                \
        U record{nullptr, 0};                         \
        sample()                                      \
        {                                             \
            auto length = &xdr_length_of_encoded_##U; \
            int longest = -1;                         \
            int32_t best = -1;                        \
            void *chosen = nullptr;                   \
            ARMS(BENCH_CONSIDER_ARM)                  \
            record.discriminant = best;               \
            record.arm = chosen;                      \
        }                                             \
    };
#include "records/catalogue.def"
#undef BENCH_SET_FIELD
#undef BENCH_CONSIDER_ARM

// The routines with records as void *: decoders hand theirs back so.
template <class T, auto F, class... Heap>
int32_t decoded(const void *buffer, uint32_t length, void **out, Heap... heap)
{
    T *record = nullptr;
    const int32_t consumed = F(buffer, length, &record, heap...);
    *out = record;
    return consumed;
}
template <class T, auto F, class R, class... A>
R on(const void *record, A... a)
{
    return F(static_cast<const T *>(record), a...);
}

#define BENCH_TYPE(T)                                                                                      \
    type_entry{#T, &of<T>().record, sizeof(T), {}, &on<T, &xdr_encode_##T, int32_t, void *, uint32_t>,       \
               &on<T, &xdr_length_of_encoded_##T, int>, &decoded<T, &xdr_decode_p_##T>,                      \
               &decoded<T, &xdr_decode_p_##T##_to_given_goheap, goheap_t *>,                               \
               &decoded<T, &xdr_decode_p_##T##_to_new_goheap, goheap_t **>, &on<T, &xdr_clone_##T, void *>,  \
               &on<T, &xdr_clone_##T##_to_new_goheap, void *, goheap_t **>,                                \
               [](XDR *x, const void *r) { return _xdr_##T(x, static_cast<T *>(const_cast<void *>(r))); }, \
               &mxdr_p_##T, [](void *r) {                                                                  \
                   T *record = static_cast<T *>(r);                                                        \
                   xdr_free_p_##T(&record);                                                                \
               }},
#define BENCH_SET_MEMBER(index, kind, name) msg.name = member_value(value(parcel::kind_##kind{}, index));
#define BENCH_MESSAGE(MSG, T)                                                                              \
    message_entry{#T, [] { static parcel_##MSG##_t msg{}; PARCEL_FIELDS_##T(BENCH_SET_MEMBER) return &msg; }(), \
                  [](const void *m, void *b, uint32_t n) {                                                 \
                      return parcel_encode_##MSG(*static_cast<const parcel_##MSG##_t *>(m), b, n);         \
                  },                                                                                       \
                  &decoded<parcel_##MSG##_t, &parcel_decode_##MSG>,                                        \
                  [](void *m) { parcel_free_##MSG(static_cast<parcel_##MSG##_t *>(m)); }},

} // namespace samples

inline const std::vector<type_entry> &types()
{
    static const std::vector<type_entry> all = [] {
        using namespace samples;
        std::vector<type_entry> types = {
#define PARCEL_STRUCT(group, T, FIELDS) BENCH_TYPE(T)
#define PARCEL_UNION(group, U, ARMS) BENCH_TYPE(U)
#include "records/catalogue.def"
        };
        for (type_entry &t : types) {
            t.bytes.resize(kBufferSize);
            const int32_t written = t.encode(t.sample, t.bytes.data(), kBufferSize);
            expect(written >= 0, "cannot encode a sample");
            t.bytes.resize(static_cast<size_t>(written));
        }
        return types;
    }();
    return all;
}

inline const std::vector<message_entry> &messages()
{
    using namespace samples;
    static const std::vector<message_entry> all = {
#define PARCEL_MESSAGE(MSG, T, OPTIONAL) BENCH_MESSAGE(MSG, T)
#include "records/catalogue.def"
    };
    return all;
}
#undef BENCH_TYPE
#undef BENCH_SET_MEMBER
#undef BENCH_MESSAGE

inline const type_entry &type_named(std::string_view name)
{
    const auto found = std::find_if(types().begin(), types().end(), [name](auto &t) { return name == t.name; });
    expect(found != types().end(), "no such type");
    return *found;
}

} // namespace bench

#endif // PARCEL_BENCH_SAMPLES_H
