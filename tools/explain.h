// Why bytes are, or are not, a message of a type.  The decoders answer only
// yes or no; the field codec's explaining decode (fc_explain_decode) tells
// where every item of the encoding lies and which rule a refusal broke.
// Here its report is put in the tool's terms and words, so that a refusal
// names the field, the byte offset and the rule broken, and a valid
// encoding can be shown byte by byte beside its fields.
#ifndef PARCEL_TOOLS_EXPLAIN_H
#define PARCEL_TOOLS_EXPLAIN_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "kinds.h"

namespace parcel_tool {

// The rules a decoder enforces, as the field codec numbers them.  Their
// codes (code_of) are the reason codes of the wire corpus.
enum class Rule {
    presence = FC_RULE_PRESENCE,         // "presence": a presence bit at or past the field count
    discriminant = FC_RULE_DISCRIMINANT, // "discriminant": a discriminant outside -1..arms-1
    short_input = FC_RULE_SHORT,         // "short": the bytes end inside a word, doubleword or length
    length = FC_RULE_LENGTH,             // "length": a string's length larger than the bytes left
    nul = FC_RULE_NUL,                   // "nul": a NUL byte inside a string
    padding = FC_RULE_PADDING,           // "padding": a non-zero padding byte after a string
};

std::string_view code_of(Rule rule);

// One item of an encoding: where it lies and what it is (roles as the field
// codec numbers them).
struct Item {
    enum class Role {
        presence = FC_ROLE_PRESENCE,
        discriminant = FC_ROLE_DISCRIMINANT,
        value = FC_ROLE_VALUE,
        length = FC_ROLE_LENGTH,
        text = FC_ROLE_TEXT,
        padding = FC_ROLE_PADDING,
    };
    Role role = Role::presence;
    uint32_t offset = 0;
    uint32_t size = 0;
    const Arm *arm = nullptr;     // the union arm it belongs to, if any
    const Field *field = nullptr; // value, length, text and padding items
};

struct Walk {
    bool valid = false;
    uint32_t consumed = 0;   // valid: bytes of the message
    std::vector<Item> items; // every item read, in order; the failing one last,
                             // cut to the bytes there are up to the failing byte
    // Invalid: the rule broken, the byte at which the decoder finds out, and
    // the rule in words (with the field and offsets).
    Rule rule = Rule::short_input;
    uint32_t offset = 0;
    std::string explanation;
};

// Decodes `size` bytes as a message of `type` through the field codec's
// explaining decode (size must not pass UINT32_MAX).  valid and consumed
// are what the type's decoders return.  Throws std::bad_alloc when the
// decode fails for want of memory rather than for the bytes.
Walk walk(const Type &type, const unsigned char *bytes, size_t size);

// "field 1 text_2 (wrapstring)", "the presence word", "the discriminant",
// followed by " of arm end_arm (cu_vuser_end_data_t)" inside an arm.
std::string place_of(const Item &item);

// A value or text item's value as the decoder stores it, as JSON.
json value_of(const Item &item, const unsigned char *bytes);

// The hex view of `parcel decode --annotate` of the walk `result` over the
// bytes: each item's offset, bytes and meaning, up to the failing byte;
// bytes after the message or not read are shown as such.
std::string annotate(const Type &type, const unsigned char *bytes, size_t size, const Walk &result);

} // namespace parcel_tool

#endif // PARCEL_TOOLS_EXPLAIN_H
