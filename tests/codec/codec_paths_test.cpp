// Differential tests of the field codec over every struct type: memory
// streams on aligned buffers (written and read in place), on unaligned
// buffers and stdio streams (word by word through the stream) must give the
// same bytes and the same verdicts, and an independent reader of the wire
// format must read back what the record holds.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "typetable.h"

namespace {

enum class Kind { word, doubleword, string };

Kind kind_of(fc_xdr_routine_t routine)
{
    if (routine == &mxdr_wrapstring)
        return Kind::string;
    if (routine == &mxdr_double || routine == &mxdr_u_hyper)
        return Kind::doubleword;
    return Kind::word;
}

using typetable::Type;

// The struct types, reached through their descriptors and exported routines.
std::vector<Type> struct_types()
{
    std::vector<Type> structs;
    for (const Type &type : typetable::types())
        if (!type.is_union)
            structs.push_back(type);
    return structs;
}

std::string type_name(const testing::TestParamInfo<Type> &info) { return std::string(info.param.name); }

// A record on the default heap with random fields present (each three times
// in four) holding random values; its strings live in `texts_`.
class RandomRecord {
public:
    RandomRecord(const Type &type, std::mt19937_64 &rng) : type_(type), record_(type.create(nullptr))
    {
        uint32_t mask = 0;
        for (uint32_t i = 0; i < type.count(); ++i)
            mask |= rng() % 4 != 0 ? 1u << i : 0u;
        EXPECT_TRUE(typetable::fill(type, record_, rng(), mask, texts_));
    }
    ~RandomRecord() { type_.release(nullptr, record_); }
    RandomRecord(const RandomRecord &) = delete;
    RandomRecord &operator=(const RandomRecord &) = delete;
    void *record() { return record_; }

private:
    const Type &type_;
    void *record_;
    typetable::Texts texts_;
};

// Encodes through a memory stream that starts `skew` bytes into a buffer.
std::vector<unsigned char> encode_in_memory(const Type &type, void *record, size_t skew)
{
    std::vector<unsigned char> storage(4096 + 8);
    auto *start = reinterpret_cast<char *>(storage.data()) + skew;
    XDR xdrs;
    xdrmem_create(&xdrs, start, 4096, XDR_ENCODE);
    const int ok = type.mxdr(&xdrs, record, nullptr);
    const u_int written = XDR_GETPOS(&xdrs);
    XDR_DESTROY(&xdrs);
    if (!ok)
        return {};
    return {storage.begin() + skew, storage.begin() + skew + written};
}

std::vector<unsigned char> encode_to_stdio(const Type &type, void *record)
{
    char *data = nullptr;
    size_t size = 0;
    FILE *file = open_memstream(&data, &size);
    XDR xdrs;
    xdrstdio_create(&xdrs, file, XDR_ENCODE);
    const int ok = type.mxdr(&xdrs, record, nullptr);
    XDR_DESTROY(&xdrs);
    std::fclose(file);
    std::vector<unsigned char> bytes(data, data + size);
    std::free(data);
    return ok ? bytes : std::vector<unsigned char>{};
}

// Result of a decode: bytes consumed and the record re-encoded, or nothing.
struct Decoded {
    u_int consumed;
    std::vector<unsigned char> reencoded;
    bool operator==(const Decoded &) const = default;
};

std::optional<Decoded> finish_decode(const Type &type, int ok, u_int consumed, void *record)
{
    if (!ok) {
        EXPECT_EQ(record, nullptr) << "a failed decode must leave no record";
        return std::nullopt;
    }
    Decoded result{consumed, encode_in_memory(type, record, 0)};
    type.free_p(&record);
    return result;
}

std::optional<Decoded> decode_in_memory(const Type &type, const std::vector<unsigned char> &bytes,
                                        size_t skew)
{
    std::vector<unsigned char> storage(bytes.size() + 8);
    std::memcpy(storage.data() + skew, bytes.data(), bytes.size());
    XDR xdrs;
    xdrmem_create(&xdrs, reinterpret_cast<char *>(storage.data()) + skew, static_cast<u_int>(bytes.size()),
                  XDR_DECODE);
    void *record = reinterpret_cast<void *>(0x1); // overwritten by the filter
    const int ok = type.mxdr_p(&xdrs, &record, nullptr);
    const u_int consumed = XDR_GETPOS(&xdrs);
    XDR_DESTROY(&xdrs);
    return finish_decode(type, ok, consumed, record);
}

std::optional<Decoded> decode_from_stdio(const Type &type, std::vector<unsigned char> bytes)
{
    bytes.push_back(0); // fmemopen wants a non-empty buffer; the extra byte is never a full word
    FILE *file = fmemopen(bytes.data(), bytes.size() - 1 == 0 ? 1 : bytes.size() - 1, "r");
    XDR xdrs;
    xdrstdio_create(&xdrs, file, XDR_DECODE);
    void *record = nullptr;
    const int ok = type.mxdr_p(&xdrs, &record, nullptr);
    const auto consumed = static_cast<u_int>(std::ftell(file));
    XDR_DESTROY(&xdrs);
    std::fclose(file);
    return finish_decode(type, ok, consumed, record);
}

// An independent reader of the wire format: checks the bytes field by field
// against the record, using only the catalogue's kinds and offsets.
void expect_bytes_match_record(const Type &type, void *record, const std::vector<unsigned char> &bytes)
{
    size_t at = 0;
    auto word = [&] {
        EXPECT_LE(at + 4, bytes.size());
        const uint32_t value = at + 4 <= bytes.size()
                                   ? (uint32_t{bytes[at]} << 24 | uint32_t{bytes[at + 1]} << 16 |
                                      uint32_t{bytes[at + 2]} << 8 | uint32_t{bytes[at + 3]})
                                   : 0;
        at += 4;
        return value;
    };
    const var_desc_t *desc = type.var_desc;
    const uint32_t presence = word();
    for (uint32_t i = 0; i < desc->count; ++i) {
        const bool present = xdr_optional_generic_struct_check_field(record, i) != 0;
        ASSERT_EQ(((presence >> i) & 1) != 0, present) << "field " << i;
        if (!present)
            continue;
        const char *field = static_cast<const char *>(record) + desc->entries[i].offset;
        switch (kind_of(desc->entries[i].routine)) {
        case Kind::word: {
            uint32_t expected;
            std::memcpy(&expected, field, 4);
            EXPECT_EQ(word(), expected) << "field " << i;
            break;
        }
        case Kind::doubleword: {
            uint64_t expected;
            std::memcpy(&expected, field, 8);
            const uint64_t high = word();
            EXPECT_EQ(high << 32 | word(), expected) << "field " << i;
            break;
        }
        case Kind::string: {
            const char *expected;
            std::memcpy(&expected, field, sizeof expected);
            const uint32_t length = word();
            ASSERT_EQ(length, std::strlen(expected)) << "field " << i;
            ASSERT_LE(at + length, bytes.size());
            EXPECT_EQ(std::memcmp(bytes.data() + at, expected, length), 0) << "field " << i;
            at += length;
            for (; at % 4 != 0; ++at)
                EXPECT_EQ(bytes[at], 0) << "padding of field " << i;
            break;
        }
        }
    }
    EXPECT_EQ(at, bytes.size());
}

class CodecPaths : public testing::TestWithParam<Type> {};

TEST_P(CodecPaths, EveryStreamWritesTheSameBytesAndAnIndependentReaderAgrees)
{
    const Type &type = GetParam();
    std::mt19937_64 rng(std::hash<std::string_view>{}(type.name));
    for (int round = 0; round < 200; ++round) {
        RandomRecord record(type, rng);
        const auto aligned = encode_in_memory(type, record.record(), 0);
        ASSERT_FALSE(aligned.empty());
        EXPECT_EQ(encode_in_memory(type, record.record(), 1), aligned);
        EXPECT_EQ(encode_in_memory(type, record.record(), 3), aligned);
        EXPECT_EQ(encode_to_stdio(type, record.record()), aligned);
        expect_bytes_match_record(type, record.record(), aligned);

        const auto decoded = decode_in_memory(type, aligned, 0);
        ASSERT_TRUE(decoded.has_value());
        EXPECT_EQ(decoded->consumed, aligned.size());
        EXPECT_EQ(decoded->reencoded, aligned);
        EXPECT_EQ(decode_in_memory(type, aligned, 1), decoded);
        EXPECT_EQ(decode_from_stdio(type, aligned), decoded);
    }
}

TEST_P(CodecPaths, DamagedBytesGetTheSameVerdictOnEveryStream)
{
    const Type &type = GetParam();
    std::mt19937_64 rng(std::hash<std::string_view>{}(type.name) + 1);
    for (int round = 0; round < 300; ++round) {
        RandomRecord record(type, rng);
        auto bytes = encode_in_memory(type, record.record(), 0);
        // Damage: flip a byte, cut the message short, or both.
        if (!bytes.empty() && rng() % 3 != 0)
            bytes[rng() % bytes.size()] ^= static_cast<unsigned char>(1u << (rng() % 8));
        if (rng() % 2 == 0)
            bytes.resize(rng() % (bytes.size() + 1));
        const auto in_place = decode_in_memory(type, bytes, 0);
        EXPECT_EQ(decode_in_memory(type, bytes, 1), in_place);
        EXPECT_EQ(decode_from_stdio(type, bytes), in_place);
        // Whatever decodes is canonical: it re-encodes to the bytes it consumed.
        if (in_place) {
            const std::vector<unsigned char> consumed(bytes.begin(), bytes.begin() + in_place->consumed);
            EXPECT_EQ(in_place->reencoded, consumed);
        }
    }
}

TEST_P(CodecPaths, BufferTooSmallFailsOnEveryPath)
{
    const Type &type = GetParam();
    std::mt19937_64 rng(7);
    RandomRecord record(type, rng);
    const auto bytes = encode_in_memory(type, record.record(), 0);
    for (size_t skew : {0, 1}) {
        std::vector<unsigned char> storage(bytes.size() + 8);
        XDR xdrs;
        xdrmem_create(&xdrs, reinterpret_cast<char *>(storage.data()) + skew, static_cast<u_int>(bytes.size() - 1),
                      XDR_ENCODE);
        EXPECT_EQ(type.mxdr(&xdrs, record.record(), nullptr), 0) << "skew " << skew;
        XDR_DESTROY(&xdrs);
    }
}

TEST_P(CodecPaths, ThePlanDescribesTheFieldsOfTheTables)
{
    const Type &type = GetParam();
    const fc_plan_t *plan = type.var_desc->plan;
    ASSERT_NE(plan, nullptr);
    EXPECT_EQ(type.length_desc->plan, plan);
    EXPECT_EQ(type.clone_desc->plan, plan);
    ASSERT_EQ(plan->count, type.var_desc->count);
    uint32_t masks[3] = {};
    uint32_t fixed_size = 0;
    for (uint32_t i = 0; i < plan->count; ++i) {
        EXPECT_EQ(plan->offsets[i], type.var_desc->entries[i].offset) << "field " << i;
        EXPECT_EQ(plan->offsets[i], type.length_desc->entries[i].offset) << "field " << i;
        EXPECT_EQ(plan->offsets[i], type.clone_desc->entries[i].offset) << "field " << i;
        const Kind kind = kind_of(type.var_desc->entries[i].routine);
        const uint8_t shape = kind == Kind::word         ? FC_SHAPE_WORD
                              : kind == Kind::doubleword ? FC_SHAPE_DOUBLEWORD
                                                         : FC_SHAPE_STRING;
        EXPECT_EQ(plan->shapes[i], shape) << "field " << i;
        masks[shape] |= 1u << i;
        fixed_size += kind == Kind::word ? 4 : kind == Kind::doubleword ? 8 : 0;
    }
    EXPECT_EQ(plan->word_mask, masks[FC_SHAPE_WORD]);
    EXPECT_EQ(plan->doubleword_mask, masks[FC_SHAPE_DOUBLEWORD]);
    EXPECT_EQ(plan->string_mask, masks[FC_SHAPE_STRING]);
    EXPECT_EQ(plan->fixed_size, fixed_size);
}

// The same descriptors without their plan: the codec walks their entries
// and calls a routine per field, on memory streams too.
struct Unplanned {
    explicit Unplanned(const Type &type)
        : var{type.var_desc->count, type.var_desc->entries, nullptr},
          length{type.length_desc->count, type.length_desc->entries, nullptr},
          clone{type.clone_desc->count, type.clone_desc->entries, nullptr}
    {
    }
    var_desc_t var;
    var_length_desc_t length;
    var_clone_desc_t clone;
};

// Runs the struct codec with `desc` in free mode over a record.
void free_fields(const var_desc_t *desc, void *record)
{
    XDR release = {};
    release.x_op = XDR_FREE;
    EXPECT_EQ(mxdr_opt_fields_generic_struct(&release, desc, record, nullptr), 1);
}

std::optional<Decoded> decode_with(const Type &type, const var_desc_t *desc,
                                   const std::vector<unsigned char> &bytes)
{
    std::vector<unsigned char> storage(bytes.size() + 4);
    std::memcpy(storage.data(), bytes.data(), bytes.size());
    void *record = type.create(nullptr);
    XDR xdrs;
    xdrmem_create(&xdrs, reinterpret_cast<char *>(storage.data()), static_cast<u_int>(bytes.size()), XDR_DECODE);
    const int ok = mxdr_opt_fields_generic_struct(&xdrs, desc, record, nullptr);
    const u_int consumed = XDR_GETPOS(&xdrs);
    XDR_DESTROY(&xdrs);
    std::optional<Decoded> result;
    if (ok) {
        result = Decoded{consumed, encode_in_memory(type, record, 0)};
        free_fields(desc, record);
    }
    type.release(nullptr, record);
    return result;
}

TEST_P(CodecPaths, DescriptorsWithoutAPlanGiveTheSameResults)
{
    const Type &type = GetParam();
    const Unplanned unplanned(type);
    std::mt19937_64 rng(std::hash<std::string_view>{}(type.name) + 2);
    for (int round = 0; round < 100; ++round) {
        RandomRecord record(type, rng);
        const auto planned = encode_in_memory(type, record.record(), 0);
        ASSERT_FALSE(planned.empty());

        std::vector<unsigned char> storage(planned.size());
        XDR xdrs;
        xdrmem_create(&xdrs, reinterpret_cast<char *>(storage.data()), static_cast<u_int>(storage.size()),
                      XDR_ENCODE);
        EXPECT_EQ(mxdr_opt_fields_generic_struct(&xdrs, &unplanned.var, record.record(), nullptr), 1);
        EXPECT_EQ(XDR_GETPOS(&xdrs), planned.size());
        XDR_DESTROY(&xdrs);
        EXPECT_EQ(storage, planned);

        const auto size = static_cast<int>(planned.size());
        EXPECT_EQ(xdr_length_of_encoded_optional_generic_struct(type.length_desc, record.record()), size);
        EXPECT_EQ(xdr_length_of_encoded_optional_generic_struct(&unplanned.length, record.record()), size);

        for (const var_clone_desc_t *clone : {type.clone_desc, &unplanned.clone}) {
            void *copy = type.create(nullptr);
            EXPECT_EQ(xdr_clone_optional_generic_struct(clone, record.record(), copy, nullptr), 1);
            EXPECT_EQ(encode_in_memory(type, copy, 0), planned);
            free_fields(clone == type.clone_desc ? type.var_desc : &unplanned.var, copy);
            type.release(nullptr, copy);
        }

        auto damaged = planned;
        if (rng() % 2 == 0)
            damaged[rng() % damaged.size()] ^= static_cast<unsigned char>(1u << (rng() % 8));
        else
            damaged.resize(rng() % damaged.size());
        EXPECT_EQ(decode_with(type, &unplanned.var, planned), decode_with(type, type.var_desc, planned));
        EXPECT_EQ(decode_with(type, &unplanned.var, damaged), decode_with(type, type.var_desc, damaged));
    }
}

INSTANTIATE_TEST_SUITE_P(AllStructTypes, CodecPaths, testing::ValuesIn(struct_types()), type_name);

// A stream that cannot say how long it is: a hostile string length makes
// the decoder read in bounded steps and fail at the end of the bytes, without
// taking memory for the announced length.
TEST(CodecStreams, HostileStringLengthOnAStdioStreamFailsWithoutAHugeAllocation)
{
    const unsigned char bytes[] = {0, 0, 0, 1, 0x7f, 0xff, 0xff, 0xf0, 'a', 'b', 'c', 'd'};
    std::vector<unsigned char> copy(std::begin(bytes), std::end(bytes));
    FILE *file = fmemopen(copy.data(), copy.size(), "r");
    XDR xdrs;
    xdrstdio_create(&xdrs, file, XDR_DECODE);
    cu_string_msg_t *record = nullptr;
    EXPECT_EQ(mxdr_p_cu_string_msg_t(&xdrs, &record, nullptr), 0);
    EXPECT_EQ(record, nullptr);
    XDR_DESTROY(&xdrs);
    std::fclose(file);
}

} // namespace
