/* The message API: seventeen messages as plain structures.
 *
 * For each message <msg> of the catalogue:
 *
 *   parcel_<msg>_t       its fields, in the order, with the names and widths
 *                        of the record type cu_<msg>_t; strings are char *.
 *   parcel_encode_<msg>  encodes a structure into buf; returns the bytes
 *                        written, or -1 (above all when buf_len is too
 *                        small).  A null string is sent as the empty string.
 *                        Makes no heap allocation.
 *   parcel_decode_<msg>  decodes buf into a new structure stored in *out;
 *                        returns 0, or -1 with *out untouched.  Bytes after
 *                        the message are ignored.
 *   parcel_free_<msg>    releases a structure from parcel_decode_<msg>: its
 *                        strings with os_strdup_free, then the block with
 *                        maw_free.  Null is ignored.
 *
 * A decoded structure is one maw_malloc block; each of its strings is an
 * os_strdup block.  A message built by parcel_encode_<msg> carries every
 * field, so its strings come back non-null; a message built from a record
 * with a field left unset decodes that field as 0, or as a null string.
 * bridge_data's text_2 is the one field read only when it was carried.  The
 * messages are listed in catalogue.def (PARCEL_MESSAGE rows).
 *
 * This header is valid C11 and C++. */
#ifndef PARCEL_API_PARCEL_API_H
#define PARCEL_API_PARCEL_API_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define PARCEL_MESSAGE_API __attribute__((visibility("default")))

#define PARCEL_MESSAGE_TYPE_int int32_t
#define PARCEL_MESSAGE_TYPE_long int32_t
#define PARCEL_MESSAGE_TYPE_u_int uint32_t
#define PARCEL_MESSAGE_TYPE_u_long uint32_t
#define PARCEL_MESSAGE_TYPE_float float
#define PARCEL_MESSAGE_TYPE_double double
#define PARCEL_MESSAGE_TYPE_u_hyper uint64_t
#define PARCEL_MESSAGE_TYPE_wrapstring char *
#define PARCEL_MESSAGE_MEMBER(index, kind, name) PARCEL_MESSAGE_TYPE_##kind name;

#define PARCEL_MESSAGE(MSG, T, OPTIONAL)                                                           \
    typedef struct parcel_##MSG {                                                                  \
        PARCEL_FIELDS_##T(PARCEL_MESSAGE_MEMBER)                                                   \
    } parcel_##MSG##_t;                                                                            \
    PARCEL_MESSAGE_API int32_t parcel_encode_##MSG(parcel_##MSG##_t msg, void *buf, uint32_t buf_len); \
    PARCEL_MESSAGE_API int32_t parcel_decode_##MSG(const void *buf, uint32_t buf_len,               \
                                                   parcel_##MSG##_t **out);                         \
    PARCEL_MESSAGE_API void parcel_free_##MSG(parcel_##MSG##_t *msg);
#include "../records/catalogue.def"

#undef PARCEL_MESSAGE_MEMBER

#ifdef __cplusplus
}
#endif

#endif /* PARCEL_API_PARCEL_API_H */
