// The registry, expanded from catalogue.def.  Each entry point is a
// captureless lambda over one type's exported routine or record member,
// reached through an untyped record pointer.
#include "registry.h"

#include <stdexcept>
#include <string>

namespace parcel_tool {
namespace {

#define PARCEL_STRUCT(group, T, FIELDS) +1
#define PARCEL_UNION(group, U, ARMS) +1
constexpr size_t kTypeCount = 0
#include "records/catalogue.def"
    ;

// The routines every type has.
#define PARCEL_TOOL_ROUTINES(T)                                                             \
    type.create = +[]() -> void * { return T::place_in_goheap(nullptr); };                 \
    type.release = +[](void *record) { T::release_to_goheap(nullptr, static_cast<T *>(record)); }; \
    type.encode = +[](const void *record, void *buffer, uint32_t length) {                  \
        return xdr_encode_##T(static_cast<const T *>(record), buffer, length);              \
    };                                                                                      \
    type.length = +[](const void *record) {                                                 \
        return xdr_length_of_encoded_##T(static_cast<const T *>(record));                   \
    };                                                                                      \
    type.decode = +[](const void *buffer, uint32_t length, void **record) {                 \
        T *decoded = nullptr;                                                               \
        const int32_t consumed = xdr_decode_p_##T(buffer, length, &decoded);                \
        *record = decoded;                                                                  \
        return consumed;                                                                    \
    };                                                                                      \
    type.free = +[](void *record) {                                                         \
        T *owned = static_cast<T *>(record);                                                \
        xdr_free_p_##T(&owned);                                                             \
    };

// One field of record type R, whose var descriptor is `desc`.
#define PARCEL_TOOL_FIELD(index, kind, name)                                                \
    Field{index, #name, Kind::k_##kind, desc->entries[index].offset,                        \
          parcel::kind_##kind::storage_shape,                                               \
          +[](void *record, const Value &value) {                                           \
              return static_cast<R *>(record)->set_##name(as_param<parcel::kind_##kind>(value)); \
          },                                                                                \
          +[](const void *record) { return static_cast<const R *>(record)->has_##name(); }},

#define PARCEL_TOOL_ARM(position, arm_name, A) Arm{position, #arm_name, &built_type(built, #A)},

// A type built earlier: a union follows the types of its arms.
const Type &built_type(const std::vector<Type> &built, std::string_view name)
{
    for (const Type &type : built)
        if (type.name == name)
            return type;
    throw std::logic_error("arm type " + std::string(name) + " is not listed before its union");
}

std::vector<Type> build()
{
    std::vector<Type> built;
    // Arms point at their types in this vector: no reallocation after the
    // first element.
    built.reserve(kTypeCount);

#define PARCEL_STRUCT(group_name, T, FIELDS)                                                \
    {                                                                                       \
        using R [[maybe_unused]] = T;                                                       \
        const var_desc_t *desc = get_var_desc_for_##T();                                    \
        Type type;                                                                          \
        type.name = #T;                                                                     \
        type.group = #group_name;                                                           \
        type.desc = desc;                                                                   \
        PARCEL_TOOL_ROUTINES(T)                                                             \
        type.fields = {FIELDS(PARCEL_TOOL_FIELD)};                                          \
        if (desc->count != type.fields.size())                                              \
            throw std::logic_error("the descriptor of " #T " does not match the catalogue"); \
        built.push_back(std::move(type));                                                   \
    }

#define PARCEL_UNION(group_name, U, ARMS)                                                   \
    {                                                                                       \
        Type type;                                                                          \
        type.name = #U;                                                                     \
        type.group = #group_name;                                                           \
        type.is_union = true;                                                               \
        type.desc = get_var_desc_for_##U();                                                 \
        PARCEL_TOOL_ROUTINES(U)                                                             \
        type.arms = {ARMS(PARCEL_TOOL_ARM)};                                                \
        if (type.desc->count != type.arms.size())                                           \
            throw std::logic_error("the descriptor of " #U " does not match the catalogue"); \
        type.discriminant = +[](const void *record) { return static_cast<const U *>(record)->discriminant; }; \
        type.arm_record = +[](const void *record) -> const void * {                         \
            return static_cast<const U *>(record)->arm;                                     \
        };                                                                                  \
        type.select_arm = +[](void *record, int32_t discriminant, void *arm) {              \
            auto *u = static_cast<U *>(record);                                             \
            u->discriminant = discriminant;                                                 \
            u->arm = arm;                                                                   \
        };                                                                                  \
        built.push_back(std::move(type));                                                   \
    }

#include "records/catalogue.def"

    return built;
}

#undef PARCEL_TOOL_ROUTINES
#undef PARCEL_TOOL_FIELD
#undef PARCEL_TOOL_ARM

} // namespace

const Field *Type::find_field(std::string_view field_name) const
{
    for (const Field &field : fields)
        if (field.name == field_name)
            return &field;
    return nullptr;
}

const Arm *Type::find_arm(std::string_view arm_name) const
{
    for (const Arm &arm : arms)
        if (arm.name == arm_name)
            return &arm;
    return nullptr;
}

const std::vector<Type> &types()
{
    static const std::vector<Type> all = build();
    return all;
}

const Type *find_type(std::string_view name)
{
    for (const Type &type : types())
        if (type.name == name)
            return &type;
    return nullptr;
}

} // namespace parcel_tool
