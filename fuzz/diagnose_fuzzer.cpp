// Differential fuzz target: the parcel tool's explaining walk against the
// library's decoder.
//
// Input: byte 0 picks the type (value % 30, catalogue order); the rest are
// the bytes to decode.  The walk must call the bytes valid exactly when the
// decoder takes them, with the same length.  Either way the items it read
// lie back to back from offset 0 within the bytes; on a refusal the offset
// it names lies in the last of them, which reaches the end of the bytes when
// they ran out; and the annotated view can be drawn.
#include "fuzz_support.h"
#include "explain.h"

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
    return 0;
}
