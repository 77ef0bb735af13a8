// Differential fuzz target: the field codec's explaining decode, and the
// parcel tool's diagnosis built on it, against the library's decoder.
//
// Input: byte 0 picks the type (value % 30, catalogue order); the rest are
// the bytes to decode.  The explaining decode, over an aligned buffer (read
// in windows) and an unaligned one (word by word), must reach the decoder's
// verdict and length and refuse exactly the bytes the decoder refuses.  The
// items it reports lie back to back from offset 0 within the bytes, the
// refused one where the others end, with the byte it names inside it; bytes
// that run out end inside the refused item; and the values a refusal names
// are what the bytes hold.  The tool's diagnosis reaches the same verdict
// and its annotated view can be drawn.
#include "fuzz_support.h"
#include "explain.h"

namespace {

struct Explained {
    std::vector<fc_item_t> items;
    bool refused = false;
    fc_refusal_t refusal{};
};

void check_explained(const typetable::Type &type, const parcel_fuzz::Input &input, int32_t consumed)
{
    const std::string_view name = type.name;
    Explained out;
    const fc_sink_t sink{[](void *to, const fc_item_t *item) { static_cast<Explained *>(to)->items.push_back(*item); },
                         [](void *to, const fc_refusal_t *refusal) {
                             auto *explained = static_cast<Explained *>(to);
                             explained->refused = true;
                             explained->refusal = *refusal;
                         },
                         &out};
    uint64_t taken = 0;
    const int result = typetable::explain(type, input.data(), input.size(), sink, &taken);

    FUZZ_CHECK(result == (consumed >= 0 ? 1 : 0), name);
    FUZZ_CHECK(consumed < 0 || taken == static_cast<uint64_t>(consumed), name);
    FUZZ_CHECK(out.refused == (consumed < 0), name);
    uint64_t end = 0;
    for (const fc_item_t &item : out.items) {
        FUZZ_CHECK(item.offset == end, name);
        end += item.size;
    }
    FUZZ_CHECK(end <= input.size(), name);
    if (!out.refused) {
        FUZZ_CHECK(end == taken, name);
        return;
    }
    const fc_refusal_t &refusal = out.refusal;
    FUZZ_CHECK(refusal.item.offset == end && fc_rule_code(refusal.rule) != nullptr, name);
    FUZZ_CHECK(refusal.offset >= end && refusal.offset <= end + refusal.item.size, name);
    // What the refusal names, as the bytes hold it.
    const unsigned char *bytes = input.data();
    const auto word_at = [&](uint64_t offset) { return parcel_fuzz::word_at(bytes + offset); };
    const typetable::Type &holder =
        refusal.item.arm < 0 ? type : *type.arms[static_cast<size_t>(refusal.item.arm)].type;
    switch (refusal.rule) {
    case FC_RULE_PRESENCE:
        FUZZ_CHECK(refusal.value == word_at(refusal.offset) && refusal.limit == holder.count(), name);
        break;
    case FC_RULE_DISCRIMINANT:
        FUZZ_CHECK(refusal.value == word_at(refusal.offset) && refusal.limit == type.count(), name);
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
        // Bytes that run out: the item that needed more reaches past their end.
        FUZZ_CHECK(refusal.offset == end && end + refusal.item.size > input.size(), name);
        break;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const std::vector<typetable::Type> &types = typetable::types();
    const typetable::Type &type = types[data[0] % types.size()];
    const std::string_view name = type.name;
    const parcel_fuzz::Input input(data + 1, size - 1, 0);

    void *record = nullptr;
    const int32_t consumed = type.decode(input.data(), input.size(), &record);
    type.free_p(&record);
    check_explained(type, input, consumed);
    check_explained(type, parcel_fuzz::Input(data + 1, size - 1, 1), consumed);

    const parcel_tool::Walk walk = parcel_tool::walk(type, input.data(), input.size());
    FUZZ_CHECK(walk.valid == (consumed >= 0) && walk.valid == walk.explanation.empty(), name);
    FUZZ_CHECK(!parcel_tool::annotate(type, input.data(), input.size(), walk).empty(), name);
    return 0;
}
