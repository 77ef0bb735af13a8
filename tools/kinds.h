// The eight field kinds as the tool sees them: how a value is written on the
// command line or in JSON, and how a value is printed as JSON.  One parser
// and one printer per kind.
#ifndef PARCEL_TOOLS_KINDS_H
#define PARCEL_TOOLS_KINDS_H

#include <stdexcept>
#include <string_view>

#include <nlohmann/json.hpp>

#include "typetable.h"

namespace parcel_tool {

using json = nlohmann::ordered_json;

// The table of the types, as the tool names its entries.
using typetable::Arm;
using typetable::Field;
using typetable::find_type;
using typetable::Kind;
using typetable::Type;
using typetable::types;
using typetable::Value;

// Input the user can fix: an unknown name, a malformed value, bad hex.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct KindOps {
    // Parses command-line text; throws UsageError saying what is wrong.
    Value (*parse)(std::string_view text);
    // Takes a value from JSON in the form to_json prints (numbers, "inf",
    // "-inf", "nan", text or {"hex": ...}); throws UsageError when it does
    // not fit the kind.
    Value (*from_json)(const json &value);
    // The value as JSON: numbers as numbers (non-finite ones as "inf",
    // "-inf", "nan"), text as a string, or {"hex": ...} when it is not UTF-8.
    json (*to_json)(const Value &value);
};

const KindOps &ops(Kind kind);

} // namespace parcel_tool

#endif // PARCEL_TOOLS_KINDS_H
