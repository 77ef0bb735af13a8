/* The message API from C: a plain structure in, bytes out, a new structure
 * back. */
#include <stdio.h>
#include <string.h>

#include <parcel/parcel_api.h>

int main(void)
{
    parcel_drv_msg_t sent = {0.5, "driver ready", -1, 1};
    unsigned char bytes[128];
    int32_t written = parcel_encode_drv_msg(sent, bytes, sizeof bytes);
    if (written < 0)
        return 1;

    parcel_drv_msg_t *received = NULL;
    if (parcel_decode_drv_msg(bytes, (uint32_t)written, &received) != 0)
        return 1;
    printf("%d bytes: real_value=%g text=\"%s\" long_value=%d hyper_value=%llu\n", written,
           received->real_value, received->text, received->long_value,
           (unsigned long long)received->hyper_value);
    int same = strcmp(received->text, sent.text) == 0;
    parcel_free_drv_msg(received);
    return same ? 0 : 1;
}
