// Sample values, records and messages.
#include <cstring>
#include <iterator>

#include "typetable.h"

namespace typetable {
namespace {

template <class V, size_t N>
V pick(const V (&values)[N], uint64_t at)
{
    return values[at % N];
}

// ---- Variant 0: what a running load test sends ---------------------------------
// Timestamps, virtual-user numbers, script paths, log lines.  Texts of 25 to
// 49 bytes whose lengths leave every remainder modulo 4.

Value typical(Kind kind, uint32_t index)
{
    static const char *const texts[] = {
        "Action.c(118): transaction \"checkout\" ended: PASS",
        "scripts/web_shop/Action.cpp",
        "group_checkout/vuser_0017",
        "lg-07.loadlab.internal:54312",
        "rendezvous_all_users_ready",
        "Iteration 12 of 100 started",
        "vuser_end: 3 transactions, 0 errors",
    };
    static constexpr int32_t ints[] = {1042, 200, 17, 65535, -1, 300};
    static constexpr int32_t longs[] = {86400, -7, 123456, 2500, 42, -30000};
    static constexpr uint32_t u_ints[] = {12, 4000000000u, 250, 7};
    static constexpr uint32_t u_longs[] = {3, 1800, 3000000000u, 64};
    static constexpr float floats[] = {125.5f, 0.75f, 3.25e4f, 12.125f};
    static constexpr double doubles[] = {1712345678.25, 99.875, 0.001953125, 42.5};
    static constexpr uint64_t hypers[] = {1712345678123456789ull, 1ull << 40, 4096, 987654321012ull};
    switch (kind) {
    case Kind::k_int: return pick(ints, index);
    case Kind::k_long: return pick(longs, index);
    case Kind::k_u_int: return pick(u_ints, index);
    case Kind::k_u_long: return pick(u_longs, index);
    case Kind::k_float: return pick(floats, index);
    case Kind::k_double: return pick(doubles, index);
    case Kind::k_u_hyper: return pick(hypers, index);
    case Kind::k_wrapstring: return std::string(pick(texts, index));
    }
    return int32_t{0};
}

// ---- Other variants: drawn from (variant, index) --------------------------------

// splitmix64: a well-mixed stream of words from any start value.
class Draws {
public:
    Draws(uint64_t variant, uint32_t index) : state_(variant ^ (uint64_t{index} + 1) * 0xd1b54a32d192ed03u) {}
    uint64_t next()
    {
        uint64_t x = state_ += 0x9e3779b97f4a7c15u;
        x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9u;
        x = (x ^ (x >> 27)) * 0x94d049bb133111ebu;
        return x ^ (x >> 31);
    }

private:
    uint64_t state_;
};

template <class V>
V bits_as(uint64_t bits)
{
    V value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

Value drawn(Kind kind, uint32_t index, uint64_t variant)
{
    Draws draws(variant, index);
    const uint64_t bits = draws.next();
    const bool edge = draws.next() % 3 == 0;
    static constexpr uint32_t kFloatEdges[] = {0x00000000u, 0x80000000u, 0x7f800000u, 0xff800000u,
                                               0x7fc12345u, 0xffc00001u, 0x00000001u, 0x7f7fffffu};
    static constexpr uint64_t kDoubleEdges[] = {0x0000000000000000u, 0x8000000000000000u, 0x7ff0000000000000u,
                                                0xfff0000000000000u, 0x7ff8deadbeef0001u, 0xfff8000000000123u,
                                                0x0000000000000001u, 0x3ff0000000000000u};
    static constexpr uint64_t kIntegerEdges[] = {0,           1,           ~uint64_t{0}, uint64_t{1} << 63,
                                                 0x7fffffffu, 0x80000000u, 0xffffffffu,  uint64_t{1} << 32};
    const uint64_t integer = edge ? pick(kIntegerEdges, bits) : bits;
    switch (kind) {
    case Kind::k_int:
    case Kind::k_long: return static_cast<int32_t>(integer);
    case Kind::k_u_int:
    case Kind::k_u_long: return static_cast<uint32_t>(integer);
    case Kind::k_u_hyper: return integer;
    case Kind::k_float: return bits_as<float>(edge ? pick(kFloatEdges, bits) : static_cast<uint32_t>(bits));
    case Kind::k_double: return bits_as<double>(edge ? pick(kDoubleEdges, bits) : bits);
    case Kind::k_wrapstring: {
        // Short texts cover every padding; now and then a longer one.
        const size_t length = bits % 4 != 0 ? draws.next() % 10 : 10 + draws.next() % 300;
        std::string text(length, ' ');
        for (char &c : text)
            c = static_cast<char>(1 + draws.next() % 255);
        return text;
    }
    }
    return int32_t{0};
}

} // namespace

Value sample_value(Kind kind, uint32_t index, uint64_t variant)
{
    return variant == 0 ? typical(kind, index) : drawn(kind, index, variant);
}

bool fill(const Type &type, void *record, uint64_t variant, uint32_t mask, Texts &texts)
{
    bool ok = true;
    for (const Field &field : type.fields) {
        if (((mask >> field.index) & 1u) == 0)
            continue;
        Value value = sample_value(field.kind, field.index, variant);
        // A record keeps a pointer to its text.
        const Value &set = field.kind == Kind::k_wrapstring ? texts.keep(std::move(value)) : value;
        ok = field.set(record, set) && ok;
    }
    return ok;
}

void fill(const Message &message, void *msg, uint64_t variant, Texts &texts)
{
    for (const Field &field : message.type->fields) {
        char *at = static_cast<char *>(msg) + message.offsets[field.index];
        const Value &value = texts.keep(sample_value(field.kind, field.index, variant));
        std::visit(
            [at](const auto &v) {
                if constexpr (std::is_same_v<std::decay_t<decltype(v)>, std::string>) {
                    const char *text = v.c_str();
                    std::memcpy(at, &text, sizeof text);
                } else {
                    std::memcpy(at, &v, sizeof v);
                }
            },
            value);
    }
}

Sample::Sample(const Type &type, uint64_t variant, int arm, uint32_t mask) : type_(type)
{
    record_ = type.create(nullptr);
    if (record_ == nullptr)
        return;
    if (!type.is_union) {
        ok_ = fill(type, record_, variant, mask, texts_);
        return;
    }
    ok_ = true;
    if (arm < 0)
        return; // a fresh union selects no arm
    const Arm &chosen = type.arms.at(static_cast<size_t>(arm));
    arm_type_ = chosen.type;
    arm_record_ = arm_type_->create(nullptr);
    ok_ = arm_record_ != nullptr && fill(*arm_type_, arm_record_, variant, mask, texts_);
    type.select_arm(record_, static_cast<int32_t>(chosen.position), arm_record_);
}

Sample::~Sample()
{
    if (arm_record_ != nullptr)
        arm_type_->release(nullptr, arm_record_);
    if (record_ != nullptr)
        type_.release(nullptr, record_);
}

std::vector<int> sample_arms(const Type &type)
{
    if (!type.is_union)
        return {0};
    std::vector<int> arms{-1};
    for (const Arm &arm : type.arms)
        arms.push_back(static_cast<int>(arm.position));
    return arms;
}

Bytes sample_message(const Message &message, uint64_t variant)
{
    Texts texts;
    std::vector<unsigned char> msg(message.size); // zeroed, as the structure's value initialisation
    fill(message, msg.data(), variant, texts);
    Bytes bytes(64 * 1024);
    const int32_t written = message.encode(msg.data(), bytes.data(), static_cast<uint32_t>(bytes.size()));
    bytes.resize(written < 0 ? 0 : static_cast<size_t>(written));
    return bytes;
}

} // namespace typetable
