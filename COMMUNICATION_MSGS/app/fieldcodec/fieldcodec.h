/* fieldcodec: the XDR routines of the eight field kinds and the record
 * codecs that walk a type's descriptor tables.
 *
 * Wire format of a struct record: one XDR unsigned int presence bitmap (bit i
 * set when field i is present), then the present fields in field order, each
 * in its kind's XDR encoding.  Wire format of a generic union: one XDR int
 * discriminant, -1 for no arm, else the selected arm record's own encoding.
 *
 * Decoding is strict, so that every message has exactly one encoding: it
 * fails on presence bits at or above the type's field count, on a
 * discriminant outside -1..arms-1, on bytes that run out, on a string length
 * larger than the bytes left (checked before anything is allocated), on a
 * string holding a NUL byte and on non-zero padding.  A decode or clone that
 * fails part-way gives back everything it had allocated before returning.
 * An explaining decode (fc_explain_decode, at the end) says which rule
 * failed and where. */
#ifndef FIELDCODEC_H
#define FIELDCODEC_H

#include <stdint.h>
#include <rpc/xdr.h>

#include "heapkit.h"

#define FIELDCODEC_API __attribute__((visibility("default")))

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Plans ----------------------------------------------------------------
 * A struct type's plan is its field list compiled for the codec: where each
 * field lies and which of the three storage shapes it has.  int, long, u_int,
 * u_long and float are one XDR word (four bytes moved as they stand); double
 * and u_hyper two words, high half first; wrapstring a counted string.  The
 * codec walks the plan instead of calling a routine per field, and reads and
 * writes the stream's buffer in place wherever the stream lends it (memory
 * and record streams); a descriptor without a plan (null) is walked entry by
 * entry through its routines, with the same bytes and verdicts.
 *
 * A plan must describe the same fields as the tables it stands beside: each
 * field in exactly one mask, at the offset of its entries, with the primitive
 * routines of its kind in them.  Descriptor tables are code, not input: the
 * library that builds them checks this when it is compiled. */

/* Largest field count a struct record may declare (one presence word). */
#define FC_MAX_FIELDS 32u

/* Storage shapes, as a plan lists them per field. */
#define FC_SHAPE_WORD 0u
#define FC_SHAPE_DOUBLEWORD 1u
#define FC_SHAPE_STRING 2u

typedef struct fc_plan {
    uint32_t count;           /* fields, as in the header */
    uint32_t word_mask;       /* bit i: field i is one word */
    uint32_t doubleword_mask; /* bit i: field i is two words */
    uint32_t string_mask;     /* bit i: field i is a string */
    uint32_t fixed_size;      /* encoded bytes of all word and doubleword fields */
    uint32_t offsets[FC_MAX_FIELDS];
    uint8_t shapes[FC_MAX_FIELDS]; /* FC_SHAPE_* of each field, as the masks say */
} fc_plan_t;

/* ---- Descriptor tables -------------------------------------------------
 * Each type has four descriptors, a header in front of a constant table of
 * `count` entries in field order plus one all-zero terminating entry.  The
 * header also points at the type's plan, or is null for a union or a table
 * without one. */

/* Runs a field through the stream in its direction; 1 ok, 0 failure. */
typedef int (*fc_xdr_routine_t)(XDR *xdrs, void *field, goheap_t *heap);
/* The field's encoded length in bytes, or -1 when it cannot be encoded. */
typedef int (*fc_length_routine_t)(const void *field);
/* Copies a field, allocating what it points to from heap; 1 ok, 0 failure. */
typedef int (*fc_clone_routine_t)(const void *source, void *destination, goheap_t *heap);

typedef struct var_desc_entry {
    fc_xdr_routine_t routine;
    uint32_t offset;
} var_desc_entry_t;

typedef struct var_length_desc_entry {
    fc_length_routine_t routine;
    uint32_t offset;
} var_length_desc_entry_t;

typedef struct var_clone_desc_entry {
    fc_clone_routine_t routine;
    uint32_t offset;
} var_clone_desc_entry_t;

typedef struct var_desc {
    uint32_t count;
    const var_desc_entry_t *entries;
    const fc_plan_t *plan;
} var_desc_t;

typedef struct var_length_desc {
    uint32_t count;
    const var_length_desc_entry_t *entries;
    const fc_plan_t *plan;
} var_length_desc_t;

typedef struct var_clone_desc {
    uint32_t count;
    const var_clone_desc_entry_t *entries;
    const fc_plan_t *plan;
} var_clone_desc_t;

typedef struct var_sizeof_desc {
    uint32_t count;
    const uint32_t *entries;
    const fc_plan_t *plan;
} var_sizeof_desc_t;

/* ---- Record layout that the codec relies on ------------------------------
 * A struct record begins with its field count (uint32) and, at
 * FC_STRUCT_PRESENCE_OFFSET (the first offset past the count at a pointer's
 * alignment: 8 on 64-bit targets, 4 on 32-bit ones), a pointer to its
 * presence words; the presence
 * words are followed by the layout code (FC_LAYOUT_CODE) and the size of the
 * record's plain part (header and fields).  A union record begins with its
 * arm count (uint32), its discriminant (int32) and, at FC_UNION_ARM_OFFSET,
 * the pointer to the selected arm's record. */
#define FC_LAYOUT_CODE 2u
#define FC_STRUCT_FIELD_COUNT_OFFSET 0u
#define FC_STRUCT_PRESENCE_OFFSET ((uint32_t)((4u + __alignof__(void *) - 1u) & ~(__alignof__(void *) - 1u)))
#define FC_UNION_ARM_COUNT_OFFSET 0u
#define FC_UNION_DISCRIMINANT_OFFSET 4u
#define FC_UNION_ARM_OFFSET 16u

/* ---- Primitives ----------------------------------------------------------
 * `field` is the address of the field's storage in the record: int32_t for
 * int and long, uint32_t for u_int and u_long, float, double, uint64_t for
 * u_hyper, char * for wrapstring.  Decoded strings come from `heap`; the free
 * operation gives a string back to `heap` and nulls the field. */
#define FC_DECLARE_PRIMITIVE(prim)                                                      \
    FIELDCODEC_API int mxdr_##prim(XDR *xdrs, void *field, goheap_t *heap);            \
    FIELDCODEC_API int xdr_length_of_encoded_##prim(const void *field);                \
    FIELDCODEC_API int mxdr_clone_##prim(const void *source, void *destination, goheap_t *heap);

FC_DECLARE_PRIMITIVE(int)
FC_DECLARE_PRIMITIVE(long)
FC_DECLARE_PRIMITIVE(u_int)
FC_DECLARE_PRIMITIVE(u_long)
FC_DECLARE_PRIMITIVE(float)
FC_DECLARE_PRIMITIVE(double)
FC_DECLARE_PRIMITIVE(u_hyper)
FC_DECLARE_PRIMITIVE(wrapstring)
#undef FC_DECLARE_PRIMITIVE

/* ---- Struct records ------------------------------------------------------ */

/* Last step of construction: no field present.  1 ok, 0 for a bad layout. */
FIELDCODEC_API int xdr_optional_generic_struct_init(void *record);
/* Teardown: clears presence; frees nothing a field points to. */
FIELDCODEC_API int xdr_optional_generic_struct_uninit(void *record);
/* Copies `size` bytes from `value` into `field` and marks field `index`
 * present.  0 when the index is out of range or the field does not lie
 * within the record's plain part. */
FIELDCODEC_API int xdr_optional_generic_struct_set_field(void *record, void *field, uint32_t size,
                                                         uint32_t index, const void *value);
/* Nonzero when field `index` is present. */
FIELDCODEC_API int xdr_optional_generic_struct_check_field(const void *record, uint32_t index);

/* Encodes, decodes or frees the record's fields, by the stream's operation. */
FIELDCODEC_API int mxdr_opt_fields_generic_struct(XDR *xdrs, const var_desc_t *desc, void *record,
                                                  goheap_t *heap);
/* Encoded length in bytes, or -1 when the record cannot be encoded. */
FIELDCODEC_API int xdr_length_of_encoded_optional_generic_struct(const var_length_desc_t *desc,
                                                                 const void *record);
/* Copies the present fields of `source` into the empty `destination`. */
FIELDCODEC_API int xdr_clone_optional_generic_struct(const var_clone_desc_t *desc, const void *source,
                                                     void *destination, goheap_t *heap);

/* ---- Generic unions ------------------------------------------------------ */

FIELDCODEC_API int xdr_optional_generic_union_init(void *record);
FIELDCODEC_API int xdr_optional_generic_union_uninit(void *record);
FIELDCODEC_API int mxdr_enh_generic_union(XDR *xdrs, const var_desc_t *desc, void *record,
                                          goheap_t *heap);
FIELDCODEC_API int xdr_length_of_encoded_optional_generic_union(const void *record,
                                                                const var_length_desc_t *desc);
FIELDCODEC_API int xdr_clone_optional_generic_union(const void *source, void *destination,
                                                    const var_clone_desc_t *desc, goheap_t *heap);

/* ---- Explaining a decode ---------------------------------------------------
 * A decode answers yes or no.  An explaining decode is the same decode --
 * the same verdict, bytes taken, record and memory -- that also tells its
 * caller, as it goes, where each item of the encoding lies and, when it
 * refuses the bytes, the rule they broke, the byte at which it found out and
 * the item that broke it.  The codec keeps nothing: each event goes to the
 * caller's sink when the decode meets it.  A decode not run through
 * fc_explain_decode reports nothing and does no more work than before.
 *
 * Offsets count the bytes taken from the caller's stream since the
 * explaining decode began.  Events come in wire order: for a struct record
 * its presence word, then for each present field its value, or its length,
 * its text (reported even when empty) and, when the length is not a
 * multiple of 4, its padding; for a union its discriminant, then the items
 * of the arm's record.  An item is reported once its checks have passed;
 * the item that breaks a rule is reported only in the refusal, which is the
 * last event.  A decode that fails with no refusal was not refused for its
 * bytes: memory ran out, or the filter failed outside the codec.  A
 * descriptor without a plan is decoded without reports. */

/* Longest text a string may carry: its encoding must still be countable in
 * a non-negative 32-bit int. */
#define FC_MAX_STRING_LENGTH ((uint32_t)INT32_MAX - 8u)

/* The rules a decode enforces; fc_rule_code names them. */
typedef enum fc_rule {
    FC_RULE_PRESENCE = 1,     /* a presence bit at or past the record's field count */
    FC_RULE_DISCRIMINANT = 2, /* a discriminant neither -1 nor an arm's position */
    FC_RULE_SHORT = 3,        /* the bytes end inside a presence word, discriminant, value or length */
    FC_RULE_LENGTH = 4,       /* a string's text and padding longer than the bytes left, or its
                                 length above FC_MAX_STRING_LENGTH */
    FC_RULE_NUL = 5,          /* a NUL byte in a string's text */
    FC_RULE_PADDING = 6       /* a padding byte that is not zero */
} fc_rule_t;

/* What an item of an encoding is. */
typedef enum fc_role {
    FC_ROLE_PRESENCE = 0,     /* a struct record's presence word */
    FC_ROLE_DISCRIMINANT = 1, /* a union's discriminant */
    FC_ROLE_VALUE = 2,        /* a field of one word or two */
    FC_ROLE_LENGTH = 3,       /* a string's length word */
    FC_ROLE_TEXT = 4,         /* a string's text */
    FC_ROLE_PADDING = 5       /* the zero bytes after a string's text */
} fc_role_t;

typedef struct fc_item {
    fc_role_t role;
    int32_t field;   /* index of its field in its record; -1 for a presence word or discriminant */
    int32_t arm;     /* position of the union arm whose record holds it; -1 outside any arm */
    uint64_t offset; /* its first byte */
    uint64_t size;   /* its bytes; in a refusal, the bytes the decoder needed for it (for a
                        length refusal, the text with its padding) */
} fc_item_t;

typedef struct fc_refusal {
    fc_rule_t rule;
    uint64_t offset; /* the byte at which the decoder finds out: the item's first byte, or
                        for nul and padding the offending byte */
    fc_item_t item;  /* the item that broke the rule */
    uint32_t value;  /* presence: the presence word; discriminant: its bits; length: the
                        string's length; padding: the offending byte; otherwise 0 */
    uint32_t limit;  /* presence: the record's field count; discriminant: the union's arm
                        count; length: FC_MAX_STRING_LENGTH; otherwise 0 */
} fc_refusal_t;

/* Where an explaining decode's events go.  Either callback may be null. */
typedef struct fc_sink {
    void (*item)(void *context, const fc_item_t *item);
    void (*refusal)(void *context, const fc_refusal_t *refusal);
    void *context;
} fc_sink_t;

/* Runs `filter` -- a type's filter, such as its mxdr_p_<T> with the address
 * of a record pointer as `object` -- over a stream that forwards every
 * operation to `xdrs`, which must be decoding, and reports to `sink` (null:
 * nowhere).  The result is the filter's; `consumed`, when not null, receives
 * the bytes taken from `xdrs`.  What the filter decoded is the caller's to
 * free, as after the filter alone. */
FIELDCODEC_API int fc_explain_decode(XDR *xdrs, fc_xdr_routine_t filter, void *object, goheap_t *heap,
                                     const fc_sink_t *sink, uint64_t *consumed);

/* The reason code of a rule, as the wire corpus writes it: "presence",
 * "discriminant", "short", "length", "nul", "padding"; null for no rule. */
FIELDCODEC_API const char *fc_rule_code(fc_rule_t rule);

#ifdef __cplusplus
}
#endif

#endif /* FIELDCODEC_H */
