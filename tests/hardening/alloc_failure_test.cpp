// Allocation failure, swept: every decode form, every clone form and every
// message-API decode of every type is run once to count the allocations it
// makes (through heapkit, taskbase and hostshim together), then once more
// for each of them with exactly that allocation refused.  Each refused run
// must fail as documented, leave its out-pointers as documented and give
// back every block it had taken; nothing may crash.
//
// The records have every field present and non-empty strings; a union is
// tried with each of its arms and with none.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>

#include "typetable.h"
#include "common/fault_allocator.h"

namespace {

using typetable::Bytes;
using parcel_test::FaultAllocator;
using typetable::Message;
using typetable::Type;

// Stands in a pointer that a failed call must leave alone.
alignas(16) unsigned char g_untouched_block[64];
void *const kUntouched = g_untouched_block;

// Failure points tried by this process, over all tests.
size_t g_total_points = 0;

// A goheap whose current chunk is full, so that whatever is placed in it
// next needs a new chunk from the process allocator: small blocks are taken
// until one needs a chunk, which is refused.
goheap_t *full_goheap()
{
    goheap_t *heap = goheap_create(0);
    if (heap == nullptr)
        return nullptr;
    FaultAllocator::arm(1);
    while (goheap_malloc(heap, 1) != nullptr) {
    }
    FaultAllocator::disarm();
    return heap;
}

// One operation: runs it with allocation `refuse` refused (0: none) by
// calling FaultAllocator::arm(refuse) right before the call under test and
// disarm() right after, checks the outcome it documents, releases what it
// made and says whether the call succeeded.
using Operation = std::function<bool(size_t refuse)>;

class AllocationFailure : public testing::Test {
protected:
    void SetUp() override { live_at_start_ = FaultAllocator::live(); }

    // Counts the operation's allocations on a successful run, then refuses
    // each of them in turn.
    void sweep(const std::string &what, const Operation &operation)
    {
        SCOPED_TRACE(what);
        swept_ = true;
        ASSERT_TRUE(operation(0)) << "the operation fails even without a refusal";
        const size_t count = FaultAllocator::requests();
        ASSERT_EQ(FaultAllocator::live(), live_at_start_) << "a successful run leaks";
        for (size_t n = 1; n <= count; ++n) {
            EXPECT_FALSE(operation(n)) << "succeeded with allocation " << n << " of " << count << " refused";
            EXPECT_EQ(FaultAllocator::refusals(), 1u) << "allocation " << n << " was never asked for";
            EXPECT_EQ(FaultAllocator::live(), live_at_start_) << "leak after refusing allocation " << n;
            EXPECT_EQ(FaultAllocator::foreign_releases(), 0u);
            ++points_;
        }
        // One past the count is never asked for: the count was exact.
        EXPECT_TRUE(operation(count + 1));
        EXPECT_EQ(FaultAllocator::refusals(), 0u);
        EXPECT_EQ(FaultAllocator::live(), live_at_start_);
    }

    void TearDown() override
    {
        if (!swept_)
            return;
        g_total_points += points_;
        RecordProperty("failure_points", static_cast<int>(points_));
        std::printf("[ sweep    ] %zu failure points tried\n", points_);
    }

    bool swept_ = false;
    size_t points_ = 0;
    size_t live_at_start_ = 0;
    parcel_test::ScopedFaultAllocator allocator_;
};

// ---- Records ------------------------------------------------------------------

class RecordAllocationFailure : public AllocationFailure,
                                public testing::WithParamInterface<Type> {
protected:
    // The record encodes to `bytes`.
    static void expect_encodes_to(const Type &type, const void *record, const Bytes &bytes)
    {
        Bytes out(bytes.size());
        EXPECT_EQ(type.encode(record, out.data(), static_cast<uint32_t>(out.size())),
                  static_cast<int32_t>(bytes.size()));
        EXPECT_EQ(out, bytes);
    }

    // Decode operations over `bytes` at `skew` into a buffer.
    void sweep_decodes(const Type &type, const Bytes &bytes, const std::string &label)
    {
        const auto size = static_cast<uint32_t>(bytes.size());

        sweep(label + " decode to the default heap", [&](size_t refuse) {
            void *record = kUntouched;
            FaultAllocator::arm(refuse);
            const int32_t n = type.decode(bytes.data(), size, &record);
            FaultAllocator::disarm();
            if (n < 0) {
                EXPECT_EQ(n, -1);
                EXPECT_EQ(record, nullptr);
                return false;
            }
            EXPECT_EQ(n, static_cast<int32_t>(size));
            expect_encodes_to(type, record, bytes);
            type.free_p(&record);
            return true;
        });

        sweep(label + " decode to a given goheap", [&](size_t refuse) {
            goheap_t *heap = full_goheap();
            EXPECT_NE(heap, nullptr);
            void *record = kUntouched;
            FaultAllocator::arm(refuse);
            const int32_t n = type.decode_given(bytes.data(), size, &record, heap);
            FaultAllocator::disarm();
            bool ok = n >= 0;
            if (ok) {
                EXPECT_EQ(n, static_cast<int32_t>(size));
                expect_encodes_to(type, record, bytes);
            } else {
                EXPECT_EQ(n, -1);
                EXPECT_EQ(record, nullptr);
            }
            goheap_destroy(heap);
            return ok;
        });

        sweep(label + " decode to a new goheap", [&](size_t refuse) {
            goheap_t *heap = nullptr;
            void *record = kUntouched;
            FaultAllocator::arm(refuse);
            const int32_t n = type.decode_new(bytes.data(), size, &record, &heap);
            FaultAllocator::disarm();
            if (n >= 0) {
                EXPECT_EQ(n, static_cast<int32_t>(size));
                EXPECT_NE(heap, nullptr);
                expect_encodes_to(type, record, bytes);
            } else if (heap == nullptr) {
                // The goheap itself could not be made: no record was placed
                // (the pointer is null, or left as it was).
                EXPECT_EQ(n, -1);
                EXPECT_TRUE(record == nullptr || record == kUntouched) << record;
            } else {
                EXPECT_EQ(n, -1);
                EXPECT_EQ(record, nullptr);
            }
            goheap_destroy(heap);
            return n >= 0;
        });

        // The memory stream cannot lend an unaligned buffer, so this decode
        // takes the word-by-word path with its own clean-up on failure.
        sweep(label + " decode word by word", [&](size_t refuse) {
            Bytes storage(bytes.size() + 1);
            std::copy(bytes.begin(), bytes.end(), storage.begin() + 1);
            XDR stream;
            xdrmem_create(&stream, reinterpret_cast<char *>(storage.data() + 1), size, XDR_DECODE);
            void *record = kUntouched;
            FaultAllocator::arm(refuse);
            const int ok = type.mxdr_p(&stream, &record, nullptr);
            FaultAllocator::disarm();
            XDR_DESTROY(&stream);
            if (!ok) {
                EXPECT_EQ(record, nullptr);
                return false;
            }
            expect_encodes_to(type, record, bytes);
            type.free_p(&record);
            return true;
        });
    }

    void sweep_clones(const Type &type, void *source, const Bytes &bytes, const std::string &label)
    {
        sweep(label + " clone to the default heap", [&](size_t refuse) {
            FaultAllocator::arm(refuse);
            void *copy = type.clone(source);
            FaultAllocator::disarm();
            if (copy == nullptr)
                return false;
            expect_encodes_to(type, copy, bytes);
            type.free_p(&copy);
            return true;
        });

        sweep(label + " clone to a given goheap", [&](size_t refuse) {
            goheap_t *heap = full_goheap();
            EXPECT_NE(heap, nullptr);
            FaultAllocator::arm(refuse);
            void *copy = type.clone_given(source, heap);
            FaultAllocator::disarm();
            if (copy != nullptr)
                expect_encodes_to(type, copy, bytes);
            goheap_destroy(heap);
            return copy != nullptr;
        });

        sweep(label + " clone to a new goheap", [&](size_t refuse) {
            goheap_t *heap = nullptr;
            FaultAllocator::arm(refuse);
            void *copy = type.clone_new(source, &heap);
            FaultAllocator::disarm();
            if (copy != nullptr) {
                EXPECT_NE(heap, nullptr);
                expect_encodes_to(type, copy, bytes);
            }
            goheap_destroy(heap); // handed back whether or not the copy was made
            return copy != nullptr;
        });

        for (const bool in_goheap : {false, true}) {
            sweep(label + " pointer clone to " + (in_goheap ? "a given goheap" : "the default heap"),
                  [&](size_t refuse) {
                      goheap_t *heap = in_goheap ? full_goheap() : nullptr;
                      void *from = source;
                      void *copy = kUntouched;
                      FaultAllocator::arm(refuse);
                      const int ok = type.clone_p(&from, &copy, heap);
                      FaultAllocator::disarm();
                      if (ok) {
                          EXPECT_EQ(ok, 1);
                          expect_encodes_to(type, copy, bytes);
                          if (!in_goheap)
                              type.free_p(&copy);
                      } else {
                          EXPECT_EQ(copy, nullptr);
                      }
                      goheap_destroy(heap);
                      return ok != 0;
                  });
        }
    }
};

TEST_P(RecordAllocationFailure, EveryDecodeAndCloneFailsCleanlyAtEveryAllocation)
{
    const Type &type = GetParam();
    for (int arm : typetable::sample_arms(type)) {
        const std::string label = type.is_union ? "arm " + std::to_string(arm) + ":" : "every field:";
        const Bytes bytes = typetable::sample_bytes(type, 0, arm);
        ASSERT_FALSE(bytes.empty()) << label;
        sweep_decodes(type, bytes, label);

        void *source = nullptr;
        ASSERT_EQ(type.decode(bytes.data(), static_cast<uint32_t>(bytes.size()), &source),
                  static_cast<int32_t>(bytes.size()));
        live_at_start_ = FaultAllocator::live();
        sweep_clones(type, source, bytes, label);
        type.free_p(&source);
        live_at_start_ = FaultAllocator::live();
    }
}

std::string type_name(const testing::TestParamInfo<Type> &info) { return std::string(info.param.name); }

INSTANTIATE_TEST_SUITE_P(AllTypes, RecordAllocationFailure, testing::ValuesIn(typetable::types()),
                         type_name);

// ---- The message API --------------------------------------------------------------

class MessageAllocationFailure : public AllocationFailure,
                                 public testing::WithParamInterface<Message> {};

TEST_P(MessageAllocationFailure, DecodeFailsAtEveryAllocationWithOutUntouched)
{
    const Message &msg = GetParam();
    const Bytes bytes = typetable::sample_message(msg, 0);
    ASSERT_FALSE(bytes.empty());
    sweep("message decode", [&](size_t refuse) {
        void *out = kUntouched;
        FaultAllocator::arm(refuse);
        const int32_t result = msg.decode(bytes.data(), static_cast<uint32_t>(bytes.size()), &out);
        FaultAllocator::disarm();
        if (result != 0) {
            EXPECT_EQ(result, -1);
            EXPECT_EQ(out, kUntouched);
            return false;
        }
        // Every field was carried, so the structure encodes to the same bytes.
        Bytes again(bytes.size());
        EXPECT_EQ(msg.encode(out, again.data(), static_cast<uint32_t>(again.size())),
                  static_cast<int32_t>(bytes.size()));
        EXPECT_EQ(again, bytes);
        msg.free(out);
        return true;
    });
}

TEST_P(MessageAllocationFailure, EncodeAllocatesNothing)
{
    const Message &msg = GetParam();
    const Bytes bytes = typetable::sample_message(msg, 1);
    void *decoded = nullptr;
    ASSERT_EQ(msg.decode(bytes.data(), static_cast<uint32_t>(bytes.size()), &decoded), 0);
    // Counts requests: the encoder must not make one.
    Bytes out(bytes.size());
    FaultAllocator::arm(1);
    const int32_t written = msg.encode(decoded, out.data(), static_cast<uint32_t>(out.size()));
    FaultAllocator::disarm();
    EXPECT_EQ(FaultAllocator::requests(), 0u);
    EXPECT_EQ(written, static_cast<int32_t>(bytes.size()));
    EXPECT_EQ(out, bytes);
    msg.free(decoded);
}

std::string message_name(const testing::TestParamInfo<Message> &info) { return std::string(info.param.name); }

INSTANTIATE_TEST_SUITE_P(AllMessages, MessageAllocationFailure,
                         testing::ValuesIn(typetable::messages()), message_name);

// Prints the total when the tests of this process are done.
class TotalPoints : public testing::Environment {
public:
    void TearDown() override
    {
        std::printf("[ sweep    ] %zu allocation failure points tried in total\n", g_total_points);
    }
};
[[maybe_unused]] const testing::Environment *const g_total = testing::AddGlobalTestEnvironment(new TotalPoints);

} // namespace
