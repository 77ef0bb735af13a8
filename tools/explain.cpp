// The field codec's explaining decode in the tool's terms, and the
// annotated hex view built on it.
#include "explain.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace parcel_tool {
namespace {

uint32_t word_at(const unsigned char *bytes)
{
    return uint32_t{bytes[0]} << 24 | uint32_t{bytes[1]} << 16 | uint32_t{bytes[2]} << 8 | bytes[3];
}

std::string hex_byte(unsigned value)
{
    static constexpr char digits[] = "0123456789abcdef";
    return {digits[(value >> 4) & 15], digits[value & 15]};
}

std::string hex_word(uint32_t word)
{
    std::string out = "0x";
    for (int shift = 24; shift >= 0; shift -= 8)
        out += hex_byte(word >> shift);
    return out;
}

std::string plural(uint64_t count, std::string_view noun)
{
    return std::to_string(count) + " " + std::string(noun) + (count == 1 ? "" : "s");
}

std::string are_left(uint64_t left) { return std::to_string(left) + (left == 1 ? " is left" : " are left"); }

// What the explaining decode of a message of `type` reports, collected.
struct Report {
    const Type &type;
    Walk &out;
    bool refused = false;
    fc_refusal_t refusal{};

    // The reported item with its field and arm in the table (union arms are
    // structs, so an arm's position is one of `type`'s).
    Item item_of(const fc_item_t &reported) const
    {
        const Arm *arm = reported.arm < 0 ? nullptr : &type.arms.at(static_cast<size_t>(reported.arm));
        const Type &holder = arm == nullptr ? type : *arm->type;
        const Field *field = reported.field < 0 ? nullptr : &holder.fields.at(static_cast<size_t>(reported.field));
        return Item{static_cast<Item::Role>(reported.role), static_cast<uint32_t>(reported.offset),
                    static_cast<uint32_t>(reported.size), arm, field};
    }
};

// The refusal in words, after the place of the item that broke it.
std::string reason(const Report &report, const Item &failing, uint64_t left)
{
    const fc_refusal_t &refusal = report.refusal;
    const uint64_t at = refusal.offset;
    switch (refusal.rule) {
    case FC_RULE_PRESENCE: {
        const Type &holder = failing.arm == nullptr ? report.type : *failing.arm->type;
        const uint32_t count = refusal.limit;
        uint32_t bit = count;
        while (((refusal.value >> bit) & 1u) == 0)
            ++bit;
        return hex_word(refusal.value) + " at offset " + std::to_string(at) + " sets bit " + std::to_string(bit) +
               ", but " + std::string(holder.name) + " has " + plural(count, "field") +
               (count == 0 ? "" : " (bits 0 to " + std::to_string(count - 1) + ")");
    }
    case FC_RULE_DISCRIMINANT:
        return std::to_string(static_cast<int32_t>(refusal.value)) + " at offset " + std::to_string(at) +
               " selects no arm: " + std::string(report.type.name) + " has arms 0 to " +
               std::to_string(refusal.limit - 1) + ", and -1 for none";
    case FC_RULE_SHORT: {
        const char *what = failing.role == Item::Role::value    ? "its value"
                           : failing.role == Item::Role::length ? "its length"
                                                                : "it";
        return std::string(what) + " needs " + plural(refusal.item.size, "byte") + " at offset " +
               std::to_string(at) + " and " + are_left(left);
    }
    case FC_RULE_LENGTH:
        return "its length of " + std::to_string(refusal.value) + " needs " + plural(refusal.item.size, "byte") +
               " at offset " + std::to_string(at) + " and " + are_left(left) +
               (refusal.value > refusal.limit
                    ? " (the longest text the codec takes is " + plural(refusal.limit, "byte") + ")"
                    : "");
    case FC_RULE_NUL:
        return "its text holds a NUL byte at offset " + std::to_string(at) + ", which text cannot carry";
    case FC_RULE_PADDING:
        return "its padding byte at offset " + std::to_string(at) + " is 0x" + hex_byte(refusal.value) +
               ", not zero";
    }
    return {};
}

} // namespace

std::string_view code_of(Rule rule) { return fc_rule_code(static_cast<fc_rule_t>(rule)); }

Walk walk(const Type &type, const unsigned char *bytes, size_t size)
{
    Walk out;
    Report report{type, out};
    const fc_sink_t sink{[](void *to, const fc_item_t *item) {
                             auto *report = static_cast<Report *>(to);
                             report->out.items.push_back(report->item_of(*item));
                         },
                         [](void *to, const fc_refusal_t *refusal) {
                             auto *report = static_cast<Report *>(to);
                             report->refused = true;
                             report->refusal = *refusal;
                         },
                         &report};
    uint64_t consumed = 0;
    out.valid = typetable::explain(type, bytes, size, sink, &consumed) == 1;
    if (out.valid) {
        out.consumed = static_cast<uint32_t>(consumed);
        return out;
    }
    if (!report.refused)
        throw std::bad_alloc();
    // The failing item, cut to the bytes there are, or for a bad byte inside
    // it to the bytes up to that one.
    const fc_refusal_t &refusal = report.refusal;
    Item failing = report.item_of(refusal.item);
    const uint64_t left = size - refusal.offset;
    if (refusal.rule == FC_RULE_NUL || refusal.rule == FC_RULE_PADDING)
        failing.size = static_cast<uint32_t>(refusal.offset - refusal.item.offset + 1);
    else
        failing.size = static_cast<uint32_t>(std::min<uint64_t>(refusal.item.size, left));
    out.items.push_back(failing);
    out.rule = static_cast<Rule>(refusal.rule);
    out.offset = static_cast<uint32_t>(refusal.offset);
    out.explanation = place_of(failing) + ": " + reason(report, failing, left);
    return out;
}

std::string place_of(const Item &item)
{
    std::string place;
    if (item.field != nullptr)
        place = "field " + std::to_string(item.field->index) + " " + std::string(item.field->name) + " (" +
                std::string(typetable::info(item.field->kind).name) + ")";
    else
        place = item.role == Item::Role::discriminant ? "the discriminant" : "the presence word";
    if (item.arm != nullptr)
        place += " of arm " + std::string(item.arm->name) + " (" + std::string(item.arm->type->name) + ")";
    return place;
}

json value_of(const Item &item, const unsigned char *bytes)
{
    const unsigned char *at = bytes + item.offset;
    const KindOps &kind = ops(item.field->kind);
    if (item.role == Item::Role::text)
        return kind.to_json(std::string(reinterpret_cast<const char *>(at), item.size));
    // The storage of a word or doubleword kind holds the value's bits.
    unsigned char storage[8];
    if (item.size == 8) {
        const uint64_t bits = uint64_t{word_at(at)} << 32 | word_at(at + 4);
        std::memcpy(storage, &bits, sizeof bits);
    } else {
        const uint32_t bits = word_at(at);
        std::memcpy(storage, &bits, sizeof bits);
    }
    return kind.to_json(typetable::load(item.field->kind, storage));
}

std::string annotate(const Type &type, const unsigned char *bytes, size_t size, const Walk &result)
{
    constexpr size_t kPerLine = 8;
    std::string out = std::string(type.name) + ", " + plural(size, "byte") + " given: " +
                      (result.valid ? plural(result.consumed, "byte") + " of message"
                                    : "not valid, " + std::string(code_of(result.rule)) + " at offset " +
                                          std::to_string(result.offset)) +
                      "\n";
    // One row per 8 bytes; the description stands on an item's first row.
    const auto rows = [&](size_t offset, size_t count, const std::string &description) {
        size_t done = 0;
        do {
            const size_t n = std::min(kPerLine, count - done);
            std::string hex;
            for (size_t k = 0; k < n; ++k)
                hex += (k == 0 ? "" : " ") + hex_byte(bytes[offset + done + k]);
            std::string offset_text = std::to_string(offset + done);
            out += std::string(std::max<size_t>(6, offset_text.size()) - offset_text.size(), ' ') + offset_text + "  " +
                   hex + std::string(kPerLine * 3 - 1 - hex.size(), ' ') + "  " + (done == 0 ? description : "") +
                   "\n";
            done += n;
        } while (done < count);
    };

    for (size_t i = 0; i < result.items.size(); ++i) {
        const Item &item = result.items[i];
        const bool failing = !result.valid && i + 1 == result.items.size();
        std::string description;
        if (item.arm != nullptr)
            description = std::string(item.arm->name) + ": ";
        if (failing) {
            description = "!! " + std::string(code_of(result.rule)) + ": " + result.explanation;
        } else if (item.field == nullptr && item.role == Item::Role::presence) {
            const uint32_t bits = word_at(bytes + item.offset);
            std::string present;
            for (uint32_t bit = 0; bit < 32; ++bit)
                if (((bits >> bit) & 1u) != 0)
                    present += " " + std::to_string(bit);
            description += "presence " + hex_word(bits) + (present.empty() ? ": no field" : ": fields" + present);
        } else if (item.role == Item::Role::discriminant) {
            const auto discriminant = static_cast<int32_t>(word_at(bytes + item.offset));
            description += "discriminant " + std::to_string(discriminant) +
                           (discriminant == -1 ? ": no arm"
                                               : ": arm " + std::string(type.arms[static_cast<size_t>(discriminant)].name));
        } else {
            description += std::to_string(item.field->index) + " " + std::string(item.field->name);
            if (item.role == Item::Role::value || item.role == Item::Role::text)
                description += " = " + value_of(item, bytes).dump();
            else if (item.role == Item::Role::length)
                description += " length " + std::to_string(word_at(bytes + item.offset));
            else
                description += " padding";
        }
        if (item.size == 0)
            out += std::string(6, ' ') + "  " + std::string(kPerLine * 3 - 1, ' ') + "  " + description + "\n";
        else
            rows(item.offset, item.size, description);
    }
    const size_t end = result.valid ? result.consumed
                       : result.items.empty() ? 0
                                              : result.items.back().offset + result.items.back().size;
    if (end < size) {
        const std::string note = result.valid ? "after the message (ignored)" : "not read";
        out += std::string(6, ' ') + "  " + plural(size - end, "more byte") + " " + note + "\n";
    }
    return out;
}

} // namespace parcel_tool
