// parcel_bench: times parcel's routines for every type of the catalogue next
// to the anchors (rpcgen, a hand-written floor codec, protobuf) on the same
// shapes, and counts the allocations each operation makes.
//
//   parcel_bench [Google Benchmark flags]    time every case
//   parcel_bench --check                     check the anchors' bytes and the
//                                            allocation counts, then exit
//   parcel_bench --list                      print the case names
//   parcel_bench --drive=CASE --iterations=N run CASE N times through
//                                            bench_drive_op, for callgrind
//
// Cases are named <implementation>/<operation>/<parcel type>.  Every run
// first checks that parcel, the anchors and the message API agree on the
// bytes of the samples, and aborts when they do not.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "alloc_count.h"
#include "anchor_ops.h"
#include "drive_point.h"
#include "ops.h"
#include "record_ops.h"
#include "throughput.h"

namespace bench {
namespace {

// ---- Cases ----------------------------------------------------------------------------

struct bench_case {
    std::string name;
    void (*drive)(uint64_t iterations);
    alloc_count::counts (*count)(uint32_t operations);
};

std::vector<bench_case> &cases()
{
    static std::vector<bench_case> all;
    return all;
}

// Builds an operation and runs it once, so that everything it touches on
// first use (samples, encodings, lazily set-up statics) is in place before
// anything is timed or counted.
template <class Op>
std::unique_ptr<Op> ready_op()
{
    auto op = std::make_unique<Op>();
    (*op)();
    if constexpr (Op::kBatch != 0)
        op->next_batch();
    return op;
}

template <class Op>
void time_op(benchmark::State &state)
{
    auto op = ready_op<Op>();
    alloc_count::counts untimed;
    uint32_t in_batch = 0;
    const alloc_count::counts before = alloc_count::now();
    for (auto _ : state) {
        (*op)();
        if constexpr (Op::kBatch != 0) {
            if (++in_batch == Op::kBatch) {
                state.PauseTiming();
                const alloc_count::counts start = alloc_count::now();
                op->next_batch();
                untimed += alloc_count::now() - start;
                in_batch = 0;
                state.ResumeTiming();
            }
        }
    }
    const alloc_count::counts used = alloc_count::now() - before - untimed;
    const auto iterations = static_cast<double>(state.iterations());
    if constexpr (messages_per_call<Op>() != 1)
        state.counters["messages"] = messages_per_call<Op>();
    state.counters["hook_allocs"] = static_cast<double>(used.hooks) / iterations;
    if (alloc_count::process_wide())
        state.counters["mallocs"] = static_cast<double>(used.process) / iterations;
}

template <class Op>
void call_op(void *op)
{
    (*static_cast<Op *>(op))();
}

// `messages` messages' worth of calls: a call that handles a batch counts
// as that many messages, and at least one call is made.
template <class Op>
void drive_op(uint64_t messages)
{
    auto op = ready_op<Op>();
    uint32_t in_batch = 0;
    const uint64_t calls = std::max<uint64_t>(1, messages / messages_per_call<Op>());
    for (uint64_t i = 0; i < calls; ++i) {
        bench_drive_op(&call_op<Op>, op.get());
        if constexpr (Op::kBatch != 0) {
            if (++in_batch == Op::kBatch) {
                op->next_batch();
                in_batch = 0;
            }
        }
    }
}

// Allocations made by `operations` calls of a ready operation (batches
// never fill up here: checks use fewer operations than a batch holds).
template <class Op>
alloc_count::counts count_op(uint32_t operations)
{
    auto op = ready_op<Op>();
    const alloc_count::counts before = alloc_count::now();
    for (uint32_t i = 0; i < operations; ++i)
        (*op)();
    return alloc_count::now() - before;
}

template <class Op>
void add(const std::string &name)
{
    cases().push_back({name, &drive_op<Op>, &count_op<Op>});
    benchmark::RegisterBenchmark(name.c_str(), &time_op<Op>);
}

template <class T>
void add_family()
{
    const std::string type = family<T>::name;
    add<encode_op<T>>("parcel/encode/" + type);
    add<length_op<T>>("parcel/length/" + type);
    add<decode_free_op<T>>("parcel/decode_free/" + type);
    add<decode_goheap_op<T>>("parcel/decode_goheap/" + type);
    add<decode_new_goheap_op<T>>("parcel/decode_new_goheap/" + type);
    add<clone_free_op<T>>("parcel/clone_free/" + type);
    add<clone_new_goheap_op<T>>("parcel/clone_new_goheap/" + type);
}

// Batches of N decodes of T: into a goheap made with each hint, and onto the
// default heap.  Cases parcel/batch_goheap_<hint>/<N>/T and
// parcel/batch_default_heap/<N>/T.
template <class T, uint32_t N>
void add_batches()
{
    const std::string tail = "/" + std::to_string(N) + "/" + family<T>::name;
    add<batch_goheap_op<T, N, kFitHint>>("parcel/batch_goheap_fit" + tail);
    add<batch_goheap_op<T, N, 0>>("parcel/batch_goheap_0" + tail);
    add<batch_goheap_op<T, N, 256>>("parcel/batch_goheap_256" + tail);
    add<batch_goheap_op<T, N, 1024>>("parcel/batch_goheap_1k" + tail);
    add<batch_goheap_op<T, N, 16 * 1024>>("parcel/batch_goheap_16k" + tail);
    add<batch_goheap_op<T, N, 64 * 1024>>("parcel/batch_goheap_64k" + tail);
    add<batch_goheap_op<T, N, 1024 * 1024>>("parcel/batch_goheap_1m" + tail);
    add<batch_default_heap_op<T, N>>("parcel/batch_default_heap" + tail);
}

template <class Message>
void add_message()
{
    const std::string type = family<typename message<Message>::record>::name;
    add<api_encode_op<Message>>("api/encode/" + type);
    add<api_decode_free_op<Message>>("api/decode_free/" + type);
}

template <class T>
void add_anchor()
{
    const std::string type = family<T>::name;
    add<rpcgen_encode_op<T>>("rpcgen/encode/" + type);
    add<rpcgen_decode_free_op<T>>("rpcgen/decode_free/" + type);
#if BENCH_HAVE_PROTOBUF
    add<protobuf_serialize_op<T>>("protobuf/serialize/" + type);
    add<protobuf_parse_op<T>>("protobuf/parse/" + type);
#endif
}

// Sending and receiving on a record stream over memory: cases
// <implementation>/record_send<suffix>/cu_vuser_msg_t and record_receive.
template <uint32_t Messages>
void add_record_streams(const std::string &suffix)
{
    const std::string send = "/record_send" + suffix + "/cu_vuser_msg_t";
    const std::string receive = "/record_receive" + suffix + "/cu_vuser_msg_t";
    add<record_send_op<parcel_record_io, Messages>>("parcel" + send);
    add<record_receive_op<parcel_record_io, Messages>>("parcel" + receive);
    add<record_send_op<rpcgen_record_io, Messages>>("rpcgen" + send);
    add<record_receive_op<rpcgen_record_io, Messages>>("rpcgen" + receive);
    add<record_send_op<floor_record_io, Messages>>("floor" + send);
    add<record_receive_op<floor_record_io, Messages>>("floor" + receive);
}

void add_all()
{
    add<empty_op>("baseline/empty");
#define PARCEL_STRUCT(group, T, FIELDS) add_family<T>();
#define PARCEL_UNION(group, U, ARMS) add_family<U>();
#define PARCEL_MESSAGE(MSG, T, OPTIONAL) add_message<parcel_##MSG##_t>();
#include "records/catalogue.def"
#define BENCH_ADD_ANCHOR(T, NAME) add_anchor<T>();
    BENCH_ANCHOR_SHAPES(BENCH_ADD_ANCHOR)
#undef BENCH_ADD_ANCHOR
    add<floor_encode_op>("floor/encode/cu_vuser_msg_t");
    add<floor_decode_free_op>("floor/decode_free/cu_vuser_msg_t");
    add<floor_decode_arena_op>("floor/decode_arena/cu_vuser_msg_t");
    add_record_streams<kStreamMessages>("");
    add_record_streams<kCachedMessages>("_cached");
    add_batches<cu_vuser_msg_t, 1>();
    add_batches<cu_vuser_msg_t, 16>();
    add_batches<cu_vuser_msg_t, 256>();
    add_batches<cu_vuser_msg_t, 4096>();
}

const bench_case *find_case(std::string_view name)
{
    for (const bench_case &c : cases())
        if (c.name == name)
            return &c;
    return nullptr;
}

// ---- Agreement on the bytes ---------------------------------------------------------------

void dump(const char *label, const unsigned char *bytes, size_t size)
{
    std::fprintf(stderr, "  %-8s (%zu bytes):", label, size);
    for (size_t i = 0; i < size; ++i)
        std::fprintf(stderr, "%s%02x", i % 4 == 0 ? " " : "", bytes[i]);
    std::fprintf(stderr, "\n");
}

void expect_same(const std::string &what, const std::vector<unsigned char> &expected, const unsigned char *bytes,
                 int64_t size)
{
    if (size == static_cast<int64_t>(expected.size()) &&
        std::memcmp(bytes, expected.data(), expected.size()) == 0)
        return;
    std::fprintf(stderr, "parcel_bench: %s: the bytes differ from parcel's\n", what.c_str());
    dump("parcel", expected.data(), expected.size());
    dump("other", bytes, size < 0 ? 0 : static_cast<size_t>(size));
    std::abort();
}

// A sample decoded, re-encoded and cloned gives the sample's bytes back.
template <class T>
void check_round_trip()
{
    const std::string type = family<T>::name;
    const std::vector<unsigned char> &bytes = encoded<T>();
    const auto size = static_cast<uint32_t>(bytes.size());
    if (family<T>::length(&sample_of<T>().record) != static_cast<int>(size))
        fail((type + ": the encoded length differs from the encoding").c_str());
    T *decoded = nullptr;
    if (family<T>::decode(bytes.data(), size, &decoded) != static_cast<int32_t>(size))
        fail((type + ": the sample does not decode").c_str());
    T *copy = family<T>::clone(decoded);
    unsigned char again[kBufferSize];
    expect_same(type + " decoded and encoded again", bytes, again, family<T>::encode(decoded, again, kBufferSize));
    expect_same(type + " decoded and cloned", bytes, again,
                copy == nullptr ? -1 : family<T>::encode(copy, again, kBufferSize));
    family<T>::release(&copy);
    family<T>::release(&decoded);
}

template <class Message>
void check_message()
{
    using record = typename message<Message>::record;
    unsigned char bytes[kBufferSize];
    const std::string type = family<record>::name;
    expect_same("message API encode of " + type, encoded<record>(), bytes,
                message<Message>::encode(message<Message>::make(), bytes, kBufferSize));
}

template <class T>
void check_anchor()
{
    const std::string type = family<T>::name;
    const std::vector<unsigned char> &bytes = encoded<T>();
    unsigned char out[kBufferSize];
    auto twin = rpc_twin<T>::make();
    XDR stream;
    xdrmem_create(&stream, reinterpret_cast<char *>(out), kBufferSize, XDR_ENCODE);
    const bool encoded_ok = rpc_twin<T>::run(&stream, &twin);
    expect_same("rpcgen encode of " + type, bytes, out, encoded_ok ? xdr_getpos(&stream) : -1);
    xdr_destroy(&stream);

    typename rpc_twin<T>::type decoded{};
    xdrmem_create(&stream, const_cast<char *>(reinterpret_cast<const char *>(bytes.data())),
                  static_cast<u_int>(bytes.size()), XDR_DECODE);
    if (!rpc_twin<T>::run(&stream, &decoded) || xdr_getpos(&stream) != bytes.size())
        fail(("rpcgen cannot decode parcel's encoding of " + type).c_str());
    xdr_destroy(&stream);
    rpc_twin<T>::release(&decoded);

#if BENCH_HAVE_PROTOBUF
    typename proto_twin<T>::type parsed;
    const std::string proto = proto_bytes<T>();
    if (!parsed.ParseFromString(proto) || !proto_twin<T>::holds_sample(parsed))
        fail(("protobuf does not carry the sample of " + type).c_str());
#endif
}

void check_floor()
{
    const std::vector<unsigned char> &bytes = encoded<cu_vuser_msg_t>();
    unsigned char out[kBufferSize];
    expect_same("floor encode of cu_vuser_msg_t", bytes, out, floor_codec::encode(floor_sample(), out, kBufferSize));
    floor_codec::vuser_msg decoded;
    const auto size = static_cast<uint32_t>(bytes.size());
    if (floor_codec::decode(bytes.data(), size, &decoded, floor_codec::malloc_strings()) !=
        static_cast<int32_t>(size))
        fail("the floor cannot decode parcel's encoding of cu_vuser_msg_t");
    expect_same("floor decode and encode of cu_vuser_msg_t", bytes, out,
                floor_codec::encode(decoded, out, kBufferSize));
    floor_codec::free_strings(&decoded);
}

// On a record stream, parcel and rpcgen write the bytes of the recording,
// and parcel reads each of its records back as the sample.
template <class IO>
void check_record_send(const char *who)
{
    IO io;
    if (record_with(kCachedMessages, [&io](XDR *xdrs) { return io.send(xdrs); }) != recording<kCachedMessages>())
        fail((std::string(who) + " writes other bytes on a record stream").c_str());
}

void check_record_streams()
{
    check_record_send<parcel_record_io>("parcel");
    check_record_send<rpcgen_record_io>("rpcgen");
    memory_source source{&recording<kCachedMessages>(), 0};
    XDR in;
    xdrrec_create(&in, kStreamBuffer, kStreamBuffer, &source, &memory_source::read, &no_transfer);
    in.x_op = XDR_DECODE;
    unsigned char again[kBufferSize];
    for (uint32_t i = 0; i < kCachedMessages; ++i) {
        cu_vuser_msg_t *record = nullptr;
        if (!xdrrec_skiprecord(&in) || !mxdr_p_cu_vuser_msg_t(&in, &record, nullptr))
            fail("parcel cannot read the recording of the record stream");
        expect_same("parcel's read of the record stream", encoded<cu_vuser_msg_t>(), again,
                    family<cu_vuser_msg_t>::encode(record, again, kBufferSize));
        family<cu_vuser_msg_t>::release(&record);
    }
    xdr_destroy(&in);
}

void check_bytes()
{
#define PARCEL_STRUCT(group, T, FIELDS) check_round_trip<T>();
#define PARCEL_UNION(group, U, ARMS) check_round_trip<U>();
#define PARCEL_MESSAGE(MSG, T, OPTIONAL) check_message<parcel_##MSG##_t>();
#include "records/catalogue.def"
#define BENCH_CHECK_ANCHOR(T, NAME) check_anchor<T>();
    BENCH_ANCHOR_SHAPES(BENCH_CHECK_ANCHOR)
#undef BENCH_CHECK_ANCHOR
    check_floor();
    check_record_streams();
}

// ---- Allocation counts ------------------------------------------------------------------
// Encoding, measuring, the message API's encode and sending on a record
// stream must allocate nothing: a count above zero fails the check.  A
// decode into a new goheap should allocate the goheap alone at most (none
// once the thread has memory of destroyed goheaps to reuse); more (a goheap
// that had to grow) is reported.

int check_allocations()
{
    constexpr uint32_t kOperations = 8;
    int failures = 0;
    for (const bench_case &c : cases()) {
        const bool none = c.name.starts_with("parcel/encode/") || c.name.starts_with("parcel/length/") ||
                          c.name.starts_with("api/encode/") || c.name.starts_with("parcel/record_send");
        const bool one = c.name.starts_with("parcel/decode_new_goheap/");
        if (!none && !one)
            continue;
        const uint64_t expected = none ? 0 : kOperations;
        const alloc_count::counts used = c.count(kOperations);
        const bool hooks_ok = used.hooks <= expected;
        const bool process_ok = !alloc_count::process_wide() || used.process <= expected;
        if (hooks_ok && process_ok)
            continue;
        std::printf("%s %s: %" PRIu64 " allocations through the hooks and %" PRIu64
                    " from malloc in %u operations, expected at most %" PRIu64 "\n",
                    none ? "FAIL" : "note", c.name.c_str(), used.hooks, used.process, kOperations, expected);
        failures += none ? 1 : 0;
    }
    return failures;
}

// The size of each sample's encoding and the arm each union's sample
// selects, for the report.
void add_sample_context()
{
#define BENCH_BYTES(T) benchmark::AddCustomContext("bench.bytes." #T, std::to_string(encoded<T>().size()));
#define PARCEL_STRUCT(group, T, FIELDS) BENCH_BYTES(T)
#define PARCEL_UNION(group, U, ARMS) \
    BENCH_BYTES(U)                   \
    benchmark::AddCustomContext("bench.arm." #U, sample_of<U>().arm_name);
#include "records/catalogue.def"
#undef BENCH_BYTES
}

bool parse_flag(std::string_view argument, std::string_view flag, std::string_view *value)
{
    if (!argument.starts_with(flag))
        return false;
    *value = argument.substr(flag.size());
    return true;
}

} // namespace
} // namespace bench

int main(int argc, char **argv)
{
    using namespace bench;
    alloc_count::install();
    add_all();
    check_bytes();

    std::string_view drive;
    std::string_view iterations = "1";
    bool drive_mode = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (argument == "--check") {
            const int failures = check_allocations();
            std::printf("parcel_bench: %zu cases; bytes agree with every anchor; %d allocation check%s failed\n",
                        cases().size(), failures, failures == 1 ? "" : "s");
            return failures == 0 ? 0 : 1;
        }
        if (argument == "--list") {
            for (const bench_case &c : cases())
                std::printf("%s\n", c.name.c_str());
            return 0;
        }
        drive_mode = parse_flag(argument, "--drive=", &drive) || drive_mode;
        parse_flag(argument, "--iterations=", &iterations);
    }
    if (drive_mode) {
        const bench_case *c = find_case(drive);
        char *end = nullptr;
        const std::string count(iterations);
        const unsigned long long n = std::strtoull(count.c_str(), &end, 10);
        if (c == nullptr || end == count.c_str() || *end != '\0') {
            std::fprintf(stderr, "parcel_bench: no case %.*s or a bad iteration count\n",
                         static_cast<int>(drive.size()), drive.data());
            return 2;
        }
        c->drive(n);
        return 0;
    }

    add_throughput();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 2;
    add_sample_context();
    benchmark::AddCustomContext("bench.process_wide_mallocs", alloc_count::process_wide() ? "yes" : "no");
#if BENCH_HAVE_PROTOBUF
    benchmark::AddCustomContext("bench.protobuf", "yes");
#else
    benchmark::AddCustomContext("bench.protobuf", "no");
#endif
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
