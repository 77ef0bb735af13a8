// The four constant descriptor tables of every type, built at compile time
// from catalogue.def.  Each table holds one entry per field (per arm for a
// union) in field order and an all-zero terminating entry; the headers in
// front of them are constant too, so fetching a descriptor is only taking an
// address.
#ifndef PARCEL_RECORDS_DESCRIPTORS_H
#define PARCEL_RECORDS_DESCRIPTORS_H

#include <cstddef>
#include <iterator>
#include <type_traits>

#include "../records.h"

namespace parcel {

template <class R>
struct tables;

template <class Entry, size_t N>
constexpr bool offsets_increase(const Entry (&entries)[N])
{
    for (size_t i = 1; i + 1 < N; ++i)
        if (entries[i].offset <= entries[i - 1].offset)
            return false;
    return true;
}

// Adds field `index` to a plan: its offset, its shape's mask and, for a word
// or doubleword, its encoded size.
template <class Kind>
constexpr void plan_field(fc_plan_t &plan, uint32_t index, uint32_t offset)
{
    constexpr uint8_t storage_shape = Kind::storage_shape;
    static_assert(sizeof(typename Kind::type) == (storage_shape == FC_SHAPE_WORD         ? 4
                                                  : storage_shape == FC_SHAPE_DOUBLEWORD ? 8
                                                                                         : sizeof(char *)));
    const uint32_t bit = 1u << index;
    plan.offsets[index] = offset;
    plan.shapes[index] = storage_shape;
    switch (storage_shape) {
    case FC_SHAPE_WORD:
        plan.word_mask |= bit;
        plan.fixed_size += 4;
        break;
    case FC_SHAPE_DOUBLEWORD:
        plan.doubleword_mask |= bit;
        plan.fixed_size += 8;
        break;
    case FC_SHAPE_STRING:
        plan.string_mask |= bit;
        break;
    }
}

// Every field in exactly one mask.
constexpr bool plan_covers(const fc_plan_t &plan)
{
    const uint32_t all = plan.count >= 32 ? ~0u : (1u << plan.count) - 1;
    return (plan.word_mask | plan.doubleword_mask | plan.string_mask) == all &&
           (plan.word_mask & plan.doubleword_mask) == 0 && (plan.word_mask & plan.string_mask) == 0 &&
           (plan.doubleword_mask & plan.string_mask) == 0;
}

} // namespace parcel

#define PARCEL_OFFSET_OF(name) static_cast<uint32_t>(offsetof(R, name))
#define PARCEL_VAR_ENTRY(index, kind, name) {parcel::kind_##kind::xdr, PARCEL_OFFSET_OF(name)},
#define PARCEL_LENGTH_ENTRY(index, kind, name) {parcel::kind_##kind::length, PARCEL_OFFSET_OF(name)},
#define PARCEL_CLONE_ENTRY(index, kind, name) {parcel::kind_##kind::clone, PARCEL_OFFSET_OF(name)},
#define PARCEL_SIZE_ENTRY(index, kind, name) static_cast<uint32_t>(sizeof(R::name)),
#define PARCEL_PLAN_FIELD(index, kind, name) parcel::plan_field<parcel::kind_##kind>(plan, index, PARCEL_OFFSET_OF(name));
// Every field stands at its own index, with its kind's routine and width.
#define PARCEL_CHECK_FIELD(index, kind, name)                                                      \
    static_assert(var[index].routine == parcel::kind_##kind::xdr &&                                \
                      var[index].offset == PARCEL_OFFSET_OF(name),                                 \
                  "field " #name " is not listed at index " #index);                               \
    static_assert(sizeof(R::name) == sizeof(parcel::kind_##kind::type), "width of " #name);       \
    static_assert(PARCEL_OFFSET_OF(name) % sizeof(R::name) == 0 && alignof(R) >= sizeof(R::name), \
                  "alignment of " #name);

#define PARCEL_ARM_VAR_ENTRY(position, arm_name, A) {&mxdr_p_##A, 0},
#define PARCEL_ARM_LENGTH_ENTRY(position, arm_name, A) {&xdr_length_of_encoded_p_##A, 0},
#define PARCEL_ARM_CLONE_ENTRY(position, arm_name, A) {&mxdr_clone_p_##A, 0},
#define PARCEL_ARM_SIZE_ENTRY(position, arm_name, A) static_cast<uint32_t>(sizeof(A *)),
#define PARCEL_CHECK_ARM(position, arm_name, A) \
    static_assert(var[position].routine == &mxdr_p_##A, "arm " #arm_name " is not at position " #position);

// The headers of a type, built over its four tables.
#define PARCEL_TABLE_HEADERS(count, plan)                                          \
    static constexpr var_desc_t var_header{count, var, plan};                      \
    static constexpr var_length_desc_t length_header{count, length, plan};         \
    static constexpr var_clone_desc_t clone_header{count, clone, plan};            \
    static constexpr var_sizeof_desc_t sizeof_header{count, sizes, plan};          \
    static_assert(std::size(var) == count + 1 && std::size(length) == count + 1 && \
                  std::size(clone) == count + 1 && std::size(sizes) == count + 1);

#define PARCEL_STRUCT(group, T, FIELDS)                                                      \
    template <>                                                                              \
    struct parcel::tables<T> {                                                               \
        using R = T;                                                                         \
        static constexpr var_desc_entry_t var[] = {FIELDS(PARCEL_VAR_ENTRY){nullptr, 0}};    \
        static constexpr var_length_desc_entry_t length[] = {                                \
            FIELDS(PARCEL_LENGTH_ENTRY){nullptr, 0}};                                        \
        static constexpr var_clone_desc_entry_t clone[] = {FIELDS(PARCEL_CLONE_ENTRY){nullptr, 0}}; \
        static constexpr uint32_t sizes[] = {FIELDS(PARCEL_SIZE_ENTRY) 0};                   \
        static constexpr fc_plan_t plan = [] {                                               \
            fc_plan_t plan{};                                                                \
            plan.count = R::kFieldCount;                                                     \
            FIELDS(PARCEL_PLAN_FIELD)                                                        \
            return plan;                                                                     \
        }();                                                                                 \
        static_assert(parcel::plan_covers(plan), "plan of " #T);                            \
        PARCEL_TABLE_HEADERS(R::kFieldCount, &plan)                                          \
        FIELDS(PARCEL_CHECK_FIELD)                                                           \
        static_assert(parcel::offsets_increase(var), "fields out of order");                \
        static_assert(parcel::struct_layout_fits_codec<R>(), "record layout of " #T);        \
    };

#define PARCEL_UNION(group, U, ARMS)                                                          \
    template <>                                                                               \
    struct parcel::tables<U> {                                                                \
        using R = U;                                                                          \
        static constexpr var_desc_entry_t var[] = {ARMS(PARCEL_ARM_VAR_ENTRY){nullptr, 0}};   \
        static constexpr var_length_desc_entry_t length[] = {                                 \
            ARMS(PARCEL_ARM_LENGTH_ENTRY){nullptr, 0}};                                       \
        static constexpr var_clone_desc_entry_t clone[] = {ARMS(PARCEL_ARM_CLONE_ENTRY){nullptr, 0}}; \
        static constexpr uint32_t sizes[] = {ARMS(PARCEL_ARM_SIZE_ENTRY) 0};                  \
        PARCEL_TABLE_HEADERS(R::kArmCount, nullptr)                                                  \
        ARMS(PARCEL_CHECK_ARM)                                                                \
        static_assert(parcel::union_layout_fits_codec<R>(), "record layout of " #U);          \
    };

#include "catalogue.def"

#undef PARCEL_OFFSET_OF
#undef PARCEL_VAR_ENTRY
#undef PARCEL_LENGTH_ENTRY
#undef PARCEL_CLONE_ENTRY
#undef PARCEL_SIZE_ENTRY
#undef PARCEL_PLAN_FIELD
#undef PARCEL_CHECK_FIELD
#undef PARCEL_ARM_VAR_ENTRY
#undef PARCEL_ARM_LENGTH_ENTRY
#undef PARCEL_ARM_CLONE_ENTRY
#undef PARCEL_ARM_SIZE_ENTRY
#undef PARCEL_CHECK_ARM
#undef PARCEL_TABLE_HEADERS

#endif // PARCEL_RECORDS_DESCRIPTORS_H
