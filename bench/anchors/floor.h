// The floor: a hand-written codec for the virtual-user message alone, with
// the same bytes and the same strictness as parcel's (presence bits in
// range, string lengths checked against the bytes left, no NUL in a string,
// zero padding), written directly against the buffer with nothing generic
// in between.  What parcel spends beyond it is the price of its generality.
#ifndef PARCEL_BENCH_FLOOR_H
#define PARCEL_BENCH_FLOOR_H

#include <cstdint>

namespace floor_codec {

// cu_vuser_msg_t's fields as a plain structure; bit i of presence says
// whether field i is carried.
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

// Where decoded strings come from.
struct string_source {
    void *(*take)(void *context, uint32_t size);
    void *context;
};

// Bytes written, or -1 when the buffer is too small or a present string is
// null.
int32_t encode(const vuser_msg &msg, unsigned char *buffer, uint32_t length);

// Bytes consumed, or -1; on failure nothing taken from `strings` is kept
// (strings from the C allocator are freed, others are simply dropped).
int32_t decode(const unsigned char *buffer, uint32_t length, vuser_msg *msg, string_source strings);

// Strings from the C allocator, and their release.
string_source malloc_strings();
void free_strings(vuser_msg *msg);

} // namespace floor_codec

#endif // PARCEL_BENCH_FLOOR_H
