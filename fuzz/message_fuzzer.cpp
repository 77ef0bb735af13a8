// Fuzz target for the seventeen decoders of the message API.
//
// Input: byte 0 picks the message (value % 17), byte 1 names an allocation
// to refuse during the decode (1-based, over heapkit, taskbase and hostshim;
// 0 refuses none), the rest are the bytes to decode.
//
// A failed decode returns -1, leaves *out untouched and leaks nothing.  A
// successful one must agree with the record decoder of the message's type
// field by field; its structure encodes again without any allocation, to
// exactly the consumed bytes when the message carried every field, and in
// any case to bytes that decode back to the same structure (null strings
// travel as empty ones); the encoding does not fit one byte fewer; freeing
// gives every block back.
#include "fuzz_support.h"

namespace {

using namespace parcel_fuzz;
using typetable::Message;

alignas(16) unsigned char g_untouched_block[64];
void *const kUntouched = g_untouched_block;

const std::vector<Message> &messages() { return typetable::messages(); }

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    FaultAllocator::install();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    const Message &msg = messages()[data[0] % messages().size()];
    const size_t refuse = data[1];
    const Input input(data + 2, size - 2, 0);
    const size_t live_at_start = FaultAllocator::live();

    // What the record decoder makes of the same bytes.
    void *record = nullptr;
    const int32_t consumed = msg.type->decode(input.data(), input.size(), &record);

    void *out = kUntouched;
    FaultAllocator::arm(refuse);
    const int32_t result = msg.decode(input.data(), input.size(), &out);
    const bool refused = FaultAllocator::refusals() != 0;
    FaultAllocator::disarm();
    FUZZ_CHECK(FaultAllocator::largest_request() <= allocation_bound(input.size()), msg.name);

    if (result != 0) {
        FUZZ_CHECK(result == -1, msg.name);
        FUZZ_CHECK(out == kUntouched, msg.name);
        FUZZ_CHECK(refused || consumed < 0, msg.name);
    } else {
        FUZZ_CHECK(consumed >= 4, msg.name);
        FUZZ_CHECK(out != nullptr && out != kUntouched, msg.name);
        FUZZ_CHECK(typetable::matches_record(msg, out, record), msg.name);

        // Room for every field, absent ones included (a string at least 4 bytes).
        const uint32_t room = static_cast<uint32_t>(consumed) + 8 * msg.type->count();
        std::unique_ptr<unsigned char[]> encoded(new unsigned char[room]);
        FaultAllocator::arm(0);
        const int32_t written = msg.encode(out, encoded.get(), room);
        FUZZ_CHECK(FaultAllocator::requests() == 0, msg.name); // encoding allocates nothing
        FUZZ_CHECK(written >= 4, msg.name);
        if (word_at(input.data()) == typetable::all_fields(msg.type->count())) {
            FUZZ_CHECK(written == consumed, msg.name);
            FUZZ_CHECK(std::memcmp(encoded.get(), input.data(), static_cast<size_t>(consumed)) == 0, msg.name);
        }
        const auto n = static_cast<uint32_t>(written);
        std::unique_ptr<unsigned char[]> short_buffer(new unsigned char[n - 1]);
        FUZZ_CHECK(msg.encode(out, short_buffer.get(), n - 1) == -1, msg.name);

        void *again = kUntouched;
        FUZZ_CHECK(msg.decode(encoded.get(), n, &again) == 0, msg.name);
        FUZZ_CHECK(typetable::same_fields(msg, out, again, true), msg.name);
        msg.free(again);
        msg.free(out);
    }

    if (consumed >= 0) {
        msg.type->free_p(&record);
        FUZZ_CHECK(record == nullptr, msg.name);
    } else {
        FUZZ_CHECK(record == nullptr, msg.name);
    }
    // Without a refusal the two decoders agree on every verdict.
    if (!refused)
        FUZZ_CHECK((result == 0) == (consumed >= 0), msg.name);
    FUZZ_CHECK(FaultAllocator::live() == live_at_start, msg.name);
    FUZZ_CHECK(FaultAllocator::foreign_releases() == 0, msg.name);
    return 0;
}
