// Writes the wire corpus: for each of the thirty types, a JSON Lines file of
// byte strings with the verdict every decoder of the format must reach.
//
//   parcel_corpus DIR          writes DIR/<type>.jsonl
//   parcel_corpus --check DIR  exits 1 when DIR differs from what it would write
//
// The bytes are written here, from the catalogue's field kinds, by a small
// XDR writer of its own, and each case states its expectation as built: the
// values a valid case decodes to (in the JSON form of `parcel decode`), and
// for an invalid one the rule it breaks, the byte where a decoder finds out
// and the field concerned.  Nothing is decoded here: the library, the tool
// and conformance/check.py are checked against these files.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <limits>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "kinds.h"

namespace {

using namespace parcel_tool;
using Bytes = std::vector<unsigned char>;

// ---- Values ----------------------------------------------------------------------------

template <class T, class Bits>
T from_bits(Bits bits)
{
    static_assert(sizeof(T) == sizeof(Bits));
    T value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

struct Sample {
    std::string label;
    Value value;
};

// Values every kind must carry exactly: its limits, signed zeros,
// infinities, a NaN with a payload, the smallest subnormal; for text every
// padding length, 4 KiB, and bytes beyond ASCII, UTF-8 or not.
std::vector<Sample> edges(Kind kind)
{
    switch (kind) {
    case Kind::k_int:
    case Kind::k_long:
        return {{"0", int32_t{0}},
                {"-1", int32_t{-1}},
                {"INT32_MIN", std::numeric_limits<int32_t>::min()},
                {"INT32_MAX", std::numeric_limits<int32_t>::max()}};
    case Kind::k_u_int:
    case Kind::k_u_long:
        return {{"0", uint32_t{0}}, {"2^31", uint32_t{1} << 31}, {"UINT32_MAX", std::numeric_limits<uint32_t>::max()}};
    case Kind::k_u_hyper:
        return {{"0", uint64_t{0}},
                {"2^53+1", (uint64_t{1} << 53) + 1},
                {"2^63", uint64_t{1} << 63},
                {"UINT64_MAX", std::numeric_limits<uint64_t>::max()}};
    case Kind::k_float:
        return {{"0", 0.0f},
                {"-0.0", -0.0f},
                {"inf", std::numeric_limits<float>::infinity()},
                {"-inf", -std::numeric_limits<float>::infinity()},
                {"NaN with payload 0x12345", from_bits<float>(uint32_t{0x7fc12345})},
                {"smallest subnormal", from_bits<float>(uint32_t{1})},
                {"largest finite", std::numeric_limits<float>::max()},
                {"0.1", 0.1f}};
    case Kind::k_double:
        return {{"0", 0.0},
                {"-0.0", -0.0},
                {"inf", std::numeric_limits<double>::infinity()},
                {"-inf", -std::numeric_limits<double>::infinity()},
                {"NaN with payload 0x12345", from_bits<double>(uint64_t{0x7ff8000000012345})},
                {"smallest subnormal", from_bits<double>(uint64_t{1})},
                {"largest finite", std::numeric_limits<double>::max()},
                {"2^53+1 (rounds to 2^53)", static_cast<double>((uint64_t{1} << 53) + 1)},
                {"0.1", 0.1}};
    case Kind::k_wrapstring: {
        std::string four_kib;
        for (int i = 0; i < 4096; ++i)
            four_kib += static_cast<char>('a' + i % 26);
        return {{"empty", std::string()},
                {"1 byte", std::string("a")},
                {"2 bytes", std::string("ab")},
                {"3 bytes", std::string("abc")},
                {"4 bytes", std::string("abcd")},
                {"5 bytes", std::string("abcde")},
                {"4 KiB", four_kib},
                {"UTF-8 beyond ASCII", std::string("gr\xc3\xbc\xc3\x9f" "e \xe2\x9c\x93")},
                {"bytes that are not UTF-8", std::string("\xff\xfe\x80" "ok")},
                {"control characters", std::string("tab\there\nline\x01")}};
    }
    }
    return {};
}

// An ordinary value for field `index`, different from field to field.
Value typical(const Field &field)
{
    const uint32_t i = field.index;
    switch (field.kind) {
    case Kind::k_int:
    case Kind::k_long: return static_cast<int32_t>(-1000 * static_cast<int32_t>(i) - 7);
    case Kind::k_u_int:
    case Kind::k_u_long: return 0x01020304u * (i + 1);
    case Kind::k_float: return 0.5f + static_cast<float>(i);
    case Kind::k_double: return -2.25 - static_cast<double>(i);
    case Kind::k_u_hyper: return (uint64_t{1} << 40) + i;
    case Kind::k_wrapstring: {
        static const char *const texts[] = {"a", "bc", "def", "ghij", "klmno"};
        return std::string(texts[i % 5]);
    }
    }
    return int32_t{0};
}

// ---- Writing bytes -----------------------------------------------------------------

// Where the items of a message lie, for truncating it: a `text` item holds
// a string's text and padding, the rest are words and doublewords.
struct Span {
    size_t offset;
    size_t size;
    bool text;
    const Field *field;
    const Arm *arm;
};

struct Message {
    Bytes bytes;
    std::vector<Span> spans;
};

class Writer {
public:
    explicit Writer(Message &out) : out_(out) {}

    void word(uint32_t bits, const Field *field = nullptr, const Arm *arm = nullptr) { put(bits, 4, field, arm); }

    void value(const Field &field, const Value &value, const Arm *arm)
    {
        std::visit(
            [&](const auto &v) {
                using V = std::decay_t<decltype(v)>;
                if constexpr (std::is_same_v<V, std::string>) {
                    const size_t padded = v.size() + (4 - v.size() % 4) % 4;
                    word(static_cast<uint32_t>(v.size()), &field, arm);
                    out_.spans.push_back({out_.bytes.size(), padded, true, &field, arm});
                    out_.bytes.insert(out_.bytes.end(), v.begin(), v.end());
                    out_.bytes.resize(out_.bytes.size() + padded - v.size(), 0);
                } else {
                    // The value's bits, big-endian: a word or a doubleword.
                    std::conditional_t<sizeof(V) == 8, uint64_t, uint32_t> bits;
                    std::memcpy(&bits, &v, sizeof bits);
                    put(bits, sizeof bits, &field, arm);
                }
            },
            value);
    }

private:
    void put(uint64_t bits, size_t size, const Field *field, const Arm *arm)
    {
        out_.spans.push_back({out_.bytes.size(), size, false, field, arm});
        for (size_t k = size; k-- > 0;)
            out_.bytes.push_back(static_cast<unsigned char>(bits >> (8 * k)));
    }

    Message &out_;
};

// The fields of a struct that a case sets, by index.
using Fields = std::map<uint32_t, Value>;

Message encode_struct(const Type &type, const Fields &fields, const Arm *arm = nullptr, Message out = {})
{
    Writer writer(out);
    uint32_t bits = 0;
    for (const auto &[index, value] : fields)
        bits |= 1u << index;
    writer.word(bits, nullptr, arm);
    for (const auto &[index, value] : fields)
        writer.value(type.fields[index], value, arm);
    return out;
}

Message encode_union(int32_t discriminant, const Arm *arm, const Fields &fields)
{
    Message out;
    Writer(out).word(static_cast<uint32_t>(discriminant));
    return arm == nullptr ? out : encode_struct(*arm->type, fields, arm, std::move(out));
}

// ---- Cases ----------------------------------------------------------------------------

std::string hex_of(const Bytes &bytes)
{
    static constexpr char digits[] = "0123456789abcdef";
    std::string out;
    for (const unsigned char byte : bytes) {
        out += digits[byte >> 4];
        out += digits[byte & 15];
    }
    return out;
}

// The decoded fields as `parcel decode` prints them.
json fields_json(const Type &type, const Fields &fields)
{
    json out = json::object();
    for (const Field &field : type.fields) {
        const auto found = fields.find(field.index);
        out[std::string(field.name)] =
            found == fields.end() ? json{{"absent", true}} : ops(field.kind).to_json(found->second);
    }
    return out;
}

class Corpus {
public:
    explicit Corpus(const Type &type) : type_(type) {}

    void valid(const std::string &name, const Bytes &bytes, size_t consumed, json decoded)
    {
        json line = head(name, bytes);
        line["verdict"] = "valid";
        line["consumed"] = consumed;
        line["decoded"] = std::move(decoded);
        lines_ += line.dump() + "\n";
    }

    void invalid(const std::string &name, const Bytes &bytes, std::string_view reason, size_t offset,
                 const Field *field, const Arm *arm)
    {
        json line = head(name, bytes);
        line["verdict"] = "invalid";
        line["reason"] = reason;
        line["offset"] = offset;
        if (arm != nullptr)
            line["arm"] = arm->name;
        if (field != nullptr)
            line["field"] = field->name;
        lines_ += line.dump() + "\n";
    }

    const std::string &text() const { return lines_; }

private:
    json head(const std::string &name, const Bytes &bytes) const
    {
        json line;
        line["type"] = type_.name;
        line["case"] = name;
        line["hex"] = hex_of(bytes);
        return line;
    }

    const Type &type_;
    std::string lines_;
};

// A message with every field of `type` set.
Fields every_field(const Type &type)
{
    Fields fields;
    for (const Field &field : type.fields)
        fields[field.index] = typical(field);
    return fields;
}

// The valid cases of a struct, as (name, fields).
std::vector<std::pair<std::string, Fields>> valid_structs(const Type &type)
{
    std::vector<std::pair<std::string, Fields>> cases{{"no field", {}}};
    if (type.fields.empty())
        return cases;
    cases.emplace_back("every field", every_field(type));
    for (const Field &field : type.fields)
        cases.emplace_back("only " + std::string(field.name), Fields{{field.index, typical(field)}});
    for (const Field &field : type.fields)
        for (const Sample &sample : edges(field.kind))
            cases.emplace_back(std::string(field.name) + " " + sample.label, Fields{{field.index, sample.value}});
    return cases;
}

// Invalid variations of a struct at `at` in a message that `wrap` completes
// (a union puts its discriminant in front): presence bits past the field
// count, and every way a string's length, text or padding can be wrong.
void invalid_structs(Corpus &corpus, const Type &type, const Arm *arm, const std::string &prefix)
{
    const auto wrap = [&](const Fields &fields) {
        return arm == nullptr ? encode_struct(type, fields) : encode_union(static_cast<int32_t>(arm->position), arm, fields);
    };
    const size_t at = arm == nullptr ? 0 : 4;
    const uint32_t count = static_cast<uint32_t>(type.fields.size());
    std::vector<uint32_t> bits;
    if (count < 32)
        bits.push_back(count);
    if (count < 31)
        bits.push_back(31);
    for (const uint32_t bit : bits) {
        Message message = wrap(every_field(type));
        message.bytes[at + 3 - bit / 8] |= static_cast<unsigned char>(1u << (bit % 8));
        corpus.invalid(prefix + "presence bit " + std::to_string(bit), message.bytes, "presence", at, nullptr, arm);
    }
    Message all_bits = wrap({});
    std::memset(all_bits.bytes.data() + at, 0xff, 4);
    corpus.invalid(prefix + "presence word 0xffffffff", all_bits.bytes, "presence", at, nullptr, arm);

    for (const Field &field : type.fields) {
        if (field.kind != Kind::k_wrapstring)
            continue;
        const std::string name(field.name);
        const auto string_case = [&](const std::string &text) {
            Message message = wrap(Fields{{field.index, text}});
            return std::pair{message.bytes, message.bytes.size() - text.size() - (4 - text.size() % 4) % 4};
        };
        // A length past the bytes left after it: by one, and the largest.
        for (const uint32_t length : {uint32_t{0}, std::numeric_limits<uint32_t>::max()}) {
            auto [bytes, text_at] = string_case("abc");
            const uint32_t claimed = length != 0 ? length : static_cast<uint32_t>(bytes.size() - text_at + 1);
            for (int k = 0; k < 4; ++k)
                bytes[text_at - 4 + k] = static_cast<unsigned char>(claimed >> (24 - 8 * k));
            corpus.invalid(prefix + name + " length " + std::to_string(claimed) + ", " +
                               std::to_string(bytes.size() - text_at) + " bytes left",
                           bytes, "length", text_at, &field, arm);
        }
        for (const std::string &text : {std::string("ab\0d", 4), std::string("\0", 1)}) {
            const auto [bytes, text_at] = string_case(text);
            const size_t nul = text.find('\0');
            corpus.invalid(prefix + name + " NUL at text byte " + std::to_string(nul) + " of " +
                               std::to_string(text.size()),
                           bytes, "nul", text_at + nul, &field, arm);
        }
        for (size_t length = 1; length <= 3; ++length)
            for (size_t k = 0; k < 4 - length; ++k) {
                auto [bytes, text_at] = string_case(std::string("xyz").substr(0, length));
                bytes[text_at + length + k] = 0x80;
                corpus.invalid(prefix + name + " text of " + std::to_string(length) + ", padding byte " +
                                   std::to_string(k) + " set",
                               bytes, "padding", text_at + length + k, &field, arm);
            }
    }
}

// Every truncation of `message`: the decoder finds out at the item it
// cannot finish, a string's text and padding by its length.
void truncations(Corpus &corpus, const Message &message, const std::string &of)
{
    for (size_t cut = 0; cut < message.bytes.size(); ++cut) {
        const Span *span = nullptr;
        for (const Span &candidate : message.spans)
            if (candidate.offset + candidate.size > cut) {
                span = &candidate;
                break;
            }
        corpus.invalid(of + " cut to " + std::to_string(cut) + " bytes",
                       Bytes(message.bytes.begin(), message.bytes.begin() + static_cast<ptrdiff_t>(cut)),
                       span->text ? "length" : "short", span->offset, span->field, span->arm);
    }
}

json union_decoded(const Arm *arm, int32_t discriminant, const Fields &fields)
{
    json decoded;
    decoded["discriminant"] = discriminant;
    decoded["arm"] = arm == nullptr ? std::string_view("none") : arm->name;
    if (arm != nullptr) {
        decoded["arm_type"] = arm->type->name;
        decoded["fields"] = fields_json(*arm->type, fields);
    }
    return decoded;
}

std::string corpus_of(const Type &type)
{
    Corpus corpus(type);
    static const Bytes trailing{0xde, 0xad, 0xbe};
    if (!type.is_union) {
        for (const auto &[name, fields] : valid_structs(type)) {
            const Bytes bytes = encode_struct(type, fields).bytes;
            corpus.valid(name, bytes, bytes.size(), {{"fields", fields_json(type, fields)}});
        }
        Bytes followed = encode_struct(type, every_field(type)).bytes;
        const size_t length = followed.size();
        followed.insert(followed.end(), trailing.begin(), trailing.end());
        corpus.valid("every field, then 3 bytes after the message", followed, length,
                     {{"fields", fields_json(type, every_field(type))}});

        invalid_structs(corpus, type, nullptr, "");
        truncations(corpus, encode_struct(type, every_field(type)), "every field");
        return corpus.text();
    }

    const Bytes none = encode_union(-1, nullptr, {}).bytes;
    corpus.valid("no arm", none, none.size(), union_decoded(nullptr, -1, {}));
    Bytes followed = none;
    followed.insert(followed.end(), trailing.begin(), trailing.end());
    corpus.valid("no arm, then 3 bytes after the message", followed, none.size(), union_decoded(nullptr, -1, {}));
    for (const Arm &arm : type.arms)
        for (const auto &[name, fields] : valid_structs(*arm.type)) {
            const auto position = static_cast<int32_t>(arm.position);
            const Bytes bytes = encode_union(position, &arm, fields).bytes;
            corpus.valid("arm " + std::string(arm.name) + ", " + name, bytes, bytes.size(),
                         union_decoded(&arm, position, fields));
        }

    const auto arms = static_cast<int64_t>(type.arms.size());
    for (const int64_t discriminant : {int64_t{-2}, arms, arms + 1, int64_t{std::numeric_limits<int32_t>::min()},
                                       int64_t{std::numeric_limits<int32_t>::max()}}) {
        const Bytes bytes = encode_union(static_cast<int32_t>(discriminant), nullptr, {}).bytes;
        corpus.invalid("discriminant " + std::to_string(discriminant), bytes, "discriminant", 0, nullptr, nullptr);
    }
    for (const Arm &arm : type.arms)
        invalid_structs(corpus, *arm.type, &arm, "arm " + std::string(arm.name) + ", ");
    // The truncations of the arm with the longest message.
    const Arm *longest = &type.arms.front();
    Message message;
    for (const Arm &arm : type.arms) {
        Message candidate = encode_union(static_cast<int32_t>(arm.position), &arm, every_field(*arm.type));
        if (candidate.bytes.size() > message.bytes.size()) {
            message = std::move(candidate);
            longest = &arm;
        }
    }
    truncations(corpus, message, "arm " + std::string(longest->name) + ", every field,");
    return corpus.text();
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return {};
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

} // namespace

int main(int argc, char **argv)
{
    const bool check = argc == 3 && std::string(argv[1]) == "--check";
    if (argc != 2 && !check) {
        std::cerr << "usage: parcel_corpus [--check] DIR\n";
        return 2;
    }
    const std::string dir = argv[argc - 1];
    int differing = 0;
    for (const Type &type : types()) {
        const std::string path = dir + "/" + std::string(type.name) + ".jsonl";
        const std::string text = corpus_of(type);
        if (check) {
            if (read_file(path) != text) {
                std::cerr << path << " differs from what the generator writes\n";
                ++differing;
            }
            continue;
        }
        std::ofstream out(path, std::ios::binary);
        out << text;
        if (!out.flush()) {
            std::cerr << "cannot write " << path << "\n";
            return 1;
        }
    }
    if (differing != 0)
        std::cerr << differing << " corpus files differ: a change to the wire format (or to the generator) must "
                  << "regenerate the corpus in the same commit; see docs/conformance.md\n";
    return differing == 0 ? 0 : 1;
}
