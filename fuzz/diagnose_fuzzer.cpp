// Differential fuzz target: the field codec's explaining decode and the
// parcel tool's explaining walk against the library's decoder.
//
// Input: byte 0 picks the type (value % 30, catalogue order); the rest are
// the bytes to decode.  The walk must call the bytes valid exactly when the
// decoder takes them, with the same length.  Either way the items it read
// lie back to back from offset 0 within the bytes; on a refusal the offset
// it names lies in the last of them, which reaches the end of the bytes when
// they ran out; and the annotated view can be drawn.  The codec's explaining
// decode, over an aligned buffer (read in windows) and an unaligned one
// (word by word), must reach the decoder's verdict and length and report
// the walk's items, rule, offset and failing item, with the values a
// refusal names as the bytes hold them.
#include "fuzz_support.h"
#include "explain.h"

namespace {

struct Explained {
    std::vector<fc_item_t> items;
    bool refused = false;
    fc_refusal_t refusal{};
};

// The walk's item as the codec reports it.
bool same(const parcel_tool::Item &item, const fc_item_t &reported)
{
    return static_cast<int>(item.role) == static_cast<int>(reported.role) && item.offset == reported.offset &&
           (item.field == nullptr ? -1 : static_cast<int32_t>(item.field->index)) == reported.field &&
           (item.arm == nullptr ? -1 : static_cast<int32_t>(item.arm->position)) == reported.arm;
}

void check_explained(const parcel_tool::Type &type, const parcel_test::TypeOps &ops, const parcel_fuzz::Input &input,
                     int32_t consumed, const parcel_tool::Walk &walk)
{
    const char *name = ops.name;
    Explained out;
    const fc_sink_t sink{[](void *to, const fc_item_t *item) { static_cast<Explained *>(to)->items.push_back(*item); },
                         [](void *to, const fc_refusal_t *refusal) {
                             auto *explained = static_cast<Explained *>(to);
                             explained->refused = true;
                             explained->refusal = *refusal;
                         },
                         &out};
    XDR memory;
    xdrmem_create(&memory, reinterpret_cast<char *>(const_cast<unsigned char *>(input.data())), input.size(),
                  XDR_DECODE);
    void *record = nullptr;
    uint64_t taken = 0;
    const int result = fc_explain_decode(&memory, ops.pointer_filter, &record, nullptr, &sink, &taken);
    XDR_DESTROY(&memory);
    ops.free_p(&record);

    FUZZ_CHECK(result == (consumed >= 0 ? 1 : 0), name);
    FUZZ_CHECK(consumed < 0 || taken == static_cast<uint64_t>(consumed), name);
    FUZZ_CHECK(out.refused == (consumed < 0), name);
    const size_t passed = walk.items.size() - (walk.valid ? 0 : 1);
    FUZZ_CHECK(out.items.size() == passed, name);
    for (size_t i = 0; i < passed; ++i)
        FUZZ_CHECK(same(walk.items[i], out.items[i]) && walk.items[i].size == out.items[i].size, name);
    if (!out.refused)
        return;
    const fc_refusal_t &refusal = out.refusal;
    FUZZ_CHECK(fc_rule_code(refusal.rule) == parcel_tool::code_of(walk.rule), name);
    FUZZ_CHECK(refusal.offset == walk.offset && same(walk.items.back(), refusal.item), name);
    // What the refusal names, as the bytes hold it.
    const unsigned char *bytes = input.data();
    const auto word_at = [&](uint64_t offset) { return parcel_fuzz::word_at(bytes + offset); };
    const parcel_tool::Type &holder =
        refusal.item.arm < 0 ? type : *type.arms[static_cast<size_t>(refusal.item.arm)].type;
    switch (refusal.rule) {
    case FC_RULE_PRESENCE:
        FUZZ_CHECK(refusal.value == word_at(refusal.offset) && refusal.limit == holder.desc->count, name);
        break;
    case FC_RULE_DISCRIMINANT:
        FUZZ_CHECK(refusal.value == word_at(refusal.offset) && refusal.limit == type.desc->count, name);
        break;
    case FC_RULE_LENGTH:
        FUZZ_CHECK(refusal.value == word_at(refusal.offset - 4) && refusal.limit == FC_MAX_STRING_LENGTH, name);
        break;
    case FC_RULE_NUL:
        FUZZ_CHECK(bytes[refusal.offset] == 0, name);
        break;
    case FC_RULE_PADDING:
        FUZZ_CHECK(refusal.value == bytes[refusal.offset] && refusal.value != 0, name);
        break;
    case FC_RULE_SHORT:
        FUZZ_CHECK(refusal.item.offset + refusal.item.size > input.size(), name);
        break;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const std::vector<parcel_tool::Type> &types = parcel_tool::types();
    const parcel_tool::Type &type = types[data[0] % types.size()];
    const parcel_test::TypeOps &ops = parcel_test::all_types()[data[0] % types.size()];
    const char *name = type.name.data();
    FUZZ_CHECK(type.name == ops.name, name);
    const parcel_fuzz::Input input(data + 1, size - 1, 0);

    void *record = nullptr;
    const int32_t consumed = type.decode(input.data(), input.size(), &record);
    if (record != nullptr)
        type.free(record);
    const parcel_tool::Walk walk = parcel_tool::walk(type, input.data(), input.size());
    FUZZ_CHECK(walk.valid == (consumed >= 0), name);
    FUZZ_CHECK(!walk.valid || walk.consumed == static_cast<uint32_t>(consumed), name);

    uint32_t end = 0;
    for (const parcel_tool::Item &item : walk.items) {
        FUZZ_CHECK(item.offset == end, name);
        end += item.size;
    }
    FUZZ_CHECK(end <= input.size(), name);
    if (walk.valid) {
        FUZZ_CHECK(end == walk.consumed, name);
    } else {
        FUZZ_CHECK(!walk.items.empty() && !walk.explanation.empty(), name);
        const parcel_tool::Item &last = walk.items.back();
        FUZZ_CHECK(walk.offset >= last.offset && walk.offset <= last.offset + last.size, name);
        // Bytes that run out: the item that needed more reaches their end.
        if (walk.rule == parcel_tool::Rule::short_input)
            FUZZ_CHECK(walk.offset == last.offset && end == input.size(), name);
    }
    FUZZ_CHECK(!parcel_tool::annotate(type, input.data(), input.size(), walk).empty(), name);

    check_explained(type, ops, input, consumed, walk);
    check_explained(type, ops, parcel_fuzz::Input(data + 1, size - 1, 1), consumed, walk);
    return 0;
}
