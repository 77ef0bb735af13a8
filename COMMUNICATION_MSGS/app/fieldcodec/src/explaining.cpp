// The explaining stream and the entry point of an explaining decode (see
// explaining.h).
#include "explaining.h"

namespace fieldcodec {

namespace {

Explaining &explaining_of(XDR *xdrs) { return *static_cast<Explaining *>(xdrs->x_private); }

// Each operation forwards to the caller's stream and counts what it moved.
bool_t get_long(XDR *xdrs, long *value)
{
    Explaining &e = explaining_of(xdrs);
    if (!XDR_GETLONG(e.inner, value))
        return FALSE;
    e.position += 4;
    return TRUE;
}

bool_t put_long(XDR *xdrs, const long *value)
{
    Explaining &e = explaining_of(xdrs);
    if (!XDR_PUTLONG(e.inner, value))
        return FALSE;
    e.position += 4;
    return TRUE;
}

bool_t get_bytes(XDR *xdrs, char *bytes, u_int size)
{
    Explaining &e = explaining_of(xdrs);
    if (!XDR_GETBYTES(e.inner, bytes, size))
        return FALSE;
    e.position += size;
    return TRUE;
}

bool_t put_bytes(XDR *xdrs, const char *bytes, u_int size)
{
    Explaining &e = explaining_of(xdrs);
    if (!XDR_PUTBYTES(e.inner, bytes, size))
        return FALSE;
    e.position += size;
    return TRUE;
}

u_int get_position(XDR *xdrs) { return XDR_GETPOS(explaining_of(xdrs).inner); }

// Offsets count the bytes moved, so the stream only moves forward.
bool_t set_position(XDR *, u_int) { return FALSE; }

int32_t *lend_inline(XDR *xdrs, u_int size)
{
    Explaining &e = explaining_of(xdrs);
    if (e.inner->x_ops->x_inline == nullptr)
        return nullptr;
    int32_t *lent = XDR_INLINE(e.inner, size);
    if (lent != nullptr)
        e.position += size;
    return lent;
}

// The caller's stream stays the caller's.
void destroy(XDR *) {}

bool_t control(XDR *xdrs, int request, void *info)
{
    XDR *inner = explaining_of(xdrs).inner;
    return inner->x_ops->x_control != nullptr && inner->x_ops->x_control(inner, request, info);
}

constexpr XDR::xdr_ops operations()
{
    XDR::xdr_ops ops{};
    ops.x_getlong = get_long;
    ops.x_putlong = put_long;
    ops.x_getbytes = get_bytes;
    ops.x_putbytes = put_bytes;
    ops.x_getpostn = get_position;
    ops.x_setpostn = set_position;
    ops.x_inline = lend_inline;
    ops.x_destroy = destroy;
    ops.x_control = control;
    return ops;
}

constinit const XDR::xdr_ops kOperations = operations();

} // namespace

constinit const XDR::xdr_ops *const g_explaining_ops = &kOperations;

} // namespace fieldcodec

using namespace fieldcodec;

extern "C" int fc_explain_decode(XDR *xdrs, fc_xdr_routine_t filter, void *object, goheap_t *heap,
                                 const fc_sink_t *sink, uint64_t *consumed)
{
    if (consumed != nullptr)
        *consumed = 0;
    if (xdrs == nullptr || filter == nullptr || xdrs->x_op != XDR_DECODE)
        return 0;
    Explaining e{};
    e.stream.x_op = XDR_DECODE;
    e.stream.x_ops = g_explaining_ops;
    e.stream.x_private = &e;
    e.inner = xdrs;
    if (sink != nullptr)
        e.sink = *sink;
    e.arm = -1;
    const int result = filter(&e.stream, object, heap);
    if (consumed != nullptr)
        *consumed = e.position;
    return result;
}

extern "C" const char *fc_rule_code(fc_rule_t rule)
{
    switch (rule) {
    case FC_RULE_PRESENCE: return "presence";
    case FC_RULE_DISCRIMINANT: return "discriminant";
    case FC_RULE_SHORT: return "short";
    case FC_RULE_LENGTH: return "length";
    case FC_RULE_NUL: return "nul";
    case FC_RULE_PADDING: return "padding";
    }
    return nullptr;
}
