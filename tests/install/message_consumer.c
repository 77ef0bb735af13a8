/* A consumer of the installed package, built by scripts/install-check.sh as
 * C99 and as C11 (-pedantic), through pkg-config and through
 * find_package(parcel): the message API from C. */
#include <stdio.h>
#include <string.h>

#include <parcel/parcel_api.h>

static int failures;

#define CHECK(condition)                                                               \
    do {                                                                               \
        if (!(condition)) {                                                            \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            ++failures;                                                                \
        }                                                                              \
    } while (0)

int main(void)
{
    /* The drv_msg example of docs/wire-format.md. */
    static const unsigned char expected[] = {0x00, 0x00, 0x00, 0x0F, 0x3F, 0xE0, 0x00, 0x00, 0x00, 0x00, 0x00,
                                             0x00, 0x00, 0x00, 0x00, 0x01, 0x78, 0x00, 0x00, 0x00, 0xFF, 0xFF,
                                             0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01};
    parcel_drv_msg_t sent = {0.5, "x", -1, 1};
    unsigned char bytes[64];
    const int32_t written = parcel_encode_drv_msg(sent, bytes, sizeof bytes);
    CHECK(written == (int32_t)sizeof expected && memcmp(bytes, expected, sizeof expected) == 0);
    CHECK(parcel_encode_drv_msg(sent, bytes, sizeof expected - 1) == -1);

    parcel_drv_msg_t *received = NULL;
    CHECK(parcel_decode_drv_msg(expected, sizeof expected, &received) == 0);
    if (received != NULL) {
        CHECK(received->real_value == 0.5 && strcmp(received->text, "x") == 0 &&
              received->long_value == -1 && received->hyper_value == 1);
        parcel_free_drv_msg(received);
    }

    /* Cut short: -1, and *out is left as it was. */
    parcel_drv_msg_t *untouched = &sent;
    CHECK(parcel_decode_drv_msg(expected, sizeof expected - 1, &untouched) == -1 && untouched == &sent);

    /* A bridge message that did not carry text_2 decodes with a null text_2. */
    static const unsigned char bridge[] = {0x00, 0x00, 0x00, 0x07, 0x00, 0x00, 0x00, 0x05, 0x00, 0x00,
                                           0x00, 0x02, 'a',  'b',  0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFE};
    parcel_bridge_data_t *data = NULL;
    CHECK(parcel_decode_bridge_data(bridge, sizeof bridge, &data) == 0);
    if (data != NULL) {
        CHECK(data->int_value == 5 && strcmp(data->text_1, "ab") == 0 && data->long_value == -2 &&
              data->text_2 == NULL);
        parcel_free_bridge_data(data);
    }

    printf("message API consumer, C %ld: %s\n", (long)__STDC_VERSION__,
           failures == 0 ? "ok" : "FAILED");
    return failures == 0 ? 0 : 1;
}
