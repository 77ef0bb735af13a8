// Throughput as a receiver sees it: a mix of the thirty types, weighted as a
// running load test sends them, encoded by one thread and decoded by another
// over a socketpair with XDR record marking (libtirpc's record streams), one
// goheap per batch of decoded messages; the same traffic through the rpcgen
// anchors; and the receiver's decode loop alone, from memory, on one and on
// two threads.
//
// Each message is one XDR record: the index of its type (an unsigned int),
// then the record.  The sender marks the end of each record and pushes the
// stream out at the end of each batch.
#include "throughput.h"

#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "anchor_ops.h"
#include "ops.h"

namespace bench {
namespace {

// Messages a receiver decodes into one goheap.
constexpr uint32_t kBatchMessages = 256;
// Buffer sizes of the record streams.
constexpr u_int kStreamBuffer = 64 * 1024;

// ---- The mix --------------------------------------------------------------------------

// One type of the traffic, its routines with the record type erased.
struct traffic_type {
    const char *name;
    unsigned weight;                                  // per thousand messages
    bool (*encode)(XDR *);                            // the type's sample
    bool (*decode)(XDR *, goheap_t *);                // into the goheap
    int32_t (*decode_buffer)(const std::vector<unsigned char> &, goheap_t *);
};

template <class T>
traffic_type parcel_type(unsigned weight)
{
    return {family<T>::name, weight,
            [](XDR *xdrs) { return family<T>::filter(xdrs, &sample_of<T>().record) != 0; },
            [](XDR *xdrs, goheap_t *heap) {
                T *record = nullptr;
                const bool ok = family<T>::pointer_filter(xdrs, &record, heap) != 0;
                benchmark::DoNotOptimize(record);
                return ok;
            },
            [](const std::vector<unsigned char> &bytes, goheap_t *heap) {
                T *record = nullptr;
                const int32_t n = family<T>::decode_to_given_goheap(bytes.data(), static_cast<uint32_t>(bytes.size()),
                                                                    &record, heap);
                benchmark::DoNotOptimize(record);
                return n;
            }};
}

template <class T>
traffic_type rpcgen_type(unsigned weight)
{
    return {family<T>::name, weight,
            [](XDR *xdrs) {
                static typename rpc_twin<T>::type twin = rpc_twin<T>::make();
                return rpc_twin<T>::run(xdrs, &twin);
            },
            [](XDR *xdrs, goheap_t *) {
                typename rpc_twin<T>::type twin;
                std::memset(&twin, 0, sizeof twin);
                const bool ok = rpc_twin<T>::run(xdrs, &twin);
                benchmark::DoNotOptimize(twin);
                rpc_twin<T>::release(&twin);
                return ok;
            },
            nullptr};
}

// Per thousand messages of a running test.  Every virtual user reports its
// progress and status continually (cu_vuser_msg_t, the status union, run
// data) and the drivers theirs (cu_drv_msg_t): four fifths of the traffic.
// Iteration ends, rendezvous, pauses and the load-goal figures (hits and
// transactions per second, sent per interval) come next; bridge and
// rendezvous data follow them.  Debugging messages flow only while someone
// debugs a virtual user, and scenario control (start, stop, end, attribute
// changes, quotas, result collation) a handful of times per test, so each
// is a few per thousand at most.
std::vector<traffic_type> full_mix()
{
    return {
        parcel_type<cu_vuser_msg_t>(300),
        parcel_type<cu_vuser_status_data_union_t>(200),
        parcel_type<cu_vuser_run_data_t>(100),
        parcel_type<cu_drv_msg_t>(100),
        parcel_type<cu_vuser_end_data_t>(50),
        parcel_type<cu_vuser_rendezvous_data_t>(30),
        parcel_type<cu_vuser_pause_data_t>(20),
        parcel_type<cu_hps_input_data_t>(30),
        parcel_type<cu_tps_input_data_t>(30),
        parcel_type<cu_last_iteration_hps_data_t>(5),
        parcel_type<cu_last_iteration_tps_data_t>(5),
        parcel_type<cu_bridge_data_t>(30),
        parcel_type<cu_rendezvous_data_t>(20),
        parcel_type<vudbg_start_act_t>(5),
        parcel_type<vudbg_start_iter_t>(5),
        parcel_type<vudbg_end_iter_t>(5),
        parcel_type<vudbg_debug_event_t>(5),
        parcel_type<cu_vuser_dbg_run_state_t>(5),
        parcel_type<cu_vuser_dbg_log_msg_t>(5),
        parcel_type<cu_collate_results_data_t>(10),
        parcel_type<cu_quota_manage_data_t>(10),
        parcel_type<cu_string_msg_t>(5),
        parcel_type<cu_attrib_change_msg_t>(5),
        parcel_type<cu_debug_level_data_t>(5),
        parcel_type<cu_soft_kill_data_t>(5),
        parcel_type<cu_start_scenario_msg_t>(2),
        parcel_type<cu_end_scenario_msg_t>(2),
        parcel_type<cu_start_tc_scenario_msg_t>(2),
        parcel_type<cu_stop_tc_scenario_msg_t>(2),
        parcel_type<cu_end_tc_scenario_msg_t>(2),
    };
}

// The six types that have rpcgen twins, with their weights in the full mix:
// the traffic both parcel and rpcgen can carry.
#define BENCH_ANCHORED_MIX(make)                                                          \
    {                                                                                     \
        make<cu_vuser_msg_t>(300), make<cu_drv_msg_t>(100), make<cu_hps_input_data_t>(30), \
            make<cu_bridge_data_t>(30), make<cu_rendezvous_data_t>(20), make<cu_string_msg_t>(5) \
    }
std::vector<traffic_type> anchored_parcel_mix() { return BENCH_ANCHORED_MIX(parcel_type); }
std::vector<traffic_type> anchored_rpcgen_mix() { return BENCH_ANCHORED_MIX(rpcgen_type); }
#undef BENCH_ANCHORED_MIX

// The order of a thousand messages: each type as often as its weight says,
// shuffled by a generator started the same way each time, so that every run
// sends the same sequence.
std::vector<uint32_t> schedule(const std::vector<traffic_type> &mix)
{
    std::vector<uint32_t> order;
    for (uint32_t t = 0; t < mix.size(); ++t)
        order.insert(order.end(), mix[t].weight, t);
    std::shuffle(order.begin(), order.end(), std::mt19937(14));
    return order;
}

// Bytes of one schedule's encodings, record marks not counted.
uint64_t schedule_bytes(const std::vector<traffic_type> &mix, const std::vector<uint32_t> &order)
{
    uint64_t total = 0;
    std::vector<unsigned char> buffer(kBufferSize);
    for (uint32_t t : order) {
        XDR stream;
        xdrmem_create(&stream, reinterpret_cast<char *>(buffer.data()), kBufferSize, XDR_ENCODE);
        u_int index = t;
        if (!xdr_u_int(&stream, &index) || !mix[t].encode(&stream))
            fail("cannot encode a message of the mix");
        total += xdr_getpos(&stream);
        xdr_destroy(&stream);
    }
    return total;
}

// ---- Over a socketpair -------------------------------------------------------------------

// A blocking send on a stream socket returns once all of it is queued (the
// benchmark installs no signal handler that could cut it short).
int write_socket(void *handle, void *data, int size)
{
    const ssize_t n = send(*static_cast<int *>(handle), data, static_cast<size_t>(size), MSG_NOSIGNAL);
    return n == size ? size : -1;
}

int read_socket(void *handle, void *data, int size)
{
    const int fd = *static_cast<int *>(handle);
    for (;;) {
        const ssize_t n = recv(fd, data, static_cast<size_t>(size), 0);
        if (n < 0 && errno == EINTR)
            continue;
        return n <= 0 ? -1 : static_cast<int>(n);
    }
}

// One iteration is one schedule (a thousand messages) received and decoded,
// wall time: the sender runs on the other core.
void over_socketpair(benchmark::State &state, std::vector<traffic_type> (*make_mix)())
{
    const std::vector<traffic_type> mix = make_mix();
    const std::vector<uint32_t> order = schedule(mix);
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0)
        fail("socketpair failed");
    std::atomic<bool> stop{false};
    std::thread sender([&mix, &order, &stop, fd = fds[0]]() mutable {
        XDR out;
        xdrrec_create(&out, kStreamBuffer, kStreamBuffer, &fd, &read_socket, &write_socket);
        out.x_op = XDR_ENCODE;
        uint32_t sent = 0;
        while (!stop.load(std::memory_order_relaxed)) {
            for (uint32_t t : order) {
                u_int index = t;
                if (!xdr_u_int(&out, &index) || !mix[t].encode(&out) ||
                    !xdrrec_endofrecord(&out, ++sent % kBatchMessages == 0)) {
                    xdr_destroy(&out);
                    return; // the receiver has gone
                }
            }
        }
        xdr_destroy(&out);
    });

    int fd = fds[1];
    XDR in;
    xdrrec_create(&in, kStreamBuffer, kStreamBuffer, &fd, &read_socket, &write_socket);
    in.x_op = XDR_DECODE;
    {
        goheap_per_batch<kBatchMessages> heaps;
        for (auto _ : state) {
            for (uint32_t expected : order) {
                goheap_t *heap = heaps.next();
                u_int index = 0;
                if (!xdrrec_skiprecord(&in) || !xdr_u_int(&in, &index) || index != expected ||
                    !mix[index].decode(&in, heap))
                    fail("the receiver cannot decode the stream");
            }
        }
    }
    stop.store(true);
    shutdown(fds[1], SHUT_RDWR);
    sender.join();
    xdr_destroy(&in);
    close(fds[0]);
    close(fds[1]);
    const auto messages = static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(order.size());
    state.SetItemsProcessed(messages);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(schedule_bytes(mix, order)));
}

// ---- The decode loop alone -------------------------------------------------------------

// Each thread decodes the schedule's encodings from memory, one goheap per
// batch, as the receiver above does after the stream.
void decode_loop(benchmark::State &state)
{
    static const std::vector<traffic_type> mix = full_mix();
    static const std::vector<uint32_t> order = schedule(mix);
    static const std::vector<std::vector<unsigned char>> encodings = [] {
        std::vector<std::vector<unsigned char>> all;
        unsigned char buffer[kBufferSize];
        for (uint32_t t : order) {
            XDR stream;
            xdrmem_create(&stream, reinterpret_cast<char *>(buffer), kBufferSize, XDR_ENCODE);
            if (!mix[t].encode(&stream))
                fail("cannot encode a message of the mix");
            all.emplace_back(buffer, buffer + xdr_getpos(&stream));
            xdr_destroy(&stream);
        }
        return all;
    }();
    uint64_t bytes = 0;
    for (auto _ : state) {
        goheap_per_batch<kBatchMessages> heaps;
        for (size_t i = 0; i < order.size(); ++i) {
            const std::vector<unsigned char> &message = encodings[i];
            if (mix[order[i]].decode_buffer(message, heaps.next()) != static_cast<int32_t>(message.size()))
                fail("decode of a message of the mix failed");
            bytes += message.size();
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(order.size()));
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
}

} // namespace

void add_throughput()
{
    benchmark::RegisterBenchmark("throughput/parcel/socketpair/mix30", &over_socketpair, &full_mix)->UseRealTime();
    benchmark::RegisterBenchmark("throughput/parcel/socketpair/mix6", &over_socketpair, &anchored_parcel_mix)
        ->UseRealTime();
    benchmark::RegisterBenchmark("throughput/rpcgen/socketpair/mix6", &over_socketpair, &anchored_rpcgen_mix)
        ->UseRealTime();
    benchmark::RegisterBenchmark("throughput/parcel/decode_loop/mix30", &decode_loop)->Threads(1)->Threads(2)
        ->UseRealTime();
}

} // namespace bench
