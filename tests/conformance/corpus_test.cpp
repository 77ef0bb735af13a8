// Every case of the wire corpus through the library: the three decode forms,
// the message API's decoder where the type has one, re-encoding of each
// valid case to its own bytes, and the field codec's explaining decode,
// which must reach the case's verdict, length, rule, offset, field and arm
// (the tool's words for them are tests/tool's); then every case again
// through record streams cut into fragments and reads of many sizes, and
// through stdio streams, where the explaining decode must report what it
// reports in memory.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "../common/record_streams.h"
#include "messages.h"
#include "typetable.h"

namespace {

using typetable::Bytes;
using typetable::Type;
using parcel_tool::json;

Bytes bytes_of(const std::string &hex)
{
    Bytes bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes.push_back(static_cast<unsigned char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return bytes;
}

// Decodes in form `form` (0: default heap, 1: a given goheap, 2: a new
// goheap) and checks the verdict; a valid record is handed to `check`.
template <class Check>
void decode_each_form(const Type &type, const Bytes &bytes, int32_t expected, Check check)
{
    const auto size = static_cast<uint32_t>(bytes.size());
    for (int form = 0; form < 3; ++form) {
        SCOPED_TRACE("decode form " + std::to_string(form));
        void *record = nullptr;
        goheap_t *heap = form == 1 ? goheap_create(0) : nullptr;
        const int32_t result = form == 0   ? type.decode(bytes.data(), size, &record)
                               : form == 1 ? type.decode_given(bytes.data(), size, &record, heap)
                                           : type.decode_new(bytes.data(), size, &record, &heap);
        EXPECT_EQ(result, expected);
        EXPECT_EQ(record == nullptr, expected < 0);
        if (record != nullptr && form == 0)
            check(record);
        if (form == 0)
            type.free_p(&record);
        goheap_destroy(heap);
    }
}

// What the codec's explaining decode reports, each event in words, so that
// two decodes can be compared; and whether the items lie back to back from
// offset 0, the refused one where the others end.
struct Explained {
    int result = 0;
    uint64_t consumed = 0;
    std::vector<std::string> events;
    std::optional<fc_refusal_t> refusal;
    uint64_t end = 0;
    bool back_to_back = true;

    void add(const fc_item_t &item, std::string event)
    {
        back_to_back = back_to_back && item.offset == end;
        end = item.offset + item.size;
        events.push_back(event + " role " + std::to_string(item.role) + " at " + std::to_string(item.offset) + "+" +
                         std::to_string(item.size) + " field " + std::to_string(item.field) + " arm " +
                         std::to_string(item.arm));
    }
};

Explained explain(const Type &type, XDR *xdrs)
{
    Explained out;
    const fc_sink_t sink{[](void *to, const fc_item_t *item) { static_cast<Explained *>(to)->add(*item, "item"); },
                         [](void *to, const fc_refusal_t *refusal) {
                             auto *explained = static_cast<Explained *>(to);
                             explained->refusal = *refusal;
                             explained->add(refusal->item, std::string(fc_rule_code(refusal->rule)) + " at " +
                                                               std::to_string(refusal->offset) + " value " +
                                                               std::to_string(refusal->value) + " in");
                         },
                         &out};
    out.result = typetable::explain(type, xdrs, sink, &out.consumed);
    return out;
}

Explained explain_in_memory(const Type &type, const Bytes &bytes)
{
    XDR memory;
    xdrmem_create(&memory, reinterpret_cast<char *>(const_cast<unsigned char *>(bytes.data())),
                  static_cast<u_int>(bytes.size()), XDR_DECODE);
    Explained explained = explain(type, &memory);
    XDR_DESTROY(&memory);
    return explained;
}

// Another stream's explaining decode reports what the memory stream's does.
void expect_alike(const Explained &explained, const Explained &in_memory)
{
    EXPECT_EQ(explained.result, in_memory.result);
    EXPECT_EQ(explained.events, in_memory.events);
    if (in_memory.result == 1) {
        EXPECT_EQ(explained.consumed, in_memory.consumed);
    }
}

// The cases of a type's corpus file, one JSON object each.
std::vector<json> corpus_of(const Type &type)
{
    std::vector<json> cases;
    std::ifstream in(std::string(PARCEL_CORPUS_DIR) + "/" + std::string(type.name) + ".jsonl");
    for (std::string line; std::getline(in, line);)
        cases.push_back(json::parse(line));
    return cases;
}

class Corpus : public testing::TestWithParam<Type> {};

TEST_P(Corpus, EveryCaseDecodesAsStated)
{
    const Type &type = GetParam();
    const typetable::Message *message = type.message;
    const std::vector<json> cases = corpus_of(type);
    ASSERT_FALSE(cases.empty()) << "no corpus for " << type.name;

    for (const json &c : cases) {
        SCOPED_TRACE(c["case"].get<std::string>());
        ASSERT_EQ(c["type"], type.name);
        const Bytes bytes = bytes_of(c["hex"].get<std::string>());
        const bool valid = c["verdict"] == "valid";
        const int32_t consumed = valid ? c["consumed"].get<int32_t>() : -1;

        decode_each_form(type, bytes, consumed, [&](void *record) {
            json decoded;
            parcel_tool::describe(type, record, decoded);
            EXPECT_EQ(decoded, c["decoded"]);
            Bytes again(static_cast<size_t>(consumed));
            EXPECT_EQ(type.encode(record, again.data(), static_cast<uint32_t>(again.size())), consumed);
            EXPECT_TRUE(std::equal(again.begin(), again.end(), bytes.begin())) << "re-encoding differs";
            if (message != nullptr) {
                void *msg = nullptr;
                EXPECT_EQ(message->decode(bytes.data(), static_cast<uint32_t>(bytes.size()), &msg), 0);
                EXPECT_TRUE(msg != nullptr && typetable::matches_record(*message, msg, record));
                message->free(msg);
            }
        });
        if (message != nullptr && !valid) {
            void *msg = nullptr;
            EXPECT_EQ(message->decode(bytes.data(), static_cast<uint32_t>(bytes.size()), &msg), -1);
            EXPECT_EQ(msg, nullptr);
        }

        const Explained explained = explain_in_memory(type, bytes);
        EXPECT_EQ(explained.result, valid ? 1 : 0);
        EXPECT_TRUE(explained.back_to_back);
        EXPECT_EQ(explained.refusal.has_value(), !valid);
        if (valid) {
            EXPECT_EQ(explained.consumed, static_cast<uint64_t>(consumed));
            EXPECT_EQ(explained.end, explained.consumed);
        } else if (explained.refusal) {
            const fc_refusal_t &refusal = *explained.refusal;
            EXPECT_EQ(fc_rule_code(refusal.rule), c["reason"].get<std::string>());
            EXPECT_EQ(refusal.offset, c["offset"].get<uint64_t>());
            const int32_t arm = refusal.item.arm;
            const Type &holder = arm < 0 ? type : *type.arms.at(static_cast<size_t>(arm)).type;
            EXPECT_EQ(arm < 0 ? "" : type.arms[static_cast<size_t>(arm)].name, c.value("arm", ""));
            EXPECT_EQ(refusal.item.field < 0 ? "" : holder.fields.at(static_cast<size_t>(refusal.item.field)).name,
                      c.value("field", ""));
        }
    }
}

// ---- Streams that lend less, or nothing -------------------------------------------
// A record stream lends a window only within the current fragment and the
// bytes it has buffered (and, writing, the room left in its buffer); a
// stdio stream lends none.  Each row cuts a record stream's fragments every
// `fragment` bytes, has each of its reads deliver at most `read` bytes, and
// has a writer whose 100-byte buffer (the least the library takes) already
// holds `lead` bytes put before the message, so that windows meet fragment,
// buffer and read ends at every offset and at every alignment.
struct Cut {
    uint32_t fragment;
    uint32_t read;
    uint32_t lead;
};
constexpr uint32_t kWhole = 1u << 20;
// The writer's lead (bytes written before the message, which move where its
// buffer ends fall) is whole words: the record stream stores words in place,
// which hosts that need aligned words cannot do at an odd position.
constexpr Cut kCuts[] = {{1, kWhole, 0},  {3, 5, 4},       {4, kWhole, 8}, {5, 3, 12},      {7, 13, 20},
                         {8, 4, 36},      {12, 1, 16},     {13, 7, 32},    {kWhole, 3, 56}, {kWhole, kWhole, 92}};

// A decoded record as the memory stream writes it.
Bytes written_in_memory(const Type &type, const void *record)
{
    Bytes bytes(static_cast<size_t>(std::max(type.length(record), 0)));
    if (type.encode(record, bytes.data(), static_cast<uint32_t>(bytes.size())) != static_cast<int32_t>(bytes.size()))
        bytes.clear();
    return bytes;
}

// What a stdio stream reads from `bytes`: the bytes taken and the record
// written in memory, or nothing when it refuses them; and what it explains.
std::optional<Bytes> read_from_stdio(const Type &type, Bytes bytes, long *taken, Explained *explained)
{
    FILE *file = fmemopen(bytes.data(), bytes.size(), "r");
    XDR xdrs;
    xdrstdio_create(&xdrs, file, XDR_DECODE);
    void *record = nullptr;
    const bool ok = type.mxdr_p(&xdrs, &record, nullptr) == 1;
    *taken = std::ftell(file);
    std::rewind(file);
    *explained = explain(type, &xdrs);
    XDR_DESTROY(&xdrs);
    std::fclose(file);
    std::optional<Bytes> result;
    if (ok)
        result = written_in_memory(type, record);
    type.free_p(&record);
    return result;
}

Bytes written_to_stdio(const Type &type, void *record)
{
    char *data = nullptr;
    size_t size = 0;
    FILE *file = open_memstream(&data, &size);
    XDR xdrs;
    xdrstdio_create(&xdrs, file, XDR_ENCODE);
    const bool ok = type.mxdr(&xdrs, record, nullptr) == 1;
    XDR_DESTROY(&xdrs);
    std::fclose(file);
    Bytes bytes(data, data + size);
    std::free(data);
    return ok ? bytes : Bytes{};
}

TEST_P(Corpus, EveryCaseReadsAndWritesAlikeOnRecordAndStdioStreams)
{
    const Type &type = GetParam();
    static const char kLead[100] = {};
    for (const json &c : corpus_of(type)) {
        SCOPED_TRACE(c["case"].get<std::string>());
        const Bytes bytes = bytes_of(c["hex"].get<std::string>());
        const bool valid = c["verdict"] == "valid";
        const size_t consumed = valid ? c["consumed"].get<size_t>() : 0;
        const Bytes message(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(consumed));
        const Explained in_memory = explain_in_memory(type, bytes);
        for (const Cut &cut : kCuts) {
            SCOPED_TRACE("fragments of " + std::to_string(cut.fragment) + ", reads of " + std::to_string(cut.read) +
                         ", lead " + std::to_string(cut.lead));
            parcel_test::RecordReader explaining(parcel_test::record_marked(bytes, cut.fragment), cut.read);
            ASSERT_NE(explaining.stream(), nullptr);
            expect_alike(explain(type, explaining.stream()), in_memory);
            parcel_test::RecordReader reader(parcel_test::record_marked(bytes, cut.fragment), cut.read);
            ASSERT_NE(reader.stream(), nullptr);
            void *record = nullptr;
            ASSERT_EQ(type.mxdr_p(reader.stream(), &record, nullptr), valid ? 1 : 0);
            if (!valid) {
                EXPECT_EQ(record, nullptr);
                continue;
            }
            EXPECT_EQ(written_in_memory(type, record), message);
            EXPECT_EQ(reader.rest_of_record(), bytes.size() - consumed);
            parcel_test::RecordWriter writer(100);
            ASSERT_TRUE(XDR_PUTBYTES(writer.stream(), kLead, cut.lead));
            EXPECT_EQ(type.mxdr(writer.stream(), record, nullptr), 1);
            const Bytes written = writer.finish();
            EXPECT_EQ(Bytes(written.begin() + std::min<std::ptrdiff_t>(cut.lead, std::ssize(written)), written.end()),
                      message);
            if (cut.fragment == kWhole && cut.read == kWhole) {
                EXPECT_EQ(written_to_stdio(type, record), message);
            }
            type.free_p(&record);
        }
        if (bytes.empty())
            continue; // fmemopen wants a byte at least; the record streams read the empty case
        long taken = 0;
        Explained from_stdio_explained;
        const std::optional<Bytes> from_stdio = read_from_stdio(type, bytes, &taken, &from_stdio_explained);
        expect_alike(from_stdio_explained, in_memory);
        ASSERT_EQ(from_stdio.has_value(), valid);
        if (valid) {
            EXPECT_EQ(*from_stdio, message);
            EXPECT_EQ(static_cast<size_t>(taken), consumed);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(AllTypes, Corpus, testing::ValuesIn(typetable::types()),
                         [](const testing::TestParamInfo<Type> &info) { return std::string(info.param.name); });

} // namespace
