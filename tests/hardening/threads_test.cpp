// Eight threads at once encode, decode (every form), clone (every form) and
// free every type, and run every message through the message API, checking
// each result against the bytes the record was built from.  All of them also
// encode and clone one shared record per type, which must only ever be read.
// Built with PARCEL_SANITIZE=thread this must pass without a report.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#if __has_include(<valgrind/valgrind.h>)
#include <valgrind/valgrind.h>
#endif
#ifndef RUNNING_ON_VALGRIND
#define RUNNING_ON_VALGRIND 0
#endif

#include "typetable.h"
#include "common/fault_allocator.h"

namespace {

using typetable::Bytes;
using parcel_test::FaultAllocator;
using typetable::Message;
using typetable::Type;

constexpr unsigned kThreads = 8;

// Rounds per thread: PARCEL_THREAD_ROUNDS, else 100 (3 under valgrind, which
// runs one thread at a time).
int rounds()
{
    if (const char *text = std::getenv("PARCEL_THREAD_ROUNDS"))
        return std::max(1, std::atoi(text));
    return RUNNING_ON_VALGRIND ? 3 : 100;
}

// Collects what went wrong in one thread; gtest's assertions are kept to the
// main thread.
class Problems {
public:
    void check(bool ok, const char *what, std::string_view type, int arm)
    {
        if (!ok && list_.size() < 20)
            list_.push_back(std::string(what) + " (" + std::string(type) + ", arm " + std::to_string(arm) + ")");
        failures_ += ok ? 0 : 1;
    }
    size_t failures() const { return failures_; }
    const std::vector<std::string> &list() const { return list_; }

private:
    size_t failures_ = 0;
    std::vector<std::string> list_;
};

bool encodes_to(const Type &type, const void *record, const Bytes &bytes)
{
    if (record == nullptr || type.length(record) != static_cast<int>(bytes.size()))
        return false;
    Bytes out(bytes.size());
    return type.encode(record, out.data(), static_cast<uint32_t>(out.size())) ==
               static_cast<int32_t>(bytes.size()) &&
           out == bytes;
}

// One record per type and arm, decoded before the threads start.
struct Shared {
    const Type *type;
    int arm;
    Bytes bytes;
    void *record;
};

void exercise_type(const Type &type, int arm, unsigned variant, Problems &problems)
{
    const Bytes bytes = typetable::sample_bytes(type, variant, arm);
    const auto size = static_cast<uint32_t>(bytes.size());
    const auto check = [&](bool ok, const char *what) { problems.check(ok, what, type.name, arm); };
    check(!bytes.empty(), "sample encodes");
    if (bytes.empty())
        return;

    void *record = nullptr;
    check(type.decode(bytes.data(), size, &record) == static_cast<int32_t>(size), "decode");
    check(encodes_to(type, record, bytes), "decoded record encodes back");
    if (record == nullptr)
        return;

    void *copy = type.clone(record);
    check(encodes_to(type, copy, bytes), "clone");
    type.free_p(&copy);
    check(copy == nullptr, "free nulls the pointer");

    goheap_t *own = goheap_create(0);
    void *in_heap = nullptr;
    check(type.decode_given(bytes.data(), size, &in_heap, own) == static_cast<int32_t>(size),
          "decode to a given goheap");
    check(encodes_to(type, in_heap, bytes), "given-goheap record encodes back");
    check(encodes_to(type, type.clone_given(record, own), bytes), "clone to a given goheap");
    goheap_destroy(own);

    goheap_t *made = nullptr;
    void *in_new = nullptr;
    check(type.decode_new(bytes.data(), size, &in_new, &made) == static_cast<int32_t>(size),
          "decode to a new goheap");
    check(encodes_to(type, in_new, bytes), "new-goheap record encodes back");
    goheap_destroy(made);

    made = nullptr;
    check(encodes_to(type, type.clone_new(record, &made), bytes), "clone to a new goheap");
    goheap_destroy(made);

    void *pointer_copy = nullptr;
    check(type.clone_p(&record, &pointer_copy, nullptr) == 1, "pointer clone");
    check(encodes_to(type, pointer_copy, bytes), "pointer clone encodes");
    type.free_p(&pointer_copy);
    type.free_p(&record);
}

void exercise_message(const Message &msg, unsigned variant, Problems &problems)
{
    const Bytes bytes = typetable::sample_message(msg, variant);
    void *decoded = nullptr;
    const bool ok = !bytes.empty() && msg.decode(bytes.data(), static_cast<uint32_t>(bytes.size()), &decoded) == 0;
    problems.check(ok, "message decode", msg.name, -1);
    if (!ok)
        return;
    Bytes again(bytes.size());
    problems.check(msg.encode(decoded, again.data(), static_cast<uint32_t>(again.size())) ==
                           static_cast<int32_t>(bytes.size()) &&
                       again == bytes,
                   "message encodes back", msg.name, -1);
    msg.free(decoded);
}

void exercise_shared(const Shared &shared, Problems &problems)
{
    const Type &type = *shared.type;
    problems.check(encodes_to(type, shared.record, shared.bytes), "shared record encodes", type.name, shared.arm);
    void *copy = type.clone(shared.record);
    problems.check(encodes_to(type, copy, shared.bytes), "shared record clones", type.name, shared.arm);
    type.free_p(&copy);
}

TEST(Threads, EveryTypeAndMessageAtOnceFromEightThreads)
{
    parcel_test::ScopedFaultAllocator allocator; // installed before any thread starts
    const size_t live_at_start = FaultAllocator::live();

    std::vector<Shared> shared;
    for (const Type &type : typetable::types())
        for (int arm : typetable::sample_arms(type)) {
            Shared entry{&type, arm, typetable::sample_bytes(type, 99, arm), nullptr};
            ASSERT_GE(type.decode(entry.bytes.data(), static_cast<uint32_t>(entry.bytes.size()), &entry.record), 0);
            shared.push_back(std::move(entry));
        }

    const int round_count = rounds();
    std::vector<Problems> problems(kThreads);
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int round = 0; round < round_count; ++round) {
                // Each thread starts at a different type so that different
                // types, and the same type, meet in every combination.
                const auto &types = typetable::types();
                for (size_t i = 0; i < types.size(); ++i) {
                    const Type &type = types[(i + t * 4) % types.size()];
                    for (int arm : typetable::sample_arms(type))
                        exercise_type(type, arm, t + static_cast<unsigned>(round), problems[t]);
                }
                for (const auto &msg : typetable::messages())
                    exercise_message(msg, t + static_cast<unsigned>(round), problems[t]);
                for (const Shared &entry : shared)
                    exercise_shared(entry, problems[t]);
            }
        });
    for (std::thread &thread : threads)
        thread.join();

    for (unsigned t = 0; t < kThreads; ++t) {
        EXPECT_EQ(problems[t].failures(), 0u) << "thread " << t;
        for (const std::string &problem : problems[t].list())
            ADD_FAILURE() << "thread " << t << ": " << problem;
    }
    for (Shared &entry : shared)
        entry.type->free_p(&entry.record);
    EXPECT_EQ(FaultAllocator::live(), live_at_start);
    EXPECT_EQ(FaultAllocator::foreign_releases(), 0u);
    std::printf("[ threads  ] %u threads x %d rounds\n", kThreads, round_count);
}

} // namespace
