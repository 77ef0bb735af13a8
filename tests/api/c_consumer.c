/* A C11 caller of the message API: builds messages as plain structures,
 * encodes, decodes and frees them, and checks every value that comes back.
 * Exits non-zero when anything differs. */
#include "api/parcel_api.h"

#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

static int failures = 0;

#define CHECK(condition)                                                              \
    do {                                                                              \
        if (!(condition)) {                                                           \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            ++failures;                                                               \
        }                                                                             \
    } while (0)

/* Floating values are compared by bit pattern, so -0.0 and NaNs count. */
#define SAME_BITS(a, b) (sizeof(a) == sizeof(b) && memcmp(&(a), &(b), sizeof(a)) == 0)

/* A decoded string: present, equal, and a copy of its own. */
static int same_text(const char *got, const char *sent)
{
    return got != NULL && got != sent && strcmp(got, sent) == 0;
}

static void vuser_msg_round_trip(void)
{
    char text_1[] = "first text";
    char text_2[] = "";
    char text_3[] = "third\xC3\xA9";
    parcel_vuser_msg_t msg;
    parcel_vuser_msg_t *out = NULL;
    parcel_vuser_msg_t sentinel;
    unsigned char buf[128];
    int32_t n;

    memset(&msg, 0, sizeof msg);
    msg.real_value = -0.0;
    msg.text_1 = text_1;
    msg.long_value_1 = INT32_MIN;
    msg.hyper_value_1 = UINT64_C(0x0123456789ABCDEF);
    msg.text_2 = text_2;
    msg.int_value = -7;
    msg.text_3 = text_3;
    msg.long_value_2 = INT32_MAX;
    msg.hyper_value_2 = UINT64_MAX;

    /* presence 4, double 8, "first text" 4+12, long 4, hyper 8, "" 4, int 4,
     * seven bytes 4+8, long 4, hyper 8 */
    n = parcel_encode_vuser_msg(msg, buf, sizeof buf);
    CHECK(n == 72);
    if (n <= 0)
        return;
    CHECK(buf[0] == 0 && buf[1] == 0 && buf[2] == 0x01 && buf[3] == 0xFF);
    CHECK(parcel_encode_vuser_msg(msg, buf, (uint32_t)n - 1) == -1);
    n = parcel_encode_vuser_msg(msg, buf, sizeof buf);

    /* A message cut short is refused and *out stays as it was. */
    out = &sentinel;
    CHECK(parcel_decode_vuser_msg(buf, (uint32_t)n - 1, &out) == -1);
    CHECK(out == &sentinel);

    out = NULL;
    CHECK(parcel_decode_vuser_msg(buf, (uint32_t)n, &out) == 0);
    CHECK(out != NULL);
    if (out == NULL)
        return;
    CHECK(SAME_BITS(out->real_value, msg.real_value));
    CHECK(same_text(out->text_1, text_1));
    CHECK(out->long_value_1 == INT32_MIN);
    CHECK(out->hyper_value_1 == UINT64_C(0x0123456789ABCDEF));
    CHECK(same_text(out->text_2, text_2));
    CHECK(out->int_value == -7);
    CHECK(same_text(out->text_3, text_3));
    CHECK(out->long_value_2 == INT32_MAX);
    CHECK(out->hyper_value_2 == UINT64_MAX);
    parcel_free_vuser_msg(out);
    parcel_free_vuser_msg(NULL);
}

static void bridge_data_round_trip(const char *label, char *text_2, int32_t expected_length)
{
    char text_1[] = "bridge";
    parcel_bridge_data_t msg;
    parcel_bridge_data_t *out = NULL;
    unsigned char buf[64];
    int32_t n;

    memset(&msg, 0, sizeof msg);
    msg.int_value = 123456;
    msg.text_1 = text_1;
    msg.long_value = -1;
    msg.text_2 = text_2;

    n = parcel_encode_bridge_data(msg, buf, sizeof buf);
    if (n != expected_length) {
        fprintf(stderr, "bridge_data (%s): encoded %d bytes, expected %d\n", label, (int)n,
                (int)expected_length);
        ++failures;
        return;
    }
    CHECK(parcel_decode_bridge_data(buf, (uint32_t)n, &out) == 0);
    CHECK(out != NULL);
    if (out == NULL)
        return;
    CHECK(out->int_value == 123456);
    CHECK(same_text(out->text_1, text_1));
    CHECK(out->long_value == -1);
    /* Sent null, text_2 travels as the empty string and comes back empty. */
    CHECK(same_text(out->text_2, text_2 != NULL ? text_2 : ""));
    parcel_free_bridge_data(out);
}

static void hps_input_data_round_trip(void)
{
    parcel_hps_input_data_t msg;
    parcel_hps_input_data_t *out = NULL;
    unsigned char buf[16];
    int32_t n;

    msg.hps_input = -INFINITY;
    n = parcel_encode_hps_input_data(msg, buf, sizeof buf);
    CHECK(n == 8);
    if (n != 8)
        return;
    CHECK(buf[4] == 0xFF && buf[5] == 0x80 && buf[6] == 0 && buf[7] == 0);
    CHECK(parcel_decode_hps_input_data(buf, (uint32_t)n, &out) == 0);
    CHECK(out != NULL);
    if (out == NULL)
        return;
    CHECK(SAME_BITS(out->hps_input, msg.hps_input));
    parcel_free_hps_input_data(out);
}

int main(void)
{
    char tail[] = "tail";

    vuser_msg_round_trip();
    /* presence 4, int 4, "bridge" 4+8, long 4, then text_2 */
    bridge_data_round_trip("null text_2", NULL, 28);
    bridge_data_round_trip("text_2 set", tail, 32);
    hps_input_data_round_trip();

    if (failures != 0) {
        fprintf(stderr, "%d checks failed\n", failures);
        return 1;
    }
    printf("message API from C: all checks passed\n");
    return 0;
}
