// Streams other than memory: record streams (xdrrec) over a socket pair and
// stdio streams over a pipe, with a writer thread on the other end.  Neither
// says how many bytes it holds, and a stdio stream lends no memory, so the
// codec reads them word by word and strings in bounded steps.
//
// Every type (every arm of a union) and a record with a string longer than
// one read step must come through with the bytes of its memory encoding; a
// hostile string length must fail at the end of the bytes actually sent
// without any allocation near the announced length.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "typetable.h"
#include "common/fault_allocator.h"

// ---- Watching operator new -----------------------------------------------------
// The codec collects a string from such a stream in a std::vector before it
// asks its heap for the string; replacing operator new lets the test see how
// large that vector grows.  Sanitizer runtimes bring their own operator new,
// so the replacement is left out of sanitized builds.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define PARCEL_TEST_WATCH_NEW 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
#define PARCEL_TEST_WATCH_NEW 0
#endif
#endif
#ifndef PARCEL_TEST_WATCH_NEW
#define PARCEL_TEST_WATCH_NEW 1
#endif
// valgrind puts its own operator new in place of any other.
#if __has_include(<valgrind/valgrind.h>)
#include <valgrind/valgrind.h>
#endif
#ifndef RUNNING_ON_VALGRIND
#define RUNNING_ON_VALGRIND 0
#endif

namespace {
std::atomic<size_t> g_largest_new{0};
}

#if PARCEL_TEST_WATCH_NEW
// Only the sizes are of interest: blocks still come from malloc, and the
// library's operator delete gives them back with free as it does its own.
void *operator new(size_t size)
{
    size_t seen = g_largest_new.load();
    while (size > seen && !g_largest_new.compare_exchange_weak(seen, size)) {
    }
    if (void *block = std::malloc(size == 0 ? 1 : size))
        return block;
    throw std::bad_alloc();
}
void *operator new[](size_t size) { return operator new(size); }
#endif

namespace {

using typetable::Bytes;
using parcel_test::FaultAllocator;
using typetable::Type;

// One message to send: its type, a record holding it and its memory encoding.
struct Sample {
    const Type *type;
    std::string label;
    Bytes bytes;
    void *record = nullptr; // on the default heap, decoded from bytes
};

// Every type and arm, and a string of 150000 characters: more than two of
// the codec's 64 KiB read steps and more than a record stream's buffer.
std::vector<Sample> make_samples()
{
    std::vector<Sample> samples;
    for (const Type &type : typetable::types())
        for (int arm : typetable::sample_arms(type))
            samples.push_back({&type, std::string(type.name) + " arm " + std::to_string(arm),
                               typetable::sample_bytes(type, 5, arm)});
    const std::string long_text(150000, 'L');
    cu_string_msg_t long_record(nullptr, 0);
    long_record.set_text(long_text.c_str());
    Bytes long_bytes(static_cast<size_t>(xdr_length_of_encoded_cu_string_msg_t(&long_record)));
    xdr_encode_cu_string_msg_t(&long_record, long_bytes.data(), static_cast<uint32_t>(long_bytes.size()));
    samples.push_back({typetable::find_type("cu_string_msg_t"), "long string", long_bytes});
    for (Sample &sample : samples) {
        const auto size = static_cast<uint32_t>(sample.bytes.size());
        if (sample.type->decode(sample.bytes.data(), size, &sample.record) != static_cast<int32_t>(size))
            sample.record = nullptr;
    }
    return samples;
}

void free_samples(std::vector<Sample> &samples)
{
    for (Sample &sample : samples)
        sample.type->free_p(&sample.record);
}

Bytes encode_in_memory(const Type &type, const void *record)
{
    const int size = type.length(record);
    if (size < 0)
        return {};
    Bytes bytes(static_cast<size_t>(size));
    if (type.encode(record, bytes.data(), static_cast<uint32_t>(size)) != size)
        return {};
    return bytes;
}

// ---- File descriptors as record-stream ends ---------------------------------------

int read_some(void *handle, void *buffer, int length)
{
    const int fd = *static_cast<int *>(handle);
    ssize_t n;
    do
        n = read(fd, buffer, static_cast<size_t>(length));
    while (n < 0 && errno == EINTR);
    return n <= 0 ? -1 : static_cast<int>(n);
}

int write_all(void *handle, void *buffer, int length)
{
    const int fd = *static_cast<int *>(handle);
    const char *at = static_cast<const char *>(buffer);
    int left = length;
    while (left > 0) {
        const ssize_t n = write(fd, at, static_cast<size_t>(left));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return -1;
        at += n;
        left -= static_cast<int>(n);
    }
    return length;
}

class Streams : public testing::Test {
protected:
    // A reader that stops early must not kill a blocked writer with SIGPIPE.
    static void SetUpTestSuite() { std::signal(SIGPIPE, SIG_IGN); }
};

// ---- Round trips -------------------------------------------------------------------------

TEST_F(Streams, EveryTypeRoundTripsThroughARecordStreamOverASocketPair)
{
    std::vector<Sample> samples = make_samples();
    int ends[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);

    std::atomic<int> written{0};
    std::thread writer([&] {
        XDR out;
        xdrrec_create(&out, 0, 0, &ends[1], read_some, write_all);
        out.x_op = XDR_ENCODE;
        for (Sample &sample : samples) {
            if (!sample.type->mxdr(&out, sample.record, nullptr) || !xdrrec_endofrecord(&out, 1))
                break;
            ++written;
        }
        XDR_DESTROY(&out);
        close(ends[1]);
    });

    XDR in;
    xdrrec_create(&in, 0, 0, &ends[0], read_some, write_all);
    in.x_op = XDR_DECODE;
    for (Sample &sample : samples) {
        SCOPED_TRACE(sample.label);
        ASSERT_NE(sample.record, nullptr);
        ASSERT_TRUE(xdrrec_skiprecord(&in));
        void *record = nullptr;
        ASSERT_EQ(sample.type->mxdr_p(&in, &record, nullptr), 1);
        EXPECT_EQ(encode_in_memory(*sample.type, record), sample.bytes);
        sample.type->free_p(&record);
    }
    // The writer closed its end after the last record.
    ASSERT_TRUE(xdrrec_skiprecord(&in));
    EXPECT_TRUE(xdrrec_eof(&in));
    XDR_DESTROY(&in);
    close(ends[0]);
    writer.join();
    EXPECT_EQ(written.load(), static_cast<int>(samples.size()));
    free_samples(samples);
}

TEST_F(Streams, EveryTypeRoundTripsThroughAStdioStreamOverAPipe)
{
    std::vector<Sample> samples = make_samples();
    int pipe_ends[2];
    ASSERT_EQ(pipe(pipe_ends), 0);

    std::atomic<int> written{0};
    std::thread writer([&] {
        FILE *file = fdopen(pipe_ends[1], "w");
        XDR out;
        xdrstdio_create(&out, file, XDR_ENCODE);
        for (Sample &sample : samples) {
            if (!sample.type->mxdr(&out, sample.record, nullptr))
                break;
            ++written;
        }
        XDR_DESTROY(&out);
        std::fclose(file);
    });

    FILE *file = fdopen(pipe_ends[0], "r");
    XDR in;
    xdrstdio_create(&in, file, XDR_DECODE);
    // Every other record goes into a goheap, the rest onto the default heap.
    goheap_t *heap = goheap_create(0);
    bool in_heap = false;
    for (Sample &sample : samples) {
        SCOPED_TRACE(sample.label);
        ASSERT_NE(sample.record, nullptr);
        in_heap = !in_heap;
        void *record = nullptr;
        ASSERT_EQ(sample.type->mxdr_p(&in, &record, in_heap ? heap : nullptr), 1);
        EXPECT_EQ(encode_in_memory(*sample.type, record), sample.bytes);
        if (!in_heap)
            sample.type->free_p(&record);
    }
    goheap_destroy(heap);
    EXPECT_EQ(std::fgetc(file), EOF); // nothing left over
    XDR_DESTROY(&in);
    std::fclose(file);
    writer.join();
    EXPECT_EQ(written.load(), static_cast<int>(samples.size()));
    free_samples(samples);
}

// ---- A hostile string length ---------------------------------------------------------------

// A string message that announces 0x7FFFFFF0 bytes of text and carries 200000.
constexpr size_t kCarried = 200000;
constexpr size_t kStep = 64 * 1024; // the codec's read step

Bytes hostile_message()
{
    Bytes bytes = {0, 0, 0, 1, 0x7f, 0xff, 0xff, 0xf0};
    bytes.resize(bytes.size() + kCarried, 'a');
    return bytes;
}

// Decodes the hostile message from `in`: it must fail, leave no record and
// leak nothing, and no allocation may come near the announced length.
void expect_hostile_length_refused(XDR *in)
{
    parcel_test::ScopedFaultAllocator allocator;
    const size_t live_at_start = FaultAllocator::live();
    FaultAllocator::arm(0);
    g_largest_new = 0;
    void *record = nullptr;
    EXPECT_EQ(mxdr_p_cu_string_msg_t(in, &record, nullptr), 0);
    EXPECT_EQ(record, nullptr);
    EXPECT_EQ(FaultAllocator::live(), live_at_start);
    // The service allocators saw the record and nothing of the text.
    EXPECT_LE(FaultAllocator::largest_request(), size_t{1} << 20);
#if PARCEL_TEST_WATCH_NEW
    if (RUNNING_ON_VALGRIND)
        return;
    // The bytes gathered so far grow in steps: the vector holds at most what
    // arrived plus one step, with a capacity at most twice that.
    const size_t largest = g_largest_new.load();
    EXPECT_GE(largest, kStep) << "the collecting vector was not seen";
    EXPECT_LE(largest, 2 * (kCarried + kStep));
    std::printf("[ streams  ] largest operator new while refusing: %zu bytes for %zu carried\n", largest,
                kCarried);
#endif
}

TEST_F(Streams, HostileStringLengthOnARecordStreamFailsWithoutALargeAllocation)
{
    int ends[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
    Bytes bytes = hostile_message(); // made here, so the writer allocates nothing while watched
    std::thread writer([&] {
        XDR out;
        xdrrec_create(&out, 0, 0, &ends[1], read_some, write_all);
        out.x_op = XDR_ENCODE;
        if (XDR_PUTBYTES(&out, reinterpret_cast<char *>(bytes.data()), static_cast<u_int>(bytes.size())))
            xdrrec_endofrecord(&out, 1);
        XDR_DESTROY(&out);
        close(ends[1]);
    });
    XDR in;
    xdrrec_create(&in, 0, 0, &ends[0], read_some, write_all);
    in.x_op = XDR_DECODE;
    ASSERT_TRUE(xdrrec_skiprecord(&in));
    expect_hostile_length_refused(&in);
    XDR_DESTROY(&in);
    close(ends[0]);
    writer.join();
}

TEST_F(Streams, HostileStringLengthOnAStdioPipeFailsWithoutALargeAllocation)
{
    int pipe_ends[2];
    ASSERT_EQ(pipe(pipe_ends), 0);
    Bytes bytes = hostile_message();
    std::thread writer([&] {
        write_all(&pipe_ends[1], bytes.data(), static_cast<int>(bytes.size()));
        close(pipe_ends[1]);
    });
    FILE *file = fdopen(pipe_ends[0], "r");
    XDR in;
    xdrstdio_create(&in, file, XDR_DECODE);
    expect_hostile_length_refused(&in);
    XDR_DESTROY(&in);
    std::fclose(file);
    writer.join();
}

} // namespace
