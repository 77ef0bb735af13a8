// Fuzz target for the thirty record decoders in their three forms.
//
// Input: byte 0 picks the type and the decode form (value % 90: type =
// value / 3, form = value % 3: default heap, given goheap, new goheap);
// byte 1 names an allocation to refuse during the decode (1-based, counted
// over heapkit, taskbase and hostshim; 0 refuses none); the rest are the
// bytes to decode.
//
// After a failed decode: -1, no record (when the new goheap itself could not
// be made, the record pointer null or left as it was) and nothing leaked.
// After a successful one:
//   - the encoded length equals the bytes consumed, field by field too;
//   - re-encoding gives exactly the consumed bytes, in place and word by
//     word, takes no memory and does not fit one byte fewer;
//   - each clone form encodes to the same bytes;
//   - the same bytes decode alike on an unaligned memory stream and on a
//     stdio stream (both read word by word), and on a record stream whose
//     fragments and reads are cut at sizes the input's length chooses from
//     those of the corpus test (lent windows where they fit, word by word
//     where they meet a cut);
//   - freeing gives every block back: the allocator's live count returns to
//     where it started.
#include <cstdio>

#include "../tests/common/record_streams.h"
#include "fuzz_support.h"

namespace {

using namespace parcel_fuzz;
using typetable::Type;

enum Form : unsigned { kDefaultHeap, kGivenGoheap, kNewGoheap, kFormCount };

// Stands in a record pointer that a call must leave alone.
alignas(16) unsigned char g_untouched_block[16];
void *const kUntouched = g_untouched_block;

const std::vector<Type> &types() { return typetable::types(); }

// A record given back through the pointer filter in free mode.
void free_through_filter(const Type &type, void **recordp, goheap_t *heap)
{
    XDR release{};
    release.x_op = XDR_FREE;
    FUZZ_CHECK(type.mxdr_p(&release, recordp, heap) == 1, type.name);
    FUZZ_CHECK(*recordp == nullptr, type.name);
}

// Writes a record through a memory stream one byte into a block, which the
// stream cannot lend, so every field goes through its routine.
Bytes encode_word_by_word(const Type &type, void *record, uint32_t size)
{
    std::unique_ptr<unsigned char[]> block(new unsigned char[size + 1]);
    XDR stream;
    xdrmem_create(&stream, reinterpret_cast<char *>(block.get() + 1), size, XDR_ENCODE);
    const int ok = type.mxdr(&stream, record, nullptr);
    const u_int written = XDR_GETPOS(&stream);
    XDR_DESTROY(&stream);
    FUZZ_CHECK(ok == 1, type.name);
    return Bytes(block.get() + 1, block.get() + 1 + written);
}

// The length routines of the record's own descriptor, summed field by field
// (for a union: the discriminant and the arm's length).
int length_by_fields(const Type &type, const void *record)
{
    const auto *base = static_cast<const unsigned char *>(record);
    if (type.is_union) {
        int32_t discriminant;
        std::memcpy(&discriminant, base + FC_UNION_DISCRIMINANT_OFFSET, sizeof discriminant);
        if (discriminant == -1)
            return 4;
        FUZZ_CHECK(discriminant >= 0 && static_cast<uint32_t>(discriminant) < type.count(), type.name);
        return 4 + type.length_desc->entries[discriminant].routine(base + FC_UNION_ARM_OFFSET);
    }
    int total = 4;
    for (uint32_t i = 0; i < type.count(); ++i)
        if (xdr_optional_generic_struct_check_field(record, i))
            total += type.length_desc->entries[i].routine(base + type.length_desc->entries[i].offset);
    return total;
}

// The record encodes to exactly `expected` by every encoding routine.
void check_encodes_to(const Type &type, void *record, const unsigned char *expected, uint32_t n)
{
    FUZZ_CHECK(type.length(record) == static_cast<int>(n), type.name);
    void *slot = record;
    FUZZ_CHECK(type.length_p(&slot) == static_cast<int>(n), type.name);
    FUZZ_CHECK(length_by_fields(type, record) == static_cast<int>(n), type.name);

    // An exact-sized block: a write past the end is an AddressSanitizer report.
    std::unique_ptr<unsigned char[]> out(new unsigned char[n]);
    FaultAllocator::arm(0);
    FUZZ_CHECK(type.encode(record, out.get(), n) == static_cast<int32_t>(n), type.name);
    FUZZ_CHECK(FaultAllocator::requests() == 0, type.name); // encoding takes no memory
    FUZZ_CHECK(std::memcmp(out.get(), expected, n) == 0, type.name);
    std::memset(out.get(), 0xa5, n);
    FUZZ_CHECK(type.encode_p(&slot, out.get(), n) == static_cast<int32_t>(n), type.name);
    FUZZ_CHECK(std::memcmp(out.get(), expected, n) == 0, type.name);
    FUZZ_CHECK(type.encode(record, out.get(), n - 1) == -1, type.name);

    const Bytes words = encode_word_by_word(type, record, n);
    FUZZ_CHECK(words.size() == n && std::memcmp(words.data(), expected, n) == 0, type.name);
}

// Every clone form copies the record to the same bytes and frees cleanly.
void check_clones(const Type &type, void *record, const unsigned char *expected, uint32_t n)
{
    void *copy = type.clone(record);
    FUZZ_CHECK(copy != nullptr && copy != record, type.name);
    check_encodes_to(type, copy, expected, n);
    type.free_p(&copy);
    FUZZ_CHECK(copy == nullptr, type.name);

    goheap_t *given = goheap_create(0);
    FUZZ_CHECK(given != nullptr, type.name);
    copy = type.clone_given(record, given);
    FUZZ_CHECK(copy != nullptr, type.name);
    check_encodes_to(type, copy, expected, n);
    free_through_filter(type, &copy, given);
    goheap_destroy(given);

    goheap_t *made = nullptr;
    copy = type.clone_new(record, &made);
    FUZZ_CHECK(copy != nullptr && made != nullptr, type.name);
    check_encodes_to(type, copy, expected, n);
    goheap_destroy(made);

    void *source = record;
    copy = kUntouched;
    FUZZ_CHECK(type.clone_p(&source, &copy, nullptr) == 1 && copy != nullptr && copy != kUntouched,
               type.name);
    check_encodes_to(type, copy, expected, n);
    type.free_p(&copy);
}

// Decodes through `stream` with the pointer filter on the default heap; the
// bytes consumed, or -1.  The record is re-encoded and compared, then freed.
int64_t decode_through(const Type &type, XDR *stream, long (*position)(XDR *, void *), void *context,
                       const unsigned char *bytes)
{
    void *record = kUntouched;
    const int ok = type.mxdr_p(stream, &record, nullptr);
    if (!ok) {
        FUZZ_CHECK(record == nullptr, type.name);
        return -1;
    }
    FUZZ_CHECK(record != nullptr && record != kUntouched, type.name);
    const long consumed = position(stream, context);
    FUZZ_CHECK(consumed >= 4, type.name);
    check_encodes_to(type, record, bytes, static_cast<uint32_t>(consumed));
    free_through_filter(type, &record, nullptr);
    return consumed;
}

// The verdict and length of the reference paths, which read word by word.
void check_other_streams_agree(const Type &type, const Input &input, int32_t expected)
{
    Input unaligned(input.data(), input.size(), 1);
    XDR memory;
    xdrmem_create(&memory, reinterpret_cast<char *>(unaligned.data()), unaligned.size(), XDR_DECODE);
    const int64_t from_memory = decode_through(
        type, &memory, [](XDR *x, void *) { return static_cast<long>(XDR_GETPOS(x)); }, nullptr,
        input.data());
    XDR_DESTROY(&memory);
    FUZZ_CHECK(from_memory == expected, type.name);

    if (input.size() == 0)
        return; // fmemopen wants at least one byte
    Input readable(input.data(), input.size(), 0);
    FILE *file = fmemopen(readable.data(), readable.size(), "r");
    FUZZ_CHECK(file != nullptr, type.name);
    XDR stdio;
    xdrstdio_create(&stdio, file, XDR_DECODE);
    const int64_t from_stdio = decode_through(
        type, &stdio, [](XDR *, void *f) { return std::ftell(static_cast<FILE *>(f)); }, file,
        input.data());
    XDR_DESTROY(&stdio);
    std::fclose(file);
    FUZZ_CHECK(from_stdio == expected, type.name);

    // Fragments and reads of the sizes the corpus test cuts at, whole ones
    // included, chosen by the input's length.
    static constexpr uint32_t kFragments[] = {1, 3, 4, 5, 7, 8, 12, 13, 1u << 20};
    static constexpr uint32_t kReads[] = {1u << 20, 1, 3, 5, 7, 13};
    const size_t cut = input.size();
    struct Record {
        parcel_test::RecordReader reader;
        long size;
    } record{{parcel_test::record_marked(Bytes(input.data(), input.data() + input.size()), kFragments[cut % 9]),
              kReads[cut / 9 % 6]},
             static_cast<long>(input.size())};
    FUZZ_CHECK(record.reader.stream() != nullptr, type.name);
    const int64_t from_record = decode_through(
        type, record.reader.stream(),
        [](XDR *, void *r) {
            auto *at = static_cast<Record *>(r);
            return at->size - static_cast<long>(at->reader.rest_of_record());
        },
        &record, input.data());
    FUZZ_CHECK(from_record == expected, type.name);
}

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
    const unsigned selector = data[0] % (types().size() * kFormCount);
    const Type &type = types()[selector / kFormCount];
    const auto form = static_cast<Form>(selector % kFormCount);
    const size_t refuse = data[1];
    const Input input(data + 2, size - 2, 0);
    const size_t live_at_start = FaultAllocator::live();

    goheap_t *given = nullptr;
    if (form == kGivenGoheap) {
        given = goheap_create(0);
        FUZZ_CHECK(given != nullptr, type.name);
    }
    void *record = kUntouched;
    goheap_t *made = nullptr;
    FaultAllocator::arm(refuse);
    int32_t consumed = -1;
    switch (form) {
    case kDefaultHeap:
        consumed = type.decode(input.data(), input.size(), &record);
        break;
    case kGivenGoheap:
        consumed = type.decode_given(input.data(), input.size(), &record, given);
        break;
    case kNewGoheap:
        consumed = type.decode_new(input.data(), input.size(), &record, &made);
        break;
    case kFormCount:
        break;
    }
    const bool refused = FaultAllocator::refusals() != 0;
    FaultAllocator::disarm();
    FUZZ_CHECK(FaultAllocator::largest_request() <= allocation_bound(input.size()), type.name);

    if (consumed < 0) {
        FUZZ_CHECK(consumed == -1, type.name);
        if (form == kNewGoheap && made == nullptr)
            FUZZ_CHECK(refused && (record == nullptr || record == kUntouched), type.name);
        else
            FUZZ_CHECK(record == nullptr, type.name);
    } else {
        FUZZ_CHECK(record != nullptr && record != kUntouched, type.name);
        FUZZ_CHECK(consumed >= 4 && static_cast<uint32_t>(consumed) <= input.size(), type.name);
        FUZZ_CHECK(form != kNewGoheap || made != nullptr, type.name);
        const auto n = static_cast<uint32_t>(consumed);
        check_encodes_to(type, record, input.data(), n);
        check_clones(type, record, input.data(), n);
    }

    switch (form) {
    case kDefaultHeap:
        if (record != nullptr) {
            type.free_p(&record);
            FUZZ_CHECK(record == nullptr, type.name);
            type.free_p(&record); // a second free does nothing
        }
        break;
    case kGivenGoheap:
        if (record != nullptr)
            free_through_filter(type, &record, given);
        goheap_destroy(given);
        break;
    case kNewGoheap:
        goheap_destroy(made);
        break;
    case kFormCount:
        break;
    }

    // An allocation refused on purpose changes the verdict; otherwise the
    // word-by-word paths must agree with the one just taken.
    if (!refused)
        check_other_streams_agree(type, input, consumed);

    FUZZ_CHECK(FaultAllocator::live() == live_at_start, type.name);
    FUZZ_CHECK(FaultAllocator::foreign_releases() == 0, type.name);
    return 0;
}
