// Parsers and JSON printers of the eight field kinds.
#include "kinds.h"

#include <charconv>
#include <cmath>
#include <limits>

namespace parcel_tool {
namespace {

std::string quoted(std::string_view text) { return "'" + std::string(text) + "'"; }

// A leading '+' is accepted on numbers; std::from_chars does not take one.
std::string_view without_plus(std::string_view text)
{
    if (text.size() > 1 && text[0] == '+' && text[1] != '-')
        text.remove_prefix(1);
    return text;
}

// ---- Parsers ------------------------------------------------------------------

// Whole numbers: decimal, or hexadecimal after 0x, with an optional sign.
// The magnitude is read as 64 bits and then checked against I's range, so that
// "out of range" and "not a number" get their own messages.
template <class I>
Value parse_integer(std::string_view text)
{
    constexpr I lowest = std::numeric_limits<I>::min();
    constexpr I highest = std::numeric_limits<I>::max();
    const std::string range = "from " + std::to_string(lowest) + " to " + std::to_string(highest);

    std::string_view digits = without_plus(text);
    const bool negative = !digits.empty() && digits.front() == '-';
    if (negative)
        digits.remove_prefix(1);
    int base = 10;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        base = 16;
        digits.remove_prefix(2);
    }
    uint64_t magnitude = 0;
    const char *end = digits.data() + digits.size();
    const auto [stop, error] = std::from_chars(digits.data(), end, magnitude, base);
    if (digits.empty() || stop != end || error == std::errc::invalid_argument)
        throw UsageError(quoted(text) + " is not a whole number (expected one " + range + ")");

    uint64_t most_negative = 0;
    if constexpr (std::is_signed_v<I>)
        most_negative = uint64_t{0} - static_cast<uint64_t>(int64_t{lowest});
    const bool fits = error == std::errc{} &&
                      (negative ? magnitude <= most_negative : magnitude <= static_cast<uint64_t>(highest));
    if (!fits)
        throw UsageError(quoted(text) + " is out of range (expected a whole number " + range + ")");
    // Two's complement negation in 64 bits, then narrowed: exact for every
    // value that passed the range check.
    return static_cast<I>(negative ? uint64_t{0} - magnitude : magnitude);
}

// Decimal reals as std::from_chars reads them, plus inf, -inf and nan.
template <class F>
Value parse_real(std::string_view text)
{
    const std::string_view number = without_plus(text);
    F value{};
    const char *end = number.data() + number.size();
    const auto [stop, error] = std::from_chars(number.data(), end, value);
    if (number.empty() || stop != end || error == std::errc::invalid_argument)
        throw UsageError(quoted(text) + " is not a number (expected e.g. 0.5, -2e10, inf, -inf or nan)");
    if (error == std::errc::result_out_of_range)
        throw UsageError(quoted(text) + " is out of range (too large or too small for " +
                         (sizeof(F) == 4 ? "a float" : "a double") + ")");
    return value;
}

int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Text with the escapes \\ \n \t \r \0 and \xHH.  The wire format carries C
// text, so a NUL byte, however it was written, is refused.
Value parse_text(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            out += text[i];
            continue;
        }
        if (++i == text.size())
            throw UsageError(quoted(text) + " ends in a lone backslash (write \\\\ for one)");
        switch (text[i]) {
        case '\\': out += '\\'; break;
        case 'n': out += '\n'; break;
        case 't': out += '\t'; break;
        case 'r': out += '\r'; break;
        case '0': out += '\0'; break;
        case 'x': {
            const int high = i + 1 < text.size() ? hex_digit(text[i + 1]) : -1;
            const int low = i + 2 < text.size() ? hex_digit(text[i + 2]) : -1;
            if (high < 0 || low < 0)
                throw UsageError(quoted(text) + " has a \\x escape without two hex digits");
            out += static_cast<char>(high * 16 + low);
            i += 2;
            break;
        }
        default:
            throw UsageError(quoted(text) + " has an unknown escape \\" + std::string(1, text[i]) +
                             " (known: \\\\ \\n \\t \\r \\0 \\xHH)");
        }
    }
    if (out.find('\0') != std::string::npos)
        throw UsageError(quoted(text) + " holds a NUL byte, which a wrapstring cannot carry");
    return out;
}

// ---- Values from JSON ----------------------------------------------------------------
// Numbers go through the command-line parsers, as the JSON text of the number,
// so that range checks and messages are the same.

template <class I>
Value integer_from_json(const json &value)
{
    if (!value.is_number_integer())
        throw UsageError(value.dump() + " is not a whole number");
    return parse_integer<I>(value.dump());
}

template <class F>
Value real_from_json(const json &value)
{
    if (value.is_number())
        return parse_real<F>(value.dump());
    if (value.is_string())
        return parse_real<F>(value.get<std::string>());
    throw UsageError(value.dump() + " is not a number (expected e.g. 0.5, \"inf\", \"-inf\" or \"nan\")");
}

Value text_from_json(const json &value)
{
    std::string text;
    if (value.is_string()) {
        text = value.get<std::string>();
    } else if (value.is_object() && value.size() == 1 && value.contains("hex") && value.at("hex").is_string()) {
        const std::string hex = value.at("hex").get<std::string>();
        if (hex.size() % 2 != 0)
            throw UsageError("{\"hex\": ...} needs an even number of hex digits");
        for (size_t i = 0; i < hex.size(); i += 2) {
            const int high = hex_digit(hex[i]);
            const int low = hex_digit(hex[i + 1]);
            if (high < 0 || low < 0)
                throw UsageError("{\"hex\": ...} holds '" + hex.substr(i, 2) + "', which is not a hex byte");
            text += static_cast<char>(high * 16 + low);
        }
    } else {
        throw UsageError(value.dump() + " is not text (expected a string or {\"hex\": \"...\"})");
    }
    if (text.find('\0') != std::string::npos)
        throw UsageError("the text holds a NUL byte, which a wrapstring cannot carry");
    return text;
}

// ---- JSON printers ----------------------------------------------------------------

template <class I>
json integer_json(const Value &value)
{
    return std::get<I>(value);
}

template <class F>
json real_json(const Value &value)
{
    const F x = std::get<F>(value);
    if (std::isnan(x))
        return "nan";
    if (std::isinf(x))
        return x < 0 ? "-inf" : "inf";
    if constexpr (std::is_same_v<F, float>) {
        // JSON numbers are doubles: print the shortest decimal that reads
        // back as this float (0.1, not 0.100000001490116).
        char text[32];
        const auto written = std::to_chars(text, text + sizeof text, x);
        double shortest = 0;
        std::from_chars(text, written.ptr, shortest);
        return shortest;
    } else {
        return x;
    }
}

// Strict UTF-8 (RFC 3629): no overlong forms, no surrogates, nothing above
// U+10FFFF.  JSON strings must be UTF-8.
bool is_utf8(std::string_view s)
{
    static constexpr uint32_t smallest[] = {0, 0x80, 0x800, 0x10000};
    size_t i = 0;
    while (i < s.size()) {
        const auto lead = static_cast<unsigned char>(s[i]);
        size_t more;
        uint32_t code;
        if (lead < 0x80) {
            ++i;
            continue;
        } else if ((lead & 0xE0) == 0xC0) {
            more = 1, code = lead & 0x1F;
        } else if ((lead & 0xF0) == 0xE0) {
            more = 2, code = lead & 0x0F;
        } else if ((lead & 0xF8) == 0xF0) {
            more = 3, code = lead & 0x07;
        } else {
            return false;
        }
        if (s.size() - i <= more)
            return false;
        for (size_t k = 1; k <= more; ++k) {
            const auto next = static_cast<unsigned char>(s[i + k]);
            if ((next & 0xC0) != 0x80)
                return false;
            code = (code << 6) | (next & 0x3F);
        }
        if (code < smallest[more] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
            return false;
        i += more + 1;
    }
    return true;
}

json text_json(const Value &value)
{
    const std::string &text = std::get<std::string>(value);
    if (is_utf8(text))
        return text;
    static constexpr char digits[] = "0123456789abcdef";
    std::string hex;
    for (const unsigned char byte : text) {
        hex += digits[byte >> 4];
        hex += digits[byte & 15];
    }
    return json{{"hex", hex}};
}

// The parser and printers of a kind, chosen by its storage type.
template <class Storage>
constexpr KindOps ops_of()
{
    if constexpr (std::is_same_v<Storage, char *>)
        return {&parse_text, &text_from_json, &text_json};
    else if constexpr (std::is_floating_point_v<Storage>)
        return {&parse_real<Storage>, &real_from_json<Storage>, &real_json<Storage>};
    else
        return {&parse_integer<Storage>, &integer_from_json<Storage>, &integer_json<Storage>};
}

// Indexed by Kind.
#define PARCEL_TOOL_KIND_OPS(kind) ops_of<parcel::kind_##kind::type>(),
constexpr KindOps kKinds[] = {TYPETABLE_KINDS(PARCEL_TOOL_KIND_OPS)};
#undef PARCEL_TOOL_KIND_OPS

} // namespace

const KindOps &ops(Kind kind) { return kKinds[static_cast<size_t>(kind)]; }

} // namespace parcel_tool
