// Strings on any stream (see strings.h).
#include "strings.h"

#include <vector>

namespace fieldcodec {

namespace {

// What the text of an empty string is read from: nothing.
constexpr unsigned char kNothing[1] = {};

int encode_string(XDR *xdrs, const char *text)
{
    const int64_t length = carried_length(text);
    return length >= 0 && put_string(xdrs, text, static_cast<uint32_t>(length));
}

int decode_string(XDR *xdrs, char **field, goheap_t *heap)
{
    uint32_t length = 0;
    return get_word(xdrs, &length) && length <= kMaxStringLength && get_text(xdrs, length, field, heap);
}

template <class Sink>
bool get_text_as(XDR *xdrs, uint32_t length, char **field, goheap_t *heap, const Sink &sink, uint64_t at)
{
    const uint32_t span = text_span(length);
    if (span == 0)
        return take_text(kNothing, 0, field, heap, sink, at);
    if (const unsigned char *bytes = lend(xdrs, span))
        return take_text(bytes, length, field, heap, sink, at);
    std::vector<char> received;
    if (!read_in_steps(xdrs, span, &received)) {
        sink.refuse(FC_RULE_LENGTH, at, FC_ROLE_TEXT, at, span, length, kMaxStringLength);
        return false;
    }
    return take_text(reinterpret_cast<const unsigned char *>(received.data()), length, field, heap, sink, at);
}

} // namespace

bool get_text(XDR *xdrs, uint32_t length, char **field, goheap_t *heap)
{
    return get_text_as(xdrs, length, field, heap, Silent{}, 0);
}

bool get_text(XDR *xdrs, uint32_t length, char **field, goheap_t *heap, const Reporting &sink, uint64_t at)
{
    return get_text_as(xdrs, length, field, heap, sink, at);
}

bool put_string(XDR *xdrs, const char *text, uint32_t length)
{
    static const char zeros[4] = {};
    const uint32_t pad = padding_of(length);
    return put_word(xdrs, length) && (length == 0 || XDR_PUTBYTES(xdrs, text, length)) &&
           (pad == 0 || XDR_PUTBYTES(xdrs, zeros, pad));
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
    return static_cast<int>(4 + text_span(static_cast<uint32_t>(length)));
}

} // namespace fieldcodec
