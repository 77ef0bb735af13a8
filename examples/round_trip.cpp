// A record, a goheap and a clone: encodes a virtual-user message, decodes it
// into an arena, clones it onto the default heap and frees what it made.
#include <cstdio>

#include <parcel/records.h>

int main()
{
    cu_vuser_msg_t message(nullptr, 0); // a record on the stack
    message.set_real_value(0.25);
    message.set_text_1("script started");
    message.set_long_value_1(-7);
    message.set_hyper_value_1(1ull << 40);
    message.set_int_value(42); // text_2, text_3 and the rest stay absent

    unsigned char bytes[256];
    const int32_t written = xdr_encode_cu_vuser_msg_t(&message, bytes, sizeof bytes);
    std::printf("encoded %d bytes (length routine says %d)\n", written,
                xdr_length_of_encoded_cu_vuser_msg_t(&message));
    if (written < 0)
        return 1;

    // Decode into an arena that the library creates and hands over.
    cu_vuser_msg_t *decoded = nullptr;
    goheap_t *arena = nullptr;
    const int32_t consumed = xdr_decode_p_cu_vuser_msg_t_to_new_goheap(bytes, written, &decoded, &arena);
    if (consumed != written) {
        goheap_destroy(arena);
        return 1;
    }
    std::printf("decoded %d bytes: text_1=\"%s\" hyper_value_1=%llu int_value=%d text_2 %s\n", consumed,
                decoded->get_text_1(), static_cast<unsigned long long>(decoded->get_hyper_value_1()),
                decoded->get_int_value(), decoded->has_text_2() ? "present" : "absent");

    // A deep copy on the default heap outlives the arena.
    cu_vuser_msg_t *copy = xdr_clone_cu_vuser_msg_t(decoded);
    goheap_destroy(arena);
    if (copy == nullptr)
        return 1;
    std::printf("clone after the arena is gone: text_1=\"%s\"\n", copy->get_text_1());
    xdr_free_p_cu_vuser_msg_t(&copy);
    return copy == nullptr ? 0 : 1;
}
