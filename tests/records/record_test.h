// What the record tests share: the type lists they are typed over, field by
// field views of a record through the table of the types (presence, wire
// sizes, comparison), byte helpers, the steps every test takes (encode,
// refuse a decode in every form) and a fixture that routes heapkit through
// the allocator probe and checks that every test gives back what it took.
#ifndef PARCEL_TESTS_RECORDS_RECORD_TEST_H
#define PARCEL_TESTS_RECORDS_RECORD_TEST_H

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "../services/allocator_probe.h"
#include "typetable.h"

namespace rt {

using typetable::Bytes;
using typetable::family;
using typetable::Field;
using typetable::Kind;
using typetable::Type;
using Rng = std::mt19937_64;

using StructTypes = typetable::list_as<::testing::Types, typetable::StructRecords>;
using UnionTypes = typetable::list_as<::testing::Types, typetable::UnionRecords>;

struct TypeNames {
    template <class T>
    static std::string GetName(int)
    {
        return std::string(family<T>::name);
    }
};

// Width of a field of each kind in the record, as the layout rules give it.
inline uint32_t kind_width(Kind kind)
{
    switch (kind) {
    case Kind::k_double:
    case Kind::k_u_hyper:
        return 8;
    case Kind::k_wrapstring:
        return sizeof(void *);
    default:
        return 4;
    }
}

// FNV-1a of a type name: a fixed start value per type.
inline uint64_t start_value_of(std::string_view name)
{
    uint64_t hash = 0xcbf29ce484222325u;
    for (const char c : name)
        hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001b3u;
    return hash;
}

// ---- A struct record field by field ------------------------------------------------

inline const char *field_at(const void *record, const Field &field)
{
    return static_cast<const char *>(record) + field.offset;
}

inline const char *text_of(const void *record, const Field &field)
{
    const char *text;
    std::memcpy(&text, field_at(record, field), sizeof text);
    return text;
}

// The fields present, as a presence mask.
inline uint32_t present(const Type &type, const void *record)
{
    uint32_t mask = 0;
    for (const Field &field : type.fields)
        mask |= field.has(record) ? 1u << field.index : 0u;
    return mask;
}

// Bytes each field takes on the wire, 0 for an absent one.
inline std::vector<int> wire_sizes(const Type &type, const void *record)
{
    std::vector<int> sizes;
    for (const Field &field : type.fields) {
        if (!field.has(record))
            sizes.push_back(0);
        else if (field.kind == Kind::k_wrapstring)
            sizes.push_back(static_cast<int>(4 + (std::strlen(text_of(record, field)) + 3) / 4 * 4));
        else
            sizes.push_back(field.shape == FC_SHAPE_DOUBLEWORD ? 8 : 4);
    }
    return sizes;
}

// A field's value for a failure message: text as \x escapes, numbers as bits.
inline std::string show(const void *record, const Field &field)
{
    if (field.kind == Kind::k_wrapstring) {
        const char *text = text_of(record, field);
        if (text == nullptr)
            return "(null)";
        std::string out = "\"";
        for (const char *p = text; *p != 0; ++p) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", static_cast<unsigned char>(*p));
            out += hex;
        }
        return out + "\"";
    }
    uint64_t bits = 0;
    std::memcpy(&bits, field_at(record, field), typetable::info(field.kind).width);
    char text[32];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(bits));
    return text;
}

// The same fields present with the same values: numbers bit for bit, texts
// by their characters.
inline ::testing::AssertionResult same(const Type &type, const void *a, const void *b)
{
    for (const Field &field : type.fields) {
        if (field.has(a) != field.has(b))
            return ::testing::AssertionFailure() << field.name << " present in only one record";
        if (!field.has(a))
            continue;
        bool equal;
        if (field.kind == Kind::k_wrapstring) {
            const char *x = text_of(a, field);
            const char *y = text_of(b, field);
            equal = x != nullptr && y != nullptr ? std::strcmp(x, y) == 0 : x == y;
        } else {
            equal = std::memcmp(field_at(a, field), field_at(b, field), typetable::info(field.kind).width) == 0;
        }
        if (!equal)
            return ::testing::AssertionFailure() << field.name << ": " << show(a, field) << " vs " << show(b, field);
    }
    return ::testing::AssertionSuccess();
}

// ---- Bytes -------------------------------------------------------------------------

inline uint32_t get32(const Bytes &in, size_t at)
{
    return static_cast<uint32_t>(in[at]) << 24 | static_cast<uint32_t>(in[at + 1]) << 16 |
           static_cast<uint32_t>(in[at + 2]) << 8 | in[at + 3];
}

inline void set32(Bytes &in, size_t at, uint32_t word)
{
    for (int i = 0; i < 4; ++i)
        in[at + i] = static_cast<uint8_t>(word >> (24 - 8 * i));
}

inline Bytes hex(const char *text)
{
    Bytes out;
    unsigned value = 0;
    int digits = 0;
    for (const char *p = text; *p != 0; ++p) {
        const char c = *p;
        int d = c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                 : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                                                        : -1;
        if (d < 0)
            continue;
        value = value * 16 + static_cast<unsigned>(d);
        if (++digits == 2) {
            out.push_back(static_cast<uint8_t>(value));
            value = 0;
            digits = 0;
        }
    }
    return out;
}

// ---- Heap accounting -------------------------------------------------------------------

// Routes heapkit's process allocator through the probe for the whole test and
// checks at the end that every block the test took was given back.
class ProbedTest : public ::testing::Test {
protected:
    using Probe = ScopedProbe<heapkit_allocator_t>;

    size_t live() { return probe_.stats().live; }
    AllocatorProbe::Stats stats() { return probe_.stats(); }
    // Lets the next `grants` requests through, refuses the rest.
    static void limit(size_t grants, size_t max_request = SIZE_MAX)
    {
        AllocatorProbe::instance().reset(grants, max_request);
    }
    static void unlimit() { AllocatorProbe::instance().reset(); }

    void TearDown() override
    {
        const AllocatorProbe::Stats end = probe_.stats();
        EXPECT_EQ(end.live, start_live_) << "blocks left live at the end of the test";
        EXPECT_EQ(end.foreign_releases, 0u) << "releases of blocks heapkit never took";
    }

    Probe probe_{&heapkit_set_allocator};
    size_t start_live_ = probe_.stats().live;
};

// ---- Common steps -----------------------------------------------------------------------

// The encoding of a record, written into a buffer of exactly its length.
template <class T>
Bytes encode_bytes(const T &rec)
{
    const int length = family<T>::length(&rec);
    if (length < 0) {
        ADD_FAILURE() << "record of " << family<T>::name << " has no encoded length";
        return {};
    }
    Bytes out(static_cast<size_t>(length));
    const int32_t written = family<T>::encode(&rec, out.data(), static_cast<uint32_t>(length));
    EXPECT_EQ(written, length) << "encoding differs from the encoded length";
    return out;
}

// A heap copy of the first `n` bytes with nothing behind it, so that a read
// past the end is caught under AddressSanitizer.  At an odd address the
// memory stream cannot lend its memory and the codec reads word by word.
struct ExactBuffer {
    ExactBuffer(const Bytes &bytes, size_t n, bool odd = false)
        : base(new uint8_t[n + (odd ? 1 : 0) + (n == 0 ? 1 : 0)]), data(base.get() + (odd ? 1 : 0)), size(n)
    {
        std::memcpy(data, bytes.data(), n);
    }
    std::unique_ptr<uint8_t[]> base;
    uint8_t *data;
    size_t size;
};

// Decodes through the three buffer forms (the default-heap one from an
// aligned and an odd address) and checks that each one fails cleanly: -1, a
// null record, the new-heap form's heap handed back.
template <class T>
void expect_decode_fails(const Bytes &bytes, size_t n, const char *why)
{
    using C = family<T>;
    SCOPED_TRACE(::testing::Message() << why << " (" << n << " bytes)");
    alignas(T) static unsigned char garbage[sizeof(T)];
    T *const kGarbage = reinterpret_cast<T *>(garbage);
    const auto size = static_cast<uint32_t>(n);

    for (bool odd : {false, true}) {
        const ExactBuffer buffer(bytes, n, odd);
        T *out = kGarbage;
        EXPECT_EQ(C::decode(buffer.data, size, &out), -1) << (odd ? "odd address" : "aligned");
        EXPECT_EQ(out, nullptr);
    }
    const ExactBuffer buffer(bytes, n);

    goheap_t *heap = goheap_create(0);
    T *out = kGarbage;
    EXPECT_EQ(C::decode_given(buffer.data, size, &out, heap), -1);
    EXPECT_EQ(out, nullptr);
    goheap_destroy(heap);

    heap = nullptr;
    out = kGarbage;
    EXPECT_EQ(C::decode_new(buffer.data, size, &out, &heap), -1);
    EXPECT_EQ(out, nullptr);
    EXPECT_NE(heap, nullptr) << "the new-heap form must hand back its heap";
    goheap_destroy(heap);
}

} // namespace rt

#endif // PARCEL_TESTS_RECORDS_RECORD_TEST_H
