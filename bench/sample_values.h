// The field values every benchmark sends: one value per (field kind, field
// index), so that a parcel record, its rpcgen twin, its protobuf twin and the
// hand-written floor codec all carry exactly the same data when they list
// the same fields in the same order.  Values look like what the load-testing
// system sends: timestamps, virtual-user numbers, script paths, log lines.
#ifndef PARCEL_BENCH_SAMPLE_VALUES_H
#define PARCEL_BENCH_SAMPLE_VALUES_H

#include <cstddef>
#include <cstdint>

#include "records/records.h"

namespace bench {

template <class Value, size_t N>
constexpr Value pick(const Value (&values)[N], uint32_t index)
{
    return values[index % N];
}

// Texts of 25 to 49 bytes whose lengths leave every remainder modulo 4, so
// every padding length (0 to 3) occurs.
inline const char *value(parcel::kind_wrapstring, uint32_t index)
{
    static const char *const texts[] = {
        "Action.c(118): transaction \"checkout\" ended: PASS",
        "scripts/web_shop/Action.cpp",
        "group_checkout/vuser_0017",
        "lg-07.loadlab.internal:54312",
        "rendezvous_all_users_ready",
        "Iteration 12 of 100 started",
        "vuser_end: 3 transactions, 0 errors",
    };
    return pick(texts, index);
}

inline int32_t value(parcel::kind_int, uint32_t index)
{
    static constexpr int32_t values[] = {1042, 200, 17, 65535, -1, 300};
    return pick(values, index);
}

inline int32_t value(parcel::kind_long, uint32_t index)
{
    static constexpr int32_t values[] = {86400, -7, 123456, 2500, 42, -30000};
    return pick(values, index);
}

inline uint32_t value(parcel::kind_u_int, uint32_t index)
{
    static constexpr uint32_t values[] = {12, 4000000000u, 250, 7};
    return pick(values, index);
}

inline uint32_t value(parcel::kind_u_long, uint32_t index)
{
    static constexpr uint32_t values[] = {3, 1800, 3000000000u, 64};
    return pick(values, index);
}

inline float value(parcel::kind_float, uint32_t index)
{
    static constexpr float values[] = {125.5f, 0.75f, 3.25e4f, 12.125f};
    return pick(values, index);
}

inline double value(parcel::kind_double, uint32_t index)
{
    static constexpr double values[] = {1712345678.25, 99.875, 0.001953125, 42.5};
    return pick(values, index);
}

inline uint64_t value(parcel::kind_u_hyper, uint32_t index)
{
    static constexpr uint64_t values[] = {1712345678123456789ull, 1ull << 40, 4096, 987654321012ull};
    return pick(values, index);
}

} // namespace bench

#endif // PARCEL_BENCH_SAMPLE_VALUES_H
