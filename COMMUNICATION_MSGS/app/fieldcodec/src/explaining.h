// Explaining decodes (fieldcodec.h): how the codec tells a caller where the
// items of an encoding lie and why it refuses bytes.  Internal to
// libfieldcodec; not installed.
//
// fc_explain_decode hands the filter an explaining stream of its own, which
// forwards every operation to the caller's stream (lending windows
// included) and counts the bytes it moves.  The struct and union codecs
// recognise it by its operations and run their decode with a Reporting
// sink; every other stream gets the same decode source with the Silent
// sink, whose calls compile to nothing.  A union's arm is decoded by the
// arm type's own filter, which calls the struct codec back with the same
// stream, so the arm's items are reported too.
#ifndef FIELDCODEC_EXPLAINING_H
#define FIELDCODEC_EXPLAINING_H

#include <cstdint>

#include <rpc/xdr.h>

#include "fieldcodec.h"

namespace fieldcodec {

// The state of one explaining decode, on the stack of fc_explain_decode.
struct Explaining {
    XDR stream; // what the filter is handed; its x_private points here
    XDR *inner; // the caller's stream
    fc_sink_t sink;
    uint64_t position; // bytes moved through the stream so far
    int32_t arm;       // the union arm being decoded, -1 outside any
};

// The operations of every explaining stream.  The codec compares streams'
// operations with this variable rather than with the table's address: one
// instruction fewer, which is what lets the plain decode of a stream other
// than an aligned memory one (held_window tests those first) stay as short
// as it was before explaining decodes existed.
[[gnu::visibility("hidden")]] extern const XDR::xdr_ops *const g_explaining_ops;

// The explaining decode that `xdrs` belongs to, or null for any other stream.
inline Explaining *explaining(XDR *xdrs)
{
    return xdrs->x_ops == g_explaining_ops ? static_cast<Explaining *>(xdrs->x_private) : nullptr;
}

// The sink of every plain decode: nothing is reported, and nothing an
// argument needs is computed.
struct Silent {
    static constexpr bool active = false;
    uint64_t position() const { return 0; }
    void at_field(uint32_t) {}
    void item(fc_role_t, uint64_t, uint64_t) const {}
    void refuse(fc_rule_t, uint64_t, fc_role_t, uint64_t, uint64_t, uint32_t = 0, uint32_t = 0) const {}
};

// The sink of an explaining decode: events go to the caller's callbacks,
// with the field being read (set by at_field) and the arm being decoded.
struct Reporting {
    static constexpr bool active = true;
    Explaining *explaining;
    int32_t field = -1;

    uint64_t position() const { return explaining->position; }
    void at_field(uint32_t index) { field = static_cast<int32_t>(index); }

    // An item of `size` bytes at `offset` that passed its checks.
    void item(fc_role_t role, uint64_t offset, uint64_t size) const
    {
        const fc_sink_t &sink = explaining->sink;
        if (sink.item == nullptr)
            return;
        const fc_item_t reported{role, field, explaining->arm, offset, size};
        sink.item(sink.context, &reported);
    }

    // The item of `size` bytes at `offset` broke `rule`, found out at byte `at`.
    void refuse(fc_rule_t rule, uint64_t at, fc_role_t role, uint64_t offset, uint64_t size, uint32_t value = 0,
                uint32_t limit = 0) const
    {
        const fc_sink_t &sink = explaining->sink;
        if (sink.refusal == nullptr)
            return;
        const fc_refusal_t reported{rule, at, {role, field, explaining->arm, offset, size}, value, limit};
        sink.refusal(sink.context, &reported);
    }
};

} // namespace fieldcodec

#endif // FIELDCODEC_EXPLAINING_H
