// The floor encoder of floor.h.
#include "floor.h"

#include <bit>
#include <cstring>

namespace floor_codec {
namespace {

constexpr uint32_t kFieldCount = 9;

uint32_t padding_of(uint32_t length) { return (4 - (length & 3)) & 3; }
bool has(uint32_t presence, uint32_t index) { return ((presence >> index) & 1u) != 0; }

struct writer {
    unsigned char *at, *end;

    bool word(uint32_t value)
    {
        if (end - at < 4)
            return false;
        at[0] = static_cast<unsigned char>(value >> 24);
        at[1] = static_cast<unsigned char>(value >> 16);
        at[2] = static_cast<unsigned char>(value >> 8);
        at[3] = static_cast<unsigned char>(value);
        at += 4;
        return true;
    }
    bool doubleword(uint64_t value)
    {
        return word(static_cast<uint32_t>(value >> 32)) && word(static_cast<uint32_t>(value));
    }
    bool text(const char *value)
    {
        if (value == nullptr)
            return false;
        const size_t size = std::strlen(value);
        if (size > 0x7ffffff0u)
            return false;
        const auto n = static_cast<uint32_t>(size);
        const uint32_t pad = padding_of(n);
        if (!word(n) || static_cast<uint64_t>(end - at) < static_cast<uint64_t>(n) + pad)
            return false;
        std::memcpy(at, value, n);
        std::memset(at + n, 0, pad);
        at += n + pad;
        return true;
    }
};

} // namespace

int32_t encode(const vuser_msg &msg, unsigned char *buffer, uint32_t length)
{
    const uint32_t p = msg.presence & ((1u << kFieldCount) - 1);
    writer out{buffer, buffer + length};
    const bool ok = out.word(p) && (!has(p, 0) || out.doubleword(std::bit_cast<uint64_t>(msg.real_value))) && (!has(p, 1) || out.text(msg.text_1)) &&
                    (!has(p, 2) || out.word(static_cast<uint32_t>(msg.long_value_1))) &&
                    (!has(p, 3) || out.doubleword(msg.hyper_value_1)) && (!has(p, 4) || out.text(msg.text_2)) &&
                    (!has(p, 5) || out.word(static_cast<uint32_t>(msg.int_value))) &&
                    (!has(p, 6) || out.text(msg.text_3)) &&
                    (!has(p, 7) || out.word(static_cast<uint32_t>(msg.long_value_2))) &&
                    (!has(p, 8) || out.doubleword(msg.hyper_value_2));
    return ok ? static_cast<int32_t>(out.at - buffer) : -1;
}

} // namespace floor_codec
