// A consumer of the installed package, built as C++17 by
// scripts/install-check.sh through find_package(parcel) and through
// pkg-config: records, the per-type routines, a goheap, descriptors and a
// libtirpc stream.
#include <cstdio>
#include <cstring>

#include <parcel/records.h>

// The record headers ask for C++17, and neither parcel::parcel nor parcel.pc
// may make a consumer build as anything newer.
static_assert(__cplusplus == 201703L, "this consumer is built as C++17");

namespace {

int failures = 0;

#define CHECK(condition)                                                                          \
    do {                                                                                          \
        if (!(condition)) {                                                                       \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition);   \
            ++failures;                                                                           \
        }                                                                                         \
    } while (0)

// The status-union example of docs/wire-format.md: end_arm with int_value_1 7
// and long_value -3.
const unsigned char kStatus[] = {0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x09,
                                 0x00, 0x00, 0x00, 0x07, 0xFF, 0xFF, 0xFF, 0xFD};

void union_through_buffers()
{
    cu_vuser_end_data_t end(nullptr, 0);
    end.set_int_value_1(7);
    end.set_long_value(-3);
    cu_vuser_status_data_union_t status(nullptr, 0);
    status.discriminant = 3;
    status.end_arm = &end;

    unsigned char bytes[64];
    CHECK(xdr_length_of_encoded_cu_vuser_status_data_union_t(&status) == int{sizeof kStatus});
    CHECK(xdr_encode_cu_vuser_status_data_union_t(&status, bytes, sizeof bytes) == int32_t{sizeof kStatus});
    CHECK(std::memcmp(bytes, kStatus, sizeof kStatus) == 0);

    // Decoded into an arena that the call creates and hands over.
    cu_vuser_status_data_union_t *decoded = nullptr;
    goheap_t *arena = nullptr;
    CHECK(xdr_decode_p_cu_vuser_status_data_union_t_to_new_goheap(kStatus, sizeof kStatus, &decoded, &arena) ==
          int32_t{sizeof kStatus});
    CHECK(arena != nullptr);
    if (decoded == nullptr) {
        goheap_destroy(arena);
        return;
    }
    CHECK(decoded->discriminant == 3 && decoded->end_arm->get_int_value_1() == 7 &&
          decoded->end_arm->get_long_value() == -3 && !decoded->end_arm->has_int_value_2());

    // A clone on the default heap outlives the arena; xdr_free_p releases it.
    cu_vuser_status_data_union_t *copy = xdr_clone_cu_vuser_status_data_union_t(decoded);
    goheap_destroy(arena);
    CHECK(copy != nullptr && copy->discriminant == 3 && copy->end_arm->get_long_value() == -3);
    xdr_free_p_cu_vuser_status_data_union_t(&copy);
    CHECK(copy == nullptr);

    // An arm without fields, laid out by this C++17 compiler: its presence
    // word alone follows the discriminant.
    static const unsigned char kRun[] = {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    cu_vuser_run_data_t run(nullptr, 0);
    status.discriminant = 0;
    status.run_arm = &run;
    CHECK(xdr_encode_cu_vuser_status_data_union_t(&status, bytes, sizeof bytes) == int32_t{sizeof kRun});
    CHECK(std::memcmp(bytes, kRun, sizeof kRun) == 0);
}

void struct_through_a_stream()
{
    cu_drv_msg_t message(nullptr, 0);
    message.set_text("through a stream");
    message.set_hyper_value(1ull << 40);

    char bytes[64];
    XDR out;
    xdrmem_create(&out, bytes, sizeof bytes, XDR_ENCODE);
    cu_drv_msg_t *sent = &message;
    CHECK(xdr_p_cu_drv_msg_t(&out, &sent) == 1);
    const u_int length = XDR_GETPOS(&out);
    XDR_DESTROY(&out);
    CHECK(static_cast<int>(length) == xdr_length_of_encoded_cu_drv_msg_t(&message));

    XDR in;
    xdrmem_create(&in, bytes, length, XDR_DECODE);
    cu_drv_msg_t *received = nullptr;
    CHECK(xdr_p_cu_drv_msg_t(&in, &received) == 1);
    XDR_DESTROY(&in);
    CHECK(received != nullptr && std::strcmp(received->get_text(), "through a stream") == 0 &&
          received->get_hyper_value() == (1ull << 40) && !received->has_real_value());
    xdr_free_p_cu_drv_msg_t(&received);
}

void descriptors()
{
    const var_desc_t *desc = get_var_desc_for_cu_vuser_msg_t();
    CHECK(desc->count == cu_vuser_msg_t::kFieldCount && desc->count == 9);
    CHECK(desc->entries[desc->count].routine == nullptr);
    CHECK(get_var_sizeof_desc_for_cu_vuser_status_data_union_t()->count == 4);
}

} // namespace

int main()
{
    union_through_buffers();
    struct_through_a_stream();
    descriptors();
    std::printf("records consumer, C++17: %s\n", failures == 0 ? "ok" : "FAILED");
    return failures == 0 ? 0 : 1;
}
