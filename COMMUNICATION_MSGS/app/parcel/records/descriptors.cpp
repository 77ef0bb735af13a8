// The four exported descriptor getters of every type.  The headers are
// constant, so a getter only hands out an address: the same on every call,
// from any thread, with no store.
#include <parcel/records/descriptors.h>

#include "layout_check.h"

#define PARCEL_DEFINE_GETTERS(T)                                                                 \
    extern "C" const var_desc_t *get_var_desc_for_##T(void) { return &parcel::tables<T>::var_header; } \
    extern "C" const var_length_desc_t *get_var_length_desc_for_##T(void)                        \
    {                                                                                            \
        return &parcel::tables<T>::length_header;                                                \
    }                                                                                            \
    extern "C" const var_clone_desc_t *get_var_clone_desc_for_##T(void)                          \
    {                                                                                            \
        return &parcel::tables<T>::clone_header;                                                 \
    }                                                                                            \
    extern "C" const var_sizeof_desc_t *get_var_sizeof_desc_for_##T(void)                       \
    {                                                                                            \
        return &parcel::tables<T>::sizeof_header;                                                \
    }

#define PARCEL_STRUCT(group, T, FIELDS) PARCEL_DEFINE_GETTERS(T)
#define PARCEL_UNION(group, U, ARMS) PARCEL_DEFINE_GETTERS(U)
#include "catalogue.def"
