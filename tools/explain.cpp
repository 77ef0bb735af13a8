// The walk over a type's descriptors that explains a decoder's verdict, and
// the annotated hex view built on it.
#include "explain.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace parcel_tool {
namespace {

// The longest string the codec takes, as the field codec defines it.
constexpr uint32_t kMaxStringLength = std::numeric_limits<int32_t>::max() - 8;

uint32_t padding_of(uint32_t length) { return (4 - (length & 3)) & 3; }

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

class Walker {
public:
    Walker(const unsigned char *bytes, size_t size, Walk &out) : bytes_(bytes), size_(size), out_(out) {}

    // Reads a message of `type` from the current position.
    bool message(const Type &type) { return type.is_union ? union_of(type) : struct_of(type); }

    uint32_t position() const { return static_cast<uint32_t>(at_); }

private:
    uint64_t left() const { return size_ - at_; }

    Item item(Item::Role role, uint64_t offset, uint64_t size, const Field *field = nullptr) const
    {
        return Item{role, static_cast<uint32_t>(offset), static_cast<uint32_t>(size), arm_, field};
    }

    // Records the item that broke `rule` at byte `offset`, and the rule in words.
    bool fail(Rule rule, uint64_t offset, Item failing, const std::string &what)
    {
        out_.items.push_back(failing);
        out_.rule = rule;
        out_.offset = static_cast<uint32_t>(offset);
        out_.explanation = place_of(failing) + ": " + what;
        return false;
    }

    // Takes an item of `size` bytes at the current position, or fails with
    // the bytes that are left.
    bool take(Item taken, std::string_view what)
    {
        if (left() < taken.size) {
            const uint64_t needed = taken.size;
            const uint64_t available = left();
            taken.size = static_cast<uint32_t>(available);
            return fail(Rule::short_input, at_, taken,
                        std::string(what) + " needs " + plural(needed, "byte") + " at offset " + std::to_string(at_) +
                            " and " + are_left(available));
        }
        out_.items.push_back(taken);
        at_ += taken.size;
        return true;
    }

    bool struct_of(const Type &type)
    {
        const uint32_t start = position();
        if (!take(item(Item::Role::presence, at_, 4), "it"))
            return false;
        const uint32_t bits = word_at(bytes_ + start);
        const uint32_t count = type.var_desc->count;
        const uint32_t allowed = count >= 32 ? ~0u : (1u << count) - 1;
        if ((bits & ~allowed) != 0) {
            out_.items.pop_back();
            uint32_t bit = count;
            while (((bits >> bit) & 1u) == 0)
                ++bit;
            return fail(Rule::presence, start, item(Item::Role::presence, start, 4),
                        hex_word(bits) + " at offset " + std::to_string(start) + " sets bit " + std::to_string(bit) +
                            ", but " + std::string(type.name) + " has " + plural(count, "field") +
                            (count == 0 ? "" : " (bits 0 to " + std::to_string(count - 1) + ")"));
        }
        for (const Field &field : type.fields)
            if (((bits >> field.index) & 1u) != 0 && !field_of(field))
                return false;
        return true;
    }

    bool field_of(const Field &field)
    {
        if (field.shape != FC_SHAPE_STRING)
            return take(item(Item::Role::value, at_, field.shape == FC_SHAPE_DOUBLEWORD ? 8 : 4, &field), "its value");
        if (!take(item(Item::Role::length, at_, 4, &field), "its length"))
            return false;
        const uint32_t length = word_at(bytes_ + at_ - 4);
        const uint64_t needed = uint64_t{length} + padding_of(length);
        if (length > kMaxStringLength || needed > left()) {
            const std::string limit = length > kMaxStringLength ? " (the longest text the codec takes is " +
                                                                      plural(kMaxStringLength, "byte") + ")"
                                                                : "";
            return fail(Rule::length, at_, item(Item::Role::text, at_, std::min(needed, left()), &field),
                        "its length of " + std::to_string(length) + " needs " + plural(needed, "byte") + " at offset " +
                            std::to_string(at_) + " and " + are_left(left()) + limit);
        }
        const unsigned char *text = bytes_ + at_;
        if (const void *nul = std::memchr(text, 0, length)) {
            const uint64_t offset = at_ + static_cast<uint64_t>(static_cast<const unsigned char *>(nul) - text);
            return fail(Rule::nul, offset, item(Item::Role::text, at_, offset - at_ + 1, &field),
                        "its text holds a NUL byte at offset " + std::to_string(offset) + ", which text cannot carry");
        }
        out_.items.push_back(item(Item::Role::text, at_, length, &field));
        at_ += length;
        const uint32_t pad = padding_of(length);
        for (uint32_t k = 0; k < pad; ++k)
            if (bytes_[at_ + k] != 0)
                return fail(Rule::padding, at_ + k, item(Item::Role::padding, at_, k + 1, &field),
                            "its padding byte at offset " + std::to_string(at_ + k) + " is 0x" +
                                hex_byte(bytes_[at_ + k]) + ", not zero");
        if (pad != 0)
            out_.items.push_back(item(Item::Role::padding, at_, pad, &field));
        at_ += pad;
        return true;
    }

    bool union_of(const Type &type)
    {
        const uint32_t start = position();
        if (!take(item(Item::Role::discriminant, at_, 4), "it"))
            return false;
        const auto discriminant = static_cast<int32_t>(word_at(bytes_ + start));
        const uint32_t arms = type.var_desc->count;
        if (discriminant == -1)
            return true;
        if (discriminant < 0 || static_cast<uint32_t>(discriminant) >= arms) {
            out_.items.pop_back();
            return fail(Rule::discriminant, start, item(Item::Role::discriminant, start, 4),
                        std::to_string(discriminant) + " at offset " + std::to_string(start) + " selects no arm: " +
                            std::string(type.name) + " has arms 0 to " + std::to_string(arms - 1) +
                            ", and -1 for none");
        }
        const Arm *outer = arm_;
        arm_ = &type.arms[static_cast<size_t>(discriminant)];
        const bool ok = message(*arm_->type);
        arm_ = outer;
        return ok;
    }

    const unsigned char *bytes_;
    uint64_t size_;
    Walk &out_;
    uint64_t at_ = 0;
    const Arm *arm_ = nullptr;
};

} // namespace

std::string_view code_of(Rule rule)
{
    switch (rule) {
    case Rule::presence: return "presence";
    case Rule::discriminant: return "discriminant";
    case Rule::short_input: return "short";
    case Rule::length: return "length";
    case Rule::nul: return "nul";
    case Rule::padding: return "padding";
    }
    return "";
}

Walk walk(const Type &type, const unsigned char *bytes, size_t size)
{
    Walk out;
    Walker walker(bytes, size, out);
    out.valid = walker.message(type);
    if (out.valid)
        out.consumed = walker.position();
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
