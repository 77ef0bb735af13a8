// The field codec: XDR routines for the eight field kinds and the record
// codecs that walk descriptor tables.  See fieldcodec.h for the wire format.
//
// Every read is bounds-checked by the stream; on memory streams a string's
// length is also checked against the bytes that remain before any memory is
// taken, and on other streams a string is read in bounded steps, so a hostile
// length can never make the decoder allocate more than the bytes it has
// actually received.

#include "fieldcodec.h"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstring>
#include <endian.h>
#include <limits>
#include <vector>

namespace {

// ---- Stream words -----------------------------------------------------------

// The XDR library moves 32-bit words as C longs; these keep the bit pattern.
bool put_word(XDR *xdrs, uint32_t value)
{
    long word = static_cast<int32_t>(value);
    return XDR_PUTLONG(xdrs, &word) != 0;
}

bool get_word(XDR *xdrs, uint32_t *value)
{
    long word = 0;
    if (!XDR_GETLONG(xdrs, &word))
        return false;
    *value = static_cast<uint32_t>(word);
    return true;
}

// 64-bit values travel high half first.
bool put_doubleword(XDR *xdrs, uint64_t value)
{
    return put_word(xdrs, static_cast<uint32_t>(value >> 32)) &&
           put_word(xdrs, static_cast<uint32_t>(value));
}

bool get_doubleword(XDR *xdrs, uint64_t *value)
{
    uint32_t high = 0;
    uint32_t low = 0;
    if (!get_word(xdrs, &high) || !get_word(xdrs, &low))
        return false;
    *value = (static_cast<uint64_t>(high) << 32) | low;
    return true;
}

// ---- Knowing the stream -----------------------------------------------------

// The XDR library gives memory streams one of two operation tables, chosen by
// the buffer's alignment; on both, x_handy counts the bytes that remain.  On
// an aligned one the library also lends its memory (XDR_INLINE), keeping the
// position in x_private, and the codec then reads and writes the buffer there
// directly.  A probe at load time makes sure the library keeps both words that
// way; without that assurance no stream is read or written directly.
struct MemoryStreams {
    const struct XDR::xdr_ops *aligned = nullptr;
    const struct XDR::xdr_ops *unaligned = nullptr;
    bool direct = false; // aligned streams may be read and written in place
};

MemoryStreams probe_memory_streams()
{
    alignas(8) char buffer[16] = {};
    XDR aligned;
    XDR unaligned;
    xdrmem_create(&aligned, buffer, 16, XDR_ENCODE);
    xdrmem_create(&unaligned, buffer + 1, 8, XDR_DECODE);
    MemoryStreams streams;
    streams.aligned = aligned.x_ops;
    streams.unaligned = unaligned.x_ops;
    const bool starts = aligned.x_private == buffer && aligned.x_handy == 16;
    const void *lent = XDR_INLINE(&aligned, 4);
    streams.direct = streams.aligned != streams.unaligned && starts && lent == buffer &&
                     aligned.x_private == buffer + 4 && aligned.x_handy == 12;
    XDR_DESTROY(&aligned);
    XDR_DESTROY(&unaligned);
    return streams;
}

// Probed when the library is loaded, before any caller can reach the codec
// (a library's initialisers run before those of the libraries that use it).
// Should a stream be run through the codec earlier still, the zero-filled
// table matches no stream and every stream takes the general path.
const MemoryStreams g_memory_streams = probe_memory_streams();

bool is_memory_stream(const XDR *xdrs)
{
    const MemoryStreams &streams = g_memory_streams;
    return xdrs->x_ops == streams.aligned || xdrs->x_ops == streams.unaligned;
}

// The bytes an aligned memory stream lends from its position on, or null for
// any other stream.
struct Window {
    unsigned char *start;
    size_t room;
};

Window window_of(XDR *xdrs)
{
    const MemoryStreams &streams = g_memory_streams;
    if (!streams.direct || xdrs->x_ops != streams.aligned)
        return {nullptr, 0};
    return {static_cast<unsigned char *>(xdrs->x_private), xdrs->x_handy};
}

// Moves an aligned memory stream past `used` bytes of its window, as
// XDR_INLINE would.
void advance(XDR *xdrs, size_t used)
{
    xdrs->x_private = static_cast<unsigned char *>(xdrs->x_private) + used;
    xdrs->x_handy -= static_cast<u_int>(used);
}

// ---- Strings ----------------------------------------------------------------

// Longest string the codec carries: its encoding must still be countable in a
// non-negative 32-bit int.
constexpr uint32_t kMaxStringLength = std::numeric_limits<int32_t>::max() - 8;
// Largest piece read at once from a stream that cannot tell its length.
constexpr uint32_t kStreamStep = 64 * 1024;

constexpr uint32_t padding_of(uint32_t length) { return (4 - (length & 3)) & 3; }

char *&string_at(void *field) { return *static_cast<char **>(field); }
const char *string_at(const void *field) { return *static_cast<const char *const *>(field); }

// The length of a string the codec can carry, or -1 for a null string or
// one too long to count.
int64_t carried_length(const char *text)
{
    if (text == nullptr)
        return -1;
    const size_t length = std::strlen(text);
    return length > kMaxStringLength ? -1 : static_cast<int64_t>(length);
}

int encode_string(XDR *xdrs, const char *text)
{
    static const char zeros[4] = {};
    const int64_t length = carried_length(text);
    if (length < 0)
        return 0;
    const auto n = static_cast<uint32_t>(length);
    const uint32_t pad = padding_of(n);
    return put_word(xdrs, n) && (n == 0 || XDR_PUTBYTES(xdrs, text, n)) &&
           (pad == 0 || XDR_PUTBYTES(xdrs, zeros, pad));
}

// Reads `length` bytes from a stream that cannot say how many it holds, in
// steps of at most kStreamStep, so memory grows only with the bytes received.
bool read_in_steps(XDR *xdrs, uint32_t length, std::vector<char> *bytes)
{
    bytes->clear();
    while (bytes->size() < length) {
        const size_t step = std::min<size_t>(kStreamStep, length - bytes->size());
        const size_t old_size = bytes->size();
        bytes->resize(old_size + step);
        if (!XDR_GETBYTES(xdrs, bytes->data() + old_size, static_cast<u_int>(step)))
            return false;
    }
    return true;
}

int decode_string(XDR *xdrs, char **field, goheap_t *heap)
{
    uint32_t length = 0;
    if (!get_word(xdrs, &length) || length > kMaxStringLength)
        return 0;
    const uint32_t pad = padding_of(length);
    const bool memory = is_memory_stream(xdrs);
    if (memory && static_cast<uint64_t>(length) + pad > xdrs->x_handy)
        return 0;

    std::vector<char> received;
    if (!memory && !read_in_steps(xdrs, length, &received))
        return 0;

    char *text = static_cast<char *>(goheap_malloc(heap, static_cast<size_t>(length) + 1));
    if (text == nullptr)
        return 0;
    bool ok = true;
    if (memory)
        ok = length == 0 || XDR_GETBYTES(xdrs, text, length);
    else if (length != 0)
        std::memcpy(text, received.data(), length);
    char padding[4] = {};
    ok = ok && (pad == 0 || XDR_GETBYTES(xdrs, padding, pad));
    // A NUL inside the text cannot be represented as C text, and non-zero
    // padding would give the message a second encoding: both are refused.
    ok = ok && std::memchr(text, 0, length) == nullptr && padding[0] == 0 && padding[1] == 0 &&
         padding[2] == 0;
    if (!ok) {
        goheap_free(heap, text);
        return 0;
    }
    text[length] = '\0';
    *field = text;
    return 1;
}

int free_string(void *field, goheap_t *heap)
{
    char *&text = string_at(field);
    if (text != nullptr) {
        goheap_free(heap, text);
        text = nullptr;
    }
    return 1;
}

// ---- The three storage shapes behind the eight kinds -------------------------
// int, long, u_int, u_long and float are four bytes moved as one word;
// double and u_hyper eight bytes moved as two.  Only the bit pattern matters.

bool put_bits(XDR *xdrs, uint32_t value) { return put_word(xdrs, value); }
bool put_bits(XDR *xdrs, uint64_t value) { return put_doubleword(xdrs, value); }
bool get_bits(XDR *xdrs, uint32_t *value) { return get_word(xdrs, value); }
bool get_bits(XDR *xdrs, uint64_t *value) { return get_doubleword(xdrs, value); }

// Moves a field's bit pattern, one word (uint32_t) or two (uint64_t).
template <class Bits>
int run_bits(XDR *xdrs, void *field)
{
    Bits value = 0;
    switch (xdrs->x_op) {
    case XDR_ENCODE:
        std::memcpy(&value, field, sizeof value);
        return put_bits(xdrs, value);
    case XDR_DECODE:
        if (!get_bits(xdrs, &value))
            return 0;
        std::memcpy(field, &value, sizeof value);
        return 1;
    case XDR_FREE:
        return 1;
    }
    return 0;
}

int run_string(XDR *xdrs, void *field, goheap_t *heap)
{
    switch (xdrs->x_op) {
    case XDR_ENCODE:
        return encode_string(xdrs, string_at(static_cast<const void *>(field)));
    case XDR_DECODE:
        return decode_string(xdrs, &string_at(field), heap);
    case XDR_FREE:
        return free_string(field, heap);
    }
    return 0;
}

int string_length(const void *field)
{
    const int64_t length = carried_length(string_at(field));
    if (length < 0)
        return -1;
    const auto n = static_cast<uint32_t>(length);
    return static_cast<int>(4 + n + padding_of(n));
}

int clone_string(const void *source, void *destination, goheap_t *heap)
{
    const char *text = string_at(source);
    char *&copy = string_at(destination);
    copy = nullptr;
    if (text == nullptr)
        return 1;
    const size_t size = std::strlen(text) + 1;
    char *block = static_cast<char *>(goheap_malloc(heap, size));
    if (block == nullptr)
        return 0;
    std::memcpy(block, text, size);
    copy = block;
    return 1;
}

template <size_t Size>
int clone_bytes(const void *source, void *destination)
{
    std::memcpy(destination, source, Size);
    return 1;
}

// ---- Records -----------------------------------------------------------------

char *at(void *record, uint32_t offset) { return static_cast<char *>(record) + offset; }
const char *at(const void *record, uint32_t offset)
{
    return static_cast<const char *>(record) + offset;
}

template <class T>
T read_member(const void *record, uint32_t offset)
{
    T value;
    std::memcpy(&value, at(record, offset), sizeof value);
    return value;
}

template <class T>
void write_member(void *record, uint32_t offset, T value)
{
    std::memcpy(at(record, offset), &value, sizeof value);
}

uint32_t field_count_of(const void *record)
{
    return read_member<uint32_t>(record, FC_STRUCT_FIELD_COUNT_OFFSET);
}

uint32_t *presence_of(const void *record)
{
    return read_member<uint32_t *>(record, FC_STRUCT_PRESENCE_OFFSET);
}

// Presence bits of a record; a type without fields has no presence word.
uint32_t present_bits(const void *record, uint32_t count)
{
    return count == 0 ? 0 : *presence_of(record);
}

void set_present_bits(void *record, uint32_t count, uint32_t bits)
{
    if (count != 0)
        *presence_of(record) = bits;
}

constexpr uint32_t field_mask(uint32_t count)
{
    return count >= 32 ? ~0u : (1u << count) - 1;
}

constexpr bool is_present(uint32_t bits, uint32_t index) { return ((bits >> index) & 1u) != 0; }

// A record and a descriptor fit each other when they count the same fields.
bool struct_fits(const void *record, uint32_t desc_count)
{
    return record != nullptr && desc_count <= FC_MAX_FIELDS && field_count_of(record) == desc_count;
}

// Runs the free operation over the fields in `bits` below `limit`, giving back
// what a decode took before it failed.
void release_fields(const var_desc_t *desc, void *record, uint32_t bits, uint32_t limit,
                    goheap_t *heap)
{
    XDR release = {};
    release.x_op = XDR_FREE;
    for (uint32_t i = 0; i < limit; ++i)
        if (is_present(bits, i))
            desc->entries[i].routine(&release, at(record, desc->entries[i].offset), heap);
}

// ---- Fast paths over a plan ---------------------------------------------------
// With a type's plan, a record is written or read in one pass over the window
// of an aligned memory stream, without a call through the stream per word,
// and measured, cloned and freed without a call per field.  The routines of
// the tables stay the reference: other streams, and descriptors without a
// plan, take the per-field path, which gives the same bytes and verdicts.

// The plan of a descriptor, when it has one for as many fields.
template <class Desc>
const fc_plan_t *plan_of(const Desc *desc)
{
    const fc_plan_t *plan = desc->plan;
    return plan != nullptr && plan->count == desc->count ? plan : nullptr;
}

// Index and bit of the lowest field in a non-empty set.
uint32_t lowest_index(uint32_t bits) { return static_cast<uint32_t>(std::countr_zero(bits)); }
uint32_t lowest_bit(uint32_t bits) { return bits & (~bits + 1); }

void store_word(unsigned char *out, uint32_t value)
{
    value = htobe32(value);
    std::memcpy(out, &value, sizeof value);
}

uint32_t load_word(const unsigned char *in)
{
    uint32_t value;
    std::memcpy(&value, in, sizeof value);
    return be32toh(value);
}

// Gives back the strings of the fields in `bits`, as a failed decode or
// clone must, and as the free operation does.
void release_strings(const fc_plan_t &plan, void *record, uint32_t bits, goheap_t *heap)
{
    for (uint32_t rest = bits & plan.string_mask; rest != 0; rest &= rest - 1)
        free_string(at(record, plan.offsets[lowest_index(rest)]), heap);
}

// Verdicts of a fast path: done, failed, or not applicable here.
enum class Fast { ok, failed, declined };

// Encoded bytes of the record's presence word and of the fields in `bits`,
// or -1 when a present string is null or too long to carry.  Each string's
// length is left in `lengths` (by field index) when it is given.
[[gnu::always_inline]] inline int64_t planned_length(const fc_plan_t &plan, const void *record,
                                                     uint32_t bits, uint32_t *lengths = nullptr)
{
    int64_t total = 4;
    const uint32_t fixed = plan.word_mask | plan.doubleword_mask;
    if ((bits & fixed) == fixed) {
        total += plan.fixed_size;
    } else {
        for (uint32_t rest = bits & fixed; rest != 0; rest &= rest - 1)
            total += (lowest_bit(rest) & plan.doubleword_mask) != 0 ? 8 : 4;
    }
    // At most 32 strings of at most INT32_MAX bytes each: no overflow here.
    for (uint32_t rest = bits & plan.string_mask; rest != 0; rest &= rest - 1) {
        const uint32_t index = lowest_index(rest);
        const void *field = at(record, plan.offsets[index]);
        const int64_t length = carried_length(string_at(field));
        if (length < 0)
            return -1;
        const auto n = static_cast<uint32_t>(length);
        if (lengths != nullptr)
            lengths[index] = n;
        total += 4 + n + padding_of(n);
    }
    return total;
}

Fast encode_in_place(XDR *xdrs, const fc_plan_t &plan, const void *record, uint32_t bits)
{
    const Window window = window_of(xdrs);
    if (window.start == nullptr)
        return Fast::declined;
    // The record's size first, checked once against the room, so that the
    // writing below cannot run out.  Too little room leaves the stream
    // where it was, for the per-field path to write what fits and fail as
    // it always does.
    uint32_t lengths[FC_MAX_FIELDS];
    const int64_t size = planned_length(plan, record, bits, lengths);
    if (size < 0)
        return Fast::failed;
    if (static_cast<uint64_t>(size) > window.room)
        return Fast::declined;

    unsigned char *out = window.start;
    store_word(out, bits);
    out += 4;
    for (uint32_t rest = bits; rest != 0; rest &= rest - 1) {
        const uint32_t index = lowest_index(rest);
        const char *field = at(record, plan.offsets[index]);
        const uint8_t shape = plan.shapes[index];
        if (shape == FC_SHAPE_WORD) {
            uint32_t word;
            std::memcpy(&word, field, sizeof word);
            store_word(out, word);
            out += 4;
        } else if (shape == FC_SHAPE_DOUBLEWORD) {
            uint64_t value;
            std::memcpy(&value, field, sizeof value);
            store_word(out, static_cast<uint32_t>(value >> 32));
            store_word(out + 4, static_cast<uint32_t>(value));
            out += 8;
        } else {
            const uint32_t n = lengths[index];
            const uint32_t pad = padding_of(n);
            store_word(out, n);
            // Zero the last word first; the text then overwrites its head,
            // leaving the padding zero.
            if (pad != 0)
                store_word(out + 4 + (n & ~3u), 0);
            std::memcpy(out + 4, string_at(static_cast<const void *>(field)), n);
            out += 4 + n + pad;
        }
    }
    advance(xdrs, static_cast<size_t>(size));
    return Fast::ok;
}

// Reads a string in place; the length is checked against the bytes left
// before any memory is taken.
bool read_string_in_place(const unsigned char *&in, const unsigned char *end, char **field,
                          goheap_t *heap)
{
    if (end - in < 4)
        return false;
    const uint32_t length = load_word(in);
    const uint32_t pad = padding_of(length);
    if (length > kMaxStringLength || static_cast<uint64_t>(length) + pad > static_cast<uint64_t>(end - in - 4))
        return false;
    const unsigned char *bytes = in + 4;
    if (std::memchr(bytes, 0, length) != nullptr)
        return false;
    // The padding is the low `pad` bytes of the string's last word.
    static constexpr uint32_t kPaddingBits[4] = {0, 0xff, 0xffff, 0xffffff};
    if (pad != 0 && (load_word(bytes + (length & ~3u)) & kPaddingBits[pad]) != 0)
        return false;
    char *text = static_cast<char *>(goheap_malloc(heap, static_cast<size_t>(length) + 1));
    if (text == nullptr)
        return false;
    std::memcpy(text, bytes, length);
    text[length] = '\0';
    *field = text;
    in = bytes + length + pad;
    return true;
}

Fast decode_in_place(XDR *xdrs, const fc_plan_t &plan, void *record, goheap_t *heap)
{
    const Window window = window_of(xdrs);
    if (window.start == nullptr)
        return Fast::declined;
    const unsigned char *in = window.start;
    const unsigned char *const end = window.start + window.room;

    if (end - in < 4)
        return Fast::failed;
    const uint32_t bits = load_word(in);
    in += 4;
    if ((bits & ~field_mask(plan.count)) != 0)
        return Fast::failed;
    for (uint32_t rest = bits; rest != 0; rest &= rest - 1) {
        const uint32_t index = lowest_index(rest);
        char *field = at(record, plan.offsets[index]);
        const uint8_t shape = plan.shapes[index];
        bool ok;
        if (shape == FC_SHAPE_WORD) {
            ok = end - in >= 4;
            if (ok) {
                const uint32_t word = load_word(in);
                std::memcpy(field, &word, sizeof word);
                in += 4;
            }
        } else if (shape == FC_SHAPE_DOUBLEWORD) {
            ok = end - in >= 8;
            if (ok) {
                const uint64_t value = (static_cast<uint64_t>(load_word(in)) << 32) | load_word(in + 4);
                std::memcpy(field, &value, sizeof value);
                in += 8;
            }
        } else {
            ok = read_string_in_place(in, end, reinterpret_cast<char **>(field), heap);
        }
        if (!ok) {
            release_strings(plan, record, bits & (lowest_bit(rest) - 1), heap);
            return Fast::failed;
        }
    }
    advance(xdrs, static_cast<size_t>(in - window.start));
    set_present_bits(record, plan.count, bits);
    return Fast::ok;
}

int clone_planned(const fc_plan_t &plan, const void *source, void *destination, uint32_t bits,
                  goheap_t *heap)
{
    for (uint32_t rest = bits; rest != 0; rest &= rest - 1) {
        const uint32_t bit = lowest_bit(rest);
        const uint32_t offset = plan.offsets[lowest_index(rest)];
        if ((bit & plan.string_mask) != 0) {
            if (!clone_string(at(source, offset), at(destination, offset), heap)) {
                release_strings(plan, destination, bits & (bit - 1), heap);
                return 0;
            }
        } else {
            std::memcpy(at(destination, offset), at(source, offset),
                        (bit & plan.doubleword_mask) != 0 ? 8 : 4);
        }
    }
    set_present_bits(destination, plan.count, bits);
    return 1;
}

// The encoded length through the length routines, one call per field.
[[gnu::noinline]] int64_t length_by_entries(const var_length_desc_t *desc, const void *record,
                                            uint32_t bits)
{
    int64_t total = 4;
    for (uint32_t i = 0; i < desc->count; ++i) {
        if (!is_present(bits, i))
            continue;
        const var_length_desc_entry_t &entry = desc->entries[i];
        const int length = entry.routine(at(record, entry.offset));
        if (length < 0)
            return -1;
        total += length;
    }
    return total;
}

// ---- The three operations ----------------------------------------------------------
// Each is a function of its own, so that the exported entry point stays a
// short dispatch and each loop has the registers to itself.

// The per-field paths: a routine call per field, through the stream.
[[gnu::noinline]] int encode_by_entries(XDR *xdrs, const var_desc_t *desc, void *record, uint32_t bits,
                                        goheap_t *heap)
{
    if (!put_word(xdrs, bits))
        return 0;
    for (uint32_t i = 0; i < desc->count; ++i)
        if (is_present(bits, i) &&
            !desc->entries[i].routine(xdrs, at(record, desc->entries[i].offset), heap))
            return 0;
    return 1;
}

[[gnu::noinline]] int decode_by_entries(XDR *xdrs, const var_desc_t *desc, void *record, goheap_t *heap)
{
    const uint32_t count = desc->count;
    uint32_t bits = 0;
    if (!get_word(xdrs, &bits) || (bits & ~field_mask(count)) != 0)
        return 0;
    for (uint32_t i = 0; i < count; ++i) {
        if (!is_present(bits, i))
            continue;
        if (!desc->entries[i].routine(xdrs, at(record, desc->entries[i].offset), heap)) {
            release_fields(desc, record, bits, i, heap);
            return 0;
        }
    }
    set_present_bits(record, count, bits);
    return 1;
}

[[gnu::noinline]] int encode_struct(XDR *xdrs, const var_desc_t *desc, void *record, goheap_t *heap)
{
    const uint32_t count = desc->count;
    const uint32_t bits = present_bits(record, count) & field_mask(count);
    if (const fc_plan_t *plan = plan_of(desc)) {
        const Fast fast = encode_in_place(xdrs, *plan, record, bits);
        if (fast != Fast::declined)
            return fast == Fast::ok;
    }
    return encode_by_entries(xdrs, desc, record, bits, heap);
}

[[gnu::noinline]] int decode_struct(XDR *xdrs, const var_desc_t *desc, void *record, goheap_t *heap)
{
    if (const fc_plan_t *plan = plan_of(desc)) {
        const Fast fast = decode_in_place(xdrs, *plan, record, heap);
        if (fast != Fast::declined)
            return fast == Fast::ok;
    }
    return decode_by_entries(xdrs, desc, record, heap);
}

[[gnu::noinline]] int free_struct(const var_desc_t *desc, void *record, goheap_t *heap)
{
    const uint32_t count = desc->count;
    const uint32_t bits = present_bits(record, count) & field_mask(count);
    if (const fc_plan_t *plan = plan_of(desc))
        release_strings(*plan, record, bits, heap);
    else
        release_fields(desc, record, bits, count, heap);
    set_present_bits(record, count, 0);
    return 1;
}

// ---- Unions ------------------------------------------------------------------

int32_t discriminant_of(const void *record)
{
    return read_member<int32_t>(record, FC_UNION_DISCRIMINANT_OFFSET);
}

void set_discriminant(void *record, int32_t discriminant)
{
    write_member(record, FC_UNION_DISCRIMINANT_OFFSET, discriminant);
}

void *arm_slot(void *record) { return at(record, FC_UNION_ARM_OFFSET); }
const void *arm_slot(const void *record) { return at(record, FC_UNION_ARM_OFFSET); }
void *arm_of(const void *record) { return read_member<void *>(record, FC_UNION_ARM_OFFSET); }

bool selects_arm(int32_t discriminant, uint32_t arms)
{
    return discriminant >= 0 && static_cast<uint32_t>(discriminant) < arms;
}

bool union_fits(const void *record, uint32_t desc_count)
{
    return record != nullptr && read_member<uint32_t>(record, FC_UNION_ARM_COUNT_OFFSET) == desc_count;
}

} // namespace

// ---- Exported primitives --------------------------------------------------------

#define FC_DEFINE_PRIMITIVE(prim, run, length, clone)                                         \
    extern "C" int mxdr_##prim(XDR *xdrs, void *field, goheap_t *heap)                      \
    {                                                                                       \
        (void)heap;                                                                         \
        return field != nullptr && run;                                                     \
    }                                                                                       \
    extern "C" int xdr_length_of_encoded_##prim(const void *field)                          \
    {                                                                                       \
        return field == nullptr ? -1 : length;                                              \
    }                                                                                       \
    extern "C" int mxdr_clone_##prim(const void *source, void *destination, goheap_t *heap) \
    {                                                                                       \
        (void)heap;                                                                         \
        return source != nullptr && destination != nullptr && clone;                        \
    }

FC_DEFINE_PRIMITIVE(int, run_bits<uint32_t>(xdrs, field), 4, (clone_bytes<4>(source, destination)))
FC_DEFINE_PRIMITIVE(long, run_bits<uint32_t>(xdrs, field), 4, (clone_bytes<4>(source, destination)))
FC_DEFINE_PRIMITIVE(u_int, run_bits<uint32_t>(xdrs, field), 4, (clone_bytes<4>(source, destination)))
FC_DEFINE_PRIMITIVE(u_long, run_bits<uint32_t>(xdrs, field), 4, (clone_bytes<4>(source, destination)))
FC_DEFINE_PRIMITIVE(float, run_bits<uint32_t>(xdrs, field), 4, (clone_bytes<4>(source, destination)))
FC_DEFINE_PRIMITIVE(double, run_bits<uint64_t>(xdrs, field), 8, (clone_bytes<8>(source, destination)))
FC_DEFINE_PRIMITIVE(u_hyper, run_bits<uint64_t>(xdrs, field), 8, (clone_bytes<8>(source, destination)))
FC_DEFINE_PRIMITIVE(wrapstring, run_string(xdrs, field, heap), string_length(field),
                    clone_string(source, destination, heap))
#undef FC_DEFINE_PRIMITIVE

// ---- Struct records -----------------------------------------------------------

extern "C" int xdr_optional_generic_struct_init(void *record)
{
    if (record == nullptr)
        return 0;
    const uint32_t count = field_count_of(record);
    if (count > FC_MAX_FIELDS)
        return 0;
    uint32_t *words = presence_of(record);
    const uint32_t presence_words = count == 0 ? 0 : 1;
    if (words[presence_words] != FC_LAYOUT_CODE)
        return 0;
    set_present_bits(record, count, 0);
    return 1;
}

extern "C" int xdr_optional_generic_struct_uninit(void *record)
{
    if (record == nullptr)
        return 0;
    set_present_bits(record, field_count_of(record), 0);
    return 1;
}

extern "C" int xdr_optional_generic_struct_set_field(void *record, void *field, uint32_t size,
                                                     uint32_t index, const void *value)
{
    if (record == nullptr || field == nullptr || value == nullptr)
        return 0;
    if (index >= std::min(field_count_of(record), FC_MAX_FIELDS))
        return 0;
    // The field must lie in the plain part: behind the two header words and
    // before the size that the record itself declares.  A field below the
    // record wraps to a position far beyond it.
    uint32_t *presence = presence_of(record);
    const uint32_t plain_size = presence[2];
    const auto position = reinterpret_cast<uintptr_t>(field) - reinterpret_cast<uintptr_t>(record);
    if (position < FC_STRUCT_PRESENCE_OFFSET + sizeof(void *) || position > plain_size ||
        plain_size - position < size)
        return 0;
    // One word, two words or a pointer, moved as bytes.
    static_assert(sizeof(char *) == 4 || sizeof(char *) == 8);
    if (size == 4) {
        uint32_t bits;
        std::memcpy(&bits, value, sizeof bits);
        std::memcpy(field, &bits, sizeof bits);
    } else if (size == 8) {
        uint64_t bits;
        std::memcpy(&bits, value, sizeof bits);
        std::memcpy(field, &bits, sizeof bits);
    } else {
        return 0;
    }
    *presence |= 1u << index;
    return 1;
}

extern "C" int xdr_optional_generic_struct_check_field(const void *record, uint32_t index)
{
    if (record == nullptr)
        return 0;
    const uint32_t count = field_count_of(record);
    return index < count && count <= FC_MAX_FIELDS && is_present(present_bits(record, count), index);
}

extern "C" int mxdr_opt_fields_generic_struct(XDR *xdrs, const var_desc_t *desc, void *record,
                                              goheap_t *heap)
{
    if (xdrs == nullptr || desc == nullptr || !struct_fits(record, desc->count))
        return 0;
    switch (xdrs->x_op) {
    case XDR_ENCODE:
        return encode_struct(xdrs, desc, record, heap);
    case XDR_DECODE:
        return decode_struct(xdrs, desc, record, heap);
    case XDR_FREE:
        return free_struct(desc, record, heap);
    }
    return 0;
}

extern "C" int xdr_length_of_encoded_optional_generic_struct(const var_length_desc_t *desc,
                                                             const void *record)
{
    if (desc == nullptr || !struct_fits(record, desc->count))
        return -1;
    const uint32_t count = desc->count;
    const uint32_t bits = present_bits(record, count) & field_mask(count);
    const fc_plan_t *plan = plan_of(desc);
    const int64_t total =
        plan != nullptr ? planned_length(*plan, record, bits) : length_by_entries(desc, record, bits);
    return total < 0 || total > std::numeric_limits<int32_t>::max() ? -1 : static_cast<int>(total);
}

extern "C" int xdr_clone_optional_generic_struct(const var_clone_desc_t *desc, const void *source,
                                                 void *destination, goheap_t *heap)
{
    if (desc == nullptr || !struct_fits(source, desc->count) ||
        !struct_fits(destination, desc->count))
        return 0;
    const uint32_t count = desc->count;
    const uint32_t bits = present_bits(source, count) & field_mask(count);
    if (const fc_plan_t *plan = plan_of(desc))
        return clone_planned(*plan, source, destination, bits, heap);
    for (uint32_t i = 0; i < count; ++i) {
        if (!is_present(bits, i))
            continue;
        const var_clone_desc_entry_t &entry = desc->entries[i];
        if (!entry.routine(at(source, entry.offset), at(destination, entry.offset), heap)) {
            // Give back the strings copied so far; struct fields own nothing else.
            for (uint32_t j = 0; j < i; ++j)
                if (is_present(bits, j) && desc->entries[j].routine == mxdr_clone_wrapstring)
                    free_string(at(destination, desc->entries[j].offset), heap);
            return 0;
        }
    }
    set_present_bits(destination, count, bits);
    return 1;
}

// ---- Generic unions -------------------------------------------------------------

extern "C" int xdr_optional_generic_union_init(void *record)
{
    return record != nullptr && read_member<uint32_t>(record, 8) == FC_LAYOUT_CODE;
}

extern "C" int xdr_optional_generic_union_uninit(void *record) { return record != nullptr; }

extern "C" int mxdr_enh_generic_union(XDR *xdrs, const var_desc_t *desc, void *record,
                                      goheap_t *heap)
{
    if (xdrs == nullptr || desc == nullptr || !union_fits(record, desc->count))
        return 0;
    const uint32_t arms = desc->count;
    switch (xdrs->x_op) {
    case XDR_ENCODE: {
        const int32_t discriminant = discriminant_of(record);
        if (discriminant != -1 && !selects_arm(discriminant, arms))
            return 0;
        if (!put_word(xdrs, static_cast<uint32_t>(discriminant)))
            return 0;
        return discriminant == -1 ||
               desc->entries[discriminant].routine(xdrs, arm_slot(record), heap);
    }
    case XDR_DECODE: {
        uint32_t word = 0;
        if (!get_word(xdrs, &word))
            return 0;
        const auto discriminant = static_cast<int32_t>(word);
        if (discriminant == -1) {
            set_discriminant(record, -1);
            return 1;
        }
        if (!selects_arm(discriminant, arms) ||
            !desc->entries[discriminant].routine(xdrs, arm_slot(record), heap))
            return 0;
        set_discriminant(record, discriminant);
        return 1;
    }
    case XDR_FREE: {
        const int32_t discriminant = discriminant_of(record);
        if (arm_of(record) == nullptr)
            return 1;
        // An arm whose type the discriminant does not name cannot be released.
        if (!selects_arm(discriminant, arms))
            return 0;
        return desc->entries[discriminant].routine(xdrs, arm_slot(record), heap);
    }
    }
    return 0;
}

extern "C" int xdr_length_of_encoded_optional_generic_union(const void *record,
                                                            const var_length_desc_t *desc)
{
    if (desc == nullptr || !union_fits(record, desc->count))
        return -1;
    const int32_t discriminant = discriminant_of(record);
    if (discriminant == -1)
        return 4;
    if (!selects_arm(discriminant, desc->count))
        return -1;
    const int length = desc->entries[discriminant].routine(arm_slot(record));
    if (length < 0 || length > std::numeric_limits<int32_t>::max() - 4)
        return -1;
    return 4 + length;
}

extern "C" int xdr_clone_optional_generic_union(const void *source, void *destination,
                                                const var_clone_desc_t *desc, goheap_t *heap)
{
    if (desc == nullptr || !union_fits(source, desc->count) ||
        !union_fits(destination, desc->count))
        return 0;
    const int32_t discriminant = discriminant_of(source);
    write_member<void *>(destination, FC_UNION_ARM_OFFSET, nullptr);
    if (discriminant == -1) {
        set_discriminant(destination, -1);
        return 1;
    }
    if (!selects_arm(discriminant, desc->count) ||
        !desc->entries[discriminant].routine(arm_slot(source), arm_slot(destination), heap))
        return 0;
    set_discriminant(destination, discriminant);
    return 1;
}
