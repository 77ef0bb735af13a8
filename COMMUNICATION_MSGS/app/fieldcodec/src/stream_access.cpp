// Stream access: the part that is not inline (see stream_access.h).
#include "stream_access.h"

#include <algorithm>

namespace fieldcodec {

namespace {

// Largest piece read at once from a stream that has not shown it holds more.
constexpr size_t kStreamStep = 64 * 1024;

MemoryStreams probe_memory_streams()
{
    alignas(8) char buffer[16] = {};
    XDR aligned;
    XDR unaligned;
    xdrmem_create(&aligned, buffer, 16, XDR_ENCODE);
    xdrmem_create(&unaligned, buffer + 1, 8, XDR_DECODE);
    MemoryStreams streams;
    streams.aligned = aligned.x_ops;
    const bool starts = aligned.x_private == buffer && aligned.x_handy == 16;
    const void *lent = XDR_INLINE(&aligned, 4);
    streams.held = aligned.x_ops != unaligned.x_ops && starts && lent == buffer && aligned.x_private == buffer + 4 &&
                   aligned.x_handy == 12;
    XDR_DESTROY(&aligned);
    XDR_DESTROY(&unaligned);
    return streams;
}

} // namespace

// Probed when the library is loaded, before any caller can reach the codec
// (a library's initialisers run before those of the libraries that use it).
// Should a stream be run through the codec earlier still, the zero-filled
// table matches no stream and every stream is lent windows or read word by
// word.
const MemoryStreams g_memory_streams = probe_memory_streams();

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

} // namespace fieldcodec
