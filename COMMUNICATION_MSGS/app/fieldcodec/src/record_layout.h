// How the field codec reaches into a record: the header words that
// fieldcodec.h lays down, the presence bits, and fields by offset.  Internal
// to libfieldcodec; not installed.
#ifndef FIELDCODEC_RECORD_LAYOUT_H
#define FIELDCODEC_RECORD_LAYOUT_H

#include <bit>
#include <cstdint>
#include <cstring>

#include "fieldcodec.h"

namespace fieldcodec {

inline char *at(void *record, uint32_t offset) { return static_cast<char *>(record) + offset; }
inline const char *at(const void *record, uint32_t offset) { return static_cast<const char *>(record) + offset; }

// Members are moved as bytes, whatever their alignment.
template <class T>
T read_member(const void *record, uint32_t offset)
{
    T value;
    std::memcpy(&value, at(record, offset), sizeof value);
    return value;
}

template <class T>
void write_member(void *record, uint32_t offset, T value)
{
    std::memcpy(at(record, offset), &value, sizeof value);
}

// ---- Struct records ----------------------------------------------------------------

inline uint32_t field_count_of(const void *record)
{
    return read_member<uint32_t>(record, FC_STRUCT_FIELD_COUNT_OFFSET);
}

inline uint32_t *presence_of(const void *record)
{
    return read_member<uint32_t *>(record, FC_STRUCT_PRESENCE_OFFSET);
}

// Presence bits of a record; a type without fields has no presence word.
inline uint32_t present_bits(const void *record, uint32_t count)
{
    return count == 0 ? 0 : *presence_of(record);
}

inline void set_present_bits(void *record, uint32_t count, uint32_t bits)
{
    if (count != 0)
        *presence_of(record) = bits;
}

// The bits of `count` fields, at most FC_MAX_FIELDS.
constexpr uint32_t field_mask(uint32_t count) { return static_cast<uint32_t>((uint64_t{1} << count) - 1); }

constexpr bool is_present(uint32_t bits, uint32_t index) { return ((bits >> index) & 1u) != 0; }

// Index and bit of the lowest field in a non-empty set.
inline uint32_t lowest_index(uint32_t bits) { return static_cast<uint32_t>(std::countr_zero(bits)); }
constexpr uint32_t lowest_bit(uint32_t bits) { return bits & (~bits + 1); }

// A record and a descriptor fit each other when they count the same fields.
inline bool struct_fits(const void *record, uint32_t desc_count)
{
    return record != nullptr && desc_count <= FC_MAX_FIELDS && field_count_of(record) == desc_count;
}

} // namespace fieldcodec

#endif // FIELDCODEC_RECORD_LAYOUT_H
