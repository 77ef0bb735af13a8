// The operations that the benchmarks time, one class each.  An operation is
// set up by its constructor (never timed) and performs one operation per
// call.  One that fills an arena says how many operations a batch holds
// (kBatch) and gets a fresh arena from next_batch(), which is not timed
// either; kBatch is 0 for the others.  Any failure aborts: a benchmark of an
// operation that fails would time the failure path.
#ifndef PARCEL_BENCH_OPS_H
#define PARCEL_BENCH_OPS_H

#include <benchmark/benchmark.h>

#include <array>
#include <cstddef>
#include <cstdint>

#include "samples.h"

namespace bench {

// The loop's own cost: what the instruction counts of the others are net of.
struct empty_op {
    static constexpr uint32_t kBatch = 0;
    void operator()() { benchmark::ClobberMemory(); }
};

// ---- A record's routine family ------------------------------------------------------

// xdr_encode_T into a buffer that every call reuses.
template <class T>
class encode_op {
public:
    static constexpr uint32_t kBatch = 0;
    void operator()()
    {
        const int32_t written = family<T>::encode(&sample_.record, buffer_, kBufferSize);
        if (written <= 0)
            fail("encode failed");
        benchmark::DoNotOptimize(written);
    }

private:
    sample<T> &sample_ = sample_of<T>();
    alignas(8) unsigned char buffer_[kBufferSize];
};

// xdr_length_of_encoded_T.
template <class T>
class length_op {
public:
    static constexpr uint32_t kBatch = 0;
    void operator()()
    {
        const int length = family<T>::length(&sample_.record);
        if (length <= 0)
            fail("length failed");
        benchmark::DoNotOptimize(length);
    }

private:
    sample<T> &sample_ = sample_of<T>();
};

// Decodes T's sample: xdr_decode_p_T onto the default heap, or
// xdr_decode_p_T_to_given_goheap into a goheap; a failure aborts.
template <class T>
class sample_decoder {
protected:
    T *decode_onto_default_heap() const
    {
        T *record = nullptr;
        if (family<T>::decode(bytes_.data(), size_, &record) != static_cast<int32_t>(size_))
            fail("decode failed");
        benchmark::DoNotOptimize(record);
        return record;
    }

    void decode_into(goheap_t *heap) const
    {
        T *record = nullptr;
        if (family<T>::decode_to_given_goheap(bytes_.data(), size_, &record, heap) != static_cast<int32_t>(size_))
            fail("decode into a goheap failed");
        benchmark::DoNotOptimize(record);
    }

    const std::vector<unsigned char> &bytes_ = encoded<T>();
    const uint32_t size_ = static_cast<uint32_t>(bytes_.size());
};

// xdr_decode_p_T onto the default heap, then xdr_free_p_T.
template <class T>
class decode_free_op : sample_decoder<T> {
public:
    static constexpr uint32_t kBatch = 0;
    void operator()()
    {
        T *record = this->decode_onto_default_heap();
        family<T>::release(&record);
    }
};

// A goheap_create hint with room for `messages` decodes of T's sample
// without growing: each decode takes the record and its strings, each block
// behind a 16-byte header.
template <class T>
size_t batch_hint(uint32_t messages)
{
    return messages * (sizeof(T) + 2 * encoded<T>().size() + 16 * 16);
}

// xdr_decode_p_T_to_given_goheap into one arena for kBatch decodes; a goheap
// cannot be emptied, so each batch gets a new one, outside the timed part.
template <class T>
class decode_goheap_op : sample_decoder<T> {
public:
    static constexpr uint32_t kBatch = 256;
    decode_goheap_op() { next_batch(); }
    ~decode_goheap_op() { goheap_destroy(heap_); }
    decode_goheap_op(const decode_goheap_op &) = delete;
    decode_goheap_op &operator=(const decode_goheap_op &) = delete;

    void operator()() { this->decode_into(heap_); }

    void next_batch()
    {
        goheap_destroy(heap_);
        heap_ = goheap_create(batch_hint<T>(kBatch));
        if (heap_ == nullptr)
            fail("cannot create a goheap");
    }

private:
    goheap_t *heap_ = nullptr;
};

// xdr_decode_p_T_to_new_goheap, then goheap_destroy: one allocation at most
// (none once the thread has the memory of a destroyed goheap to reuse).
template <class T>
class decode_new_goheap_op {
public:
    static constexpr uint32_t kBatch = 0;
    void operator()()
    {
        T *record = nullptr;
        goheap_t *heap = nullptr;
        if (family<T>::decode_to_new_goheap(bytes_.data(), size_, &record, &heap) !=
            static_cast<int32_t>(size_))
            fail("decode into a new goheap failed");
        benchmark::DoNotOptimize(record);
        goheap_destroy(heap);
    }

private:
    const std::vector<unsigned char> &bytes_ = encoded<T>();
    const uint32_t size_ = static_cast<uint32_t>(bytes_.size());
};

// xdr_clone_T_to_new_goheap, then goheap_destroy.
template <class T>
class clone_new_goheap_op {
public:
    static constexpr uint32_t kBatch = 0;
    void operator()()
    {
        goheap_t *heap = nullptr;
        T *copy = family<T>::clone_to_new_goheap(&sample_.record, &heap);
        if (copy == nullptr)
            fail("clone into a new goheap failed");
        benchmark::DoNotOptimize(copy);
        goheap_destroy(heap);
    }

private:
    sample<T> &sample_ = sample_of<T>();
};

// ---- Batches, as a receiver decodes them -------------------------------------------------
// One call handles a whole batch of N messages (kMessages); the numbers
// reported are per message.  The goheap, or the default heap's blocks, are
// made and released inside the call, so their cost is part of each message.

// The goheaps a receiver decodes into: a fresh goheap_create(0) for every
// `Batch` messages, the one before destroyed.
template <uint32_t Batch>
class goheap_per_batch {
public:
    goheap_per_batch() = default;
    ~goheap_per_batch() { goheap_destroy(heap_); }
    goheap_per_batch(const goheap_per_batch &) = delete;
    goheap_per_batch &operator=(const goheap_per_batch &) = delete;

    // The goheap for the next message.
    goheap_t *next()
    {
        if (in_heap_ == 0) {
            goheap_destroy(heap_);
            heap_ = goheap_create(0);
            if (heap_ == nullptr)
                fail("cannot create a goheap");
        }
        in_heap_ = (in_heap_ + 1) % Batch;
        return heap_;
    }

private:
    goheap_t *heap_ = nullptr;
    uint32_t in_heap_ = 0;
};

// The hint that batch_goheap_op gives for "a hint that fits the batch".
inline constexpr size_t kFitHint = SIZE_MAX;

// goheap_create(Hint), N decodes into it, goheap_destroy.
template <class T, uint32_t N, size_t Hint>
class batch_goheap_op : sample_decoder<T> {
public:
    static constexpr uint32_t kBatch = 0;
    static constexpr uint32_t kMessages = N;
    void operator()()
    {
        goheap_t *heap = goheap_create(hint_);
        if (heap == nullptr)
            fail("cannot create a goheap");
        for (uint32_t i = 0; i < N; ++i)
            this->decode_into(heap);
        goheap_destroy(heap);
    }

private:
    const size_t hint_ = Hint == kFitHint ? batch_hint<T>(N) : Hint;
};

// N decodes onto the default heap (xdr_decode_p_T), then N xdr_free_p_T.
template <class T, uint32_t N>
class batch_default_heap_op : sample_decoder<T> {
public:
    static constexpr uint32_t kBatch = 0;
    static constexpr uint32_t kMessages = N;
    void operator()()
    {
        for (T *&record : records_)
            record = this->decode_onto_default_heap();
        for (T *&record : records_)
            family<T>::release(&record);
    }

private:
    std::array<T *, N> records_{};
};

// Messages one call of an operation handles.
template <class Op>
constexpr uint32_t messages_per_call()
{
    if constexpr (requires { Op::kMessages; })
        return Op::kMessages;
    else
        return 1;
}

// xdr_clone_T onto the default heap, then xdr_free_p_T.
template <class T>
class clone_free_op {
public:
    static constexpr uint32_t kBatch = 0;
    void operator()()
    {
        T *copy = family<T>::clone(&sample_.record);
        if (copy == nullptr)
            fail("clone failed");
        benchmark::DoNotOptimize(copy);
        family<T>::release(&copy);
    }

private:
    sample<T> &sample_ = sample_of<T>();
};

// ---- The message API --------------------------------------------------------------------

// parcel_encode_<msg> into a reused buffer.
template <class Message>
class api_encode_op {
public:
    static constexpr uint32_t kBatch = 0;
    void operator()()
    {
        const int32_t written = message<Message>::encode(msg_, buffer_, kBufferSize);
        if (written <= 0)
            fail("message encode failed");
        benchmark::DoNotOptimize(written);
    }

private:
    Message msg_ = message<Message>::make();
    alignas(8) unsigned char buffer_[kBufferSize];
};

// parcel_decode_<msg>, then parcel_free_<msg>.
template <class Message>
class api_decode_free_op {
public:
    static constexpr uint32_t kBatch = 0;
    void operator()()
    {
        Message *msg = nullptr;
        if (message<Message>::decode(bytes_.data(), size_, &msg) != 0)
            fail("message decode failed");
        benchmark::DoNotOptimize(msg);
        message<Message>::release(msg);
    }

private:
    const std::vector<unsigned char> &bytes_ = encoded<typename message<Message>::record>();
    const uint32_t size_ = static_cast<uint32_t>(bytes_.size());
};

} // namespace bench

#endif // PARCEL_BENCH_OPS_H
