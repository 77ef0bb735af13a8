// The floor codec of floor.h.  Kept in a file of its own so that, like
// parcel's routines, it is reached through a call the benchmark loop cannot
// inline.
#include "floor.h"

#include <cstdlib>
#include <cstring>

namespace floor_codec {
namespace {

constexpr uint32_t kFieldCount = 9;

uint32_t padding_of(uint32_t length) { return (4 - (length & 3)) & 3; }

class writer {
public:
    writer(unsigned char *buffer, uint32_t length) : at_(buffer), end_(buffer + length), start_(buffer) {}

    bool word(uint32_t value)
    {
        if (end_ - at_ < 4)
            return false;
        at_[0] = static_cast<unsigned char>(value >> 24);
        at_[1] = static_cast<unsigned char>(value >> 16);
        at_[2] = static_cast<unsigned char>(value >> 8);
        at_[3] = static_cast<unsigned char>(value);
        at_ += 4;
        return true;
    }

    bool doubleword(uint64_t value)
    {
        return word(static_cast<uint32_t>(value >> 32)) && word(static_cast<uint32_t>(value));
    }

    bool real(double value)
    {
        uint64_t bits;
        std::memcpy(&bits, &value, sizeof bits);
        return doubleword(bits);
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
        if (!word(n) || static_cast<uint64_t>(end_ - at_) < static_cast<uint64_t>(n) + pad)
            return false;
        std::memcpy(at_, value, n);
        std::memset(at_ + n, 0, pad);
        at_ += n + pad;
        return true;
    }

    int32_t written() const { return static_cast<int32_t>(at_ - start_); }

private:
    unsigned char *at_;
    unsigned char *end_;
    unsigned char *start_;
};

class reader {
public:
    reader(const unsigned char *buffer, uint32_t length) : at_(buffer), end_(buffer + length), start_(buffer) {}

    bool word(uint32_t *value)
    {
        if (end_ - at_ < 4)
            return false;
        *value = static_cast<uint32_t>(at_[0]) << 24 | static_cast<uint32_t>(at_[1]) << 16 |
                 static_cast<uint32_t>(at_[2]) << 8 | static_cast<uint32_t>(at_[3]);
        at_ += 4;
        return true;
    }

    bool signed_word(int32_t *value)
    {
        uint32_t bits;
        if (!word(&bits))
            return false;
        *value = static_cast<int32_t>(bits);
        return true;
    }

    bool doubleword(uint64_t *value)
    {
        uint32_t high;
        uint32_t low;
        if (!word(&high) || !word(&low))
            return false;
        *value = static_cast<uint64_t>(high) << 32 | low;
        return true;
    }

    bool real(double *value)
    {
        uint64_t bits;
        if (!doubleword(&bits))
            return false;
        std::memcpy(value, &bits, sizeof bits);
        return true;
    }

    bool text(char **value, string_source strings)
    {
        uint32_t n;
        if (!word(&n))
            return false;
        const uint32_t pad = padding_of(n);
        if (static_cast<uint64_t>(n) + pad > static_cast<uint64_t>(end_ - at_))
            return false;
        if (std::memchr(at_, 0, n) != nullptr)
            return false;
        for (uint32_t i = 0; i < pad; ++i)
            if (at_[n + i] != 0)
                return false;
        auto *copy = static_cast<char *>(strings.take(strings.context, n + 1));
        if (copy == nullptr)
            return false;
        std::memcpy(copy, at_, n);
        copy[n] = '\0';
        *value = copy;
        at_ += n + pad;
        return true;
    }

    int32_t consumed() const { return static_cast<int32_t>(at_ - start_); }

private:
    const unsigned char *at_;
    const unsigned char *end_;
    const unsigned char *start_;
};

bool has(uint32_t presence, uint32_t index) { return ((presence >> index) & 1u) != 0; }

void *take_from_malloc(void *, uint32_t size) { return std::malloc(size); }

} // namespace

int32_t encode(const vuser_msg &msg, unsigned char *buffer, uint32_t length)
{
    const uint32_t p = msg.presence & ((1u << kFieldCount) - 1);
    writer out(buffer, length);
    const bool ok = out.word(p) && (!has(p, 0) || out.real(msg.real_value)) &&
                    (!has(p, 1) || out.text(msg.text_1)) &&
                    (!has(p, 2) || out.word(static_cast<uint32_t>(msg.long_value_1))) &&
                    (!has(p, 3) || out.doubleword(msg.hyper_value_1)) &&
                    (!has(p, 4) || out.text(msg.text_2)) &&
                    (!has(p, 5) || out.word(static_cast<uint32_t>(msg.int_value))) &&
                    (!has(p, 6) || out.text(msg.text_3)) &&
                    (!has(p, 7) || out.word(static_cast<uint32_t>(msg.long_value_2))) &&
                    (!has(p, 8) || out.doubleword(msg.hyper_value_2));
    return ok ? out.written() : -1;
}

int32_t decode(const unsigned char *buffer, uint32_t length, vuser_msg *msg, string_source strings)
{
    reader in(buffer, length);
    vuser_msg m{};
    uint32_t p;
    if (!in.word(&p) || (p >> kFieldCount) != 0)
        return -1;
    m.presence = p;
    const bool ok = (!has(p, 0) || in.real(&m.real_value)) && (!has(p, 1) || in.text(&m.text_1, strings)) &&
                    (!has(p, 2) || in.signed_word(&m.long_value_1)) &&
                    (!has(p, 3) || in.doubleword(&m.hyper_value_1)) &&
                    (!has(p, 4) || in.text(&m.text_2, strings)) &&
                    (!has(p, 5) || in.signed_word(&m.int_value)) &&
                    (!has(p, 6) || in.text(&m.text_3, strings)) &&
                    (!has(p, 7) || in.signed_word(&m.long_value_2)) &&
                    (!has(p, 8) || in.doubleword(&m.hyper_value_2));
    if (!ok) {
        if (strings.take == &take_from_malloc)
            free_strings(&m);
        return -1;
    }
    *msg = m;
    return in.consumed();
}

string_source malloc_strings() { return {&take_from_malloc, nullptr}; }

void free_strings(vuser_msg *msg)
{
    std::free(msg->text_1);
    std::free(msg->text_2);
    std::free(msg->text_3);
    msg->text_1 = msg->text_2 = msg->text_3 = nullptr;
}

} // namespace floor_codec
