// Struct records: the exported routines, the per-field paths, which call
// the descriptor's routine for each present field, and the fast paths over
// a type's plan.  Wire format and checks: fieldcodec.h.
#include "fieldcodec.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "record_layout.h"
#include "stream_access.h"
#include "strings.h"

namespace {

using namespace fieldcodec;

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

} // namespace

// ---- Exported ---------------------------------------------------------------------

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

