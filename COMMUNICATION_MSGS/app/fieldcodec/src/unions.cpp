// Generic unions: a discriminant word, -1 for no arm, else the selected arm
// record through the arm's own routine.  Wire format and checks:
// fieldcodec.h.
#include "fieldcodec.h"

#include <limits>
#include <utility>

#include "explaining.h"
#include "record_layout.h"
#include "stream_access.h"

namespace {

using namespace fieldcodec;

int32_t discriminant_of(const void *record) { return read_member<int32_t>(record, FC_UNION_DISCRIMINANT_OFFSET); }

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

// Reads the discriminant -- from the held window of an aligned memory
// stream (Held), as the struct codec does, else through the stream -- and
// the selected arm through the arm type's filter.  In an explaining decode
// (a Reporting sink) the arm's items are reported as the arm's.
template <bool Held, class Sink>
int decode_union(XDR *xdrs, const var_desc_t *desc, void *record, goheap_t *heap, Window window, Sink sink)
{
    const uint64_t start = sink.position();
    uint32_t word = 0;
    if (Held) {
        if (window.end - window.start < 4)
            return 0;
        word = load_word(window.start);
        consume(xdrs, 4);
    } else if (!get_word(xdrs, &word)) {
        sink.refuse(FC_RULE_SHORT, start, FC_ROLE_DISCRIMINANT, start, 4);
        return 0;
    }
    const auto discriminant = static_cast<int32_t>(word);
    if (discriminant == -1) {
        sink.item(FC_ROLE_DISCRIMINANT, start, 4);
        set_discriminant(record, -1);
        return 1;
    }
    if (!selects_arm(discriminant, desc->count)) {
        sink.refuse(FC_RULE_DISCRIMINANT, start, FC_ROLE_DISCRIMINANT, start, 4, word, desc->count);
        return 0;
    }
    sink.item(FC_ROLE_DISCRIMINANT, start, 4);
    int32_t outer = -1;
    if constexpr (Sink::active)
        outer = std::exchange(sink.explaining->arm, discriminant);
    const int decoded = desc->entries[discriminant].routine(xdrs, arm_slot(record), heap);
    if constexpr (Sink::active)
        sink.explaining->arm = outer;
    if (!decoded)
        return 0;
    set_discriminant(record, discriminant);
    return 1;
}

} // namespace

extern "C" int xdr_optional_generic_union_init(void *record)
{
    return record != nullptr && read_member<uint32_t>(record, 8) == FC_LAYOUT_CODE;
}

extern "C" int xdr_optional_generic_union_uninit(void *record) { return record != nullptr; }

extern "C" int mxdr_enh_generic_union(XDR *xdrs, const var_desc_t *desc, void *record, goheap_t *heap)
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
        return discriminant == -1 || desc->entries[discriminant].routine(xdrs, arm_slot(record), heap);
    }
    case XDR_DECODE: {
        Window held;
        if (held_window(xdrs, &held))
            return decode_union<true>(xdrs, desc, record, heap, held, Silent{});
        if (Explaining *e = explaining(xdrs))
            return decode_union<false>(xdrs, desc, record, heap, {nullptr, nullptr}, Reporting{e});
        return decode_union<false>(xdrs, desc, record, heap, {nullptr, nullptr}, Silent{});
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

extern "C" int xdr_length_of_encoded_optional_generic_union(const void *record, const var_length_desc_t *desc)
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
    if (desc == nullptr || !union_fits(source, desc->count) || !union_fits(destination, desc->count))
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
