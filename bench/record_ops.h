// Operations on a record-marked stream (xdrrec_create, RFC 5531 record
// marking) whose far end is memory, so that neither a socket nor a second
// thread enters the measurement: one message of cu_vuser_msg_t sent (the
// filter, then the end of the record) or received (the start of the next
// record, then the filter), by parcel, by the rpcgen anchor, and as the
// floor: the same bytes through the same stream with XDR_PUTBYTES and
// XDR_GETBYTES and no codec.  Same conventions as ops.h.
//
// The stream's bytes are kept in memory, `Messages` records of them: the
// sender's buffer goes into a ring that size, the receiver reads a
// recording of that many records made by such a sender, starting over at
// its end, in reads of as many bytes as its buffer takes.  The sender
// pushes its buffer out every kFlushEvery records, as a sender of a batch
// does, and whenever it fills up.  Both buffers are kStreamBuffer bytes and
// the memory is larger, so that buffer ends fall inside records as they do
// on a connection.  kStreamMessages records (about 29 MB) are more than the
// caches hold, so that the stream's bytes come from and go to memory as a
// connection's do; kCachedMessages (about 150 KB) stay in the caches and
// leave the codec's own cost.
#ifndef PARCEL_BENCH_RECORD_OPS_H
#define PARCEL_BENCH_RECORD_OPS_H

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "anchor_ops.h"
#include "ops.h"

namespace bench {

inline constexpr u_int kStreamBuffer = 64 * 1024;
inline constexpr uint32_t kFlushEvery = 256;
inline constexpr uint32_t kStreamMessages = 200000;
inline constexpr uint32_t kCachedMessages = 1024;

// ---- The memory at the far end ----------------------------------------------------

// Where a sender's buffers go: copied into a ring of `size` bytes, each
// after the last.
struct memory_sink {
    std::vector<unsigned char> bytes;
    size_t at = 0;
    explicit memory_sink(size_t size) : bytes(std::max<size_t>(size, kStreamBuffer)) {}
    static int write(void *handle, void *data, int size)
    {
        auto *sink = static_cast<memory_sink *>(handle);
        const auto n = static_cast<size_t>(size);
        if (sink->bytes.size() - sink->at < n)
            sink->at = 0;
        std::memcpy(sink->bytes.data() + sink->at, data, n);
        sink->at += n;
        return size;
    }
};

// Where a receiver's bytes come from: a recording, read from where the last
// read stopped and started over at its end.
struct memory_source {
    const std::vector<unsigned char> *bytes = nullptr;
    size_t at = 0;
    static int read(void *handle, void *data, int size)
    {
        auto *source = static_cast<memory_source *>(handle);
        const std::vector<unsigned char> &bytes = *source->bytes;
        const size_t n = std::min(bytes.size() - source->at, static_cast<size_t>(size));
        std::memcpy(data, bytes.data() + source->at, n);
        source->at = source->at + n == bytes.size() ? 0 : source->at + n;
        return static_cast<int>(n);
    }
};

// Where a sender's bytes are kept, all of them.
struct appending_sink {
    std::vector<unsigned char> bytes;
    static int write(void *handle, void *data, int size)
    {
        auto *sink = static_cast<appending_sink *>(handle);
        const auto *from = static_cast<const unsigned char *>(data);
        sink->bytes.insert(sink->bytes.end(), from, from + size);
        return size;
    }
};

// The way of a stream that never goes in that direction.
inline int no_transfer(void *, void *, int) { return -1; }

// The bytes of `messages` records that `send` writes on a record stream,
// each record ended as the sender below ends it.
template <class Send>
std::vector<unsigned char> record_with(uint32_t messages, Send send)
{
    appending_sink sink;
    XDR stream;
    xdrrec_create(&stream, kStreamBuffer, kStreamBuffer, &sink, &no_transfer, &appending_sink::write);
    stream.x_op = XDR_ENCODE;
    for (uint32_t i = 1; i <= messages; ++i)
        if (!send(&stream) || !xdrrec_endofrecord(&stream, i % kFlushEvery == 0 || i == messages))
            fail("cannot write records");
    xdr_destroy(&stream);
    return sink.bytes;
}

// The floor's way of sending the sample.
inline bool put_sample(XDR *xdrs)
{
    const std::vector<unsigned char> &message = encoded<cu_vuser_msg_t>();
    return XDR_PUTBYTES(xdrs, reinterpret_cast<const char *>(message.data()), static_cast<u_int>(message.size())) != 0;
}

// The stream bytes of `Messages` records holding the sample, written without
// a codec (parcel, rpcgen and the floor agree on the bytes).
template <uint32_t Messages>
const std::vector<unsigned char> &recording()
{
    static const std::vector<unsigned char> bytes = record_with(Messages, &put_sample);
    return bytes;
}

// ---- The three ways of sending and receiving -------------------------------------------

// parcel: the type's filter; the receiver decodes into one goheap_create(0)
// per kFlushEvery messages, made and destroyed inside the operation.
struct parcel_record_io {
    sample<cu_vuser_msg_t> &sample_ = sample_of<cu_vuser_msg_t>();
    goheap_per_batch<kFlushEvery> heaps_;

    bool send(XDR *xdrs) { return family<cu_vuser_msg_t>::filter(xdrs, &sample_.record) != 0; }
    bool receive(XDR *xdrs)
    {
        cu_vuser_msg_t *record = nullptr;
        const bool ok = family<cu_vuser_msg_t>::pointer_filter(xdrs, &record, heaps_.next()) != 0;
        benchmark::DoNotOptimize(record);
        return ok;
    }
};

// rpcgen: the generated filter; the receiver decodes into a fresh zeroed
// structure and frees it with xdr_free.
struct rpcgen_record_io {
    rpc_twin<cu_vuser_msg_t>::type twin_ = rpc_twin<cu_vuser_msg_t>::make();

    bool send(XDR *xdrs) { return rpc_twin<cu_vuser_msg_t>::run(xdrs, &twin_); }
    bool receive(XDR *xdrs)
    {
        rpc_twin<cu_vuser_msg_t>::type twin;
        std::memset(&twin, 0, sizeof twin);
        const bool ok = rpc_twin<cu_vuser_msg_t>::run(xdrs, &twin);
        benchmark::DoNotOptimize(twin);
        rpc_twin<cu_vuser_msg_t>::release(&twin);
        return ok;
    }
};

// The floor: the message's bytes as they stand, no codec.
struct floor_record_io {
    const std::vector<unsigned char> &bytes_ = encoded<cu_vuser_msg_t>();
    unsigned char buffer_[kBufferSize];

    bool send(XDR *xdrs)
    {
        return XDR_PUTBYTES(xdrs, reinterpret_cast<const char *>(bytes_.data()), static_cast<u_int>(bytes_.size()));
    }
    bool receive(XDR *xdrs)
    {
        const bool ok = XDR_GETBYTES(xdrs, reinterpret_cast<char *>(buffer_), static_cast<u_int>(bytes_.size()));
        benchmark::ClobberMemory();
        return ok;
    }
};

// ---- The operations -------------------------------------------------------------------

// One message sent: IO::send, then the end of the record.
template <class IO, uint32_t Messages>
class record_send_op {
public:
    static constexpr uint32_t kBatch = 0;
    record_send_op()
    {
        xdrrec_create(&stream_, kStreamBuffer, kStreamBuffer, &sink_, &no_transfer, &memory_sink::write);
        stream_.x_op = XDR_ENCODE;
    }
    ~record_send_op() { xdr_destroy(&stream_); }
    record_send_op(const record_send_op &) = delete;
    record_send_op &operator=(const record_send_op &) = delete;

    void operator()()
    {
        if (!io_.send(&stream_) || !xdrrec_endofrecord(&stream_, ++sent_ % kFlushEvery == 0))
            fail("sending on the record stream failed");
    }

private:
    memory_sink sink_{Messages * (encoded<cu_vuser_msg_t>().size() + 4)};
    IO io_;
    XDR stream_;
    uint32_t sent_ = 0;
};

// One message received: the start of the next record, then IO::receive.
template <class IO, uint32_t Messages>
class record_receive_op {
public:
    static constexpr uint32_t kBatch = 0;
    record_receive_op()
    {
        source_.bytes = &recording<Messages>();
        xdrrec_create(&stream_, kStreamBuffer, kStreamBuffer, &source_, &memory_source::read, &no_transfer);
        stream_.x_op = XDR_DECODE;
    }
    ~record_receive_op() { xdr_destroy(&stream_); }
    record_receive_op(const record_receive_op &) = delete;
    record_receive_op &operator=(const record_receive_op &) = delete;

    void operator()()
    {
        if (!xdrrec_skiprecord(&stream_) || !io_.receive(&stream_))
            fail("receiving from the record stream failed");
    }

private:
    memory_source source_;
    IO io_;
    XDR stream_;
};

} // namespace bench

#endif // PARCEL_BENCH_RECORD_OPS_H
