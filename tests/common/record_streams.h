// Record-marked streams (xdrrec, RFC 5531 record marking) over memory, for
// running the codec where the windows it asks for meet the end of a fragment
// or of the stream's buffer: one record cut into fragments of a chosen size,
// read by a stream that gets at most a chosen number of bytes from each read,
// and a writer whose buffer holds as little as the XDR library allows.
#ifndef PARCEL_TEST_COMMON_RECORD_STREAMS_H
#define PARCEL_TEST_COMMON_RECORD_STREAMS_H

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include <rpc/xdr.h>

namespace parcel_test {

using Bytes = std::vector<unsigned char>;

constexpr uint32_t kLastFragment = 0x80000000u;

inline void append_header(Bytes &out, uint32_t header)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<unsigned char>(header >> shift));
}

// `bytes` as one record in fragments of `fragment` bytes, the last one
// shorter when they do not divide evenly (an empty record is one empty
// last fragment).
inline Bytes record_marked(const Bytes &bytes, uint32_t fragment)
{
    Bytes out;
    size_t at = 0;
    do {
        const size_t n = std::min<size_t>(fragment, bytes.size() - at);
        append_header(out, static_cast<uint32_t>(n) | (at + n == bytes.size() ? kLastFragment : 0));
        out.insert(out.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at),
                   bytes.begin() + static_cast<std::ptrdiff_t>(at + n));
        at += n;
    } while (at < bytes.size());
    return out;
}

inline int no_transfer(void *, void *, int) { return -1; }

// A record stream reading record-marked bytes, at most `step` of them a read,
// positioned at the start of the first record.
class RecordReader {
public:
    RecordReader(Bytes stream, uint32_t step) : stream_(std::move(stream)), step_(step)
    {
        xdrrec_create(&xdrs_, 0, 0, this, &read, &no_transfer);
        xdrs_.x_op = XDR_DECODE;
        started_ = xdrrec_skiprecord(&xdrs_) != 0;
    }
    ~RecordReader() { XDR_DESTROY(&xdrs_); }
    RecordReader(const RecordReader &) = delete;
    RecordReader &operator=(const RecordReader &) = delete;

    XDR *stream() { return started_ ? &xdrs_ : nullptr; }

    // Bytes of the record that have not been read, found by reading them.
    size_t rest_of_record()
    {
        size_t rest = 0;
        for (char byte; XDR_GETBYTES(&xdrs_, &byte, 1); ++rest) {
        }
        return rest;
    }

private:
    static int read(void *handle, void *data, int size)
    {
        auto *reader = static_cast<RecordReader *>(handle);
        const size_t n = std::min({static_cast<size_t>(size), static_cast<size_t>(reader->step_),
                                   reader->stream_.size() - reader->at_});
        if (n == 0)
            return -1;
        std::memcpy(data, reader->stream_.data() + reader->at_, n);
        reader->at_ += n;
        return static_cast<int>(n);
    }

    Bytes stream_;
    uint32_t step_;
    size_t at_ = 0;
    XDR xdrs_;
    bool started_;
};

// A record stream writing one record into memory through a buffer of
// `buffer` bytes (the library takes 100 at least).
class RecordWriter {
public:
    explicit RecordWriter(uint32_t buffer)
    {
        xdrrec_create(&xdrs_, buffer, buffer, this, &no_transfer, &write);
        xdrs_.x_op = XDR_ENCODE;
    }
    ~RecordWriter() { XDR_DESTROY(&xdrs_); }
    RecordWriter(const RecordWriter &) = delete;
    RecordWriter &operator=(const RecordWriter &) = delete;

    XDR *stream() { return &xdrs_; }

    // Ends the record and gives its bytes without the record marks, or
    // nothing when the marks are not as the writer must have written them.
    Bytes finish()
    {
        Bytes record;
        if (!xdrrec_endofrecord(&xdrs_, 1))
            return record;
        for (size_t at = 0; at + 4 <= written_.size();) {
            const uint32_t header = uint32_t{written_[at]} << 24 | uint32_t{written_[at + 1]} << 16 |
                                    uint32_t{written_[at + 2]} << 8 | written_[at + 3];
            const size_t n = header & ~kLastFragment;
            if (written_.size() - at - 4 < n)
                return {};
            record.insert(record.end(), written_.begin() + static_cast<std::ptrdiff_t>(at + 4),
                          written_.begin() + static_cast<std::ptrdiff_t>(at + 4 + n));
            at += 4 + n;
            if ((header & kLastFragment) != 0)
                return at == written_.size() ? record : Bytes{};
        }
        return {};
    }

private:
    static int write(void *handle, void *data, int size)
    {
        auto *writer = static_cast<RecordWriter *>(handle);
        const auto *bytes = static_cast<const unsigned char *>(data);
        writer->written_.insert(writer->written_.end(), bytes, bytes + size);
        return size;
    }

    Bytes written_;
    XDR xdrs_;
};

} // namespace parcel_test

#endif // PARCEL_TEST_COMMON_RECORD_STREAMS_H
