// The eight field kinds as the tool sees them: how a value is written on the
// command line, how a field's storage is read, and how a value is printed as
// JSON.  One parser and one printer per kind.
#ifndef PARCEL_TOOLS_KINDS_H
#define PARCEL_TOOLS_KINDS_H

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>

#include <nlohmann/json.hpp>

#include "records/records.h"

namespace parcel_tool {

using json = nlohmann::ordered_json;

// Spelled k_<kind> after the catalogue's kind names, some of which are C++
// keywords.
enum class Kind { k_int, k_long, k_u_int, k_u_long, k_float, k_double, k_u_hyper, k_wrapstring };

// A field value: the storage type of its kind (int and long share int32_t,
// u_int and u_long share uint32_t), strings as owned text.
using Value = std::variant<int32_t, uint32_t, float, double, uint64_t, std::string>;

// Input the user can fix: an unknown name, a malformed value, bad hex.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct KindOps {
    std::string_view name;
    // Parses command-line text; throws UsageError saying what is wrong.
    Value (*parse)(std::string_view text);
    // Takes a value from JSON in the form to_json prints (numbers, "inf",
    // "-inf", "nan", text or {"hex": ...}); throws UsageError when it does
    // not fit the kind.
    Value (*from_json)(const json &value);
    // Reads a field's storage (the address of the field in its record).
    Value (*load)(const void *field);
    // The value as JSON: numbers as numbers (non-finite ones as "inf",
    // "-inf", "nan"), text as a string, or {"hex": ...} when it is not UTF-8.
    json (*to_json)(const Value &value);
};

const KindOps &ops(Kind kind);

// A value as the argument of a record's set_<field> for kind K: the storage
// value itself, or for text a pointer into the Value (which must outlive the
// record's use of it).
template <class K>
typename K::param as_param(const Value &value)
{
    if constexpr (std::is_same_v<typename K::type, char *>)
        return std::get<std::string>(value).c_str();
    else
        return std::get<typename K::type>(value);
}

} // namespace parcel_tool

#endif // PARCEL_TOOLS_KINDS_H
