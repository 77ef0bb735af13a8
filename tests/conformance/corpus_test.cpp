// Every case of the wire corpus through the library: the three decode forms,
// the message API's decoder where the type has one, re-encoding of each
// valid case to its own bytes, and the tool's explaining walk, which must
// reach the same verdict, length, rule, offset and field.
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "../common/catalogue_ops.h"
#include "explain.h"
#include "messages.h"

namespace {

using parcel_test::Bytes;
using parcel_test::TypeOps;
using parcel_tool::json;

Bytes bytes_of(const std::string &hex)
{
    Bytes bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes.push_back(static_cast<unsigned char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return bytes;
}

const parcel_test::MessageOps *message_of(const TypeOps &type)
{
    for (const auto &message : parcel_test::all_messages())
        if (std::string_view(message.record_type) == type.name)
            return &message;
    return nullptr;
}

// Decodes in form `form` (0: default heap, 1: a given goheap, 2: a new
// goheap) and checks the verdict; a valid record is handed to `check`.
template <class Check>
void decode_each_form(const TypeOps &type, const Bytes &bytes, int32_t expected, Check check)
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

class Corpus : public testing::TestWithParam<TypeOps> {};

TEST_P(Corpus, EveryCaseDecodesAsStated)
{
    const TypeOps &type = GetParam();
    const parcel_tool::Type &shown = *parcel_tool::find_type(type.name);
    const parcel_test::MessageOps *message = message_of(type);
    std::ifstream in(std::string(PARCEL_CORPUS_DIR) + "/" + type.name + ".jsonl");
    ASSERT_TRUE(in) << "no corpus file for " << type.name;

    size_t cases = 0;
    for (std::string line; std::getline(in, line); ++cases) {
        const json c = json::parse(line);
        SCOPED_TRACE(c["case"].get<std::string>());
        ASSERT_EQ(c["type"], type.name);
        const Bytes bytes = bytes_of(c["hex"].get<std::string>());
        const bool valid = c["verdict"] == "valid";
        const int32_t consumed = valid ? c["consumed"].get<int32_t>() : -1;

        decode_each_form(type, bytes, consumed, [&](void *record) {
            json decoded;
            parcel_tool::describe(shown, record, decoded);
            EXPECT_EQ(decoded, c["decoded"]);
            Bytes again(static_cast<size_t>(consumed));
            EXPECT_EQ(type.encode(record, again.data(), static_cast<uint32_t>(again.size())), consumed);
            EXPECT_TRUE(std::equal(again.begin(), again.end(), bytes.begin())) << "re-encoding differs";
            if (message != nullptr) {
                void *msg = nullptr;
                EXPECT_EQ(message->decode(bytes.data(), static_cast<uint32_t>(bytes.size()), &msg), 0);
                EXPECT_TRUE(msg != nullptr && message->matches_record(msg, record));
                message->free(msg);
            }
        });
        if (message != nullptr && !valid) {
            void *msg = nullptr;
            EXPECT_EQ(message->decode(bytes.data(), static_cast<uint32_t>(bytes.size()), &msg), -1);
            EXPECT_EQ(msg, nullptr);
        }

        const parcel_tool::Walk walk = parcel_tool::walk(shown, bytes.data(), bytes.size());
        EXPECT_EQ(walk.valid, valid);
        if (valid) {
            EXPECT_EQ(walk.consumed, static_cast<uint32_t>(consumed));
            continue;
        }
        ASSERT_FALSE(walk.items.empty());
        const parcel_tool::Item &failing = walk.items.back();
        EXPECT_EQ(parcel_tool::code_of(walk.rule), c["reason"].get<std::string>());
        EXPECT_EQ(walk.offset, c["offset"].get<uint32_t>());
        EXPECT_EQ(failing.field == nullptr ? "" : failing.field->name, c.value("field", ""));
        EXPECT_EQ(failing.arm == nullptr ? "" : failing.arm->name, c.value("arm", ""));
    }
    EXPECT_GT(cases, 0u);
}

INSTANTIATE_TEST_SUITE_P(AllTypes, Corpus, testing::ValuesIn(parcel_test::all_types()),
                         [](const testing::TestParamInfo<TypeOps> &info) { return std::string(info.param.name); });

} // namespace
