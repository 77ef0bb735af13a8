// Building records from arguments and describing records as JSON.
#include "messages.h"

#include <algorithm>
#include <new>
#include <numeric>

namespace parcel_tool {
namespace {

std::string joined(const std::vector<std::string_view> &names)
{
    std::string out;
    for (const std::string_view name : names)
        out += (out.empty() ? "" : ", ") + std::string(name);
    return out;
}

std::vector<std::string_view> field_names(const Type &type)
{
    std::vector<std::string_view> names;
    for (const Field &field : type.fields)
        names.push_back(field.name);
    return names;
}

std::vector<std::string_view> arm_names(const Type &type)
{
    std::vector<std::string_view> names;
    for (const Arm &arm : type.arms)
        names.push_back(arm.name);
    return names;
}

std::string suggestion(std::string_view name, const std::vector<std::string_view> &candidates)
{
    const std::string_view near = closest(name, candidates);
    return near.empty() ? "" : "; did you mean '" + std::string(near) + "'?";
}

// Splits "field=value" arguments, refusing malformed and repeated names.
std::vector<std::pair<std::string, std::string>> split(const std::vector<std::string> &arguments)
{
    std::vector<std::pair<std::string, std::string>> pairs;
    for (const std::string &argument : arguments) {
        const size_t equals = argument.find('=');
        if (equals == std::string::npos || equals == 0)
            throw UsageError("expected field=value, got '" + argument + "'");
        std::string name = argument.substr(0, equals);
        for (const auto &[seen, value] : pairs)
            if (seen == name)
                throw UsageError("'" + name + "' is given twice");
        pairs.emplace_back(std::move(name), argument.substr(equals + 1));
    }
    return pairs;
}

const Arm *arm_named(const Type &type, const std::string &arm_name)
{
    if (arm_name == "none")
        return nullptr;
    if (const Arm *arm = type.find_arm(arm_name))
        return arm;
    throw UsageError(std::string(type.name) + " has no arm '" + arm_name + "'" + suggestion(arm_name, arm_names(type)) +
                     " (its arms: " + joined(arm_names(type)) + ", or none)");
}

// The arm a JSON document of a union names by "arm", by "discriminant" or by
// both (which must then agree).
const Arm *arm_of_document(const Type &type, const json &document)
{
    const Arm *by_name = nullptr;
    const bool named = document.contains("arm");
    if (named) {
        if (!document["arm"].is_string())
            throw UsageError("\"arm\" must be an arm's name or \"none\", not " + document["arm"].dump());
        by_name = arm_named(type, document["arm"].get<std::string>());
    }
    if (!document.contains("discriminant")) {
        if (!named)
            throw UsageError("a " + std::string(type.name) + " needs \"arm\" (one of " + joined(arm_names(type)) +
                             ", or none) or \"discriminant\"");
        return by_name;
    }
    const json &discriminant = document["discriminant"];
    const bool whole = discriminant.is_number_integer();
    const int64_t position = whole ? discriminant.get<int64_t>() : -2;
    if (!whole || position < -1 || position >= static_cast<int64_t>(type.arms.size()))
        throw UsageError("\"discriminant\" " + discriminant.dump() + " selects no arm of " + std::string(type.name) +
                         " (0 to " + std::to_string(type.arms.size() - 1) + ", or -1 for none)");
    const Arm *by_position = position < 0 ? nullptr : &type.arms[static_cast<size_t>(position)];
    if (named && by_position != by_name)
        throw UsageError("\"discriminant\" " + discriminant.dump() + " and \"arm\" " + document["arm"].dump() +
                         " name different arms");
    return by_position;
}

json fields_json(const Type &type, const void *record)
{
    json fields = json::object();
    for (const Field &field : type.fields) {
        const std::string name(field.name);
        if (!field.has(record)) {
            fields[name] = json{{"absent", true}};
            continue;
        }
        const Value value = typetable::load(field.kind, static_cast<const char *>(record) + field.offset);
        fields[name] = ops(field.kind).to_json(value);
    }
    return fields;
}

size_t edit_distance(std::string_view a, std::string_view b)
{
    std::vector<size_t> row(b.size() + 1);
    std::iota(row.begin(), row.end(), size_t{0});
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

} // namespace

// ---- Draft ------------------------------------------------------------------------

Draft::Draft(const Type &type, const std::vector<std::string> &arguments)
{
    auto pairs = split(arguments);
    const Arm *arm = nullptr;
    if (type.is_union) {
        // "arm" names the arm; the rest belongs to the arm's record.
        const auto chosen = std::find_if(pairs.begin(), pairs.end(), [](const auto &pair) { return pair.first == "arm"; });
        if (chosen != pairs.end()) {
            arm = arm_named(type, chosen->second);
            pairs.erase(chosen);
        }
    }
    std::vector<Given> given;
    for (auto &[name, text] : pairs)
        given.push_back({std::move(name), std::move(text), nullptr});
    build(type, arm, given);
}

Draft::Draft(const Type &type, const json &document)
{
    if (!document.is_object())
        throw UsageError("expected a JSON object as 'parcel decode' prints it, not " + document.dump());
    const bool whole = document.contains("fields") || document.contains("arm") || document.contains("discriminant");
    if (whole && document.contains("type") && document["type"] != type.name)
        throw UsageError("the document is a " + document["type"].dump() + ", not a " + std::string(type.name));
    if (type.is_union && !whole)
        throw UsageError("a " + std::string(type.name) + " needs the whole document, with \"arm\" and \"fields\"");
    const Arm *arm = type.is_union ? arm_of_document(type, document) : nullptr;

    static const json no_fields = json::object();
    const json &fields = whole ? (document.contains("fields") ? document["fields"] : no_fields) : document;
    if (!fields.is_object())
        throw UsageError("\"fields\" must be an object of field names and values, not " + fields.dump());
    std::vector<Given> given;
    for (const auto &[name, value] : fields.items()) {
        if (value.is_object() && value.contains("absent")) {
            if (value.size() != 1 || value["absent"] != true)
                throw UsageError("field '" + name + "': an absent field is written {\"absent\": true}");
            continue;
        }
        given.push_back({name, "", &value});
    }
    build(type, arm, given);
}

void Draft::build(const Type &type, const Arm *arm, const std::vector<Given> &given)
{
    if (!type.is_union) {
        record_.create(type);
        fill(type, record_.record, given, type.name);
        return;
    }
    if (arm == nullptr && !given.empty())
        throw UsageError("'" + given.front().name + "' needs an arm of " + std::string(type.name) +
                         ": give arm=<name>, one of " + joined(arm_names(type)));

    record_.create(type);
    if (arm == nullptr) {
        type.select_arm(record_.record, -1, nullptr);
        return;
    }
    arm_.create(*arm->type);
    const std::string owner = std::string(arm->name) + " (" + std::string(arm->type->name) + ")";
    fill(*arm->type, arm_.record, given, owner);
    type.select_arm(record_.record, static_cast<int32_t>(arm->position), arm_.record);
}

void Draft::fill(const Type &record_type, void *record, const std::vector<Given> &given, std::string_view owner)
{
    // Every value is parsed before any is set, and values_ is not resized
    // afterwards: the record keeps pointers to the text.
    std::vector<const Field *> fields;
    values_.reserve(given.size());
    for (const Given &item : given) {
        const Field *field = record_type.find_field(item.name);
        if (field == nullptr) {
            if (record_type.fields.empty())
                throw UsageError(std::string(owner) + " has no fields, so not '" + item.name + "'");
            throw UsageError(std::string(owner) + " has no field '" + item.name + "'" +
                             suggestion(item.name, field_names(record_type)) + " (its fields: " +
                             joined(field_names(record_type)) + ")");
        }
        const KindOps &kind = ops(field->kind);
        try {
            values_.push_back(item.value != nullptr ? kind.from_json(*item.value) : kind.parse(item.text));
        } catch (const UsageError &error) {
            throw UsageError("bad value for " + item.name + " (" + std::string(typetable::info(field->kind).name) +
                             "): " + error.what());
        }
        fields.push_back(field);
    }
    for (size_t i = 0; i < fields.size(); ++i)
        if (!fields[i]->set(record, values_[i]))
            throw std::logic_error("the record refused field " + std::string(fields[i]->name));
}

// ---- Describing ---------------------------------------------------------------------

void describe(const Type &type, const void *record, json &out)
{
    if (!type.is_union) {
        out["fields"] = fields_json(type, record);
        return;
    }
    const int32_t discriminant = type.discriminant(record);
    out["discriminant"] = discriminant;
    if (discriminant < 0 || static_cast<size_t>(discriminant) >= type.arms.size()) {
        out["arm"] = "none";
        return;
    }
    const Arm &arm = type.arms[static_cast<size_t>(discriminant)];
    out["arm"] = arm.name;
    out["arm_type"] = arm.type->name;
    out["fields"] = fields_json(*arm.type, type.arm_record(record));
}

std::string_view closest(std::string_view name, const std::vector<std::string_view> &candidates)
{
    std::string_view best;
    size_t best_distance = std::max<size_t>(2, name.size() / 3) + 1;
    for (const std::string_view candidate : candidates) {
        const size_t distance = edit_distance(name, candidate);
        if (distance < best_distance) {
            best = candidate;
            best_distance = distance;
        }
    }
    return best;
}

} // namespace parcel_tool
