// Writes what libparcel's build makes of catalogue.def as text:
//
//   parcel_generate version-script NODE FILE
//       the linker version script: every routine the library exports (the
//       twenty of each type and the three of each message), under the version
//       node NODE, and nothing else;
//   parcel_generate headers DIR
//       the public headers DIR/parcel_api.h (the message API, for C) and
//       DIR/records.h (every record class and routine, for C++), with every
//       structure, class, member and prototype spelled out for the reader.
//
// The library compiles against the headers written here and checks them
// against the catalogue's own expansion (records/layout_check.h), so they
// cannot describe anything but what is built.  The text depends on the
// catalogue alone: no size, offset or other property of the machine the
// program runs on, no date and no path, so that the headers are the same
// bytes on every architecture.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// ---- The catalogue, as data -------------------------------------------------------

struct Field {
    unsigned index;
    const char *kind;
    const char *name;
};

struct Arm {
    unsigned position;
    const char *name;
    const char *type;
};

struct Entry {
    enum What { kStruct, kUnion, kMessage } what;
    const char *group;  // a struct or union: its group
    const char *name;   // the type, or the message
    const char *record; // a message: its record type
    unsigned optional;  // a message: fields read only when carried
    std::vector<Field> fields;
    std::vector<Arm> arms;
};

#define PARCEL_FIELD_ENTRY(index, kind, name) {index, #kind, #name},
#define PARCEL_ARM_ENTRY(position, arm, A) {position, #arm, #A},
#define PARCEL_STRUCT(group, T, FIELDS) {Entry::kStruct, #group, #T, nullptr, 0, {FIELDS(PARCEL_FIELD_ENTRY)}, {}},
#define PARCEL_UNION(group, U, ARMS) {Entry::kUnion, #group, #U, nullptr, 0, {}, {ARMS(PARCEL_ARM_ENTRY)}},
#define PARCEL_MESSAGE(msg, T, OPTIONAL) {Entry::kMessage, nullptr, #msg, #T, OPTIONAL, {}, {}},
const std::vector<Entry> kCatalogue = {
#include "records/catalogue.def"
};
#undef PARCEL_FIELD_ENTRY
#undef PARCEL_ARM_ENTRY

const char *const kGroups[][2] = {
    {"scenario", "Scenario and control messages"},
    {"vuser", "Virtual users and their driver"},
    {"load_goal", "Load goals"},
    {"vudbg", "Script debugger"},
};

// A field kind: the C type it is stored as, the type its setter takes, and
// whether it is one of the 8-byte kinds that a record aligns to 8 on every
// target (the i386 ABI would give them 4).
struct Kind {
    const char *name;
    const char *storage;
    const char *param;
    bool eight_bytes;
};

const Kind kKinds[] = {
    {"int", "int32_t", "int32_t", false},   {"long", "int32_t", "int32_t", false},
    {"u_int", "uint32_t", "uint32_t", false}, {"u_long", "uint32_t", "uint32_t", false},
    {"float", "float", "float", false},     {"double", "double", "double", true},
    {"u_hyper", "uint64_t", "uint64_t", true}, {"wrapstring", "char *", "const char *", false},
};

[[noreturn]] void fail(const std::string &message)
{
    std::fprintf(stderr, "parcel_generate: %s\n", message.c_str());
    std::exit(1);
}

const Kind &kind_of(const char *name)
{
    for (const Kind &kind : kKinds)
        if (std::strcmp(kind.name, name) == 0)
            return kind;
    fail(std::string("unknown field kind ") + name);
}

const Entry &type_of(const char *name)
{
    for (const Entry &entry : kCatalogue)
        if (entry.what != Entry::kMessage && std::strcmp(entry.name, name) == 0)
            return entry;
    fail(std::string("unknown record type ") + name);
}

// ---- The routines, as text ---------------------------------------------------------
// '@' stands for the type's (or the message's) name.

struct Routine {
    const char *result;
    const char *name;
    const char *parameters;
};

struct RoutineGroup {
    const char *comment;
    std::vector<Routine> routines;
};

const RoutineGroup kFamily[] = {
    {"Descriptor tables, {each}: the same constant tables on every call, never freed.",
     {{"const var_desc_t *", "get_var_desc_for_@", "void"},
      {"const var_length_desc_t *", "get_var_length_desc_for_@", "void"},
      {"const var_clone_desc_t *", "get_var_clone_desc_for_@", "void"},
      {"const var_sizeof_desc_t *", "get_var_sizeof_desc_for_@", "void"}}},
    {"XDR filters, on a stream of your own: nonzero on success, 0 on failure.  The m forms take "
     "the goheap that decoding takes from and XDR_FREE gives back to, the others the default heap.  "
     "The _p forms take the address of a @ pointer: decoding places a new record there, XDR_FREE "
     "releases it and nulls the pointer.",
     {{"int ", "_mxdr_@", "XDR *xdrs, @ *record, goheap_t *heap"},
      {"int ", "_xdr_@", "XDR *xdrs, @ *record"},
      {"int ", "mxdr_p_@", "XDR *xdrs, void *recordp, goheap_t *heap"},
      {"int ", "xdr_p_@", "XDR *xdrs, void *recordp"}}},
    {"Buffers: the number of bytes written or consumed, or -1.  A decoded record is yours: free "
     "it with xdr_free_p_@ when it is on the default heap, or destroy its goheap; the "
     "_to_new_goheap form creates that goheap and hands it over even when decoding fails.",
     {{"int32_t ", "xdr_encode_@", "const @ *record, void *buffer, uint32_t length"},
      {"int32_t ", "xdr_encode_p_@", "@ *const *recordp, void *buffer, uint32_t length"},
      {"int32_t ", "xdr_decode_p_@", "const void *buffer, uint32_t length, @ **recordp"},
      {"int32_t ", "xdr_decode_p_@_to_given_goheap",
       "const void *buffer, uint32_t length, @ **recordp, goheap_t *heap"},
      {"int32_t ", "xdr_decode_p_@_to_new_goheap",
       "const void *buffer, uint32_t length, @ **recordp, goheap_t **heapp"}}},
    {"Encoded length: the bytes an encoding takes, or -1 when it would fail; nothing is allocated.",
     {{"int ", "xdr_length_of_encoded_@", "const @ *record"},
      {"int ", "xdr_length_of_encoded_p_@", "const void *recordp"}}},
    {"Deep copies ({parts}) on one heap: the copy, or null "
     "(mxdr_clone_p_@: 1 or 0, the copy in *destination).  A copy is owned as a decoded record "
     "is.  xdr_free_p_@ frees a record on the default heap with all it points to and nulls "
     "*recordp; null is ignored.",
     {{"int ", "mxdr_clone_p_@", "const void *source, void *destination, goheap_t *heap"},
      {"@ *", "xdr_clone_@", "const @ *record"},
      {"@ *", "xdr_clone_@_to_given_goheap", "const @ *record, goheap_t *heap"},
      {"@ *", "xdr_clone_@_to_new_goheap", "const @ *record, goheap_t **heapp"},
      {"void ", "xdr_free_p_@", "@ **recordp"}}},
};

const Routine kMessageApi[] = {
    {"int32_t ", "parcel_encode_@", "parcel_@_t msg, void *buf, uint32_t buf_len"},
    {"int32_t ", "parcel_decode_@", "const void *buf, uint32_t buf_len, parcel_@_t **out"},
    {"void ", "parcel_free_@", "parcel_@_t *msg"},
};

// ---- Text ---------------------------------------------------------------------------

constexpr size_t kWidth = 100;

std::string expand(const char *pattern, const std::string &name)
{
    std::string text;
    for (const char *c = pattern; *c != '\0'; ++c)
        if (*c == '@')
            text += name;
        else
            text += *c;
    return text;
}

// A family comment for a struct or a union record: {each} is what a
// descriptor has an entry for, {parts} what a deep copy takes along.
std::string family_comment(const char *pattern, const Entry &entry)
{
    std::string text = expand(pattern, entry.name);
    const bool is_union = entry.what == Entry::kUnion;
    for (const auto &[token, value] :
         {std::pair<std::string, std::string>{"{each}", is_union ? "an entry per arm" : "an entry per field"},
          {"{parts}", is_union ? "the union, its arm record and the arm's strings" : "the record and its strings"}}) {
        const size_t at = text.find(token);
        if (at != std::string::npos)
            text.replace(at, token.size(), value);
    }
    return text;
}

// "type name", with no space after a pointer's star.
std::string declare(const std::string &type, const std::string &name)
{
    return type.back() == '*' ? type + name : type + " " + name;
}

class Text {
public:
    void line(const std::string &text = "") { text_ += text.empty() ? "\n" : text + "\n"; }

    // A comment, wrapped at the page width after `lead` ("// " or " * ").
    void comment(const std::string &indent, const std::string &lead, const std::string &text)
    {
        std::string current;
        size_t start = 0;
        while (start < text.size()) {
            size_t end = text.find(' ', start);
            if (end == std::string::npos)
                end = text.size();
            std::string word = text.substr(start, end - start);
            start = end + 1;
            // Two spaces after a sentence stay together with the next word.
            while (start < text.size() && text[start] == ' ') {
                word += ' ';
                ++start;
            }
            if (!current.empty() && indent.size() + lead.size() + current.size() + word.size() > kWidth) {
                line(indent + lead + trimmed(current));
                current.clear();
            }
            current += word + " ";
        }
        if (!current.empty())
            line(indent + lead + trimmed(current));
    }

    // A prototype.  When it is too long for a line, its parameters go under
    // the first, or where that takes more than two lines, on lines of their own.
    void prototype(const std::string &head, const std::string &parameters)
    {
        std::vector<std::string> lines = wrapped(head + "(", head.size() + 1, parameters);
        bool fits = lines.size() <= 2;
        for (const std::string &text : lines)
            fits = fits && text.size() <= kWidth;
        if (!fits)
            lines = wrapped(head + "(", 0, parameters);
        for (const std::string &text : lines)
            line(text);
    }

    // Lines of code with trailing comments, the comments in one column.
    void commented(const std::vector<std::pair<std::string, std::string>> &lines)
    {
        size_t width = 0;
        for (const auto &[code, note] : lines)
            if (!note.empty() && code.size() > width)
                width = code.size();
        for (const auto &[code, note] : lines)
            line(note.empty() ? code : code + std::string(width - code.size() + 1, ' ') + note);
    }

    const std::string &str() const { return text_; }

private:
    // The parameters after `first`, filled into lines of the page's width,
    // continued `column` characters in (4 and a line of their own for 0).
    static std::vector<std::string> wrapped(const std::string &first, size_t column, const std::string &parameters)
    {
        const std::string indent(column == 0 ? 4 : column, ' ');
        std::vector<std::string> lines;
        std::string current = column == 0 ? indent : first;
        size_t start = 0;
        for (;;) {
            const size_t end = parameters.find(", ", start);
            const bool last = end == std::string::npos;
            const std::string parameter =
                parameters.substr(start, last ? std::string::npos : end - start) + (last ? ");" : ",");
            const bool fresh = current.size() == indent.size() || current == first;
            if (!fresh && current.size() + 1 + parameter.size() > kWidth) {
                lines.push_back(current);
                current = indent;
            }
            current += (current.size() == indent.size() || current == first ? "" : " ") + parameter;
            if (last)
                break;
            start = end + 2;
        }
        lines.push_back(current);
        if (column == 0)
            lines.insert(lines.begin(), first);
        return lines;
    }

    static std::string trimmed(const std::string &text)
    {
        const size_t end = text.find_last_not_of(' ');
        return end == std::string::npos ? std::string() : text.substr(0, end + 1);
    }

    std::string text_;
};

// A heading: "// ---- title ------...", as wide as the page.
std::string rule(const std::string &lead, const std::string &title, const std::string &tail = "", char fill = '-')
{
    std::string text = lead + std::string(4, fill) + " " + title + " ";
    const size_t length = kWidth - tail.size();
    if (text.size() < length)
        text += std::string(length - text.size(), fill);
    return text + tail;
}

void write_file(const std::string &path, const std::string &text)
{
    std::FILE *out = std::fopen(path.c_str(), "w");
    if (out == nullptr) {
        std::perror(path.c_str());
        std::exit(1);
    }
    if (std::fputs(text.c_str(), out) < 0 || std::fclose(out) != 0) {
        std::perror(path.c_str());
        std::exit(1);
    }
}

// ---- parcel_api.h ----------------------------------------------------------------------

std::string message_api_header()
{
    Text t;
    t.line("/* parcel: the message API, for C (C99 or later) and C++.");
    t.line(" *");
    t.comment("", " * ",
              "Written from catalogue.def when parcel is built.  Seventeen of the messages travel as "
              "plain structures: parcel_<msg>_t holds the fields of the record type cu_<msg>_t "
              "(<parcel/records.h>) in wire order, with the same names; strings are char *.  Each "
              "message has three functions:");
    t.line(" *");
    t.line(" *   parcel_encode_<msg>  encodes a structure into a buffer of yours and returns the");
    t.line(" *                        number of bytes written, or -1 (above all when the buffer is");
    t.line(" *                        too small).  It reads the structure and allocates nothing: the");
    t.line(" *                        strings need only live until it returns.  A null string is sent");
    t.line(" *                        as the empty string, and every field is sent.");
    t.line(" *   parcel_decode_<msg>  decodes a buffer into a new structure stored in *out and returns");
    t.line(" *                        0, or -1 with *out untouched.  Bytes after the message are");
    t.line(" *                        ignored.");
    t.line(" *   parcel_free_<msg>    frees a structure from parcel_decode_<msg>; null is ignored.");
    t.line(" *");
    t.comment("", " * ",
              "Who frees what.  A decoded structure is yours, to give to parcel_free_<msg> and to "
              "nothing else: it is one block from maw_malloc, and each of its strings another from "
              "os_strdup.  A field that the bytes did not carry (a record sender may leave fields "
              "out) decodes as 0, a string as null.");
    t.line(" */");
    t.line("#ifndef PARCEL_PARCEL_API_H");
    t.line("#define PARCEL_PARCEL_API_H");
    t.line();
    t.line("#include <stdint.h>");
    t.line();
    t.line("#ifdef __cplusplus");
    t.line("extern \"C\" {");
    t.line("#endif");
    t.line();
    t.line("#define PARCEL_MESSAGE_API __attribute__((visibility(\"default\")))");
    for (const Entry &message : kCatalogue) {
        if (message.what != Entry::kMessage)
            continue;
        const Entry &record = type_of(message.record);
        if (record.what != Entry::kStruct || record.fields.empty())
            fail(std::string("message ") + message.name + ": its record must be a struct with fields");
        const std::string name = message.name;
        t.line();
        t.line(rule("/* ", name + ": the fields of " + record.name, " */"));
        t.line();
        t.line("typedef struct parcel_" + name + " {");
        std::vector<std::pair<std::string, std::string>> members;
        bool strings = false;
        for (const Field &field : record.fields) {
            const Kind &kind = kind_of(field.kind);
            strings = strings || kind.name == std::string("wrapstring");
            std::string note = "/* field " + std::to_string(field.index) + ": " + kind.name;
            if ((message.optional >> field.index) & 1u)
                note += "; null when the bytes did not carry it";
            members.emplace_back("    " + declare(kind.storage, field.name) + ";", note + " */");
        }
        t.commented(members);
        t.line("} parcel_" + name + "_t;");
        t.line();
        t.line("/* The bytes written to buf, or -1. */");
        t.prototype("PARCEL_MESSAGE_API " + expand(kMessageApi[0].result, name) + expand(kMessageApi[0].name, name),
                    expand(kMessageApi[0].parameters, name));
        t.line("/* 0 and a new structure in *out, for parcel_free_" + name + "; or -1. */");
        t.prototype("PARCEL_MESSAGE_API " + expand(kMessageApi[1].result, name) + expand(kMessageApi[1].name, name),
                    expand(kMessageApi[1].parameters, name));
        t.line(strings ? "/* Frees the structure and its strings. */" : "/* Frees the structure. */");
        t.prototype("PARCEL_MESSAGE_API " + expand(kMessageApi[2].result, name) + expand(kMessageApi[2].name, name),
                    expand(kMessageApi[2].parameters, name));
    }
    t.line();
    t.line("#ifdef __cplusplus");
    t.line("}");
    t.line("#endif");
    t.line();
    t.line("#endif /* PARCEL_PARCEL_API_H */");
    return t.str();
}

// ---- records.h -----------------------------------------------------------------------------

void family_declarations(Text &t, const Entry &entry)
{
    const std::string type = entry.name;
    t.line("extern \"C\" {");
    for (const RoutineGroup &group : kFamily) {
        t.comment("", "// ", family_comment(group.comment, entry));
        for (const Routine &routine : group.routines)
            t.prototype("PARCEL_API " + expand(routine.result, type) + expand(routine.name, type),
                        expand(routine.parameters, type));
    }
    t.line("}");
}

// The members of the information block that both kinds of record have.
void routine_members(std::vector<std::pair<std::string, std::string>> &members, const std::string &type)
{
    members.insert(members.end(),
                   {{"    int (*filter)(XDR *, " + type + " *, goheap_t *);", ""},
                    {"    int (*length_routine)(const " + type + " *);", ""},
                    {"    int (*clone_routine)(const void *, void *, goheap_t *);", ""},
                    {"    const var_desc_t *var_desc;", ""},
                    {"    const var_length_desc_t *var_length_desc;", ""},
                    {"    const var_clone_desc_t *var_clone_desc;", ""},
                    {"    const var_sizeof_desc_t *var_sizeof_desc;", ""}});
}

void routine_stores(Text &t, const std::string &type)
{
    t.line("    filter = &_mxdr_" + type + ";");
    t.line("    length_routine = &xdr_length_of_encoded_" + type + ";");
    t.line("    clone_routine = &mxdr_clone_p_" + type + ";");
    t.line("    var_desc = get_var_desc_for_" + type + "();");
    t.line("    var_length_desc = get_var_length_desc_for_" + type + "();");
    t.line("    var_clone_desc = get_var_clone_desc_for_" + type + "();");
    t.line("    var_sizeof_desc = get_var_sizeof_desc_for_" + type + "();");
}

void copy_and_placement(Text &t, const std::string &type)
{
    t.line("    " + type + "(const " + type + " &) = delete;");
    t.line("    " + type + " &operator=(const " + type + " &) = delete;");
    t.line("    // A record in one block of heap, constructed with (heap, 0); null when heap has no block.");
    t.line("    static " + type + " *place_in_goheap(goheap_t *heap);");
    t.line("    // Destroys a placed record and gives its block back (not what its fields point to).");
    t.line("    static void release_to_goheap(goheap_t *heap, " + type + " *record);");
}

// The definitions that the class declares, after the routines they use.
void placement_definitions(Text &t, const std::string &type)
{
    t.line();
    t.line("inline " + type + " *" + type + "::place_in_goheap(goheap_t *heap)");
    t.line("{");
    t.line("    return parcel::place_in_goheap<" + type + ">(heap);");
    t.line("}");
    t.line();
    t.line("inline void " + type + "::release_to_goheap(goheap_t *heap, " + type + " *record)");
    t.line("{");
    t.line("    parcel::release_to_goheap(heap, record);");
    t.line("}");
}

void struct_record(Text &t, const Entry &entry)
{
    const std::string type = entry.name;
    const std::string count = std::to_string(entry.fields.size());
    t.line("class " + type + " {");
    t.line("public:");
    t.line("    static constexpr uint32_t kFieldCount = " + count + ";");
    t.line();
    t.line("    // Plain part: the header words, then the fields in wire order.");
    std::vector<std::pair<std::string, std::string>> members = {
        {"    uint32_t field_count;", "// kFieldCount"},
        {"    uint32_t *presence;", entry.fields.empty() ? "// &layout_code: there are no presence words"
                                                         : "// presence_words.word"},
    };
    for (const Field &field : entry.fields) {
        const Kind &kind = kind_of(field.kind);
        members.emplace_back(std::string("    ") + (kind.eight_bytes ? "alignas(8) " : "") + "parcel::kind_" +
                                 kind.name + "::type " + field.name + ";",
                             "// field " + std::to_string(field.index) + ": " + kind.name +
                                 (kind.name == std::string(kind.storage) ? "" : std::string(" (") + kind.storage + ")"));
    }
    t.commented(members);
    t.line("    // Information block: the owning goheap, the type's own routines and descriptors, and the");
    t.line("    // words that the field codec keeps.");
    members = {{"    uint32_t reserved;", "// 0"},
               {"    goheap_t *heap;", "// owner, or null"},
               {"    uint32_t *tail;", "// tail_area"}};
    routine_members(members, type);
    members.insert(members.end(),
                   {{"    [[no_unique_address]] parcel::presence_words<" + count + "> presence_words;", ""},
                    {"    uint32_t layout_code;", "// parcel::kLayoutCode"},
                    {"    uint32_t plain_size;", "// offsetof(reserved)"},
                    {std::string("    uint32_t tail_area[") + (entry.fields.empty() ? "1" : "2") + "];", ""}});
    t.commented(members);
    t.line();
    t.line("    // Every field zero and absent.  owner: the goheap the record belongs to (null for one on");
    t.line("    // the stack); reserved_word: 0.");
    t.line("    " + type + "(goheap_t *owner, uint32_t reserved_word);");
    t.line("    ~" + type + "() { xdr_optional_generic_struct_uninit(this); }");
    copy_and_placement(t, type);
    if (!entry.fields.empty()) {
        t.line();
        t.line("    // set_ stores a value and marks the field present (true on success; a string is stored");
        t.line("    // as the pointer, not a copy), get_ reads it (zero or null while absent), has_ tells");
        t.line("    // whether the field is present.");
    }
    for (const Field &field : entry.fields) {
        const Kind &kind = kind_of(field.kind);
        const std::string name = field.name;
        const std::string index = std::to_string(field.index);
        t.line("    bool set_" + name + "(" + declare(kind.param, "value") + ") { return parcel::set_field(this, &" +
               name + ", " + index + ", value); }");
        t.line("    " + declare(kind.storage, "get_" + name) + "() const { return " + name + "; }");
        t.line("    bool has_" + name + "() const { return xdr_optional_generic_struct_check_field(this, " + index +
               ") != 0; }");
    }
    t.line("};");
    t.line("static_assert(parcel::struct_layout_fits_codec<" + type + ">(),");
    t.line("              \"layout of " + type + "\");");
    t.line();
    family_declarations(t, entry);
    t.line();
    t.line("inline " + type + "::" + type + "(goheap_t *owner, uint32_t reserved_word)");
    t.line("{");
    t.line("    parcel::zero_fill<sizeof(" + type + ")>(this);");
    t.line("    field_count = kFieldCount;");
    t.line("    presence = parcel::first_presence_word(presence_words, &layout_code);");
    t.line("    reserved = reserved_word;");
    t.line("    heap = owner;");
    t.line("    tail = tail_area;");
    routine_stores(t, type);
    t.line("    layout_code = parcel::kLayoutCode;");
    t.line("    plain_size = static_cast<uint32_t>(offsetof(" + type + ", reserved));");
    t.line("    xdr_optional_generic_struct_init(this);");
    t.line("}");
    placement_definitions(t, type);
}

void union_record(Text &t, const Entry &entry)
{
    const std::string type = entry.name;
    t.line("class " + type + " {");
    t.line("public:");
    t.line("    static constexpr uint32_t kArmCount = " + std::to_string(entry.arms.size()) + ";");
    t.line();
    t.line("    // Plain part.");
    t.commented({{"    uint32_t arm_count;", "// kArmCount"},
                 {"    int32_t discriminant;", "// -1: no arm; else the selected arm's position"},
                 {"    uint32_t layout_code;", "// parcel::kLayoutCode"},
                 {"    uint32_t plain_size;", "// offsetof(reserved)"}});
    t.line("    // The selected arm's record; the named arms are typed views of it.");
    t.line("    union {");
    std::vector<std::pair<std::string, std::string>> members = {{"        void *arm;", ""}};
    for (const Arm &arm : entry.arms)
        members.emplace_back("        " + std::string(arm.type) + " *" + arm.name + ";",
                             "// arm " + std::to_string(arm.position));
    t.commented(members);
    t.line("    };");
    t.line("    // Information block: the owning goheap and the type's own routines and descriptors.");
    members = {{"    uint32_t reserved;", "// 0"},
               {"    goheap_t *heap;", "// owner, or null"},
               {"    uint8_t union_flag;", ""}};
    routine_members(members, type);
    t.commented(members);
    t.line();
    t.line("    // No arm (discriminant -1, arm null).  A union record has no setters: set discriminant and");
    t.line("    // arm (or one of its views); the arm record stays the caller's.");
    t.line("    " + type + "(goheap_t *owner, uint32_t reserved_word);");
    t.line("    ~" + type + "() { xdr_optional_generic_union_uninit(this); }");
    copy_and_placement(t, type);
    t.line("};");
    t.line("static_assert(parcel::union_layout_fits_codec<" + type + ">(),");
    t.line("              \"layout of " + type + "\");");
    t.line();
    family_declarations(t, entry);
    t.line();
    t.line("inline " + type + "::" + type + "(goheap_t *owner, uint32_t reserved_word)");
    t.line("{");
    t.line("    arm_count = kArmCount;");
    t.line("    discriminant = -1;");
    t.line("    layout_code = parcel::kLayoutCode;");
    t.line("    plain_size = static_cast<uint32_t>(offsetof(" + type + ", reserved));");
    t.line("    arm = nullptr;");
    t.line("    reserved = reserved_word;");
    t.line("    heap = owner;");
    t.line("    union_flag = 0;");
    routine_stores(t, type);
    t.line("    xdr_optional_generic_union_init(this);");
    t.line("}");
    placement_definitions(t, type);
}

std::string records_header()
{
    Text t;
    t.line("// parcel: the record of every message type and its routines, for C++ (C++17 or later).");
    t.line("//");
    t.comment("", "// ",
              "Written from catalogue.def when parcel is built.  Each of the thirty types below has a "
              "record class named after it and twenty routines, extern \"C\", declared after the class.");
    t.line("//");
    t.comment("", "// ",
              "A record is constructed with (heap, 0), heap being the goheap it belongs to (null for one "
              "on the stack).  A struct record has, for each field in wire order, set_<field> (stores "
              "the value and marks the field present; a string setter stores the pointer, not a "
              "copy), get_<field> (the stored value, zero or null while absent) and has_<field>.  A "
              "union record has a discriminant (-1 for no arm, else the arm's position) and arm, the "
              "selected arm's record, with a typed view of it for each arm.  Records point into "
              "themselves: copy one with the clone routines, never byte for byte.");
    t.line("//");
    t.comment("", "// ",
              "Who frees what.  The null goheap is the default heap (the process allocator).  A record "
              "that a decode or a clone gives you lives on one heap with all it points to: free it "
              "with xdr_free_p_<T>(&record) when that is the default heap; in a goheap it goes with "
              "goheap_destroy(heap), or earlier through mxdr_p_<T> in XDR_FREE mode with that heap.  "
              "The _to_new_goheap forms create the goheap and hand it to you even when they fail.  A "
              "record you construct owns nothing: the strings given to its setters and the arm "
              "record a union points at stay yours.");
    t.line("//");
    t.line("// The types, in catalogue order:");
    for (const auto &group : kGroups) {
        std::string names;
        for (const Entry &entry : kCatalogue)
            if (entry.what != Entry::kMessage && std::strcmp(entry.group, group[0]) == 0)
                names += std::string(names.empty() ? "" : ", ") + entry.name;
        t.comment("", "//   ", std::string(group[1]) + ": " + names + ".");
    }
    t.line("#ifndef PARCEL_RECORDS_H");
    t.line("#define PARCEL_RECORDS_H");
    t.line();
    t.line("#include \"records/record.h\"");
    const char *group = "";
    for (const Entry &entry : kCatalogue) {
        if (entry.what == Entry::kMessage)
            continue;
        if (std::strcmp(entry.group, group) != 0) {
            group = entry.group;
            const char *title = nullptr;
            for (const auto &known : kGroups)
                if (std::strcmp(known[0], group) == 0)
                    title = known[1];
            if (title == nullptr)
                fail(std::string("unknown group ") + group);
            t.line();
            t.line(rule("// ", title, "", '='));
        }
        t.line();
        if (entry.what == Entry::kStruct) {
            std::string about = entry.fields.empty() ? std::string("Struct record without fields.")
                                                     : "Struct record, " + std::to_string(entry.fields.size()) +
                                                           (entry.fields.size() == 1 ? " field." : " fields.");
            for (const Entry &message : kCatalogue)
                if (message.what == Entry::kMessage && std::strcmp(message.record, entry.name) == 0)
                    about += std::string("  As a plain structure: parcel_") + message.name +
                             "_t, in <parcel/parcel_api.h>.";
            t.line(rule("// ", entry.name));
            t.comment("", "// ", about);
            t.line();
            struct_record(t, entry);
        } else {
            std::string about = "Generic union record of " + std::to_string(entry.arms.size()) + " arms:";
            for (const Arm &arm : entry.arms)
                about += std::string(" ") + std::to_string(arm.position) + " " + arm.name + " (" + arm.type + ")" +
                         (&arm == &entry.arms.back() ? "." : ",");
            t.line(rule("// ", entry.name));
            t.comment("", "// ", about);
            t.line();
            union_record(t, entry);
        }
    }
    t.line();
    t.line("#endif // PARCEL_RECORDS_H");
    return t.str();
}

// ---- The version script ---------------------------------------------------------------

std::string version_script(const std::string &node)
{
    std::string text = node + " {\n  global:\n";
    for (const Entry &entry : kCatalogue) {
        if (entry.what == Entry::kMessage) {
            for (const Routine &routine : kMessageApi)
                text += "    " + expand(routine.name, entry.name) + ";\n";
        } else {
            for (const RoutineGroup &group : kFamily)
                for (const Routine &routine : group.routines)
                    text += "    " + expand(routine.name, entry.name) + ";\n";
        }
    }
    return text + "  local:\n    *;\n};\n";
}

} // namespace

int main(int argc, char **argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "version-script" && argc == 4) {
        write_file(argv[3], version_script(argv[2]));
    } else if (mode == "headers" && argc == 3) {
        const std::string directory = argv[2];
        write_file(directory + "/parcel_api.h", message_api_header());
        write_file(directory + "/records.h", records_header());
    } else {
        std::fprintf(stderr, "usage: %s version-script NODE FILE\n       %s headers DIR\n", argv[0], argv[0]);
        return 2;
    }
    return 0;
}
