// Per-type test tables for the record tests, expanded from catalogue.def:
// for every type a Case<T> holding its exported routines, a description of
// its fields worked out here from the record class itself (offsetof, sizeof,
// the codec primitive of each kind), a random filler, a field-by-field
// comparator and the expected wire size; for every union the same routines
// and a type-erased description of its arms.  Also the deterministic value
// generators, byte helpers and a fixture that routes heapkit through the
// allocator probe and checks that every test gives back what it took.
#ifndef PARCEL_TESTS_RECORDS_RECORD_CASES_H
#define PARCEL_TESTS_RECORDS_RECORD_CASES_H

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <iterator>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "../services/allocator_probe.h"
#include "records/records.h"

namespace rt {

using Bytes = std::vector<uint8_t>;
using Rng = std::mt19937_64;

enum class Kind { k_int, k_long, k_u_int, k_u_long, k_float, k_double, k_u_hyper, k_wrapstring };

// Width of a field of each kind in the record.
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

struct FieldInfo {
    uint32_t index;
    Kind kind;
    const char *name;
    uint32_t offset;  // offsetof the member in the record
    uint32_t width;   // sizeof the member
    fc_xdr_routine_t xdr;
    fc_length_routine_t length;
    fc_clone_routine_t clone;
};

// ---- Values -------------------------------------------------------------------------

// Owns the text that test records point at; deque elements never move.
class TextPool {
public:
    char *add(std::string text)
    {
        texts_.push_back(std::move(text));
        return texts_.back().data();
    }

private:
    std::deque<std::string> texts_;
};

// Short strings most of the time (lengths 0..9 cover every padding), now and
// then a longer one; any byte but NUL.
inline std::string random_text(Rng &rng)
{
    const size_t length = rng() % 4 != 0 ? rng() % 10 : 10 + rng() % 300;
    std::string text(length, ' ');
    for (char &c : text)
        c = static_cast<char>(1 + rng() % 255);
    return text;
}

template <class V>
V bits_as(uint64_t bits)
{
    V value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

template <class V>
V random_of(Rng &rng, TextPool &pool)
{
    const uint64_t r = rng();
    const bool special = rng() % 3 == 0;
    if constexpr (std::is_same_v<V, char *>) {
        return pool.add(random_text(rng));
    } else if constexpr (std::is_same_v<V, float>) {
        static const uint32_t kSpecial[] = {0x00000000u, 0x80000000u, 0x7f800000u, 0xff800000u,
                                            0x7fc12345u, 0xffc00001u, 0x00000001u, 0x7f7fffffu};
        return bits_as<float>(special ? kSpecial[r % std::size(kSpecial)] : static_cast<uint32_t>(r));
    } else if constexpr (std::is_same_v<V, double>) {
        static const uint64_t kSpecial[] = {0x0000000000000000u, 0x8000000000000000u,
                                            0x7ff0000000000000u, 0xfff0000000000000u,
                                            0x7ff8deadbeef0001u, 0xfff8000000000123u,
                                            0x0000000000000001u, 0x3ff0000000000000u};
        return bits_as<double>(special ? kSpecial[r % std::size(kSpecial)] : r);
    } else {
        static const uint64_t kSpecial[] = {0, 1, ~uint64_t{0}, uint64_t{1} << 63, 0x7fffffffu,
                                            0x80000000u, 0xffffffffu, uint64_t{1} << 32};
        return static_cast<V>(special ? kSpecial[r % std::size(kSpecial)] : r);
    }
}

template <class V>
bool same_value(V a, V b)
{
    if constexpr (std::is_same_v<V, char *>)
        return a != nullptr && b != nullptr ? std::strcmp(a, b) == 0 : a == b;
    else
        return std::memcmp(&a, &b, sizeof a) == 0;
}

template <class V>
std::string show(V value)
{
    if constexpr (std::is_same_v<V, char *>) {
        if (value == nullptr)
            return "(null)";
        std::string out = "\"";
        for (const char *p = value; *p != 0; ++p) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", static_cast<unsigned char>(*p));
            out += hex;
        }
        return out + "\"";
    } else {
        uint64_t bits = 0;
        std::memcpy(&bits, &value, sizeof value);
        char text[32];
        std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(bits));
        return text;
    }
}

// Bytes a present field takes on the wire.
template <class V>
int wire_size(V value)
{
    if constexpr (std::is_same_v<V, char *>) {
        const size_t n = std::strlen(value);
        return static_cast<int>(4 + (n + 3) / 4 * 4);
    } else {
        return sizeof(V) == 8 ? 8 : 4;
    }
}

constexpr uint32_t all_fields(uint32_t count) { return count >= 32 ? ~0u : (1u << count) - 1; }

// FNV-1a of a type name: a fixed start value per type.
inline uint64_t start_value_of(const char *name)
{
    uint64_t hash = 0xcbf29ce484222325u;
    for (const char *p = name; *p != 0; ++p)
        hash = (hash ^ static_cast<unsigned char>(*p)) * 0x100000001b3u;
    return hash;
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

// ---- Per-type cases --------------------------------------------------------------------

template <class T>
struct Case;

// A union arm, independent of the arm's type.
struct ArmCase {
    int32_t position;
    const char *arm_name;
    const char *type_name;
    uint32_t field_count;
    size_t record_size;
    void *(*make)(goheap_t *heap);
    void (*release)(goheap_t *heap, void *record);
    bool (*fill)(void *record, Rng &rng, TextPool &pool, uint32_t mask);
    ::testing::AssertionResult (*same)(const void *a, const void *b);
    bool (*is_own_type)(const void *record);
    goheap_t *(*heap_of)(const void *record);
    int (*length)(const void *record);
    int32_t (*encode)(const void *record, void *buffer, uint32_t length);
    void (*free_p)(void **recordp);
    int (*mxdr_p)(XDR *, void *, goheap_t *);
    int (*length_p)(const void *);
    int (*clone_p)(const void *, void *, goheap_t *);
};

template <class A>
ArmCase arm_case(int32_t position, const char *arm_name)
{
    using C = Case<A>;
    ArmCase arm{};
    arm.position = position;
    arm.arm_name = arm_name;
    arm.type_name = C::name;
    arm.field_count = A::kFieldCount;
    arm.record_size = sizeof(A);
    arm.make = [](goheap_t *heap) -> void * { return A::place_in_goheap(heap); };
    arm.release = [](goheap_t *heap, void *record) { A::release_to_goheap(heap, static_cast<A *>(record)); };
    arm.fill = [](void *record, Rng &rng, TextPool &pool, uint32_t mask) {
        return C::fill(*static_cast<A *>(record), rng, pool, mask);
    };
    arm.same = [](const void *a, const void *b) {
        return C::same(*static_cast<const A *>(a), *static_cast<const A *>(b));
    };
    arm.is_own_type = [](const void *record) {
        const A *r = static_cast<const A *>(record);
        return r->field_count == A::kFieldCount && r->filter == C::mxdr && r->var_desc == C::var_desc();
    };
    arm.heap_of = [](const void *record) { return static_cast<const A *>(record)->heap; };
    arm.length = [](const void *record) { return C::length(static_cast<const A *>(record)); };
    arm.encode = [](const void *record, void *buffer, uint32_t length) {
        return C::encode(static_cast<const A *>(record), buffer, length);
    };
    arm.free_p = [](void **recordp) {
        A *record = static_cast<A *>(*recordp);
        C::free_p(&record);
        *recordp = record;
    };
    arm.mxdr_p = C::mxdr_p;
    arm.length_p = C::length_p;
    arm.clone_p = C::clone_p;
    return arm;
}

// The exported family of a type.
#define RT_FAMILY(T)                                                        \
    static constexpr const char *name = #T;                                 \
    static constexpr auto var_desc = &get_var_desc_for_##T;                 \
    static constexpr auto length_desc = &get_var_length_desc_for_##T;       \
    static constexpr auto clone_desc = &get_var_clone_desc_for_##T;         \
    static constexpr auto sizeof_desc = &get_var_sizeof_desc_for_##T;       \
    static constexpr auto mxdr = &_mxdr_##T;                                \
    static constexpr auto xdr = &_xdr_##T;                                  \
    static constexpr auto mxdr_p = &mxdr_p_##T;                             \
    static constexpr auto xdr_p = &xdr_p_##T;                               \
    static constexpr auto encode = &xdr_encode_##T;                         \
    static constexpr auto encode_p = &xdr_encode_p_##T;                     \
    static constexpr auto decode = &xdr_decode_p_##T;                       \
    static constexpr auto decode_given = &xdr_decode_p_##T##_to_given_goheap; \
    static constexpr auto decode_new = &xdr_decode_p_##T##_to_new_goheap;   \
    static constexpr auto length = &xdr_length_of_encoded_##T;              \
    static constexpr auto length_p = &xdr_length_of_encoded_p_##T;          \
    static constexpr auto clone_p = &mxdr_clone_p_##T;                      \
    static constexpr auto clone = &xdr_clone_##T;                           \
    static constexpr auto clone_given = &xdr_clone_##T##_to_given_goheap;   \
    static constexpr auto clone_new = &xdr_clone_##T##_to_new_goheap;       \
    static constexpr auto free_p = &xdr_free_p_##T;

#define RT_FIELD_INFO(index, kind, field)                                                       \
    rt::FieldInfo{index, rt::Kind::k_##kind, #field, static_cast<uint32_t>(offsetof(Rec, field)), \
                  static_cast<uint32_t>(sizeof(Rec::field)), &mxdr_##kind,                       \
                  &xdr_length_of_encoded_##kind, &mxdr_clone_##kind},
#define RT_FILL(index, kind, field)                                              \
    if ((mask >> index) & 1u)                                                    \
        ok = rec.set_##field(rt::random_of<decltype(Rec::field)>(rng, pool)) && ok;
#define RT_MASK(index, kind, field) | (rec.has_##field() ? 1u << index : 0u)
#define RT_SIZE(index, kind, field) \
    sizes.push_back(rec.has_##field() ? rt::wire_size(rec.get_##field()) : 0);
#define RT_SAME(index, kind, field)                                                            \
    if (a.has_##field() != b.has_##field())                                                     \
        return ::testing::AssertionFailure() << #field << " present in only one record";       \
    if (a.has_##field() && !rt::same_value(a.get_##field(), b.get_##field()))                  \
        return ::testing::AssertionFailure() << #field << ": " << rt::show(a.get_##field())    \
                                             << " vs " << rt::show(b.get_##field());

#define PARCEL_STRUCT(group, T, FIELDS)                                              \
    template <>                                                                      \
    struct Case<T> {                                                                 \
        using Rec = T;                                                               \
        RT_FAMILY(T)                                                                 \
        static std::vector<FieldInfo> fields() { return {FIELDS(RT_FIELD_INFO)}; }   \
        /* Sets the fields in mask to random values; false if a setter refused. */  \
        static bool fill(T &rec, Rng &rng, TextPool &pool, uint32_t mask)            \
        {                                                                            \
            bool ok = true;                                                          \
            FIELDS(RT_FILL)                                                          \
            (void)rec, (void)rng, (void)pool, (void)mask;                            \
            return ok;                                                               \
        }                                                                            \
        static uint32_t present(const T &rec)                                        \
        {                                                                            \
            (void)rec;                                                               \
            return 0u FIELDS(RT_MASK);                                               \
        }                                                                            \
        /* Wire bytes of each field, 0 for an absent one. */                         \
        static std::vector<int> wire_sizes(const T &rec)                             \
        {                                                                            \
            std::vector<int> sizes;                                                  \
            FIELDS(RT_SIZE)                                                          \
            (void)rec;                                                               \
            return sizes;                                                            \
        }                                                                            \
        static ::testing::AssertionResult same(const T &a, const T &b)               \
        {                                                                            \
            FIELDS(RT_SAME)                                                          \
            (void)a, (void)b;                                                        \
            return ::testing::AssertionSuccess();                                    \
        }                                                                            \
    };

#define RT_ARM(position, arm_name, A) rt::arm_case<A>(position, #arm_name),
#define PARCEL_UNION(group, U, ARMS)                                        \
    template <>                                                             \
    struct Case<U> {                                                        \
        using Rec = U;                                                      \
        RT_FAMILY(U)                                                        \
        static std::vector<ArmCase> arms() { return {ARMS(RT_ARM)}; }       \
    };
#include "records/catalogue.def"

#undef RT_FIELD_INFO
#undef RT_FILL
#undef RT_MASK
#undef RT_SIZE
#undef RT_SAME
#undef RT_ARM
#undef RT_FAMILY

// ---- Type lists -------------------------------------------------------------------------

template <class>
struct drop_first;
template <class First, class... Rest>
struct drop_first<std::tuple<First, Rest...>> {
    using type = ::testing::Types<Rest...>;
};

#define PARCEL_STRUCT(group, T, FIELDS) , T
using StructTypes = drop_first<std::tuple<void
#include "records/catalogue.def"
                                          >>::type;

#define PARCEL_UNION(group, U, ARMS) , U
using UnionTypes = drop_first<std::tuple<void
#include "records/catalogue.def"
                                         >>::type;

struct TypeNames {
    template <class T>
    static std::string GetName(int) { return Case<T>::name; }
};

// ---- Common steps -----------------------------------------------------------------------

// The encoding of a record, written into a buffer of exactly its length.
template <class T>
Bytes encode_bytes(const T &rec)
{
    const int length = Case<T>::length(&rec);
    if (length < 0) {
        ADD_FAILURE() << "record of " << Case<T>::name << " has no encoded length";
        return {};
    }
    Bytes out(static_cast<size_t>(length));
    const int32_t written = Case<T>::encode(&rec, out.data(), static_cast<uint32_t>(length));
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
    using C = Case<T>;
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

#endif // PARCEL_TESTS_RECORDS_RECORD_CASES_H
