// The routine family of every optional generic struct type, table-driven over
// the catalogue: descriptor tables, record layout, round trips through every
// encode/decode form, presence subsets, truncation, clones, freeing, hostile
// bytes and allocation failure.

#include "record_test.h"

#include <algorithm>

namespace {

using namespace rt;

template <class T>
class StructFamily : public ProbedTest {
protected:
    static constexpr uint32_t kAll = typetable::all_fields(T::kFieldCount);

    // Sets the fields in `mask` to random values.
    bool fill(T &rec, uint32_t mask) { return typetable::fill(type_, &rec, rng_(), mask, texts_); }

    const Type &type_ = typetable::type_entry<T>();
    Rng rng_{start_value_of(family<T>::name)};
    typetable::Texts texts_;
};
TYPED_TEST_SUITE(StructFamily, StructTypes, TypeNames);

// Byte position of field `index` in the encoding of a record.
template <class T>
size_t wire_offset(const T &rec, uint32_t index)
{
    const std::vector<int> sizes = wire_sizes(typetable::type_entry<T>(), &rec);
    size_t at = 4;
    for (uint32_t i = 0; i < index; ++i)
        at += static_cast<size_t>(sizes[i]);
    return at;
}

TYPED_TEST(StructFamily, DescriptorTablesDescribeTheRecordFields)
{
    using T = TypeParam;
    using C = family<T>;
    const std::vector<Field> &fields = this->type_.fields;
    ASSERT_EQ(fields.size(), T::kFieldCount);

    const var_desc_t *var = C::var_desc();
    const var_length_desc_t *length = C::length_desc();
    const var_clone_desc_t *clone = C::clone_desc();
    const var_sizeof_desc_t *sizes = C::sizeof_desc();
    ASSERT_TRUE(var && length && clone && sizes);
    EXPECT_EQ(var, C::var_desc());
    EXPECT_EQ(length, C::length_desc());
    EXPECT_EQ(clone, C::clone_desc());
    EXPECT_EQ(sizes, C::sizeof_desc());
    EXPECT_EQ(var->count, T::kFieldCount);
    EXPECT_EQ(length->count, T::kFieldCount);
    EXPECT_EQ(clone->count, T::kFieldCount);
    EXPECT_EQ(sizes->count, T::kFieldCount);
    ASSERT_TRUE(var->entries && length->entries && clone->entries && sizes->entries);

    // Where each field must lie, worked out from the layout's rules rather
    // than asked of the compiler: the field count, the presence pointer at
    // a pointer's alignment, then each field on its own width (8-byte fields
    // on 8 even where the platform ABI would put them on 4), and the
    // information block right behind the last one.
    size_t expected = sizeof(void *) + sizeof(void *);
    for (const Field &f : fields) {
        SCOPED_TRACE(f.name);
        const uint32_t i = f.index;
        const uint32_t width = kind_width(f.kind);
        expected = (expected + width - 1) / width * width;
        EXPECT_EQ(var->entries[i].offset, expected);
        expected += width;
        EXPECT_EQ(length->entries[i].offset, var->entries[i].offset);
        EXPECT_EQ(clone->entries[i].offset, var->entries[i].offset);
        EXPECT_EQ(sizes->entries[i], width);
        EXPECT_EQ(var->entries[i].routine, typetable::info(f.kind).xdr);
        EXPECT_EQ(length->entries[i].routine, typetable::info(f.kind).length);
        EXPECT_EQ(clone->entries[i].routine, typetable::info(f.kind).clone);
        if (i > 0) {
            EXPECT_GT(var->entries[i].offset, var->entries[i - 1].offset);
        }
    }
    EXPECT_EQ(offsetof(T, presence), sizeof(void *));
    EXPECT_EQ(offsetof(T, reserved), expected);

    // The record class keeps each field where the descriptors say: what its
    // setter stores is found at the field's offset.
    T rec(nullptr, 0);
    typetable::Texts texts;
    ASSERT_TRUE(typetable::fill(this->type_, &rec, 0, this->kAll, texts));
    for (const Field &f : fields)
        EXPECT_EQ(typetable::load(f.kind, field_at(&rec, f)), typetable::sample_value(f.kind, f.index, 0)) << f.name;
    const uint32_t end = T::kFieldCount;
    EXPECT_EQ(var->entries[end].routine, nullptr);
    EXPECT_EQ(var->entries[end].offset, 0u);
    EXPECT_EQ(length->entries[end].routine, nullptr);
    EXPECT_EQ(length->entries[end].offset, 0u);
    EXPECT_EQ(clone->entries[end].routine, nullptr);
    EXPECT_EQ(clone->entries[end].offset, 0u);
    EXPECT_EQ(sizes->entries[end], 0u);
}

TYPED_TEST(StructFamily, FreshRecordIsEmptyAndTiedToItsType)
{
    using T = TypeParam;
    using C = family<T>;
    goheap_t *heap = goheap_create(0);
    alignas(T) unsigned char storage[sizeof(T)];
    std::memset(storage, 0xA5, sizeof storage);
    T *rec = ::new (storage) T(heap, 0x5a5ac3c3u);

    EXPECT_EQ(rec->field_count, T::kFieldCount);
    EXPECT_EQ(present(this->type_, rec), 0u);
    for (const Field &f : this->type_.fields) {
        const unsigned char *bytes = storage + f.offset;
        EXPECT_TRUE(std::all_of(bytes, bytes + kind_width(f.kind), [](unsigned char b) { return b == 0; })) << f.name;
        EXPECT_FALSE(xdr_optional_generic_struct_check_field(rec, f.index)) << f.name;
    }
    EXPECT_EQ(rec->reserved, 0x5a5ac3c3u);
    EXPECT_EQ(rec->heap, heap);
    if constexpr (T::kFieldCount == 0) {
        EXPECT_EQ(rec->presence, &rec->layout_code);
        EXPECT_EQ(rec->plain_size, 2 * sizeof(void *));
    } else {
        EXPECT_EQ(rec->presence, &rec->presence_words.word[0]);
        EXPECT_EQ(rec->presence_words.word[0], 0u);
        EXPECT_EQ(reinterpret_cast<unsigned char *>(rec->presence) + 4,
                  reinterpret_cast<unsigned char *>(&rec->layout_code));
    }
    EXPECT_EQ(rec->layout_code, 2u);
    EXPECT_EQ(rec->plain_size, offsetof(T, reserved));
    EXPECT_EQ(rec->tail, rec->tail_area);
    EXPECT_EQ(rec->filter, C::mxdr);
    EXPECT_EQ(rec->length_routine, C::length);
    EXPECT_EQ(rec->clone_routine, C::clone_p);
    EXPECT_EQ(rec->var_desc, C::var_desc());
    EXPECT_EQ(rec->var_length_desc, C::length_desc());
    EXPECT_EQ(rec->var_clone_desc, C::clone_desc());
    EXPECT_EQ(rec->var_sizeof_desc, C::sizeof_desc());
    rec->~T();

    T *placed = T::place_in_goheap(heap);
    ASSERT_NE(placed, nullptr);
    EXPECT_EQ(placed->heap, heap);
    EXPECT_EQ(placed->reserved, 0u);
    EXPECT_EQ(placed->layout_code, 2u);
    T::release_to_goheap(heap, placed);
    goheap_destroy(heap);
}

TYPED_TEST(StructFamily, RandomRecordsSurviveEveryEncodeAndDecodeForm)
{
    using T = TypeParam;
    using C = family<T>;
    for (int round = 0; round < 40; ++round) {
        SCOPED_TRACE(::testing::Message() << "round " << round);
        T src(nullptr, 0);
        const uint32_t mask = round < 4 ? this->kAll : static_cast<uint32_t>(this->rng_()) & this->kAll;
        ASSERT_TRUE(this->fill(src, mask));
        ASSERT_EQ(present(this->type_, &src), mask);

        const std::vector<int> sizes = wire_sizes(this->type_, &src);
        int expected = 4;
        for (int size : sizes)
            expected += size;
        const int length = C::length(&src);
        ASSERT_EQ(length, expected);
        T *srcp = &src;
        EXPECT_EQ(C::length_p(&srcp), length);

        // Encode into a larger buffer: the count is exact and nothing behind it is written.
        Bytes wide(static_cast<size_t>(length) + 8, 0xEE);
        ASSERT_EQ(C::encode(&src, wide.data(), static_cast<uint32_t>(wide.size())), length);
        EXPECT_TRUE(std::all_of(wide.begin() + length, wide.end(), [](uint8_t b) { return b == 0xEE; }));
        const Bytes bytes(wide.begin(), wide.begin() + length);
        EXPECT_EQ(get32(bytes, 0), mask) << "presence bitmap";
        Bytes through_p(static_cast<size_t>(length));
        EXPECT_EQ(C::encode_p(&srcp, through_p.data(), static_cast<uint32_t>(length)), length);
        EXPECT_EQ(through_p, bytes);
        // At an odd address the stream lends no memory: word-by-word encoding.
        Bytes odd_out(static_cast<size_t>(length) + 1);
        EXPECT_EQ(C::encode(&src, odd_out.data() + 1, static_cast<uint32_t>(length)), length);
        EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), odd_out.begin() + 1));
        Bytes short_buffer(static_cast<size_t>(length));
        for (uint8_t *at : {short_buffer.data(), short_buffer.data() + 1}) {
            EXPECT_EQ(C::encode(&src, at, static_cast<uint32_t>(length - 1)), -1);
            EXPECT_EQ(C::encode_p(&srcp, at, static_cast<uint32_t>(length - 1)), -1);
        }

        // The value filter over a memory stream writes the same bytes.
        Bytes streamed(static_cast<size_t>(length));
        XDR xdrs;
        xdrmem_create(&xdrs, reinterpret_cast<char *>(streamed.data()), length, XDR_ENCODE);
        EXPECT_TRUE(C::xdr(&xdrs, &src));
        EXPECT_EQ(XDR_GETPOS(&xdrs), static_cast<u_int>(length));
        XDR_DESTROY(&xdrs);
        EXPECT_EQ(streamed, bytes);

        // Default heap, from an odd address, with trailing bytes ignored.
        Bytes odd(1 + bytes.size() + 5);
        std::copy(bytes.begin(), bytes.end(), odd.begin() + 1);
        for (size_t i = 1 + bytes.size(); i < odd.size(); ++i)
            odd[i] = static_cast<uint8_t>(this->rng_());
        T *out = nullptr;
        ASSERT_EQ(C::decode(odd.data() + 1, static_cast<uint32_t>(odd.size() - 1), &out), length);
        ASSERT_NE(out, nullptr);
        EXPECT_TRUE(same(this->type_, &src, out));
        EXPECT_EQ(out->heap, nullptr);
        EXPECT_EQ(encode_bytes(*out), bytes);
        C::free_p(&out);
        EXPECT_EQ(out, nullptr);

        // A given goheap: the record and its strings come from it alone.
        goheap_t *heap = goheap_create(0);
        const size_t default_before = goheap_bytes_in_use(nullptr);
        ASSERT_EQ(C::decode_given(bytes.data(), static_cast<uint32_t>(length), &out, heap), length);
        ASSERT_NE(out, nullptr);
        EXPECT_TRUE(same(this->type_, &src, out));
        EXPECT_EQ(out->heap, heap);
        EXPECT_EQ(goheap_bytes_in_use(nullptr), default_before);
        EXPECT_GE(goheap_bytes_in_use(heap), sizeof(T));
        goheap_destroy(heap);

        // A new goheap.
        heap = nullptr;
        ASSERT_EQ(C::decode_new(bytes.data(), static_cast<uint32_t>(length), &out, &heap), length);
        ASSERT_NE(heap, nullptr);
        ASSERT_NE(out, nullptr);
        EXPECT_TRUE(same(this->type_, &src, out));
        EXPECT_EQ(out->heap, heap);
        goheap_destroy(heap);

        // The pointer filter over a memory stream, then freed by it.
        xdrmem_create(&xdrs, reinterpret_cast<char *>(const_cast<uint8_t *>(bytes.data())), length,
                      XDR_DECODE);
        out = nullptr;
        EXPECT_TRUE(C::xdr_p(&xdrs, &out));
        EXPECT_EQ(XDR_GETPOS(&xdrs), static_cast<u_int>(length));
        XDR_DESTROY(&xdrs);
        ASSERT_NE(out, nullptr);
        EXPECT_TRUE(same(this->type_, &src, out));
        XDR release{};
        release.x_op = XDR_FREE;
        EXPECT_TRUE(C::xdr_p(&release, &out));
        EXPECT_EQ(out, nullptr);
    }
}

TYPED_TEST(StructFamily, EveryPresenceSubsetRoundTrips)
{
    using T = TypeParam;
    using C = family<T>;
    for (uint32_t mask = 0; mask <= this->kAll; ++mask) {
        SCOPED_TRACE(::testing::Message() << "presence 0x" << std::hex << mask);
        T src(nullptr, 0);
        ASSERT_TRUE(this->fill(src, mask));
        const Bytes bytes = encode_bytes(src);
        ASSERT_GE(bytes.size(), 4u);
        EXPECT_EQ(get32(bytes, 0), mask);
        T *out = nullptr;
        ASSERT_EQ(C::decode(bytes.data(), static_cast<uint32_t>(bytes.size()), &out),
                  static_cast<int32_t>(bytes.size()));
        ASSERT_NE(out, nullptr);
        EXPECT_EQ(present(this->type_, out), mask);
        EXPECT_TRUE(same(this->type_, &src, out));
        C::free_p(&out);
    }
}

TYPED_TEST(StructFamily, EveryProperPrefixFailsToDecode)
{
    using T = TypeParam;
    using C = family<T>;
    for (int round = 0; round < 3; ++round) {
        T src(nullptr, 0);
        ASSERT_TRUE(this->fill(src, this->kAll));
        const Bytes bytes = encode_bytes(src);
        for (size_t n = 0; n < bytes.size(); ++n)
            expect_decode_fails<T>(bytes, n, "prefix");
        T *out = nullptr;
        const ExactBuffer whole(bytes, bytes.size());
        ASSERT_EQ(C::decode(whole.data, static_cast<uint32_t>(bytes.size()), &out),
                  static_cast<int32_t>(bytes.size()));
        C::free_p(&out);
    }
}

TYPED_TEST(StructFamily, ClonesAreDeepAndIndependent)
{
    using T = TypeParam;
    using C = family<T>;
    T built(nullptr, 0);
    ASSERT_TRUE(this->fill(built, this->kAll));
    const Bytes bytes = encode_bytes(built);

    // The source owns its strings, so it can be scribbled over and freed.
    T *src = nullptr;
    ASSERT_GT(C::decode(bytes.data(), static_cast<uint32_t>(bytes.size()), &src), 0);

    const size_t default_before = goheap_bytes_in_use(nullptr);
    goheap_t *given = goheap_create(0);
    T *on_given = C::clone_given(src, given);
    goheap_t *fresh = nullptr;
    T *on_fresh = C::clone_new(src, &fresh);
    EXPECT_EQ(goheap_bytes_in_use(nullptr), default_before) << "clones into arenas took default-heap memory";
    T *on_default = C::clone(src);
    ASSERT_TRUE(on_given && on_fresh && on_default && fresh);
    EXPECT_EQ(on_given->heap, given);
    EXPECT_EQ(on_fresh->heap, fresh);
    EXPECT_EQ(on_default->heap, nullptr);
    EXPECT_GE(goheap_bytes_in_use(nullptr) - default_before, sizeof(T));

    T *const clones[] = {on_default, on_given, on_fresh};
    for (T *copy : clones) {
        EXPECT_NE(copy, src);
        EXPECT_TRUE(same(this->type_, src, copy));
        for (const Field &f : this->type_.fields) {
            if (f.kind != Kind::k_wrapstring)
                continue;
            char *a;
            char *b;
            std::memcpy(&a, reinterpret_cast<char *>(src) + f.offset, sizeof a);
            std::memcpy(&b, reinterpret_cast<char *>(copy) + f.offset, sizeof b);
            EXPECT_NE(a, b) << f.name << " shares its text with the source";
        }
    }

    // Overwrite the source's text in place, then free it: the clones keep their values.
    for (const Field &f : this->type_.fields) {
        if (f.kind != Kind::k_wrapstring)
            continue;
        char *text;
        std::memcpy(&text, reinterpret_cast<char *>(src) + f.offset, sizeof text);
        std::memset(text, 'Z', std::strlen(text));
    }
    C::free_p(&src);
    EXPECT_EQ(src, nullptr);
    for (T *copy : clones)
        EXPECT_EQ(encode_bytes(*copy), bytes);

    // Through the pointer clone, into an arena.
    T *again = nullptr;
    EXPECT_EQ(C::clone_p(&on_default, &again, given), 1);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(again->heap, given);
    EXPECT_EQ(encode_bytes(*again), bytes);

    C::free_p(&on_default);
    goheap_destroy(given);
    goheap_destroy(fresh);

    // A null source gives a null copy; the new-heap form still hands back its heap.
    EXPECT_EQ(C::clone(nullptr), nullptr);
    fresh = nullptr;
    EXPECT_EQ(C::clone_new(nullptr, &fresh), nullptr);
    EXPECT_NE(fresh, nullptr);
    goheap_destroy(fresh);
    T *none = nullptr;
    T *target = reinterpret_cast<T *>(&built);
    EXPECT_EQ(C::clone_p(&none, &target, nullptr), 1);
    EXPECT_EQ(target, nullptr);
}

TYPED_TEST(StructFamily, FreeReleasesEverythingOnce)
{
    using T = TypeParam;
    using C = family<T>;
    T built(nullptr, 0);
    ASSERT_TRUE(this->fill(built, this->kAll));
    const Bytes bytes = encode_bytes(built);
    const size_t before = this->live();
    T *rec = nullptr;
    ASSERT_GT(C::decode(bytes.data(), static_cast<uint32_t>(bytes.size()), &rec), 0);
    EXPECT_GT(this->live(), before);
    C::free_p(&rec);
    EXPECT_EQ(rec, nullptr);
    EXPECT_EQ(this->live(), before);
    C::free_p(&rec);
    EXPECT_EQ(rec, nullptr);
    EXPECT_EQ(this->live(), before);
    EXPECT_EQ(this->stats().foreign_releases, 0u);
}

TYPED_TEST(StructFamily, PointerFilterHandlesNullAndGarbageSlots)
{
    using T = TypeParam;
    using C = family<T>;
    T built(nullptr, 0);
    ASSERT_TRUE(this->fill(built, this->kAll));
    Bytes bytes = encode_bytes(built);
    char *data = reinterpret_cast<char *>(bytes.data());
    const auto size = static_cast<u_int>(bytes.size());

    Bytes sink(bytes.size());
    XDR xdrs;
    xdrmem_create(&xdrs, reinterpret_cast<char *>(sink.data()), size, XDR_ENCODE);
    T *rec = nullptr;
    EXPECT_EQ(C::mxdr_p(&xdrs, &rec, nullptr), 0) << "encoding a null record";
    XDR_DESTROY(&xdrs);

    XDR release{};
    release.x_op = XDR_FREE;
    EXPECT_EQ(C::mxdr_p(&release, &rec, nullptr), 1) << "freeing a null record";

    // Decoding never reads or frees what the slot held before.
    alignas(T) unsigned char garbage[sizeof(T)];
    std::memset(garbage, 0xC5, sizeof garbage);
    unsigned char snapshot[sizeof(T)];
    std::memcpy(snapshot, garbage, sizeof garbage);
    goheap_t *heap = goheap_create(0);
    rec = reinterpret_cast<T *>(garbage);
    xdrmem_create(&xdrs, data, size, XDR_DECODE);
    EXPECT_EQ(C::mxdr_p(&xdrs, &rec, heap), 1);
    XDR_DESTROY(&xdrs);
    ASSERT_NE(rec, nullptr);
    EXPECT_NE(static_cast<void *>(rec), static_cast<void *>(garbage));
    EXPECT_EQ(std::memcmp(garbage, snapshot, sizeof garbage), 0);
    EXPECT_EQ(rec->heap, heap);
    EXPECT_TRUE(same(this->type_, &built, rec));
    EXPECT_EQ(C::mxdr_p(&release, &rec, heap), 1);
    EXPECT_EQ(rec, nullptr);

    // A failed decode leaves a null slot.
    rec = reinterpret_cast<T *>(garbage);
    xdrmem_create(&xdrs, data, size - 1, XDR_DECODE);
    EXPECT_EQ(C::mxdr_p(&xdrs, &rec, heap), 0);
    XDR_DESTROY(&xdrs);
    EXPECT_EQ(rec, nullptr);
    goheap_destroy(heap);

    EXPECT_EQ(C::length_p(nullptr), -1);
    T *null_record = nullptr;
    EXPECT_EQ(C::length_p(&null_record), -1);
    EXPECT_EQ(C::encode_p(&null_record, sink.data(), size), -1);
    EXPECT_EQ(C::encode(nullptr, sink.data(), size), -1);
}

TYPED_TEST(StructFamily, PresentStringWithNullTextCannotBeEncoded)
{
    using T = TypeParam;
    using C = family<T>;
    for (const Field &f : this->type_.fields) {
        if (f.kind != Kind::k_wrapstring)
            continue;
        SCOPED_TRACE(f.name);
        T rec(nullptr, 0);
        ASSERT_TRUE(this->fill(rec, this->kAll));
        char *const null_text = nullptr;
        std::memcpy(reinterpret_cast<char *>(&rec) + f.offset, &null_text, sizeof null_text);
        ASSERT_EQ(present(this->type_, &rec), this->kAll);
        EXPECT_EQ(C::length(&rec), -1);
        T *recp = &rec;
        EXPECT_EQ(C::length_p(&recp), -1);
        Bytes buffer(4096);
        EXPECT_EQ(C::encode(&rec, buffer.data(), static_cast<uint32_t>(buffer.size())), -1);
        EXPECT_EQ(C::encode_p(&recp, buffer.data(), static_cast<uint32_t>(buffer.size())), -1);
    }
}

TYPED_TEST(StructFamily, PresenceBitsBeyondTheFieldsAreRefused)
{
    using T = TypeParam;
    T src(nullptr, 0);
    ASSERT_TRUE(this->fill(src, this->kAll));
    const Bytes bytes = encode_bytes(src);
    for (uint32_t bit = T::kFieldCount; bit < 32; ++bit) {
        Bytes bad = bytes;
        set32(bad, 0, this->kAll | 1u << bit);
        expect_decode_fails<T>(bad, bad.size(), "presence bit beyond the fields");
        set32(bad, 0, 1u << bit);
        expect_decode_fails<T>(bad, bad.size(), "only a presence bit beyond the fields");
    }
}

// Each string field in turn, with every other field present in front of and
// behind it, so a failure must also give back the strings already decoded.
TYPED_TEST(StructFamily, HostileStringsAreRefusedWithoutLeaksOrLargeRequests)
{
    using T = TypeParam;
    using C = family<T>;
    for (const Field &f : this->type_.fields) {
        if (f.kind != Kind::k_wrapstring)
            continue;
        SCOPED_TRACE(f.name);
        T src(nullptr, 0);
        ASSERT_TRUE(this->fill(src, this->kAll));
        char abc[] = "abc";
        char *const text = abc;
        std::memcpy(reinterpret_cast<char *>(&src) + f.offset, &text, sizeof text);
        const Bytes bytes = encode_bytes(src);
        const size_t at = wire_offset(src, f.index);
        ASSERT_EQ(get32(bytes, at), 3u);
        const uint32_t left = static_cast<uint32_t>(bytes.size() - at - 4);

        for (uint32_t bad_length : {0xFFFFFFF0u, 0x7FFFFFF7u, left + 1, left + 4}) {
            SCOPED_TRACE(::testing::Message() << "string length " << bad_length);
            Bytes bad = bytes;
            set32(bad, at, bad_length);
            // No request may exceed what the record and the bytes received justify.
            const size_t cap = std::max(sizeof(T), bad.size() + 1) + 16;
            for (bool odd : {false, true}) {
                const ExactBuffer buffer(bad, bad.size(), odd);
                this->limit(SIZE_MAX, cap);
                T *out = reinterpret_cast<T *>(&src);
                EXPECT_EQ(C::decode(buffer.data, static_cast<uint32_t>(bad.size()), &out), -1);
                EXPECT_EQ(out, nullptr);
                EXPECT_EQ(this->stats().refusals, 0u) << "a request above " << cap << " bytes was made";
                this->unlimit();
            }
            expect_decode_fails<T>(bad, bad.size(), "string longer than the bytes left");
        }

        Bytes bad = bytes;
        bad[at + 5] = 0;  // "a\0c"
        expect_decode_fails<T>(bad, bad.size(), "NUL inside a string");

        bad = bytes;
        bad[at + 7] = 0x01;  // the padding byte behind "abc"
        expect_decode_fails<T>(bad, bad.size(), "non-zero padding");

        // "a": three bytes of padding, each tried on its own.
        char a[] = "a";
        char *const one = a;
        std::memcpy(reinterpret_cast<char *>(&src) + f.offset, &one, sizeof one);
        const Bytes short_text = encode_bytes(src);
        for (size_t p = 0; p < 3; ++p) {
            bad = short_text;
            bad[at + 5 + p] = 0x80;
            expect_decode_fails<T>(bad, bad.size(), "non-zero padding after one letter");
        }
    }
}

// Refuses the Nth process allocation for N = 0, 1, ... until the operation
// succeeds: every failure must be clean and leave nothing live.
TYPED_TEST(StructFamily, AllocationFailureIsClean)
{
    using T = TypeParam;
    using C = family<T>;
    T built(nullptr, 0);
    ASSERT_TRUE(this->fill(built, this->kAll));
    const Bytes bytes = encode_bytes(built);
    const auto size = static_cast<uint32_t>(bytes.size());
    const size_t before = this->live();

    size_t grants = 0;
    for (bool odd : {false, true}) {
        SCOPED_TRACE(odd ? "odd address" : "aligned");
        const ExactBuffer buffer(bytes, bytes.size(), odd);
        for (grants = 0;; ++grants) {
            ASSERT_LT(grants, 64u);
            this->limit(grants);
            T *out = reinterpret_cast<T *>(&built);
            const int32_t result = C::decode(buffer.data, size, &out);
            this->unlimit();
            if (result == -1) {
                EXPECT_EQ(out, nullptr) << "grants " << grants;
                EXPECT_EQ(this->live(), before) << "grants " << grants;
                continue;
            }
            EXPECT_EQ(result, static_cast<int32_t>(size));
            ASSERT_NE(out, nullptr);
            EXPECT_TRUE(same(this->type_, &built, out));
            C::free_p(&out);
            break;
        }
    }
    // One block for the record and one per string at least.
    size_t strings = 0;
    for (const Field &f : this->type_.fields)
        strings += f.kind == Kind::k_wrapstring;
    EXPECT_GE(grants, 1 + strings);

    T *src = nullptr;
    ASSERT_GT(C::decode(bytes.data(), size, &src), 0);
    const size_t with_source = this->live();
    for (grants = 0;; ++grants) {
        ASSERT_LT(grants, 64u);
        this->limit(grants);
        T *copy = C::clone(src);
        this->unlimit();
        if (copy == nullptr) {
            EXPECT_EQ(this->live(), with_source) << "grants " << grants;
            continue;
        }
        EXPECT_EQ(encode_bytes(*copy), bytes);
        C::free_p(&copy);
        break;
    }
    C::free_p(&src);

    this->limit(0);
    goheap_t *heap = reinterpret_cast<goheap_t *>(&built);
    T *out = reinterpret_cast<T *>(&built);
    EXPECT_EQ(C::decode_new(bytes.data(), size, &out, &heap), -1);
    this->unlimit();
    EXPECT_EQ(heap, nullptr);
    EXPECT_EQ(out, reinterpret_cast<T *>(&built))
        << "without a goheap nothing is decoded and the record pointer is left as it was";
}

} // namespace
