// Struct records.  Wire format and checks: fieldcodec.h.
//
// A type's plan (fieldcodec.h) lets the codec measure, write, read, copy and
// release a record without a routine call per field, and write and read it
// through windows of the stream's buffer (stream_access.h) wherever the
// stream has them.  Writing takes one window of the whole encoded record,
// which the plan measures first.  Reading cannot know a record's size before
// its strings' lengths are read, so from a stream that lends windows it asks
// for one per run: the text of the string whose length word ended the run
// before, then the fixed-width fields up to and including the next string's
// length word.  Where the stream refuses a window, the next item (a field, or
// a string's text and padding) goes through the stream's operations, and a
// window of the rest is asked for again.
//
// The routines of the descriptor tables stay the reference: a descriptor
// without a plan is walked entry by entry, a routine call per field, with the
// same bytes and verdicts.
#include "fieldcodec.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>

#include "explaining.h"
#include "record_layout.h"
#include "stream_access.h"
#include "strings.h"

namespace {

using namespace fieldcodec;

// ---- Plans ----------------------------------------------------------------------------

// The plan of a descriptor, when it has one for as many fields.
template <class Desc>
const fc_plan_t *plan_of(const Desc *desc)
{
    const fc_plan_t *plan = desc->plan;
    return plan != nullptr && plan->count == desc->count ? plan : nullptr;
}

// Encoded bytes of the record's presence word and of the fields in `bits`,
// or -1 when a present string is null or too long to carry.  Each string's
// length is left in `lengths` (by field index) when it is given.
[[gnu::always_inline]] inline int64_t planned_length(const fc_plan_t &plan, const void *record, uint32_t bits,
                                                     uint32_t *lengths = nullptr)
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
        const int64_t length = carried_length(string_at(at(record, plan.offsets[index])));
        if (length < 0)
            return -1;
        const auto n = static_cast<uint32_t>(length);
        if (lengths != nullptr)
            lengths[index] = n;
        total += 4 + text_span(n);
    }
    return total;
}

// Gives back the strings of the fields in `bits`, as a failed decode or
// clone must, and as the free operation does.
void release_strings(const fc_plan_t &plan, void *record, uint32_t bits, goheap_t *heap)
{
    for (uint32_t rest = bits & plan.string_mask; rest != 0; rest &= rest - 1)
        free_string(at(record, plan.offsets[lowest_index(rest)]), heap);
}

// ---- Writing --------------------------------------------------------------------------

// Writes a field of one word (uint32_t) or two (uint64_t) at `out`; returns
// the end of what it wrote.
template <class Bits>
unsigned char *write_bits(unsigned char *out, const char *field)
{
    Bits value;
    std::memcpy(&value, field, sizeof value);
    store_bits(out, value);
    return out + sizeof value;
}

// Writes the fields in `fields` at `out`, which has room for all of them.
[[gnu::always_inline]] inline void write_fields(unsigned char *out, const fc_plan_t &plan, const void *record,
                                                uint32_t fields, const uint32_t *lengths)
{
    for (uint32_t rest = fields; rest != 0; rest &= rest - 1) {
        const uint32_t index = lowest_index(rest);
        const char *field = at(record, plan.offsets[index]);
        const uint8_t shape = plan.shapes[index];
        if (shape == FC_SHAPE_WORD)
            out = write_bits<uint32_t>(out, field);
        else if (shape == FC_SHAPE_DOUBLEWORD)
            out = write_bits<uint64_t>(out, field);
        else
            out = write_string(out, string_at(static_cast<const void *>(field)), lengths[index]);
    }
}

// Writes field `index` through the stream's operations.
bool put_field(XDR *xdrs, const fc_plan_t &plan, const void *record, uint32_t index, uint32_t length)
{
    const char *field = at(record, plan.offsets[index]);
    const uint8_t shape = plan.shapes[index];
    if (shape == FC_SHAPE_WORD)
        return put_bits(xdrs, read_member<uint32_t>(field, 0));
    if (shape == FC_SHAPE_DOUBLEWORD)
        return put_bits(xdrs, read_member<uint64_t>(field, 0));
    return put_string(xdrs, string_at(static_cast<const void *>(field)), length);
}

// A window of the next `size` bytes, when the stream lends one that large.
unsigned char *lend_span(XDR *xdrs, int64_t size)
{
    return size <= static_cast<int64_t>(UINT32_MAX) ? lend(xdrs, static_cast<uint32_t>(size)) : nullptr;
}

// ---- Reading --------------------------------------------------------------------------

// What the text of an empty string at the end of a record is read from.
constexpr unsigned char kNothing[1] = {};

// Bytes of the fields in `fields` up to and including the first string among
// them, of which a run holds the length word: four for each field, four more
// for each doubleword.
uint32_t run_span(const fc_plan_t &plan, uint32_t fields)
{
    const uint32_t first_string = lowest_bit(fields & plan.string_mask);
    const uint32_t run = first_string == 0 ? fields : fields & (first_string | (first_string - 1));
    uint32_t span = 0;
    for (uint32_t rest = run; rest != 0; rest &= rest - 1)
        span += 4;
    for (uint32_t rest = run & plan.doubleword_mask; rest != 0; rest &= rest - 1)
        span += 4;
    return span;
}

// The window a record is read from.  A held window (Held) is every byte an
// aligned memory stream has left, so that running out of it means the bytes
// are not there.  A lent window holds exactly one run, so that it runs out
// where the next run begins, and the next window is asked for there.  The
// sink (explaining.h) hears of each item read and of the rule that refuses
// the bytes; only the plain decode holds windows.
template <bool Held, class Sink>
struct Reader {
    XDR *xdrs;
    goheap_t *heap;
    const unsigned char *in;
    const unsigned char *end;
    [[no_unique_address]] Sink sink;

    bool has(uint32_t size) const { return static_cast<size_t>(end - in) >= size; }

    // The offset of the next byte to read: the bytes the stream has moved,
    // less those of the window not read yet.
    uint64_t here() const { return sink.position() - static_cast<uint64_t>(end - in); }

    // Asks the stream for a window of the next `span` bytes, never when the
    // window is held; false, with no window left, when it will not lend
    // them.
    bool lend_window(uint32_t span)
    {
        if (Held)
            return false;
        const unsigned char *start = span == 0 ? kNothing : lend(xdrs, span);
        in = start;
        end = start == nullptr ? nullptr : start + span;
        return start != nullptr;
    }
};

// Reads the text of a string of `length` bytes, whose length word has been
// read.  When the window ends there, the text comes from a window of the
// text and of the run after it (the fields of `after` up to the next
// string's length word), or through the stream's operations where the
// stream will not lend them.
template <bool Held, class Sink>
bool read_text(Reader<Held, Sink> &reader, const fc_plan_t &plan, uint32_t after, uint32_t length, char **field)
{
    goheap_t *const heap = reader.heap;
    const uint64_t start = reader.here();
    const uint32_t span = text_span(length);
    if (!reader.has(span) && !reader.lend_window(span + run_span(plan, after)))
        return !Held && get_text(reader.xdrs, length, field, heap, reader.sink, start);
    // With no window left, only an empty text fits: it is read from nothing
    // rather than from a null pointer.
    if (!Held && reader.in == nullptr)
        return take_text(kNothing, 0, field, heap, reader.sink, start);
    if (!take_text(reader.in, length, field, heap, reader.sink, start))
        return false;
    reader.in += span;
    return true;
}

// Reads a value of one word (uint32_t) or two (uint64_t): from the window
// when it holds them (`lent`), else through the stream.
template <class Bits, bool Held, class Sink>
bool read_bits(Reader<Held, Sink> &reader, bool lent, Bits &value)
{
    if (lent) {
        value = load_bits<Bits>(reader.in);
        reader.in += sizeof value;
    } else if (Held || !get_bits(reader.xdrs, &value)) {
        return false;
    }
    return true;
}

// The same into a field of the record.
template <class Bits, bool Held, class Sink>
bool read_bits_into(Reader<Held, Sink> &reader, bool lent, char *field)
{
    const uint64_t start = reader.here();
    Bits value = 0;
    if (!read_bits(reader, lent, value)) {
        reader.sink.refuse(FC_RULE_SHORT, start, FC_ROLE_VALUE, start, sizeof value);
        return false;
    }
    reader.sink.item(FC_ROLE_VALUE, start, sizeof value);
    std::memcpy(field, &value, sizeof value);
    return true;
}

// Reads the lowest field of `rest`, of shape `shape`, into `field`.  When
// the window does not hold its bytes, they come from a window of the run it
// begins, or through the stream's operations where the stream will not lend
// one.
template <bool Held, class Sink>
bool read_field(Reader<Held, Sink> &reader, const fc_plan_t &plan, char *field, uint8_t shape, uint32_t rest)
{
    reader.sink.at_field(lowest_index(rest));
    const bool lent = reader.has(shape == FC_SHAPE_DOUBLEWORD ? 8 : 4) || reader.lend_window(run_span(plan, rest));
    if (shape == FC_SHAPE_WORD)
        return read_bits_into<uint32_t>(reader, lent, field);
    if (shape == FC_SHAPE_DOUBLEWORD)
        return read_bits_into<uint64_t>(reader, lent, field);
    const uint64_t start = reader.here();
    uint32_t length = 0;
    if (lent) {
        length = load_word(reader.in);
        reader.in += 4;
    } else if (Held || !get_word(reader.xdrs, &length)) {
        reader.sink.refuse(FC_RULE_SHORT, start, FC_ROLE_LENGTH, start, 4);
        return false;
    }
    if constexpr (Sink::active) {
        reader.sink.item(FC_ROLE_LENGTH, start, 4);
        if (length > kMaxStringLength)
            reader.sink.refuse(FC_RULE_LENGTH, start + 4, FC_ROLE_TEXT, start + 4,
                               uint64_t{length} + padding_of(length), length, kMaxStringLength);
    }
    return length <= kMaxStringLength &&
           read_text(reader, plan, rest & (rest - 1), length, reinterpret_cast<char **>(field));
}

// Reads the presence word and the fields it names, starting from `window`:
// the stream's held window, or none.  The stream is then moved past the
// bytes read of a held window; lent ones were consumed as they were lent.
template <bool Held, class Sink>
int decode_from(XDR *xdrs, const fc_plan_t &plan, void *record, goheap_t *heap, Window window, Sink sink)
{
    Reader<Held, Sink> reader{xdrs, heap, window.start, window.end, sink};
    const uint64_t start = reader.here();
    uint32_t bits = 0;
    if (reader.has(4)) {
        bits = load_word(reader.in);
        reader.in += 4;
    } else if (Held || !get_word(xdrs, &bits)) {
        sink.refuse(FC_RULE_SHORT, start, FC_ROLE_PRESENCE, start, 4);
        return 0;
    }
    if ((bits & ~field_mask(plan.count)) != 0) {
        sink.refuse(FC_RULE_PRESENCE, start, FC_ROLE_PRESENCE, start, 4, bits, plan.count);
        return 0;
    }
    sink.item(FC_ROLE_PRESENCE, start, 4);
    for (uint32_t rest = bits; rest != 0; rest &= rest - 1) {
        const uint32_t index = lowest_index(rest);
        if (!read_field(reader, plan, at(record, plan.offsets[index]), plan.shapes[index], rest)) {
            release_strings(plan, record, bits & (lowest_bit(rest) - 1), heap);
            return 0;
        }
    }
    if (Held)
        consume(xdrs, static_cast<size_t>(reader.in - static_cast<const unsigned char *>(xdrs->x_private)));
    set_present_bits(record, plan.count, bits);
    return 1;
}

// ---- The plan's paths ------------------------------------------------------------------

// The record through the stream's operations where the stream would not lend
// a window of all of it: the presence word, then field by field, asking
// again for a window of the rest after each.
[[gnu::noinline]] int encode_through_stream(XDR *xdrs, const fc_plan_t &plan, const void *record, uint32_t bits,
                                            const uint32_t *lengths, int64_t size)
{
    if (!put_word(xdrs, bits))
        return 0;
    int64_t left = size - 4;
    for (uint32_t rest = bits; rest != 0; rest &= rest - 1) {
        if (unsigned char *out = lend_span(xdrs, left)) {
            write_fields(out, plan, record, rest, lengths);
            return 1;
        }
        const uint32_t index = lowest_index(rest);
        if (!put_field(xdrs, plan, record, index, lengths[index]))
            return 0;
        const uint8_t shape = plan.shapes[index];
        left -= shape == FC_SHAPE_WORD ? 4 : shape == FC_SHAPE_DOUBLEWORD ? 8 : 4 + text_span(lengths[index]);
    }
    return 1;
}

int encode_planned(XDR *xdrs, const fc_plan_t &plan, const void *record, uint32_t bits)
{
    uint32_t lengths[FC_MAX_FIELDS];
    const int64_t size = planned_length(plan, record, bits, lengths);
    if (size < 0)
        return 0;
    Window held;
    if (held_window(xdrs, &held)) {
        // Too little room: the stream's operations write what fits and
        // fail, as they do.
        if (size > held.end - held.start)
            return encode_through_stream(xdrs, plan, record, bits, lengths, size);
        store_word(held.start, bits);
        write_fields(held.start + 4, plan, record, bits, lengths);
        consume(xdrs, static_cast<size_t>(size));
        return 1;
    }
    unsigned char *out = lend_span(xdrs, size);
    if (out == nullptr)
        return encode_through_stream(xdrs, plan, record, bits, lengths, size);
    store_word(out, bits);
    write_fields(out + 4, plan, record, bits, lengths);
    return 1;
}

// The held window of an aligned memory stream first, so that the plain
// decode there pays nothing for the explaining one.
int decode_planned(XDR *xdrs, const fc_plan_t &plan, void *record, goheap_t *heap)
{
    Window held;
    if (held_window(xdrs, &held))
        return decode_from<true>(xdrs, plan, record, heap, held, Silent{});
    if (Explaining *e = explaining(xdrs))
        return decode_from<false>(xdrs, plan, record, heap, {nullptr, nullptr}, Reporting{e});
    return decode_from<false>(xdrs, plan, record, heap, {nullptr, nullptr}, Silent{});
}

int clone_planned(const fc_plan_t &plan, const void *source, void *destination, uint32_t bits, goheap_t *heap)
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
            std::memcpy(at(destination, offset), at(source, offset), (bit & plan.doubleword_mask) != 0 ? 8 : 4);
        }
    }
    set_present_bits(destination, plan.count, bits);
    return 1;
}

// Runs the free operation over the fields in `bits` below `limit`, giving back
// what a decode took before it failed.
void release_fields(const var_desc_t *desc, void *record, uint32_t bits, uint32_t limit, goheap_t *heap)
{
    XDR release = {};
    release.x_op = XDR_FREE;
    for (uint32_t i = 0; i < limit; ++i)
        if (is_present(bits, i))
            desc->entries[i].routine(&release, at(record, desc->entries[i].offset), heap);
}

// ---- The per-field paths: a routine call per field, through the stream -------------

[[gnu::noinline]] int encode_by_entries(XDR *xdrs, const var_desc_t *desc, void *record, uint32_t bits,
                                        goheap_t *heap)
{
    if (!put_word(xdrs, bits))
        return 0;
    for (uint32_t i = 0; i < desc->count; ++i)
        if (is_present(bits, i) && !desc->entries[i].routine(xdrs, at(record, desc->entries[i].offset), heap))
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

// The encoded length through the length routines, one call per field.
[[gnu::noinline]] int64_t length_by_entries(const var_length_desc_t *desc, const void *record, uint32_t bits)
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

// ---- The three operations ---------------------------------------------------------
// Each is a function of its own, so that the exported entry point stays a
// short dispatch and each loop has the registers to itself.

[[gnu::noinline]] int encode_struct(XDR *xdrs, const var_desc_t *desc, void *record, goheap_t *heap)
{
    const uint32_t count = desc->count;
    const uint32_t bits = present_bits(record, count) & field_mask(count);
    if (const fc_plan_t *plan = plan_of(desc))
        return encode_planned(xdrs, *plan, record, bits);
    return encode_by_entries(xdrs, desc, record, bits, heap);
}

[[gnu::noinline]] int decode_struct(XDR *xdrs, const var_desc_t *desc, void *record, goheap_t *heap)
{
    if (const fc_plan_t *plan = plan_of(desc))
        return decode_planned(xdrs, *plan, record, heap);
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

extern "C" int xdr_optional_generic_struct_set_field(void *record, void *field, uint32_t size, uint32_t index,
                                                     const void *value)
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

extern "C" int mxdr_opt_fields_generic_struct(XDR *xdrs, const var_desc_t *desc, void *record, goheap_t *heap)
{
    if (xdrs == nullptr || desc == nullptr || !struct_fits(record, desc->count))
        return 0;
    // Tested in this order, the two that run by the million first.
    const xdr_op op = xdrs->x_op;
    if (op == XDR_ENCODE)
        return encode_struct(xdrs, desc, record, heap);
    if (op == XDR_DECODE)
        return decode_struct(xdrs, desc, record, heap);
    return op == XDR_FREE && free_struct(desc, record, heap);
}

extern "C" int xdr_length_of_encoded_optional_generic_struct(const var_length_desc_t *desc, const void *record)
{
    if (desc == nullptr || !struct_fits(record, desc->count))
        return -1;
    const uint32_t count = desc->count;
    const uint32_t bits = present_bits(record, count) & field_mask(count);
    const fc_plan_t *plan = plan_of(desc);
    const int64_t total = plan != nullptr ? planned_length(*plan, record, bits) : length_by_entries(desc, record, bits);
    return total < 0 || total > std::numeric_limits<int32_t>::max() ? -1 : static_cast<int>(total);
}

extern "C" int xdr_clone_optional_generic_struct(const var_clone_desc_t *desc, const void *source,
                                                 void *destination, goheap_t *heap)
{
    if (desc == nullptr || !struct_fits(source, desc->count) || !struct_fits(destination, desc->count))
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
