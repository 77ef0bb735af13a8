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

#include "records/records.h"

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

// One struct type, reached through its descriptor and exported routines.
struct StructType {
    const char *name;
    size_t size;
    void (*construct)(void *block);
    void (*destroy)(void *record);
    const var_desc_t *desc;
    const var_length_desc_t *length_desc;
    const var_clone_desc_t *clone_desc;
    int (*value_filter)(XDR *, void *, goheap_t *);
    int (*pointer_filter)(XDR *, void *, goheap_t *);
    void (*free_p)(void *recordp);
};

#define PARCEL_STRUCT(group, T, FIELDS)                                                          \
    StructType{#T,                                                                               \
               sizeof(T),                                                                        \
               [](void *block) { new (block) T(nullptr, 0); },                                   \
               [](void *record) { static_cast<T *>(record)->~T(); },                             \
               get_var_desc_for_##T(),                                                           \
               get_var_length_desc_for_##T(),                                                    \
               get_var_clone_desc_for_##T(),                                                     \
               [](XDR *x, void *r, goheap_t *h) { return _mxdr_##T(x, static_cast<T *>(r), h); }, \
               &mxdr_p_##T,                                                                      \
               [](void *p) { xdr_free_p_##T(static_cast<T **>(p)); }},
const std::vector<StructType> kTypes = {
#include "records/catalogue.def"
};

std::string type_name(const testing::TestParamInfo<StructType> &info) { return info.param.name; }
void PrintTo(const StructType &type, std::ostream *out) { *out << type.name; }

// A record on the stack with random present fields; its strings live in `texts`.
class RandomRecord {
public:
    RandomRecord(const StructType &type, std::mt19937_64 &rng) : type_(type), block_(type.size)
    {
        type.construct(block_.data());
        const var_desc_t *desc = type.desc;
        texts_.reserve(desc->count);
        for (uint32_t i = 0; i < desc->count; ++i) {
            if (rng() % 4 == 0)
                continue; // absent
            void *field = block_.data() + desc->entries[i].offset;
            switch (kind_of(desc->entries[i].routine)) {
            case Kind::word: {
                const auto value = static_cast<uint32_t>(rng());
                xdr_optional_generic_struct_set_field(record(), field, 4, i, &value);
                break;
            }
            case Kind::doubleword: {
                const uint64_t value = rng();
                xdr_optional_generic_struct_set_field(record(), field, 8, i, &value);
                break;
            }
            case Kind::string: {
                std::string text(rng() % 14, 'x');
                for (char &c : text)
                    c = static_cast<char>(1 + rng() % 255);
                texts_.push_back(std::move(text));
                const char *value = texts_.back().c_str();
                xdr_optional_generic_struct_set_field(record(), field, sizeof value, i, &value);
                break;
            }
            }
        }
    }
    ~RandomRecord() { type_.destroy(record()); }
    void *record() { return block_.data(); }

private:
    const StructType &type_;
    std::vector<unsigned char> block_ = {};
    std::vector<std::string> texts_;
};

// Encodes through a memory stream that starts `skew` bytes into a buffer.
std::vector<unsigned char> encode_in_memory(const StructType &type, void *record, size_t skew)
{
    std::vector<unsigned char> storage(4096 + 8);
    auto *start = reinterpret_cast<char *>(storage.data()) + skew;
    XDR xdrs;
    xdrmem_create(&xdrs, start, 4096, XDR_ENCODE);
    const int ok = type.value_filter(&xdrs, record, nullptr);
    const u_int written = XDR_GETPOS(&xdrs);
    XDR_DESTROY(&xdrs);
    if (!ok)
        return {};
    return {storage.begin() + skew, storage.begin() + skew + written};
}

std::vector<unsigned char> encode_to_stdio(const StructType &type, void *record)
{
    char *data = nullptr;
    size_t size = 0;
    FILE *file = open_memstream(&data, &size);
    XDR xdrs;
    xdrstdio_create(&xdrs, file, XDR_ENCODE);
    const int ok = type.value_filter(&xdrs, record, nullptr);
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

std::optional<Decoded> finish_decode(const StructType &type, int ok, u_int consumed, void *record)
{
    if (!ok) {
        EXPECT_EQ(record, nullptr) << "a failed decode must leave no record";
        return std::nullopt;
    }
    Decoded result{consumed, encode_in_memory(type, record, 0)};
    type.free_p(&record);
    return result;
}

std::optional<Decoded> decode_in_memory(const StructType &type, const std::vector<unsigned char> &bytes,
                                        size_t skew)
{
    std::vector<unsigned char> storage(bytes.size() + 8);
    std::memcpy(storage.data() + skew, bytes.data(), bytes.size());
    XDR xdrs;
    xdrmem_create(&xdrs, reinterpret_cast<char *>(storage.data()) + skew, static_cast<u_int>(bytes.size()),
                  XDR_DECODE);
    void *record = reinterpret_cast<void *>(0x1); // overwritten by the filter
    const int ok = type.pointer_filter(&xdrs, &record, nullptr);
    const u_int consumed = XDR_GETPOS(&xdrs);
    XDR_DESTROY(&xdrs);
    return finish_decode(type, ok, consumed, record);
}

std::optional<Decoded> decode_from_stdio(const StructType &type, std::vector<unsigned char> bytes)
{
    bytes.push_back(0); // fmemopen wants a non-empty buffer; the extra byte is never a full word
    FILE *file = fmemopen(bytes.data(), bytes.size() - 1 == 0 ? 1 : bytes.size() - 1, "r");
    XDR xdrs;
    xdrstdio_create(&xdrs, file, XDR_DECODE);
    void *record = nullptr;
    const int ok = type.pointer_filter(&xdrs, &record, nullptr);
    const auto consumed = static_cast<u_int>(std::ftell(file));
    XDR_DESTROY(&xdrs);
    std::fclose(file);
    return finish_decode(type, ok, consumed, record);
}

// An independent reader of the wire format: checks the bytes field by field
// against the record, using only the catalogue's kinds and offsets.
void expect_bytes_match_record(const StructType &type, void *record, const std::vector<unsigned char> &bytes)
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
    const var_desc_t *desc = type.desc;
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

class CodecPaths : public testing::TestWithParam<StructType> {};

TEST_P(CodecPaths, EveryStreamWritesTheSameBytesAndAnIndependentReaderAgrees)
{
    const StructType &type = GetParam();
    std::mt19937_64 rng(std::hash<std::string>{}(type.name));
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
    const StructType &type = GetParam();
    std::mt19937_64 rng(std::hash<std::string>{}(type.name) + 1);
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
    const StructType &type = GetParam();
    std::mt19937_64 rng(7);
    RandomRecord record(type, rng);
    const auto bytes = encode_in_memory(type, record.record(), 0);
    for (size_t skew : {0, 1}) {
        std::vector<unsigned char> storage(bytes.size() + 8);
        XDR xdrs;
        xdrmem_create(&xdrs, reinterpret_cast<char *>(storage.data()) + skew, static_cast<u_int>(bytes.size() - 1),
                      XDR_ENCODE);
        EXPECT_EQ(type.value_filter(&xdrs, record.record(), nullptr), 0) << "skew " << skew;
        XDR_DESTROY(&xdrs);
    }
}

TEST_P(CodecPaths, ThePlanDescribesTheFieldsOfTheTables)
{
    const StructType &type = GetParam();
    const fc_plan_t *plan = type.desc->plan;
    ASSERT_NE(plan, nullptr);
    EXPECT_EQ(type.length_desc->plan, plan);
    EXPECT_EQ(type.clone_desc->plan, plan);
    ASSERT_EQ(plan->count, type.desc->count);
    uint32_t masks[3] = {};
    uint32_t fixed_size = 0;
    for (uint32_t i = 0; i < plan->count; ++i) {
        EXPECT_EQ(plan->offsets[i], type.desc->entries[i].offset) << "field " << i;
        EXPECT_EQ(plan->offsets[i], type.length_desc->entries[i].offset) << "field " << i;
        EXPECT_EQ(plan->offsets[i], type.clone_desc->entries[i].offset) << "field " << i;
        const Kind kind = kind_of(type.desc->entries[i].routine);
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
    explicit Unplanned(const StructType &type)
        : var{type.desc->count, type.desc->entries, nullptr},
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

std::optional<Decoded> decode_with(const StructType &type, const var_desc_t *desc,
                                   const std::vector<unsigned char> &bytes)
{
    std::vector<unsigned char> storage(bytes.size() + 4);
    std::memcpy(storage.data(), bytes.data(), bytes.size());
    std::vector<unsigned char> block(type.size);
    type.construct(block.data());
    XDR xdrs;
    xdrmem_create(&xdrs, reinterpret_cast<char *>(storage.data()), static_cast<u_int>(bytes.size()), XDR_DECODE);
    const int ok = mxdr_opt_fields_generic_struct(&xdrs, desc, block.data(), nullptr);
    const u_int consumed = XDR_GETPOS(&xdrs);
    XDR_DESTROY(&xdrs);
    std::optional<Decoded> result;
    if (ok) {
        result = Decoded{consumed, encode_in_memory(type, block.data(), 0)};
        free_fields(desc, block.data());
    }
    type.destroy(block.data());
    return result;
}

TEST_P(CodecPaths, DescriptorsWithoutAPlanGiveTheSameResults)
{
    const StructType &type = GetParam();
    const Unplanned unplanned(type);
    std::mt19937_64 rng(std::hash<std::string>{}(type.name) + 2);
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
            std::vector<unsigned char> block(type.size);
            type.construct(block.data());
            EXPECT_EQ(xdr_clone_optional_generic_struct(clone, record.record(), block.data(), nullptr), 1);
            EXPECT_EQ(encode_in_memory(type, block.data(), 0), planned);
            free_fields(clone == type.clone_desc ? type.desc : &unplanned.var, block.data());
            type.destroy(block.data());
        }

        auto damaged = planned;
        if (rng() % 2 == 0)
            damaged[rng() % damaged.size()] ^= static_cast<unsigned char>(1u << (rng() % 8));
        else
            damaged.resize(rng() % damaged.size());
        EXPECT_EQ(decode_with(type, &unplanned.var, planned), decode_with(type, type.desc, planned));
        EXPECT_EQ(decode_with(type, &unplanned.var, damaged), decode_with(type, type.desc, damaged));
    }
}

INSTANTIATE_TEST_SUITE_P(AllStructTypes, CodecPaths, testing::ValuesIn(kTypes), type_name);

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
