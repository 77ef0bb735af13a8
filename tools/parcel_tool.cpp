// parcel: lists, encodes, decodes and measures the message types of the
// parcel library from the command line.
//
//   parcel types [--json] [TYPE...]
//   parcel encode TYPE [--hex] field=value...
//   parcel encode TYPE [--hex] --json [FILE]
//   parcel decode TYPE [--hex | --raw] [--compact | --annotate | --all] [FILE]
//   parcel identify [--hex | --raw] [FILE]
//   parcel length TYPE field=value...
//   parcel help [SUBCOMMAND]
//
// Exit status: 0 on success, 2 for arguments the tool cannot use (an unknown
// subcommand, option, type, field or arm, a bad value, bad hex), 1 for bytes
// that are not a valid message and for input/output failures.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <new>
#include <optional>

#include <CLI/CLI.hpp>

#include "explain.h"
#include "messages.h"

namespace parcel_tool {
namespace {

constexpr int kUsageStatus = 2;
constexpr int kFailureStatus = 1;

// Bytes that are not a message of the type, or input that cannot be read.
struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

std::vector<std::string_view> type_names()
{
    std::vector<std::string_view> names;
    for (const Type &type : types())
        names.push_back(type.name);
    return names;
}

const Type &type_named(const std::string &name)
{
    if (const Type *type = find_type(name))
        return *type;
    const std::string_view near = closest(name, type_names());
    throw UsageError("unknown type '" + name + "'" +
                     (near.empty() ? "" : "; did you mean '" + std::string(near) + "'?") +
                     " ('parcel types' lists all " + std::to_string(types().size()) + ")");
}

// ---- Bytes in and out ---------------------------------------------------------------

std::vector<unsigned char> encode(const Type &type, const Draft &draft)
{
    const int length = type.length(draft.record());
    if (length < 0)
        throw Failure("this " + std::string(type.name) + " cannot be encoded");
    std::vector<unsigned char> bytes(static_cast<size_t>(length));
    const int32_t written = type.encode(draft.record(), bytes.data(), static_cast<uint32_t>(bytes.size()));
    if (written != length)
        throw Failure("encoding " + std::string(type.name) + " wrote " + std::to_string(written) +
                      " bytes where its length routine promised " + std::to_string(length));
    return bytes;
}

std::string hex_of(const std::vector<unsigned char> &bytes)
{
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string out;
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (i != 0)
            out += ' ';
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 15];
    }
    return out;
}

int hex_value(unsigned char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    c = static_cast<unsigned char>(c | 0x20);
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

bool is_blank(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Hex digits in pairs; white space may separate bytes, not split one.
std::vector<unsigned char> bytes_of_hex(const std::vector<unsigned char> &text)
{
    std::vector<unsigned char> bytes;
    size_t i = 0;
    while (i < text.size()) {
        if (is_blank(text[i])) {
            ++i;
            continue;
        }
        const size_t start = i;
        for (; i < text.size() && !is_blank(text[i]); ++i)
            if (hex_value(text[i]) < 0) {
                const bool printable = text[i] >= 0x20 && text[i] < 0x7F;
                throw UsageError("bad hex input: " +
                                 (printable ? "'" + std::string(1, static_cast<char>(text[i])) + "'"
                                            : "byte " + std::to_string(text[i])) +
                                 " at offset " + std::to_string(i) + " is not a hex digit");
            }
        if ((i - start) % 2 != 0)
            throw UsageError("bad hex input: '" + std::string(text.begin() + start, text.begin() + i) +
                             "' at offset " + std::to_string(start) + " has an odd number of hex digits");
        for (size_t k = start; k < i; k += 2)
            bytes.push_back(static_cast<unsigned char>(hex_value(text[k]) * 16 + hex_value(text[k + 1])));
    }
    return bytes;
}

// Every encoding starts with a presence word or discriminant holding a zero
// or 0xFF byte, so input that is all printable text is taken to be hex.
bool looks_like_hex(const std::vector<unsigned char> &input)
{
    return !input.empty() &&
           std::all_of(input.begin(), input.end(), [](unsigned char c) { return is_blank(c) || (c >= 0x20 && c < 0x7F); });
}

std::vector<unsigned char> read_all(const std::string &path)
{
    const bool standard_input = path.empty() || path == "-";
    std::FILE *file = standard_input ? stdin : std::fopen(path.c_str(), "rb");
    if (file == nullptr)
        throw Failure("cannot open " + path + ": " + std::strerror(errno));
    std::vector<unsigned char> bytes;
    unsigned char chunk[65536];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0)
        bytes.insert(bytes.end(), chunk, chunk + got);
    const bool failed = std::ferror(file) != 0;
    if (!standard_input)
        std::fclose(file);
    if (failed)
        throw Failure("cannot read " + (standard_input ? std::string("standard input") : path));
    return bytes;
}

void write_all(const void *data, size_t size)
{
    if (std::fwrite(data, 1, size, stdout) != size || std::fflush(stdout) != 0)
        throw Failure("cannot write to standard output");
}

void write_line(const std::string &line)
{
    const std::string text = line + "\n";
    write_all(text.data(), text.size());
}

// ---- Subcommands ----------------------------------------------------------------------

json type_json(const Type &type)
{
    json out;
    out["name"] = type.name;
    out["group"] = type.group;
    out["kind"] = type.is_union ? "union" : "struct";
    if (type.is_union) {
        out["arms"] = json::array();
        for (const Arm &arm : type.arms)
            out["arms"].push_back({{"position", arm.position}, {"name", arm.name}, {"type", arm.type->name}});
    } else {
        out["fields"] = json::array();
        for (const Field &field : type.fields)
            out["fields"].push_back(
                {{"index", field.index}, {"name", field.name}, {"kind", typetable::info(field.kind).name}});
    }
    return out;
}

std::string type_text(const Type &type)
{
    const size_t count = type.is_union ? type.arms.size() : type.fields.size();
    std::string out = std::string(type.name) + "  " + (type.is_union ? "union, " : "struct, ") +
                      std::to_string(count) + (type.is_union ? " arm" : " field") + (count == 1 ? "" : "s") + "\n";
    size_t width = 0;
    for (const Field &field : type.fields)
        width = std::max(width, field.name.size());
    for (const Arm &arm : type.arms)
        width = std::max(width, arm.name.size());
    const auto row = [&](uint32_t number, std::string_view name, std::string_view detail) {
        out += "  " + std::to_string(number) + "  " + std::string(name) + std::string(width - name.size() + 2, ' ') +
               std::string(detail) + "\n";
    };
    for (const Field &field : type.fields)
        row(field.index, field.name, typetable::info(field.kind).name);
    for (const Arm &arm : type.arms)
        row(arm.position, arm.name, arm.type->name);
    return out;
}

void list_types(const std::vector<std::string> &names, bool as_json)
{
    std::vector<const Type *> chosen;
    for (const std::string &name : names)
        chosen.push_back(&type_named(name));
    if (names.empty())
        for (const Type &type : types())
            chosen.push_back(&type);

    if (as_json) {
        json out = json::array();
        for (const Type *type : chosen)
            out.push_back(type_json(*type));
        write_line(out.dump(2));
        return;
    }
    std::string out;
    for (const Type *type : chosen)
        out += (out.empty() ? "" : "\n") + type_text(*type);
    write_all(out.data(), out.size());
}

void encode_command(const std::string &type_name, const std::vector<std::string> &arguments, bool as_hex,
                    bool from_json)
{
    const Type &type = type_named(type_name);
    std::optional<Draft> draft;
    if (from_json) {
        if (arguments.size() > 1)
            throw UsageError("--json takes one file (or standard input), not field=value pairs");
        const std::vector<unsigned char> text = read_all(arguments.empty() ? "" : arguments.front());
        const json document = json::parse(text.begin(), text.end(), nullptr, false);
        if (document.is_discarded())
            throw UsageError("the input is not a JSON document");
        draft.emplace(type, document);
    } else {
        draft.emplace(type, arguments);
    }
    const std::vector<unsigned char> bytes = encode(type, *draft);
    if (as_hex)
        write_line(hex_of(bytes));
    else
        write_all(bytes.data(), bytes.size());
}

void length_command(const std::string &type_name, const std::vector<std::string> &arguments)
{
    const Type &type = type_named(type_name);
    const Draft draft(type, arguments);
    const int length = type.length(draft.record());
    if (length < 0)
        throw Failure("this " + std::string(type.name) + " cannot be encoded");
    write_line(std::to_string(length));
}

enum class InputForm { detect, hex, raw };

std::vector<unsigned char> read_input(const std::string &path, InputForm form)
{
    std::vector<unsigned char> bytes = read_all(path);
    if (form == InputForm::hex || (form == InputForm::detect && looks_like_hex(bytes)))
        bytes = bytes_of_hex(bytes);
    if (bytes.size() > UINT32_MAX)
        throw Failure("the input is larger than a message can be (" + std::to_string(bytes.size()) + " bytes)");
    return bytes;
}

// What is wrong with bytes the type's decoder refused: the field, the
// offset and the rule, with the rule's reason code.
std::string diagnosis(const Walk &result, size_t size)
{
    if (result.valid) // the bytes are sound: the decoder ran out of memory
        return "decoding " + std::to_string(size) + " bytes failed although they are well-formed";
    return result.explanation + " [" + std::string(code_of(result.rule)) + "]";
}

// Decodes one message at the start of `bytes`: its JSON, or a Failure that
// says why not, after `context`.
json decode_one(const Type &type, const unsigned char *bytes, size_t size, const std::string &context)
{
    void *record = nullptr;
    const int32_t consumed = type.decode(bytes, static_cast<uint32_t>(size), &record);
    if (consumed < 0)
        throw Failure(context + "not a valid " + std::string(type.name) + ": " + diagnosis(walk(type, bytes, size), size));
    const auto release = [&type](void *decoded) { type.free_p(&decoded); };
    const std::unique_ptr<void, decltype(release)> owned(record, release);
    json out;
    out["type"] = type.name;
    out["bytes_given"] = size;
    out["bytes_consumed"] = consumed;
    describe(type, record, out);
    return out;
}

enum class DecodeForm { json, compact, annotate, all };

void decode_command(const std::string &type_name, const std::string &path, InputForm input, DecodeForm form)
{
    const Type &type = type_named(type_name);
    const std::vector<unsigned char> bytes = read_input(path, input);
    switch (form) {
    case DecodeForm::json:
    case DecodeForm::compact:
        write_line(decode_one(type, bytes.data(), bytes.size(), "").dump(form == DecodeForm::compact ? -1 : 2));
        return;
    case DecodeForm::annotate: {
        const Walk result = walk(type, bytes.data(), bytes.size());
        const std::string view = annotate(type, bytes.data(), bytes.size(), result);
        write_all(view.data(), view.size());
        if (!result.valid)
            throw Failure("not a valid " + std::string(type.name) + ": " + diagnosis(result, bytes.size()));
        return;
    }
    case DecodeForm::all:
        // Messages back to back: one JSON line each, with its offset in the
        // stream; the first that does not decode ends the run.
        for (size_t offset = 0, number = 1; offset < bytes.size(); ++number) {
            json line = decode_one(type, bytes.data() + offset, bytes.size() - offset,
                                   "message " + std::to_string(number) + " at offset " + std::to_string(offset) +
                                       " (offsets below count from its first byte) is ");
            const size_t consumed = line["bytes_consumed"].get<size_t>();
            line.erase("bytes_given");
            line["offset"] = offset;
            write_line(line.dump());
            offset += consumed;
        }
        return;
    }
}

// Lists the types that the bytes decode as: whole ones (every byte
// consumed) first, then those that leave bytes over, longest first.
void identify_command(const std::string &path, InputForm input)
{
    const std::vector<unsigned char> bytes = read_input(path, input);
    const auto found = typetable::identify(bytes.data(), bytes.size());
    if (found.empty())
        throw Failure("none of the " + std::to_string(types().size()) + " types decodes these " +
                      std::to_string(bytes.size()) + " bytes");
    size_t width = 0;
    for (const auto &[type, consumed] : found)
        width = std::max(width, type->name.size());
    std::string out;
    for (const auto &[type, consumed] : found)
        out += std::string(static_cast<size_t>(consumed) == bytes.size() ? "whole    " : "partial  ") +
               std::string(type->name) + std::string(width - type->name.size() + 2, ' ') + std::to_string(consumed) +
               " of " + std::to_string(bytes.size()) + " bytes\n";
    write_all(out.data(), out.size());
}

// `parcel help SUBCOMMAND` prints what `parcel SUBCOMMAND --help` prints, and
// `parcel help` what `parcel --help` prints.
void help_command(const CLI::App &app, const std::string &topic)
{
    std::string text;
    if (topic.empty()) {
        text = app.get_formatter()->make_help(&app, app.get_name(), CLI::AppFormatMode::Normal);
    } else {
        const std::vector<const CLI::App *> commands = app.get_subcommands([](const CLI::App *) { return true; });
        const auto named = std::find_if(commands.begin(), commands.end(),
                                        [&](const CLI::App *command) { return command->get_name() == topic; });
        if (named == commands.end()) {
            std::string names;
            for (const CLI::App *command : commands)
                names += (names.empty() ? "" : ", ") + command->get_name();
            throw UsageError("no subcommand '" + topic + "' (there are " + names + ")");
        }
        text = (*named)->help(app.get_name());
    }
    write_all(text.data(), text.size());
}

int run(int argc, char **argv)
{
    CLI::App app{"Encodes, decodes and measures the message types of the parcel library.\n"
                 "Exit status: 0 success, 2 unusable arguments, 1 invalid bytes or I/O failure."};
    app.set_version_flag("--version", PARCEL_TOOL_VERSION);
    app.require_subcommand(1);
    const std::string values_help =
        "Values: int/long/u_int/u_long/u_hyper as whole numbers (decimal, or 0x hex); float/double as "
        "decimals or inf, -inf, nan; wrapstring as text with the escapes \\\\ \\n \\t \\r \\xHH (no NUL). "
        "Fields left out stay absent. For a union, arm=<name> chooses the arm (arm=none or no arm: "
        "discriminant -1) and the other pairs fill the arm's record.\n";

    std::vector<std::string> listed;
    bool types_json = false;
    CLI::App *types_app = app.add_subcommand("types", "List the types with their fields or arms");
    types_app->add_option("type", listed, "Only these types");
    types_app->add_flag("--json", types_json, "Print JSON");

    std::string type_name;
    std::vector<std::string> arguments;
    bool as_hex = false;
    bool from_json = false;
    CLI::App *encode_app = app.add_subcommand("encode", "Write a message's encoding to standard output");
    encode_app->add_option("type", type_name, "Type name, as 'parcel types' lists it")->required();
    encode_app->add_option("fields", arguments, "field=value pairs (with --json: the JSON file, default standard input)");
    encode_app->add_flag("--hex", as_hex, "Write hex digits instead of raw bytes");
    encode_app->add_flag("--json", from_json,
                         "Read the message as JSON: what 'parcel decode' prints, or its \"fields\" object alone");
    encode_app->footer(values_help);

    CLI::App *length_app = app.add_subcommand("length", "Print the length of a message's encoding");
    length_app->add_option("type", type_name, "Type name, as 'parcel types' lists it")->required();
    length_app->add_option("fields", arguments, "field=value pairs");
    length_app->footer(values_help);

    std::string path;
    bool hex_input = false;
    bool raw_input = false;
    const auto add_input = [&](CLI::App *command) {
        command->add_option("file", path, "Input file (default: standard input)");
        CLI::Option *hex_flag = command->add_flag("--hex", hex_input, "The input is hex digits");
        CLI::Option *raw_flag = command->add_flag("--raw", raw_input, "The input is raw bytes");
        hex_flag->excludes(raw_flag);
    };
    const std::string input_help = "Without --hex or --raw, input that is all printable text is read as hex "
                                   "(white space between bytes is ignored), anything else as raw bytes.";

    bool compact = false;
    bool annotated = false;
    bool stream = false;
    CLI::App *decode_app = app.add_subcommand("decode", "Decode a message and print it as JSON");
    decode_app->add_option("type", type_name, "Type name, as 'parcel types' lists it")->required();
    add_input(decode_app);
    CLI::Option *compact_flag = decode_app->add_flag("--compact", compact, "Print the JSON on one line");
    CLI::Option *annotate_flag = decode_app->add_flag(
        "--annotate", annotated, "Show the bytes in hex beside the fields they carry, up to the first bad byte");
    CLI::Option *all_flag = decode_app->add_flag(
        "--all", stream, "Decode messages back to back until the input ends, one JSON line each");
    annotate_flag->excludes(compact_flag)->excludes(all_flag);
    compact_flag->excludes(all_flag);
    decode_app->footer(input_help + " Bytes after the message are ignored; bytes_consumed says where it ended. "
                                    "Bytes that are not a valid message get the field, the offset and the rule "
                                    "they break, with its reason code (docs/conformance.md).\n");

    CLI::App *identify_app =
        app.add_subcommand("identify", "List the types that the bytes decode as, whole ones first");
    add_input(identify_app);
    identify_app->footer(input_help + "\n");

    std::string help_topic;
    CLI::App *help_app = app.add_subcommand("help", "Print the help of a subcommand, or this help");
    help_app->add_option("subcommand", help_topic, "The subcommand");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &error) {
        // --help and --version succeed; a command line the parser refuses is
        // unusable arguments, whatever code the parser gives it.
        return app.exit(error) == 0 ? 0 : kUsageStatus;
    }

    const InputForm input = hex_input ? InputForm::hex : raw_input ? InputForm::raw : InputForm::detect;
    try {
        if (*help_app)
            help_command(app, help_topic);
        else if (*types_app)
            list_types(listed, types_json);
        else if (*encode_app)
            encode_command(type_name, arguments, as_hex, from_json);
        else if (*length_app)
            length_command(type_name, arguments);
        else if (*decode_app)
            decode_command(type_name, path, input,
                           annotated ? DecodeForm::annotate
                           : stream  ? DecodeForm::all
                           : compact ? DecodeForm::compact
                                     : DecodeForm::json);
        else if (*identify_app)
            identify_command(path, input);
        return 0;
    } catch (const UsageError &error) {
        std::cerr << "parcel: " << error.what() << "\n";
        return kUsageStatus;
    } catch (const Failure &error) {
        std::cerr << "parcel: " << error.what() << "\n";
        return kFailureStatus;
    } catch (const std::bad_alloc &) {
        std::cerr << "parcel: out of memory\n";
        return kFailureStatus;
    } catch (const std::exception &error) {
        std::cerr << "parcel: internal error: " << error.what() << "\n";
        return kFailureStatus;
    }
}

} // namespace
} // namespace parcel_tool

int main(int argc, char **argv) { return parcel_tool::run(argc, argv); }
