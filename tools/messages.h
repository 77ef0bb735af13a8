// Records as the tool makes and shows them: a record built from field=value
// arguments, and a record described as JSON.
#ifndef PARCEL_TOOLS_MESSAGES_H
#define PARCEL_TOOLS_MESSAGES_H

#include <string>
#include <string_view>
#include <vector>

#include "kinds.h"

namespace parcel_tool {

// A record of `type` on the default heap with the fields named by
// "field=value" arguments; other fields stay absent.  For a union,
// "arm=<name>" chooses the arm (none when absent or "none") and the other
// arguments fill the arm's record.  The record points into the parsed values,
// which the draft keeps; only the records are released, since the draft owns
// the text.  Throws UsageError for an unknown field or arm, a malformed
// argument or a value that does not fit its field's kind.
class Draft {
public:
    Draft(const Type &type, const std::vector<std::string> &arguments);
    // The same from JSON as describe() writes it: a document with "fields"
    // (for a union "arm" or "discriminant", and the arm's "fields"), or a
    // struct's "fields" object alone.  {"absent": true} leaves a field out.
    Draft(const Type &type, const json &document);
    Draft(const Draft &) = delete;
    Draft &operator=(const Draft &) = delete;

    const void *record() const { return record_.record; }

private:
    using Owned = typetable::OwnedRecord;

    // A field's name and its value as given: command-line text, or JSON.
    struct Given {
        std::string name;
        std::string text;
        const json *value = nullptr;
    };

    // Makes the record, with `arm` chosen for a union (null: none).
    void build(const Type &type, const Arm *arm, const std::vector<Given> &given);
    void fill(const Type &record_type, void *record, const std::vector<Given> &given, std::string_view owner);

    std::vector<Value> values_; // declared first: released last
    Owned record_;
    Owned arm_;
};

// Appends the record's contents to `out`: "fields" with every field by
// name, its value or {"absent": true}; for a union "discriminant", "arm" (its
// name, or "none"), "arm_type" and the arm record's "fields".
void describe(const Type &type, const void *record, json &out);

// The candidate closest to `name` in spelling, or "" when none is close.
std::string_view closest(std::string_view name, const std::vector<std::string_view> &candidates);

} // namespace parcel_tool

#endif // PARCEL_TOOLS_MESSAGES_H
