// Tests of the message API, table-driven over every message of the table of
// the types: the suite is typed over the seventeen parcel_<msg>_t
// structures, and each message's field list fills, compares and frees them.
//
// Every test runs with counting allocators installed into heapkit (records
// decoded onto the default heap), taskbase (maw_malloc: the structure handed
// back) and hostshim (os_strdup: its strings), and ends by checking that none
// of the three holds a live block.

// First, alone: the header compiles as C++ without help from anything else.
#include "api/parcel_api.h"

#include "typetable.h"

#include "../services/allocator_probe.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <sstream>
#include <string>
#include <type_traits>
#include <utility>
#include <unordered_set>
#include <vector>

// ---- Heap use outside the hooks ------------------------------------------------------
// The test binary's own operator new (which the library's C++ code also calls)
// counts the requests made while counting is armed, so an encoder that takes
// memory from the C++ heap is caught as well as one that uses the service
// libraries.  Blocks come from malloc and go back to free.

namespace {
bool g_count_new = false;
std::size_t g_new_calls = 0;

void *counted_new(std::size_t size)
{
    if (g_count_new)
        ++g_new_calls;
    if (void *block = std::malloc(size == 0 ? 1 : size))
        return block;
    throw std::bad_alloc();
}
}  // namespace

void *operator new(std::size_t size) { return counted_new(size); }
void *operator new[](std::size_t size) { return counted_new(size); }
void operator delete(void *block) noexcept { std::free(block); }
void operator delete[](void *block) noexcept { std::free(block); }
void operator delete(void *block, std::size_t) noexcept { std::free(block); }
void operator delete[](void *block, std::size_t) noexcept { std::free(block); }

namespace {

// ---- Allocator hooks, counted one library at a time ------------------------------
// The memory comes from the shared AllocatorProbe, which also notices releases of
// blocks it never granted.  On top of it each hook keeps its own live set, so a
// block given back through the wrong library shows up, and can be told to refuse
// its Nth request from a given point on.

enum Hook : int { kHeapkit, kTaskbase, kHostshim, kHookCount };
constexpr const char *kHookNames[kHookCount] = {"heapkit", "taskbase", "hostshim"};

struct Tally {
    std::size_t requests = 0;
    std::size_t grants = 0;
    std::size_t releases = 0;
    std::size_t foreign = 0;       // releases of blocks this hook did not grant
    std::size_t largest = 0;       // largest request seen
    std::size_t refuse_from = 0;   // request number refused with all later ones; 0: none
    std::unordered_set<void *> live;
};

Tally g_tally[kHookCount];

template <Hook H>
void *hook_alloc(std::size_t size)
{
    Tally &tally = g_tally[H];
    ++tally.requests;
    tally.largest = std::max(tally.largest, size);
    if (tally.refuse_from != 0 && tally.requests >= tally.refuse_from)
        return nullptr;
    void *block = AllocatorProbe::alloc(size);
    if (block != nullptr) {
        ++tally.grants;
        tally.live.insert(block);
    }
    return block;
}

template <Hook H>
void hook_release(void *block)
{
    Tally &tally = g_tally[H];
    if (tally.live.erase(block) != 0)
        ++tally.releases;
    else
        ++tally.foreign;
    AllocatorProbe::release(block);
}

void install_hooks()
{
    AllocatorProbe::instance().reset();
    for (Tally &tally : g_tally)
        tally = Tally{};
    static const heapkit_allocator_t heapkit{&hook_alloc<kHeapkit>, &hook_release<kHeapkit>};
    static const taskbase_allocator_t taskbase{&hook_alloc<kTaskbase>, &hook_release<kTaskbase>};
    static const hostshim_allocator_t hostshim{&hook_alloc<kHostshim>, &hook_release<kHostshim>};
    heapkit_set_allocator(&heapkit);
    taskbase_set_allocator(&taskbase);
    hostshim_set_allocator(&hostshim);
}

void remove_hooks()
{
    heapkit_set_allocator(nullptr);
    taskbase_set_allocator(nullptr);
    hostshim_set_allocator(nullptr);
}

// Makes the `nth` request of `hook` from now on fail, and every one after it.
void refuse_from_now(Hook hook, std::size_t nth) { g_tally[hook].refuse_from = g_tally[hook].requests + nth; }
void allow_all()
{
    for (Tally &tally : g_tally)
        tally.refuse_from = 0;
}

struct Counts {
    std::size_t requests[kHookCount];
    std::size_t grants[kHookCount];
    std::size_t releases[kHookCount];
    std::size_t live[kHookCount];
};

Counts counts()
{
    Counts now{};
    for (int h = 0; h < kHookCount; ++h) {
        now.requests[h] = g_tally[h].requests;
        now.grants[h] = g_tally[h].grants;
        now.releases[h] = g_tally[h].releases;
        now.live[h] = g_tally[h].live.size();
    }
    return now;
}

::testing::AssertionResult NothingLive()
{
    for (int h = 0; h < kHookCount; ++h) {
        if (!g_tally[h].live.empty() || g_tally[h].foreign != 0)
            return ::testing::AssertionFailure()
                   << kHookNames[h] << ": " << g_tally[h].live.size() << " blocks live, "
                   << g_tally[h].foreign << " releases of blocks it did not grant";
    }
    if (const std::size_t foreign = AllocatorProbe::instance().stats().foreign_releases; foreign != 0)
        return ::testing::AssertionFailure() << foreign << " releases of blocks never granted";
    return ::testing::AssertionSuccess();
}

// ---- The table -----------------------------------------------------------------------

template <class V>
constexpr bool is_text = std::is_same_v<std::remove_cv_t<V>, char *>;

// A message field as the record encoder is given it: the API sends a null
// string as the empty one.
inline const char *as_sent(const char *text) { return text != nullptr ? text : ""; }

// Sets a record field from a message field through the field codec's
// set-field call: a string as sent, a number from the message's own bytes
// (the record's setters take reals by value, which on i386 may quiet a
// signalling NaN).
template <class V>
bool set_from(void *record, V *field, uint32_t index, const V &value)
{
    if constexpr (is_text<V>) {
        const char *text = as_sent(value);
        return xdr_optional_generic_struct_set_field(record, field, sizeof text, index, &text) != 0;
    } else {
        return xdr_optional_generic_struct_set_field(record, field, sizeof value, index, &value) != 0;
    }
}

// What the tests know of one message, from the table of the types: its
// functions, its record type and per-type encoder, and its fields.
// zip(visit, a, b) calls visit(index, name, a.field, b.field) for every
// field in wire order.
template <class M>
struct Api {
    using F = typetable::message_family<M>;
    using Message = M;
    using Record = typename F::record;
    static constexpr std::string_view name = F::name;
    static constexpr uint32_t field_count = Record::kFieldCount;
    static constexpr uint32_t text_mask = [] {
        uint32_t mask = 0;
        for (const typetable::FieldRow &field : typetable::family<Record>::fields)
            mask |= field.kind == typetable::Kind::k_wrapstring ? 1u << field.index : 0u;
        return mask;
    }();
    static int32_t encode(const Message &msg, void *buf, uint32_t len) { return F::encode(msg, buf, len); }
    static int32_t decode(const void *buf, uint32_t len, Message **out) { return F::decode(buf, len, out); }
    static void release(Message *msg) { F::free(msg); }
    static int32_t encode_record(const Record &record, void *buf, uint32_t len)
    {
        return typetable::family<Record>::encode(&record, buf, len);
    }
    static int record_length(const Record &record) { return typetable::family<Record>::length(&record); }
    // Sets every field of `record` from `msg`, except those in `unset`.
    static bool fill_record(Record &record, const Message &msg, uint32_t unset)
    {
        const typetable::Type &type = typetable::type_entry<Record>();
        bool ok = true;
        zip(
            [&](uint32_t index, const char *, const auto &value, const auto &) {
                using V = std::remove_cvref_t<decltype(value)>;
                auto *field = reinterpret_cast<V *>(reinterpret_cast<char *>(&record) + type.fields[index].offset);
                if (((unset >> index) & 1u) == 0)
                    ok = set_from(&record, field, index, value) && ok;
            },
            msg, msg);
        return ok;
    }
    template <class Visit, class A, class B>
    static void zip(Visit &&visit, A &a, B &b)
    {
        F::zip(visit, a, b);
    }
};

template <class M>
struct HasStrings : std::bool_constant<Api<M>::text_mask != 0> {};

using AllMessages = typetable::list_as<::testing::Types, typetable::Messages>;
using MessagesWithStrings = typetable::list_as<::testing::Types, typetable::only<HasStrings, typetable::Messages>>;
static_assert(typetable::length_of(typetable::Messages{}) == 17, "the message API carries seventeen messages");
static_assert(typetable::length_of(typetable::only<HasStrings, typetable::Messages>{}) > 0);

struct MessageNames {
    template <class M>
    static std::string GetName(int)
    {
        return std::string(Api<M>::name);
    }
};

// ---- Sample values ---------------------------------------------------------------------
// Field i of variant v takes entry (v + i) of its type's list, so over the
// variants every field meets every entry and fields of one type differ.

// Reals are listed by bit pattern and copied into fields as bytes: on i386
// a real that is loaded, assigned or returned by value may pass through the
// x87 unit, which quiets a signalling NaN.
template <class V>
using stored_as = std::conditional_t<std::is_same_v<V, float>, uint32_t,
                                     std::conditional_t<std::is_same_v<V, double>, uint64_t, V>>;

template <class V>
const std::vector<stored_as<V>> &values();

template <>
const std::vector<int32_t> &values<int32_t>()
{
    static const std::vector<int32_t> list{0x01020304, -0x02040608, INT32_MIN, INT32_MAX, -1,
                                           0,          1,           0x7F00FF00, -256,     0x8000};
    return list;
}

template <>
const std::vector<uint32_t> &values<uint32_t>()
{
    static const std::vector<uint32_t> list{0xA0B0C0D0u, UINT32_MAX,  0x80000000u, 0u,          1u,
                                            0x7FFFFFFFu, 0x00010000u, 0xFFFF0000u, 0x12345678u, 0xFFFFu};
    return list;
}

template <>
const std::vector<uint64_t> &values<uint64_t>()
{
    static const std::vector<uint64_t> list{
        0x0123456789ABCDEFull, UINT64_MAX, 0x8000000000000000ull, 0x0000000100000000ull,
        0x00000000FFFFFFFFull, 1ull,       0ull,                  0xFEDCBA9876543210ull,
        0x8000000080000000ull, 0x7FFFFFFFFFFFFFFFull};
    return list;
}

// Floating values by bit pattern: negative zero, both infinities, quiet and
// signalling NaNs with payloads, the smallest subnormal, the largest finite.
template <>
const std::vector<uint32_t> &values<float>()
{
    static const std::vector<uint32_t> list{0x40490FDBu, 0x80000000u, 0x7F800000u, 0xFF800000u, 0x7FC12345u,
                                            0xFFA00001u, 0x00000001u, 0x7F7FFFFFu, 0x00000000u, 0xC2F6E979u};
    return list;
}

template <>
const std::vector<uint64_t> &values<double>()
{
    static const std::vector<uint64_t> list{0x400921FB54442D18ull, 0x8000000000000000ull, 0x7FF0000000000000ull,
                                            0xFFF0000000000000ull, 0x7FF8DEADBEEF0001ull, 0x7FF0000000000001ull,
                                            0x0000000000000001ull, 0x7FEFFFFFFFFFFFFFull, 0x3FF0000000000001ull,
                                            0x0000000000000000ull};
    return list;
}

// Strings of every padding length, empty, with control and high-bit bytes,
// and long ones.
const std::vector<std::string> &texts()
{
    static const std::vector<std::string> list{
        "alpha",
        "",
        "ab",
        "abc",
        "abcd",
        "tab\tnewline\n\xC3\xA9\xFF",
        std::string(1021, 'x') + "end",
        std::string(997, 'y') + "z",
        " spaced out ",
        "0123456789abcdefg"};
    return list;
}

constexpr std::size_t kVariants = 10;

template <class List>
const auto &pick(const List &list, std::size_t at)
{
    return list[at % list.size()];
}

// A filled structure; its strings live in the sample, so it stays in place.
template <class M>
class Sample {
public:
    // Strings of fields in `null_mask` are left null.
    Sample(std::size_t variant, uint32_t null_mask)
    {
        Api<M>::zip(
            [&](uint32_t index, const char *, auto &field, auto &) {
                using V = std::remove_cvref_t<decltype(field)>;
                if constexpr (is_text<V>) {
                    if (((null_mask >> index) & 1u) != 0) {
                        field = nullptr;
                    } else {
                        text_[index] = pick(texts(), variant + index);
                        field = text_[index].data();
                    }
                } else {
                    std::memcpy(&field, &pick(values<V>(), variant + index), sizeof field);
                }
            },
            msg_, msg_);
    }
    Sample(const Sample &) = delete;
    Sample &operator=(const Sample &) = delete;

    void set_text(uint32_t index, const std::string &text)
    {
        Api<M>::zip(
            [&](uint32_t at, const char *, auto &field, auto &) {
                if constexpr (is_text<std::remove_cvref_t<decltype(field)>>) {
                    if (at == index) {
                        text_[at] = text;
                        field = text_[at].data();
                    }
                }
            },
            msg_, msg_);
    }

    const M &msg() const { return msg_; }

private:
    M msg_{};
    std::array<std::string, 32> text_;
};

// The string masks worth sending: no null string, all null, each one alone.
template <class M>
std::vector<uint32_t> null_masks()
{
    std::vector<uint32_t> masks{0};
    const uint32_t all = Api<M>::text_mask;
    if (all != 0)
        masks.push_back(all);
    for (uint32_t bit = 1; bit != 0 && bit <= all; bit <<= 1)
        if ((all & bit) != 0 && bit != all)
            masks.push_back(bit);
    return masks;
}

std::string describe(std::size_t variant, uint32_t null_mask)
{
    std::ostringstream out;
    out << "variant " << variant << ", null strings 0x" << std::hex << null_mask;
    return out.str();
}

// ---- Comparing fields ---------------------------------------------------------------------

template <class V>
uint64_t bits_of(const V &value)
{
    static_assert(sizeof(V) <= sizeof(uint64_t));
    uint64_t bits = 0;
    std::memcpy(&bits, &value, sizeof value);
    return bits;
}

template <class V>
std::string show(const V &value)
{
    std::ostringstream out;
    if constexpr (is_text<V>) {
        if (value == nullptr)
            return "null";
        const std::string text(value);
        out << '"' << text.substr(0, 40) << (text.size() > 40 ? "...\"" : "\"") << " (length "
            << text.size() << ")";
    } else {
        out << +value << " (bits 0x" << std::hex << bits_of(value) << ")";
    }
    return out.str();
}

// A decoded field against the one sent: numbers bit for bit; strings equal
// (a null one as empty), never null, never the sent buffer itself.
template <class V>
::testing::AssertionResult Restored(const char *name, const V &sent, const V &got)
{
    if constexpr (is_text<V>) {
        if (got == nullptr)
            return ::testing::AssertionFailure() << name << ": decoded null for " << show(sent);
        if (got == sent)
            return ::testing::AssertionFailure() << name << ": decoded string is the sent one";
        if (std::strcmp(as_sent(sent), got) != 0)
            return ::testing::AssertionFailure() << name << ": sent " << show(sent) << ", got " << show(got);
    } else if (bits_of(sent) != bits_of(got)) {
        return ::testing::AssertionFailure() << name << ": sent " << show(sent) << ", got " << show(got);
    }
    return ::testing::AssertionSuccess();
}

// A field the record did not carry: zero bits, or a null string.
template <class V>
::testing::AssertionResult Zero(const char *name, const V &got)
{
    if constexpr (is_text<V>) {
        if (got != nullptr)
            return ::testing::AssertionFailure() << name << ": expected null, got " << show(got);
    } else if (bits_of(got) != 0) {
        return ::testing::AssertionFailure() << name << ": expected zero, got " << show(got);
    }
    return ::testing::AssertionSuccess();
}

template <class M>
void expect_restored(const M &sent, const M &got)
{
    Api<M>::zip([](uint32_t, const char *name, const auto &s, const auto &g) { EXPECT_TRUE(Restored(name, s, g)); },
                sent, got);
}

// ---- Encoding and decoding helpers ---------------------------------------------------------

using Bytes = std::vector<unsigned char>;

template <class M>
Bytes encode(const M &msg)
{
    Bytes bytes(16 * 1024, 0);
    const int32_t n = Api<M>::encode(msg, bytes.data(), static_cast<uint32_t>(bytes.size()));
    EXPECT_GT(n, 0) << "encoding failed";
    bytes.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return bytes;
}

template <class M>
struct Release {
    void operator()(M *msg) const { Api<M>::release(msg); }
};
template <class M>
using Owned = std::unique_ptr<M, Release<M>>;

// Memory streams on 4-byte aligned buffers are read and written in place,
// others word by word: decoding is checked at both kinds of offset.
constexpr std::size_t kOffsets[] = {0, 1};

// The first `length` bytes in a block of their own, `offset` bytes in, so
// that any read past them is caught under AddressSanitizer.
class Placed {
public:
    Placed(const Bytes &bytes, std::size_t length, std::size_t offset)
        : block_(std::make_unique<unsigned char[]>(offset + length)), data_(block_.get() + offset), size_(length)
    {
        if (length != 0)
            std::memcpy(data_, bytes.data(), length);
    }
    Placed(const Bytes &bytes, std::size_t offset) : Placed(bytes, bytes.size(), offset) {}

    const unsigned char *data() const { return data_; }
    uint32_t size() const { return static_cast<uint32_t>(size_); }

private:
    std::unique_ptr<unsigned char[]> block_;
    unsigned char *data_;
    std::size_t size_;
};

template <class M>
Owned<M> decode(const Bytes &bytes, std::size_t offset = 0)
{
    const Placed placed(bytes, offset);
    M *out = nullptr;
    const int32_t result = Api<M>::decode(placed.data(), placed.size(), &out);
    EXPECT_EQ(result, 0);
    if (result == 0) {
        EXPECT_NE(out, nullptr);
    }
    return Owned<M>(result == 0 ? out : nullptr);
}

// The documented wire format, written out independently of the library:
// presence bitmap, then each field big-endian, 64-bit values high word
// first, strings as length, bytes and zero padding.
struct WireWriter {
    Bytes bytes;
    std::vector<std::size_t> string_at;   // offset of each string's length word

    void word(uint32_t value)
    {
        for (int shift = 24; shift >= 0; shift -= 8)
            bytes.push_back(static_cast<unsigned char>(value >> shift));
    }
    void put(int32_t value) { word(static_cast<uint32_t>(value)); }
    void put(uint32_t value) { word(value); }
    void put(const float &value)
    {
        uint32_t bits;
        std::memcpy(&bits, &value, sizeof bits);
        word(bits);
    }
    void put(uint64_t value)
    {
        word(static_cast<uint32_t>(value >> 32));
        word(static_cast<uint32_t>(value));
    }
    void put(const double &value)
    {
        uint64_t bits;
        std::memcpy(&bits, &value, sizeof bits);
        put(bits);
    }
    void put(const char *text)
    {
        const std::string s = as_sent(text);
        string_at.push_back(bytes.size());
        word(static_cast<uint32_t>(s.size()));
        bytes.insert(bytes.end(), s.begin(), s.end());
        while (bytes.size() % 4 != 0)
            bytes.push_back(0);
    }
};

template <class M>
WireWriter reference_encoding(const M &msg)
{
    WireWriter wire;
    wire.word(Api<M>::field_count == 32 ? ~0u : (1u << Api<M>::field_count) - 1);
    Api<M>::zip([&](uint32_t, const char *, const auto &field, const auto &) { wire.put(field); }, msg, msg);
    return wire;
}

// ---- The typed suite --------------------------------------------------------------------------

template <class M>
class MessageApi : public ::testing::Test {
protected:
    using A = Api<M>;

    void SetUp() override { install_hooks(); }
    void TearDown() override
    {
        allow_all();
        EXPECT_TRUE(NothingLive()) << "after the test";
        remove_hooks();
    }

    ::testing::AssertionResult FailsAtEveryOffset(const Bytes &bytes)
    {
        for (std::size_t offset : kOffsets)
            if (::testing::AssertionResult result = DecodeFails(Placed(bytes, offset)); !result)
                return result << " (offset " << offset << ")";
        return ::testing::AssertionSuccess();
    }

    // Decoding fails, leaves *out alone and leaves nothing live.
    ::testing::AssertionResult DecodeFails(const Placed &placed)
    {
        const std::size_t length = placed.size();
        M sentinel{};
        M *out = &sentinel;
        const int32_t result = A::decode(placed.data(), placed.size(), &out);
        if (result != -1) {
            if (result == 0 && out != &sentinel)
                A::release(out);
            return ::testing::AssertionFailure() << "decode of " << length << " bytes gave " << result;
        }
        if (out != &sentinel)
            return ::testing::AssertionFailure() << "failed decode of " << length << " bytes changed *out";
        return NothingLive();
    }
};

TYPED_TEST_SUITE(MessageApi, AllMessages, MessageNames);

// Tests that only mean something for messages with string fields.
template <class M>
class MessageApiStrings : public MessageApi<M> {};
TYPED_TEST_SUITE(MessageApiStrings, MessagesWithStrings, MessageNames);

TYPED_TEST(MessageApi, RoundTripRestoresEveryField)
{
    using A = typename TestFixture::A;
    for (std::size_t variant = 0; variant < kVariants; ++variant) {
        for (uint32_t null_mask : null_masks<TypeParam>()) {
            const Sample<TypeParam> sample(variant, null_mask);
            const Bytes bytes = encode(sample.msg());
            for (std::size_t offset : kOffsets) {
                SCOPED_TRACE(describe(variant, null_mask) + ", offset " + std::to_string(offset));
                const Placed placed(bytes, offset);
                TypeParam *out = nullptr;
                ASSERT_EQ(A::decode(placed.data(), placed.size(), &out), 0);
                ASSERT_NE(out, nullptr);
                Owned<TypeParam> decoded(out);
                expect_restored(sample.msg(), *decoded);
                EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), placed.data())) << "decoding wrote to its input";
            }
        }
    }
}

TYPED_TEST(MessageApi, EncodingMatchesRecordEncoder)
{
    using A = typename TestFixture::A;
    for (std::size_t variant = 0; variant < kVariants; ++variant) {
        for (uint32_t null_mask : null_masks<TypeParam>()) {
            SCOPED_TRACE(describe(variant, null_mask));
            Sample<TypeParam> sample(variant, null_mask);
            const Bytes bytes = encode(sample.msg());

            // The record with every field set to the same values (a null
            // string as the empty one).
            typename A::Record record(nullptr, 0);
            ASSERT_TRUE(A::fill_record(record, sample.msg(), 0));
            Bytes expected(bytes.size() + 64, 0);
            const int32_t n = A::encode_record(record, expected.data(), static_cast<uint32_t>(expected.size()));
            ASSERT_GT(n, 0);
            expected.resize(static_cast<std::size_t>(n));
            EXPECT_EQ(bytes, expected);
            EXPECT_EQ(A::record_length(record), n);
        }
    }
}

TYPED_TEST(MessageApi, EncodingFollowsWireFormat)
{
    for (std::size_t variant = 0; variant < kVariants; ++variant) {
        for (uint32_t null_mask : null_masks<TypeParam>()) {
            SCOPED_TRACE(describe(variant, null_mask));
            Sample<TypeParam> sample(variant, null_mask);
            EXPECT_EQ(encode(sample.msg()), reference_encoding(sample.msg()).bytes);
        }
    }
}

TYPED_TEST(MessageApiStrings, NullStringEncodesAsEmpty)
{
    using A = typename TestFixture::A;
    for (uint32_t null_mask : null_masks<TypeParam>()) {
        if (null_mask == 0)
            continue;
        SCOPED_TRACE(describe(0, null_mask));
        Sample<TypeParam> with_nulls(0, null_mask);
        Sample<TypeParam> with_empties(0, 0);
        for (uint32_t index = 0; index < A::field_count; ++index)
            if (((null_mask >> index) & 1u) != 0)
                with_empties.set_text(index, "");
        EXPECT_EQ(encode(with_nulls.msg()), encode(with_empties.msg()));
    }
}

TYPED_TEST(MessageApi, BufferOneByteShortFails)
{
    using A = typename TestFixture::A;
    constexpr unsigned char kCanary = 0xA5;
    for (std::size_t variant = 0; variant < kVariants; ++variant) {
        const Sample<TypeParam> sample(variant, 0);
        const Bytes bytes = encode(sample.msg());
        ASSERT_FALSE(bytes.empty());
        const auto n = static_cast<uint32_t>(bytes.size());
        for (std::size_t offset : kOffsets) {
            SCOPED_TRACE(describe(variant, 0) + ", offset " + std::to_string(offset));
            Bytes exact(offset + n, kCanary);
            EXPECT_EQ(A::encode(sample.msg(), exact.data() + offset, n), static_cast<int32_t>(n));
            EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), exact.begin() + static_cast<std::ptrdiff_t>(offset)));

            // One byte short: refused, and nothing written past the given length.
            Bytes short_by_one(offset + n + 16, kCanary);
            EXPECT_EQ(A::encode(sample.msg(), short_by_one.data() + offset, n - 1), -1);
            for (std::size_t i = offset + n - 1; i < short_by_one.size(); ++i)
                ASSERT_EQ(short_by_one[i], kCanary) << "byte " << i - offset << " written past a buffer of " << n - 1;

            Bytes none(offset + 16, kCanary);
            EXPECT_EQ(A::encode(sample.msg(), none.data() + offset, 0), -1);
            EXPECT_EQ(none[offset], kCanary);
        }
    }
}

TYPED_TEST(MessageApi, EveryProperPrefixFailsToDecode)
{
    for (std::size_t variant : {std::size_t{0}, std::size_t{3}, std::size_t{7}}) {
        for (uint32_t null_mask : null_masks<TypeParam>()) {
            SCOPED_TRACE(describe(variant, null_mask));
            Sample<TypeParam> sample(variant, null_mask);
            const Bytes bytes = encode(sample.msg());
            for (std::size_t offset : kOffsets)
                for (std::size_t length = 0; length < bytes.size(); ++length)
                    ASSERT_TRUE(this->DecodeFails(Placed(bytes, length, offset))) << "offset " << offset;
        }
    }
}

TYPED_TEST(MessageApi, TrailingBytesAreIgnored)
{
    for (std::size_t variant = 0; variant < kVariants; ++variant) {
        SCOPED_TRACE(describe(variant, 0));
        Sample<TypeParam> sample(variant, 0);
        Sample<TypeParam> other(variant + 1, 0);
        const Bytes bytes = encode(sample.msg());
        for (std::size_t offset : kOffsets) {
            for (std::size_t extra = 1; extra <= 8; ++extra) {
                Bytes longer = bytes;
                longer.insert(longer.end(), extra, 0xFF);
                Owned<TypeParam> decoded = decode<TypeParam>(longer, offset);
                ASSERT_TRUE(decoded) << extra << " trailing bytes, offset " << offset;
                expect_restored(sample.msg(), *decoded);
            }
            // A whole second message behind the first.
            Bytes two = bytes;
            const Bytes second = encode(other.msg());
            two.insert(two.end(), second.begin(), second.end());
            Owned<TypeParam> decoded = decode<TypeParam>(two, offset);
            ASSERT_TRUE(decoded) << "offset " << offset;
            expect_restored(sample.msg(), *decoded);
        }
    }
}

TYPED_TEST(MessageApi, UnalignedBuffersWork)
{
    using A = typename TestFixture::A;
    Sample<TypeParam> sample(5, 0);
    const Bytes expected = encode(sample.msg());
    const auto n = static_cast<uint32_t>(expected.size());
    for (std::size_t offset = 1; offset < 4; ++offset) {
        SCOPED_TRACE("offset " + std::to_string(offset));
        Bytes buffer(n + 8, 0);
        ASSERT_EQ(A::encode(sample.msg(), buffer.data() + offset, n), static_cast<int32_t>(n));
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), buffer.begin() + offset));
        TypeParam *out = nullptr;
        ASSERT_EQ(A::decode(buffer.data() + offset, n, &out), 0);
        Owned<TypeParam> decoded(out);
        expect_restored(sample.msg(), *decoded);
    }
}

// Records built with the record class, some fields never set: the structure
// gets zero or null for them and the rest as sent.
TYPED_TEST(MessageApi, UnsetRecordFieldsDecodeAsZeroOrNull)
{
    using A = typename TestFixture::A;
    Sample<TypeParam> sample(0, 0);
    std::vector<uint32_t> unset_masks{(A::field_count == 32 ? ~0u : (1u << A::field_count) - 1)};
    for (uint32_t index = 0; index < A::field_count; ++index)
        unset_masks.push_back(1u << index);
    for (uint32_t unset : unset_masks) {
        SCOPED_TRACE(describe(0, 0) + ", unset fields 0x" + [&] {
            std::ostringstream s;
            s << std::hex << unset;
            return s.str();
        }());
        typename A::Record record(nullptr, 0);
        ASSERT_TRUE(A::fill_record(record, sample.msg(), unset));
        Bytes bytes(8 * 1024, 0);
        const int32_t n = A::encode_record(record, bytes.data(), static_cast<uint32_t>(bytes.size()));
        ASSERT_GT(n, 0);
        bytes.resize(static_cast<std::size_t>(n));

        Owned<TypeParam> decoded = decode<TypeParam>(bytes);
        ASSERT_TRUE(decoded);
        A::zip(
            [&](uint32_t index, const char *name, const auto &sent, const auto &got) {
                if (((unset >> index) & 1u) != 0) {
                    EXPECT_TRUE(Zero(name, got));
                } else {
                    EXPECT_TRUE(Restored(name, sent, got));
                }
            },
            sample.msg(), *decoded);
        decoded.reset();
        EXPECT_TRUE(NothingLive());
    }
}

TYPED_TEST(MessageApi, MalformedBytesFailToDecode)
{
    using A = typename TestFixture::A;
    Sample<TypeParam> sample(0, 0);
    // Give the first string three bytes, so that it has one byte of padding.
    uint32_t first_text = A::field_count;
    for (uint32_t index = 0; index < A::field_count; ++index)
        if (((A::text_mask >> index) & 1u) != 0 && first_text == A::field_count)
            first_text = index;
    if (first_text < A::field_count)
        sample.set_text(first_text, "abc");
    const WireWriter wire = reference_encoding(sample.msg());
    const Bytes good = encode(sample.msg());
    ASSERT_EQ(good, wire.bytes);

    {
        SCOPED_TRACE("presence bit above the field count");
        Bytes bad = good;
        bad[3 - A::field_count / 8] |= static_cast<unsigned char>(1u << (A::field_count % 8));
        EXPECT_TRUE(this->FailsAtEveryOffset(bad));
    }
    if (first_text == A::field_count)
        return;
    const std::size_t at = wire.string_at.front();
    {
        SCOPED_TRACE("NUL inside a string");
        Bytes bad = good;
        bad[at + 4 + 1] = 0;
        EXPECT_TRUE(this->FailsAtEveryOffset(bad));
    }
    {
        SCOPED_TRACE("non-zero padding");
        Bytes bad = good;
        bad[at + 4 + 3] = 'x';
        EXPECT_TRUE(this->FailsAtEveryOffset(bad));
    }
    {
        SCOPED_TRACE("string length beyond the bytes received");
        // No larger block may be asked for than a good decode asks for.
        g_tally[kHeapkit].largest = 0;
        ASSERT_TRUE(decode<TypeParam>(good));
        const std::size_t largest_good = g_tally[kHeapkit].largest;
        Bytes bad = good;
        bad[at] = 0x7F;
        g_tally[kHeapkit].largest = 0;
        EXPECT_TRUE(this->FailsAtEveryOffset(bad));
        EXPECT_LE(g_tally[kHeapkit].largest, largest_good);
    }
}

// ---- Allocation -------------------------------------------------------------------------------

TYPED_TEST(MessageApi, EncoderAllocatesNothing)
{
    using A = typename TestFixture::A;
    for (std::size_t variant = 0; variant < kVariants; ++variant) {
        for (uint32_t null_mask : null_masks<TypeParam>()) {
            SCOPED_TRACE(describe(variant, null_mask));
            Sample<TypeParam> sample(variant, null_mask);
            Bytes buffer(8 * 1024, 0);
            const Counts before = counts();
            g_new_calls = 0;
            g_count_new = true;
            const int32_t written = A::encode(sample.msg(), buffer.data(), static_cast<uint32_t>(buffer.size()));
            const int32_t refused = A::encode(sample.msg(), buffer.data(), 3);
            const int32_t unaligned = A::encode(sample.msg(), buffer.data() + 1, static_cast<uint32_t>(buffer.size() - 1));
            g_count_new = false;
            const Counts after = counts();
            EXPECT_GT(written, 0);
            EXPECT_EQ(refused, -1);
            EXPECT_EQ(unaligned, written);
            EXPECT_EQ(g_new_calls, 0u) << "operator new called while encoding";
            for (int h = 0; h < kHookCount; ++h) {
                EXPECT_EQ(after.requests[h], before.requests[h]) << kHookNames[h];
                EXPECT_EQ(after.releases[h], before.releases[h]) << kHookNames[h];
            }
        }
    }
}

// A decoded structure is one maw_malloc block and each string one os_strdup
// block; the record decoded on the way is given back before decode returns.
TYPED_TEST(MessageApi, DecodeHandsBackOneStructureAndItsStrings)
{
    using A = typename TestFixture::A;
    const std::size_t strings = static_cast<std::size_t>(std::popcount(A::text_mask));
    for (uint32_t null_mask : null_masks<TypeParam>()) {
        SCOPED_TRACE(describe(0, null_mask));
        Sample<TypeParam> sample(0, null_mask);
        const Bytes bytes = encode(sample.msg());
        const Counts before = counts();
        Owned<TypeParam> decoded = decode<TypeParam>(bytes);
        ASSERT_TRUE(decoded);
        const Counts after = counts();

        EXPECT_EQ(after.grants[kTaskbase] - before.grants[kTaskbase], 1u);
        EXPECT_EQ(g_tally[kTaskbase].live.count(decoded.get()), 1u) << "structure is not a maw_malloc block";
        EXPECT_EQ(after.grants[kHostshim] - before.grants[kHostshim], strings);
        A::zip(
            [&](uint32_t, const char *name, const auto &field, const auto &) {
                if constexpr (is_text<std::remove_cvref_t<decltype(field)>>) {
                    EXPECT_EQ(g_tally[kHostshim].live.count(field), 1u) << name << " is not an os_strdup block";
                }
            },
            *decoded, *decoded);
        // The record and its strings came from the default heap and went back.
        EXPECT_EQ(after.grants[kHeapkit] - before.grants[kHeapkit], 1 + strings);
        EXPECT_EQ(after.live[kHeapkit], before.live[kHeapkit]);

        Api<TypeParam>::release(decoded.release());
        const Counts freed = counts();
        EXPECT_EQ(freed.releases[kTaskbase] - after.releases[kTaskbase], 1u);
        EXPECT_EQ(freed.releases[kHostshim] - after.releases[kHostshim], strings);
        EXPECT_TRUE(NothingLive());
    }
}

TYPED_TEST(MessageApi, RefusedStructureFailsCleanly)
{
    Sample<TypeParam> sample(0, 0);
    const Bytes bytes = encode(sample.msg());
    for (std::size_t offset : kOffsets) {
        SCOPED_TRACE("offset " + std::to_string(offset));
        refuse_from_now(kTaskbase, 1);
        const Counts before = counts();
        EXPECT_TRUE(this->DecodeFails(Placed(bytes, offset)));
        const Counts after = counts();
        EXPECT_EQ(after.requests[kTaskbase] - before.requests[kTaskbase], 1u);
        EXPECT_GE(after.grants[kHeapkit] - before.grants[kHeapkit], 1u) << "no record was decoded";
        allow_all();
    }
}

TYPED_TEST(MessageApi, RefusedStringCopyFailsCleanly)
{
    using A = typename TestFixture::A;
    const std::size_t strings = static_cast<std::size_t>(std::popcount(A::text_mask));
    Sample<TypeParam> sample(0, 0);
    const Bytes bytes = encode(sample.msg());
    if (strings == 0) {
        // Nothing to copy: a hostshim refusing everything changes nothing.
        refuse_from_now(kHostshim, 1);
        Owned<TypeParam> decoded = decode<TypeParam>(bytes);
        ASSERT_TRUE(decoded);
        expect_restored(sample.msg(), *decoded);
        EXPECT_EQ(g_tally[kHostshim].requests, 0u);
        return;
    }
    for (std::size_t offset : kOffsets) {
        for (std::size_t nth = 1; nth <= strings; ++nth) {
            SCOPED_TRACE("string copy " + std::to_string(nth) + " refused, offset " + std::to_string(offset));
            refuse_from_now(kHostshim, nth);
            const Counts before = counts();
            EXPECT_TRUE(this->DecodeFails(Placed(bytes, offset)));
            const Counts after = counts();
            EXPECT_EQ(after.grants[kHostshim] - before.grants[kHostshim], nth - 1);
            EXPECT_EQ(after.releases[kHostshim] - before.releases[kHostshim], nth - 1);
            EXPECT_EQ(after.releases[kTaskbase] - before.releases[kTaskbase], 1u);
            allow_all();
        }
    }
}

TYPED_TEST(MessageApi, RefusedHeapBlockFailsCleanly)
{
    using A = typename TestFixture::A;
    for (uint32_t null_mask : null_masks<TypeParam>()) {
        SCOPED_TRACE(describe(0, null_mask));
        Sample<TypeParam> sample(0, null_mask);
        const Bytes bytes = encode(sample.msg());

        // The grants that a decode which succeeds takes from heapkit.
        const Counts before = counts();
        {
            Owned<TypeParam> decoded = decode<TypeParam>(bytes);
            ASSERT_TRUE(decoded);
        }
        const std::size_t grants = counts().grants[kHeapkit] - before.grants[kHeapkit];
        EXPECT_EQ(grants, 1u + static_cast<std::size_t>(std::popcount(A::text_mask)));

        for (std::size_t offset : kOffsets) {
            for (std::size_t nth = 1; nth <= grants; ++nth) {
                SCOPED_TRACE("heapkit request " + std::to_string(nth) + " refused, offset " + std::to_string(offset));
                refuse_from_now(kHeapkit, nth);
                EXPECT_TRUE(this->DecodeFails(Placed(bytes, offset)));
                allow_all();
            }
        }
    }
}

TYPED_TEST(MessageApi, FreeOfNullDoesNothing)
{
    const Counts before = counts();
    Api<TypeParam>::release(nullptr);
    const Counts after = counts();
    for (int h = 0; h < kHookCount; ++h) {
        EXPECT_EQ(after.requests[h], before.requests[h]) << kHookNames[h];
        EXPECT_EQ(after.releases[h], before.releases[h]) << kHookNames[h];
    }
    EXPECT_TRUE(NothingLive());
}

// ---- Particular messages ------------------------------------------------------------------------

class ParticularMessages : public ::testing::Test {
protected:
    void SetUp() override { install_hooks(); }
    void TearDown() override
    {
        allow_all();
        EXPECT_TRUE(NothingLive()) << "after the test";
        remove_hooks();
    }
};

// vuser_msg: one structure from maw_malloc and its three strings from
// os_strdup; the record it was decoded into (with its strings) is released.
TEST_F(ParticularMessages, VuserMessageDecodesToFourBlocks)
{
    Sample<parcel_vuser_msg_t> sample(2, 0);
    const Bytes bytes = encode(sample.msg());
    const Counts before = counts();
    parcel_vuser_msg_t *out = nullptr;
    ASSERT_EQ(parcel_decode_vuser_msg(bytes.data(), static_cast<uint32_t>(bytes.size()), &out), 0);
    const Counts after = counts();
    EXPECT_EQ(after.grants[kTaskbase] - before.grants[kTaskbase], 1u);
    EXPECT_EQ(after.grants[kHostshim] - before.grants[kHostshim], 3u);
    EXPECT_EQ(after.live[kTaskbase] + after.live[kHostshim], 4u);
    EXPECT_EQ(after.live[kHeapkit], before.live[kHeapkit]);
    EXPECT_GT(after.grants[kHeapkit], before.grants[kHeapkit]);
    expect_restored(sample.msg(), *out);
    parcel_free_vuser_msg(out);
    EXPECT_TRUE(NothingLive());
}

// Bridge data from the record class with text_2 never set: it was not
// carried, so the structure gets a null text_2.
TEST_F(ParticularMessages, BridgeDataWithoutTextTwoDecodesNull)
{
    cu_bridge_data_t record(nullptr, 0);
    ASSERT_TRUE(record.set_int_value(-77));
    ASSERT_TRUE(record.set_text_1("first"));
    ASSERT_TRUE(record.set_long_value(INT32_MIN));
    ASSERT_FALSE(record.has_text_2());
    unsigned char bytes[64];
    const int32_t n = xdr_encode_cu_bridge_data_t(&record, bytes, sizeof bytes);
    ASSERT_GT(n, 0);
    EXPECT_EQ(bytes[3], 0x7) << "text_2 carried";

    parcel_bridge_data_t *out = nullptr;
    ASSERT_EQ(parcel_decode_bridge_data(bytes, static_cast<uint32_t>(n), &out), 0);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(out->int_value, -77);
    EXPECT_STREQ(out->text_1, "first");
    EXPECT_EQ(out->long_value, INT32_MIN);
    EXPECT_EQ(out->text_2, nullptr);
    EXPECT_EQ(g_tally[kHostshim].live.size(), 1u);
    parcel_free_bridge_data(out);
    EXPECT_TRUE(NothingLive());
}

TEST_F(ParticularMessages, BridgeDataWithEmptyTextTwoDecodesEmpty)
{
    cu_bridge_data_t record(nullptr, 0);
    ASSERT_TRUE(record.set_int_value(1));
    ASSERT_TRUE(record.set_text_1("x"));
    ASSERT_TRUE(record.set_long_value(2));
    ASSERT_TRUE(record.set_text_2(""));
    unsigned char bytes[64];
    const int32_t n = xdr_encode_cu_bridge_data_t(&record, bytes, sizeof bytes);
    ASSERT_GT(n, 0);

    parcel_bridge_data_t *out = nullptr;
    ASSERT_EQ(parcel_decode_bridge_data(bytes, static_cast<uint32_t>(n), &out), 0);
    ASSERT_NE(out, nullptr);
    ASSERT_NE(out->text_2, nullptr);
    EXPECT_STREQ(out->text_2, "");
    EXPECT_EQ(g_tally[kHostshim].live.count(out->text_2), 1u);
    parcel_free_bridge_data(out);
}

// The API's own encoder always carries text_2: null goes out as empty and
// comes back as empty, not null.
TEST_F(ParticularMessages, BridgeDataEncodedWithNullTextTwoDecodesEmpty)
{
    char text_1[] = "bridge";
    parcel_bridge_data_t msg{};
    msg.int_value = 5;
    msg.text_1 = text_1;
    msg.long_value = -5;
    msg.text_2 = nullptr;
    unsigned char bytes[64];
    const int32_t n = parcel_encode_bridge_data(msg, bytes, sizeof bytes);
    ASSERT_GT(n, 0);
    EXPECT_EQ(bytes[3], 0xF) << "text_2 not carried";

    parcel_bridge_data_t *out = nullptr;
    ASSERT_EQ(parcel_decode_bridge_data(bytes, static_cast<uint32_t>(n), &out), 0);
    ASSERT_NE(out, nullptr);
    ASSERT_NE(out->text_2, nullptr);
    EXPECT_STREQ(out->text_2, "");
    EXPECT_STREQ(out->text_1, "bridge");
    EXPECT_EQ(out->int_value, 5);
    EXPECT_EQ(out->long_value, -5);
    parcel_free_bridge_data(out);
}

}  // namespace
