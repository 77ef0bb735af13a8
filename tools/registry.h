// The run-time registry of the thirty types, built from catalogue.def: each
// type's name, fields or arms, and generic entry points onto its exported
// routines and record class.  Nothing here is written per type.
#ifndef PARCEL_TOOLS_REGISTRY_H
#define PARCEL_TOOLS_REGISTRY_H

#include <cstdint>
#include <string_view>
#include <vector>

#include "kinds.h"

namespace parcel_tool {

struct Field {
    uint32_t index;
    std::string_view name;
    Kind kind;
    uint32_t offset; // from the type's var descriptor
    uint8_t shape;   // FC_SHAPE_WORD, FC_SHAPE_DOUBLEWORD or FC_SHAPE_STRING, as the codec's plans
    // The record's set_<name>; false when the record refuses the value.
    bool (*set)(void *record, const Value &value);
    // The record's has_<name>.
    bool (*has)(const void *record);
};

struct Type;

struct Arm {
    uint32_t position;
    std::string_view name;
    const Type *type;
};

// Records are untyped here; every entry point takes the record itself
// (not the address of a record pointer).
struct Type {
    std::string_view name;
    std::string_view group;
    bool is_union = false;
    // The type's var descriptor: its count is the fields (or arms) the
    // codec decodes.
    const var_desc_t *desc = nullptr;
    std::vector<Field> fields; // struct types
    std::vector<Arm> arms;     // unions

    // A new empty record on the default heap (T::place_in_goheap), and its
    // release (T::release_to_goheap): the record alone, not what it points to.
    void *(*create)();
    void (*release)(void *record);
    // xdr_encode_T, xdr_length_of_encoded_T, xdr_decode_p_T and xdr_free_p_T.
    int32_t (*encode)(const void *record, void *buffer, uint32_t length);
    int (*length)(const void *record);
    int32_t (*decode)(const void *buffer, uint32_t length, void **record);
    void (*free)(void *record);

    // Unions: the discriminant, the arm record, and choosing an arm.
    int32_t (*discriminant)(const void *record) = nullptr;
    const void *(*arm_record)(const void *record) = nullptr;
    void (*select_arm)(void *record, int32_t discriminant, void *arm) = nullptr;

    const Field *find_field(std::string_view field_name) const;
    const Arm *find_arm(std::string_view arm_name) const;
};

// Every type, in catalogue order.
const std::vector<Type> &types();
// The type of that name, or null.
const Type *find_type(std::string_view name);

} // namespace parcel_tool

#endif // PARCEL_TOOLS_REGISTRY_H
