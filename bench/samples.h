// What the benchmarks measure, per type of the catalogue: the type's routine
// family gathered in one traits class, a sample record with every field set,
// and for the seventeen messages a filled message-API structure.  All of it
// is expanded from catalogue.def.
#ifndef PARCEL_BENCH_SAMPLES_H
#define PARCEL_BENCH_SAMPLES_H

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "api/parcel_api.h"
#include "records/records.h"
#include "sample_values.h"

namespace bench {

[[noreturn]] inline void fail(const char *what)
{
    std::fprintf(stderr, "parcel_bench: %s\n", what);
    std::abort();
}

// Large enough for the encoding of any sample.
inline constexpr uint32_t kBufferSize = 1024;

// ---- The routine family of a type --------------------------------------------------

template <class T>
struct family;

#define BENCH_FAMILY(T)                                                                  \
    template <>                                                                          \
    struct family<T> {                                                                   \
        static constexpr const char *name = #T;                                          \
        static constexpr auto encode = &xdr_encode_##T;                                  \
        static constexpr auto length = &xdr_length_of_encoded_##T;                       \
        static constexpr auto decode = &xdr_decode_p_##T;                                \
        static constexpr auto decode_to_given_goheap = &xdr_decode_p_##T##_to_given_goheap; \
        static constexpr auto decode_to_new_goheap = &xdr_decode_p_##T##_to_new_goheap;  \
        static constexpr auto clone = &xdr_clone_##T;                                    \
        static constexpr auto clone_to_new_goheap = &xdr_clone_##T##_to_new_goheap;     \
        static constexpr auto filter = &_xdr_##T;                                        \
        static constexpr auto pointer_filter = &mxdr_p_##T;                              \
        static constexpr auto release = &xdr_free_p_##T;                                 \
    };
#define PARCEL_STRUCT(group, T, FIELDS) BENCH_FAMILY(T)
#define PARCEL_UNION(group, U, ARMS) BENCH_FAMILY(U)
#include "records/catalogue.def"
#undef BENCH_FAMILY

// ---- Sample records ---------------------------------------------------------------------
// sample<T>::record has every field set.  A union's sample holds a sample of
// each arm and selects the arm with the longest encoding.  Records cannot be
// copied or moved, so samples live where sample_of() puts them.

template <class T>
struct sample;

template <class T>
sample<T> &sample_of()
{
    static sample<T> instance;
    return instance;
}

#define BENCH_SET_FIELD(index, kind, name)                                       \
    if (!record.set_##name(value(parcel::kind_##kind{}, index)))                 \
        fail("cannot set field " #name);

#define PARCEL_STRUCT(group, T, FIELDS)                                          \
    template <>                                                                  \
    struct sample<T> {                                                           \
        T record{nullptr, 0};                                                    \
        const char *arm_name = nullptr;                                          \
        sample() { FIELDS(BENCH_SET_FIELD) }                                     \
    };

#define BENCH_ARM_SAMPLE(position, arm, A) sample<A> arm;
#define BENCH_CONSIDER_ARM(position, arm, A) consider(position, &this->arm.record, #arm);

#define PARCEL_UNION(group, U, ARMS)                                                     \
    template <>                                                                          \
    struct sample<U> {                                                                   \
        ARMS(BENCH_ARM_SAMPLE)                                                           \
        U record{nullptr, 0};                                                            \
        const char *arm_name = nullptr;                                                  \
        sample()                                                                         \
        {                                                                                \
            ARMS(BENCH_CONSIDER_ARM)                                                     \
            record.discriminant = best_position_;                                        \
            record.arm = best_arm_;                                                      \
        }                                                                                \
                                                                                         \
    private:                                                                             \
        void consider(int32_t position, void *arm_record, const char *name)              \
        {                                                                                \
            record.discriminant = position;                                              \
            record.arm = arm_record;                                                     \
            const int length = xdr_length_of_encoded_##U(&record);                       \
            if (length < 0)                                                              \
                fail("cannot measure an arm of " #U);                                    \
            if (length > best_length_) {                                                 \
                best_length_ = length;                                                   \
                best_position_ = position;                                               \
                best_arm_ = arm_record;                                                  \
                arm_name = name;                                                         \
            }                                                                            \
        }                                                                                \
        int best_length_ = -1;                                                           \
        int32_t best_position_ = -1;                                                     \
        void *best_arm_ = nullptr;                                                       \
    };
#include "records/catalogue.def"
#undef BENCH_SET_FIELD
#undef BENCH_ARM_SAMPLE
#undef BENCH_CONSIDER_ARM

// The sample's encoding, made once.
template <class T>
const std::vector<unsigned char> &encoded()
{
    static const std::vector<unsigned char> bytes = [] {
        std::vector<unsigned char> out(kBufferSize);
        const int32_t written = family<T>::encode(&sample_of<T>().record, out.data(), kBufferSize);
        if (written < 0)
            fail("cannot encode a sample");
        out.resize(static_cast<size_t>(written));
        return out;
    }();
    return bytes;
}

// ---- Message-API structures ----------------------------------------------------------------

// A field value as a plain structure or a C struct of generated code holds
// it: strings as char *, which the encoders only read.
inline char *member_value(const char *text) { return const_cast<char *>(text); }
template <class Value>
Value member_value(Value value)
{
    return value;
}

template <class Message>
struct message;

#define BENCH_SET_MEMBER(index, kind, name) msg.name = member_value(value(parcel::kind_##kind{}, index));

#define PARCEL_MESSAGE(MSG, T, OPTIONAL)                                         \
    template <>                                                                  \
    struct message<parcel_##MSG##_t> {                                           \
        using record = T;                                                        \
        static constexpr auto encode = &parcel_encode_##MSG;                     \
        static constexpr auto decode = &parcel_decode_##MSG;                     \
        static constexpr auto release = &parcel_free_##MSG;                      \
        static parcel_##MSG##_t make()                                           \
        {                                                                        \
            parcel_##MSG##_t msg{};                                              \
            PARCEL_FIELDS_##T(BENCH_SET_MEMBER)                                  \
            return msg;                                                          \
        }                                                                        \
    };
#include "records/catalogue.def"
#undef BENCH_SET_MEMBER

} // namespace bench

#endif // PARCEL_BENCH_SAMPLES_H
