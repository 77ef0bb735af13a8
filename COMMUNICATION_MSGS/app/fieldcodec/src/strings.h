// Strings: a length word, the text, then zero padding to a whole word.
// Internal to libfieldcodec; not installed.
//
// Decoding is strict: a length the codec cannot carry, a NUL inside the text
// and non-zero padding are refused.  A string's memory is taken from the
// heap only once its bytes are there: in a window the stream lent, or read
// in bounded steps from a stream that would not lend them (see
// stream_access.h), so a hostile length can never make the decoder take more
// memory than the bytes it has actually received.
#ifndef FIELDCODEC_STRINGS_H
#define FIELDCODEC_STRINGS_H

#include <cstdint>
#include <cstring>
#include <limits>

#include "explaining.h"
#include "heapkit.h"
#include "stream_access.h"

namespace fieldcodec {

constexpr uint32_t kMaxStringLength = FC_MAX_STRING_LENGTH;
static_assert(kMaxStringLength == std::numeric_limits<int32_t>::max() - 8);

constexpr uint32_t padding_of(uint32_t length) { return (4 - (length & 3)) & 3; }

// Bytes of a string's text and padding.
constexpr uint32_t text_span(uint32_t length) { return length + padding_of(length); }

inline char *&string_at(void *field) { return *static_cast<char **>(field); }
inline const char *string_at(const void *field) { return *static_cast<const char *const *>(field); }

// The length of a string the codec can carry, or -1 for a null string or
// one too long to count.
inline int64_t carried_length(const char *text)
{
    if (text == nullptr)
        return -1;
    const size_t length = std::strlen(text);
    return length > kMaxStringLength ? -1 : static_cast<int64_t>(length);
}

// Writes a string of `length` bytes at `out`: its length word, its text and
// zero padding.  Returns the end of what it wrote.
inline unsigned char *write_string(unsigned char *out, const char *text, uint32_t length)
{
    const uint32_t pad = padding_of(length);
    store_word(out, length);
    // Zero the last word first; the text then overwrites its head, leaving
    // the padding zero.
    if (pad != 0)
        store_word(out + 4 + (length & ~3u), 0);
    std::memcpy(out + 4, text, length);
    return out + 4 + length + pad;
}

// Takes the text of a string of `length` bytes and its padding from
// `bytes`, which hold all of them, into a block of `heap`.  A NUL inside
// the text cannot be represented as C text, and non-zero padding would give
// the message a second encoding: both are refused, before anything is taken.
// An explaining decode (`sink`) learns the text's offset in `at`.
template <class Sink = Silent>
inline bool take_text(const unsigned char *bytes, uint32_t length, char **field, goheap_t *heap,
                      const Sink &sink = {}, uint64_t at = 0)
{
    const void *nul = std::memchr(bytes, 0, length);
    if (nul != nullptr) {
        if constexpr (Sink::active)
            sink.refuse(FC_RULE_NUL, at + static_cast<uint64_t>(static_cast<const unsigned char *>(nul) - bytes),
                        FC_ROLE_TEXT, at, length);
        return false;
    }
    // The padding is the low bytes of the string's last word.
    static constexpr uint32_t kPaddingBits[4] = {0, 0xff, 0xffff, 0xffffff};
    const uint32_t pad = padding_of(length);
    if (pad != 0 && (load_word(bytes + (length & ~3u)) & kPaddingBits[pad]) != 0) {
        if constexpr (Sink::active) {
            sink.item(FC_ROLE_TEXT, at, length);
            uint32_t k = 0;
            while (bytes[length + k] == 0)
                ++k;
            sink.refuse(FC_RULE_PADDING, at + length + k, FC_ROLE_PADDING, at + length, pad, bytes[length + k]);
        }
        return false;
    }
    if constexpr (Sink::active) {
        sink.item(FC_ROLE_TEXT, at, length);
        if (pad != 0)
            sink.item(FC_ROLE_PADDING, at + length, pad);
    }
    char *text = static_cast<char *>(goheap_malloc(heap, static_cast<size_t>(length) + 1));
    if (text == nullptr)
        return false;
    std::memcpy(text, bytes, length);
    text[length] = '\0';
    *field = text;
    return true;
}

// Reads the text and padding of a string whose length word has been read:
// from a window when the stream lends one, else in bounded steps.  Bytes
// that end before the padding does break the length rule.
bool get_text(XDR *xdrs, uint32_t length, char **field, goheap_t *heap);
// The same in an explaining decode, whose text starts at `at`.
bool get_text(XDR *xdrs, uint32_t length, char **field, goheap_t *heap, const Reporting &sink, uint64_t at);
inline bool get_text(XDR *xdrs, uint32_t length, char **field, goheap_t *heap, const Silent &, uint64_t)
{
    return get_text(xdrs, length, field, heap);
}

// Writes a string of `length` bytes through the stream's operations.
bool put_string(XDR *xdrs, const char *text, uint32_t length);

// The wrapstring kind: a string field run through the stream in its
// direction, its encoded length, its copy and its release.
int run_string(XDR *xdrs, void *field, goheap_t *heap);
int string_length(const void *field);

inline int clone_string(const void *source, void *destination, goheap_t *heap)
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

inline int free_string(void *field, goheap_t *heap)
{
    char *&text = string_at(field);
    if (text != nullptr) {
        goheap_free(heap, text);
        text = nullptr;
    }
    return 1;
}

} // namespace fieldcodec

#endif // FIELDCODEC_STRINGS_H
