// The floor: a hand-written encoder of cu_vuser_msg_t alone, with parcel's
// bytes and checks (a present string is not null and fits, with its zero
// padding), straight against the buffer with nothing generic in between.
// What parcel spends beyond it is the price of its generality.  In a file
// of its own so that, like parcel's routines, the benchmark cannot inline it.
#ifndef PARCEL_BENCH_FLOOR_H
#define PARCEL_BENCH_FLOOR_H

#include <cstdint>

namespace floor_codec {

// cu_vuser_msg_t's fields; bit i of presence says whether field i is carried.
struct vuser_msg {
    uint32_t presence;
    double real_value;
    char *text_1;
    int32_t long_value_1;
    uint64_t hyper_value_1;
    char *text_2;
    int32_t int_value;
    char *text_3;
    int32_t long_value_2;
    uint64_t hyper_value_2;
};

// Bytes written, or -1 when the buffer is too small or a present string is null.
int32_t encode(const vuser_msg &msg, unsigned char *buffer, uint32_t length);

} // namespace floor_codec

#endif // PARCEL_BENCH_FLOOR_H
