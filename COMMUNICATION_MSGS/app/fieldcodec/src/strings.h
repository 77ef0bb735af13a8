// Strings: a length word, the text, then zero padding to a whole word.
// Internal to libfieldcodec; not installed.
//
// On memory streams a string's length is checked against the bytes that
// remain before any memory is taken, and on other streams a string is read
// in bounded steps, so a hostile length can never make the decoder allocate
// more than the bytes it has actually received.
#ifndef FIELDCODEC_STRINGS_H
#define FIELDCODEC_STRINGS_H

#include <cstdint>
#include <cstring>
#include <limits>

#include "heapkit.h"
#include "stream_access.h"

namespace fieldcodec {

// Longest string the codec carries: its encoding must still be countable in
// a non-negative 32-bit int.
constexpr uint32_t kMaxStringLength = std::numeric_limits<int32_t>::max() - 8;

constexpr uint32_t padding_of(uint32_t length) { return (4 - (length & 3)) & 3; }

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
