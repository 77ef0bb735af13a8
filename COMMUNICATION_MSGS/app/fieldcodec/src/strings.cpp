// Strings on any stream (see strings.h).
#include "strings.h"

#include <vector>

namespace fieldcodec {

namespace {

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

} // namespace

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

} // namespace fieldcodec
