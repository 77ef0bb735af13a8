// The Python module parcel: the thirty message types as dicts, every byte
// encoded and decoded by the library's own routines through the table of the
// types.  The module converts values between Python objects and fields and
// does nothing else: records are built with their set_<field> routines,
// encoded with xdr_encode_<T>, decoded with xdr_decode_p_<T>, and a refusal
// is explained by the field codec's explaining decode.
//
// A message as a dict has the shape of `parcel decode`'s JSON: "fields"
// maps field names to values (a field the message does not carry is left
// out), and a union has "discriminant", "arm" (a name or "none"),
// "arm_type" and the arm record's "fields".
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include <pybind11/pybind11.h>

#include "fieldcodec.h"
#include "typetable.h"

namespace py = pybind11;
using typetable::Arm;
using typetable::Field;
using typetable::Kind;
using typetable::Type;
using typetable::Value;

namespace {

// parcel.DecodeError, made in PYBIND11_MODULE.
PyObject *decode_error = nullptr;

// The names the module looks up and writes, as Python strings made once and
// interned, as the names in a program's source are (dict lookups then hash
// nothing and compare pointers), kept for the life of the process: they are
// never released after the interpreter is gone.
py::str interned(std::string_view name)
{
    PyObject *made = PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
    if (made == nullptr)
        throw py::error_already_set();
    PyUnicode_InternInPlace(&made);
    return py::reinterpret_steal<py::str>(made);
}

struct TypeNames {
    py::str name;
    std::vector<py::str> fields; // by index
    py::dict field_index;        // name -> index
};

struct Names {
    std::vector<TypeNames> types; // in catalogue order
    py::dict type_index;          // name -> position in types()
    py::str type = interned("type"), bytes_consumed = interned("bytes_consumed"), fields = interned("fields"),
            arm = interned("arm"), discriminant = interned("discriminant"), arm_type = interned("arm_type"),
            offset = interned("offset"), none = interned("none");
    py::dict message_keys; // the keys a whole message may have

    Names()
    {
        for (const char *key : {"type", "fields", "arm", "discriminant", "arm_type", "bytes_given", "bytes_consumed",
                                "offset"})
            message_keys[interned(key)] = py::none();
        for (const Type &type : typetable::types()) {
            if (type.fields.size() > 32) // Draft::fill counts them in an array
                throw std::logic_error(std::string(type.name) + " has more fields than a presence word has bits");
            TypeNames entry{interned(type.name), {}, py::dict()};
            for (const Field &field : type.fields) {
                entry.fields.push_back(interned(field.name));
                entry.field_index[entry.fields.back()] = field.index;
            }
            type_index[entry.name] = types.size();
            types.push_back(std::move(entry));
        }
    }
};
Names *names = nullptr;

const TypeNames &names_of(const Type &type)
{
    return names->types[static_cast<size_t>(&type - typetable::types().data())];
}

// d[key], borrowed, or null.
PyObject *item(const py::dict &d, const py::str &key)
{
    PyObject *value = PyDict_GetItemWithError(d.ptr(), key.ptr());
    if (value == nullptr && PyErr_Occurred())
        throw py::error_already_set();
    return value;
}

void put(const py::dict &d, const py::str &key, const py::handle &value)
{
    if (PyDict_SetItem(d.ptr(), key.ptr(), value.ptr()) != 0)
        throw py::error_already_set();
}

std::string joined_names(const Type &type)
{
    std::string out;
    for (const Field &field : type.fields)
        out += (out.empty() ? "" : ", ") + std::string(field.name);
    for (const Arm &arm : type.arms)
        out += (out.empty() ? "" : ", ") + std::string(arm.name);
    return out.empty() ? "none" : out;
}

const Type &type_named(const py::str &name)
{
    if (PyObject *position = item(names->type_index, name))
        return typetable::types()[PyLong_AsSize_t(position)];
    const std::string text = name;
    throw py::value_error("unknown type '" + text + "' (parcel.types() lists all " +
                          std::to_string(typetable::types().size()) + ")");
}

// ---- Values -------------------------------------------------------------------------

template <class Int>
Int whole(const py::handle &object, const Field &field)
{
    if (!PyLong_Check(object.ptr()))
        throw py::type_error("field " + std::string(field.name) + " (" +
                             std::string(typetable::info(field.kind).name) + ") takes an int, not " +
                             std::string(py::str(py::type::of(object).attr("__name__"))));
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(object.ptr(), &overflow);
    bool fits = overflow == 0 && value >= static_cast<long long>(std::numeric_limits<Int>::min()) &&
                (value < 0 || static_cast<unsigned long long>(value) <= std::numeric_limits<Int>::max());
    unsigned long long big = 0;
    if (overflow > 0 && std::is_same_v<Int, uint64_t>) {
        big = PyLong_AsUnsignedLongLong(object.ptr());
        fits = !PyErr_Occurred();
        PyErr_Clear();
    }
    if (!fits)
        throw py::value_error(std::string(py::repr(object)) + " does not fit field " + std::string(field.name) + " (" +
                              std::string(typetable::info(field.kind).name) + ": " +
                              std::to_string(std::numeric_limits<Int>::min()) + " to " +
                              std::to_string(std::numeric_limits<Int>::max()) + ")");
    return overflow > 0 ? static_cast<Int>(big) : static_cast<Int>(value);
}

double real(const py::handle &object, const Field &field)
{
    if (!PyFloat_Check(object.ptr()) && !PyLong_Check(object.ptr()))
        throw py::type_error("field " + std::string(field.name) + " (" +
                             std::string(typetable::info(field.kind).name) + ") takes a float, not " +
                             std::string(py::str(py::type::of(object).attr("__name__"))));
    const double value = PyFloat_AsDouble(object.ptr());
    if (value == -1.0 && PyErr_Occurred()) { // an int too large for a double
        PyErr_Clear();
        throw py::value_error(std::string(py::repr(object)) + " does not fit field " + std::string(field.name) + " (" +
                              std::string(typetable::info(field.kind).name) + ")");
    }
    return value;
}

std::string text(const py::handle &object, const Field &field)
{
    std::string out;
    if (PyUnicode_Check(object.ptr())) {
        Py_ssize_t size = 0;
        const char *utf8 = PyUnicode_AsUTF8AndSize(object.ptr(), &size);
        if (utf8 == nullptr)
            throw py::error_already_set(); // lone surrogates: UnicodeEncodeError, a ValueError
        out.assign(utf8, static_cast<size_t>(size));
    } else if (PyBytes_Check(object.ptr())) {
        out.assign(PyBytes_AS_STRING(object.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(object.ptr())));
    } else {
        throw py::type_error("field " + std::string(field.name) + " (wrapstring) takes a str or bytes, not " +
                             std::string(py::str(py::type::of(object).attr("__name__"))));
    }
    if (out.find('\0') != std::string::npos)
        throw py::value_error("field " + std::string(field.name) + " (wrapstring) cannot hold a NUL character");
    return out;
}

Value value_of(const py::handle &object, const Field &field)
{
    switch (field.kind) {
    case Kind::k_int:
    case Kind::k_long: return whole<int32_t>(object, field);
    case Kind::k_u_int:
    case Kind::k_u_long: return whole<uint32_t>(object, field);
    case Kind::k_u_hyper: return whole<uint64_t>(object, field);
    case Kind::k_double: return real(object, field);
    case Kind::k_float: {
        // Finite values round to the nearest float; from halfway between
        // the largest float and 2^128 on they would round to infinity.
        const double value = real(object, field);
        if (std::isfinite(value) && std::fabs(value) >= 0x1.ffffffp127)
            throw py::value_error(std::string(py::repr(object)) + " does not fit field " + std::string(field.name) +
                                  " (float)");
        return static_cast<float>(value);
    }
    case Kind::k_wrapstring: return text(object, field);
    }
    throw std::logic_error("unknown kind");
}

// A text as str, or as bytes when it is not UTF-8.
py::object text_object(std::string_view value)
{
    PyObject *decoded = PyUnicode_DecodeUTF8(value.data(), static_cast<Py_ssize_t>(value.size()), "strict");
    if (decoded != nullptr)
        return py::reinterpret_steal<py::object>(decoded);
    PyErr_Clear();
    return py::bytes(value.data(), value.size());
}

py::object object_of(const Value &value)
{
    return std::visit(
        [](const auto &v) -> py::object {
            using V = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<V, std::string>)
                return text_object(v);
            else if constexpr (std::is_floating_point_v<V>)
                return py::float_(static_cast<double>(v));
            else
                return py::int_(v);
        },
        value);
}

// ---- Records from dicts -------------------------------------------------------------

using Owned = typetable::OwnedRecord;

// A record built from a dict; it points into the texts it keeps, and only
// the records are released.
class Draft {
public:
    Draft(const Type &type, const py::dict &message)
    {
        PyObject *given_fields = item(message, names->fields);
        const bool whole = given_fields != nullptr || item(message, names->arm) != nullptr ||
                           item(message, names->discriminant) != nullptr;
        if (type.is_union && !whole)
            throw py::value_error("a " + std::string(type.name) + " is a dict with \"arm\" (one of " +
                                  joined_names(type) + ", or \"none\") and the arm's \"fields\"");
        py::dict fields = message;
        if (whole) {
            for (const auto &[key, value] : message)
                if (!PyUnicode_Check(key.ptr()) || !names->message_keys.contains(key))
                    throw py::value_error("unknown key " + std::string(py::repr(key)) + " in a " +
                                          std::string(type.name) + " (a message has \"fields\"" +
                                          (type.is_union ? ", \"arm\"" : "") + ")");
            PyObject *named_type = item(message, names->type);
            if (named_type != nullptr && !names_of(type).name.equal(py::handle(named_type)))
                throw py::value_error("the dict is a " + std::string(py::repr(named_type)) + ", not a " +
                                      std::string(type.name));
            if (given_fields != nullptr) {
                if (!PyDict_Check(given_fields))
                    throw py::type_error("\"fields\" must be a dict of field names and values");
                fields = py::reinterpret_borrow<py::dict>(given_fields);
            } else {
                fields = py::dict();
            }
        }
        if (!type.is_union) {
            record_.create(type);
            fill(type, record_.record, fields, std::string(type.name));
            return;
        }
        const Arm *arm = arm_of(type, message);
        record_.create(type);
        if (arm == nullptr) {
            if (!fields.empty())
                throw py::value_error("a " + std::string(type.name) + " with no arm has no fields");
            type.select_arm(record_.record, -1, nullptr);
            return;
        }
        arm_.create(*arm->type);
        fill(*arm->type, arm_.record, fields, std::string(arm->name) + " (" + std::string(arm->type->name) + ")");
        type.select_arm(record_.record, static_cast<int32_t>(arm->position), arm_.record);
    }

    const void *record() const { return record_.record; }

private:
    // The arm named by "arm" or by "discriminant" (null: none); both must agree.
    static const Arm *arm_of(const Type &type, const py::dict &message)
    {
        std::optional<const Arm *> named;
        if (PyObject *given_arm = item(message, names->arm)) {
            if (!PyUnicode_Check(given_arm))
                throw py::type_error("\"arm\" must be an arm's name or \"none\"");
            const std::string name = py::str(given_arm);
            const Arm *arm = type.find_arm(name);
            if (arm == nullptr && name != "none")
                throw py::value_error(std::string(type.name) + " has no arm '" + name + "' (its arms: " +
                                      joined_names(type) + ", or none)");
            named = arm;
        }
        const py::handle given = item(message, names->discriminant);
        if (!given) {
            if (!named)
                throw py::value_error("a " + std::string(type.name) + " needs \"arm\" (one of " + joined_names(type) +
                                      ", or \"none\") or \"discriminant\"");
            return *named;
        }
        if (!PyLong_Check(given.ptr()))
            throw py::type_error("\"discriminant\" must be an int");
        const long long position = PyLong_AsLongLong(given.ptr());
        PyErr_Clear();
        if (position < -1 || position >= static_cast<long long>(type.arms.size()))
            throw py::value_error("\"discriminant\" " + std::string(py::repr(given)) + " selects no arm of " +
                                  std::string(type.name) + " (0 to " + std::to_string(type.arms.size() - 1) +
                                  ", or -1 for none)");
        const Arm *by_position = position < 0 ? nullptr : &type.arms[static_cast<size_t>(position)];
        if (named && *named != by_position)
            throw py::value_error("\"discriminant\" and \"arm\" name different arms");
        return by_position;
    }

    void fill(const Type &record_type, void *record, const py::dict &fields, const std::string &owner)
    {
        // Every value is converted before any is set, and texts_ keeps its
        // elements in place: the record points at them.
        values_.reserve(values_.size() + record_type.fields.size());
        const size_t first = values_.size();
        std::array<const Field *, 32> set; // a presence word has 32 bits
        size_t count = 0;
        // Fields mostly come in their order, named by literals, which
        // Python interns as the module does its names: a pointer compare
        // with the field after the last one finds them without a lookup.
        const TypeNames &known = names_of(record_type);
        size_t next = 0;
        for (const auto &[key, object] : fields) {
            size_t position = next;
            if (position >= known.fields.size() || known.fields[position].ptr() != key.ptr()) {
                if (!PyUnicode_Check(key.ptr()))
                    throw py::type_error("field names are str, not " +
                                         std::string(py::str(py::type::of(key).attr("__name__"))));
                PyObject *found = PyDict_GetItemWithError(known.field_index.ptr(), key.ptr());
                if (found == nullptr) {
                    if (PyErr_Occurred())
                        throw py::error_already_set();
                    throw py::value_error(owner + " has no field '" + std::string(py::str(key)) +
                                          "' (its fields: " + joined_names(record_type) + ")");
                }
                position = PyLong_AsSize_t(found);
            }
            next = position + 1;
            if (object.is_none())
                continue; // left out, as a field that is not given
            const Field &field = record_type.fields[position];
            values_.push_back(value_of(object, field));
            set[count++] = &field;
        }
        for (size_t i = 0; i < count; ++i)
            if (!set[i]->set(record, values_[first + i]))
                throw py::value_error("the record refused field " + std::string(set[i]->name));
    }

    // Declared first: released last.  Reserved for every field of the one
    // record filled before any is added, so that the texts never move.
    std::vector<Value> values_;
    Owned record_;
    Owned arm_;
};

int length_of(const Type &type, const Draft &draft)
{
    int length;
    {
        py::gil_scoped_release unlocked;
        length = type.length(draft.record());
    }
    if (length < 0)
        throw py::value_error("this " + std::string(type.name) + " cannot be encoded (its texts are too long)");
    return length;
}

// ---- Dicts from records -------------------------------------------------------------

py::dict fields_dict(const Type &type, const void *record)
{
    py::dict fields;
    const std::vector<py::str> &keys = names_of(type).fields;
    for (const Field &field : type.fields) {
        if (!field.has(record))
            continue;
        const char *storage = static_cast<const char *>(record) + field.offset;
        if (field.kind == Kind::k_wrapstring) { // straight from the record: no copy of the text
            const char *value;
            std::memcpy(&value, storage, sizeof value);
            put(fields, keys[field.index], text_object(value != nullptr ? value : ""));
        } else {
            put(fields, keys[field.index], object_of(typetable::load(field.kind, storage)));
        }
    }
    return fields;
}

void describe(const Type &type, const void *record, const py::dict &out)
{
    if (!type.is_union) {
        put(out, names->fields, fields_dict(type, record));
        return;
    }
    const int32_t discriminant = type.discriminant(record);
    put(out, names->discriminant, py::int_(discriminant));
    if (discriminant < 0 || static_cast<size_t>(discriminant) >= type.arms.size()) {
        put(out, names->arm, names->none);
        return;
    }
    const Arm &arm = type.arms[static_cast<size_t>(discriminant)];
    put(out, names->arm, py::str(arm.name.data(), arm.name.size()));
    put(out, names->arm_type, names_of(*arm.type).name);
    put(out, names->fields, fields_dict(*arm.type, type.arm_record(record)));
}

// The bytes of a bytes-like object, held for the call.
class Input {
public:
    explicit Input(const py::handle &object)
    {
        if (PyObject_GetBuffer(object.ptr(), &view_, PyBUF_SIMPLE) != 0) {
            PyErr_Clear();
            throw py::type_error("expected bytes, bytearray or memoryview, not " +
                                 std::string(py::str(py::type::of(object).attr("__name__"))));
        }
        if (static_cast<uint64_t>(view_.len) > UINT32_MAX) {
            PyBuffer_Release(&view_);
            throw py::value_error("the data is longer than a message can be (" + std::to_string(view_.len) +
                                  " bytes)");
        }
    }
    Input(const Input &) = delete;
    Input &operator=(const Input &) = delete;
    ~Input() { PyBuffer_Release(&view_); }

    const unsigned char *data() const { return static_cast<const unsigned char *>(view_.buf); }
    size_t size() const { return static_cast<size_t>(view_.len); }

private:
    Py_buffer view_{};
};

const char *rule_in_words(fc_rule_t rule)
{
    switch (rule) {
    case FC_RULE_PRESENCE: return "a presence bit names no field";
    case FC_RULE_DISCRIMINANT: return "the discriminant selects no arm";
    case FC_RULE_SHORT: return "the bytes end inside an item";
    case FC_RULE_LENGTH: return "a text's length passes the bytes left";
    case FC_RULE_NUL: return "a text holds a NUL byte";
    case FC_RULE_PADDING: return "a padding byte is not zero";
    }
    return "unknown rule";
}

// Raises DecodeError for bytes the decoder refused, with what the
// explaining decode says of them; `start` is where they lie in the caller's data.
[[noreturn]] void refuse(const Type &type, const unsigned char *bytes, size_t size, size_t start)
{
    std::optional<fc_refusal_t> refusal;
    {
        py::gil_scoped_release unlocked;
        const fc_sink_t sink{nullptr,
                             [](void *to, const fc_refusal_t *found) {
                                 *static_cast<std::optional<fc_refusal_t> *>(to) = *found;
                             },
                             &refusal};
        typetable::explain(type, bytes, size, sink, nullptr);
    }
    if (!refusal)
        throw std::bad_alloc(); // sound bytes that did not decode: memory ran out
    const fc_item_t &item = refusal->item;
    const Type *owner = &type;
    py::object arm = py::none();
    if (item.arm >= 0 && static_cast<size_t>(item.arm) < type.arms.size()) {
        const Arm &selected = type.arms[static_cast<size_t>(item.arm)];
        owner = selected.type;
        arm = py::str(selected.name.data(), selected.name.size());
    }
    py::object field = py::none();
    std::string place = item.role == FC_ROLE_DISCRIMINANT ? "the discriminant" : "the presence word";
    if (item.field >= 0 && static_cast<size_t>(item.field) < owner->fields.size()) {
        const Field &named = owner->fields[static_cast<size_t>(item.field)];
        field = py::str(named.name.data(), named.name.size());
        place = "field " + std::to_string(named.index) + " " + std::string(named.name) + " (" +
                std::string(typetable::info(named.kind).name) + ")";
    }
    if (!arm.is_none())
        place += " of arm " + std::string(py::str(arm)) + " (" + std::string(owner->name) + ")";
    const uint64_t offset = start + refusal->offset;
    const char *code = fc_rule_code(refusal->rule);
    const std::string message = "not a valid " + std::string(type.name) + ": " + rule_in_words(refusal->rule) +
                                " at byte " + std::to_string(offset) + ", in " + place + " [" + code + "]";
    py::object error = py::reinterpret_borrow<py::object>(decode_error)(message);
    error.attr("field") = field;
    error.attr("arm") = arm;
    error.attr("offset") = offset;
    error.attr("rule") = rule_in_words(refusal->rule);
    error.attr("code") = code;
    PyErr_SetObject(decode_error, error.ptr());
    throw py::error_already_set();
}

// Decodes the message at the start of bytes into `out`; returns the bytes it took.
int32_t decode_into(const Type &type, const unsigned char *bytes, size_t size, size_t start, const py::dict &out)
{
    void *record = nullptr;
    int32_t consumed;
    {
        py::gil_scoped_release unlocked;
        consumed = type.decode(bytes, static_cast<uint32_t>(size), &record);
    }
    if (consumed < 0)
        refuse(type, bytes, size, start);
    const auto release = [&type](void *decoded) { type.free_p(&decoded); };
    const std::unique_ptr<void, decltype(release)> owned(record, release);
    put(out, names->type, names_of(type).name);
    put(out, names->bytes_consumed, py::int_(consumed));
    describe(type, record, out);
    return consumed;
}

// ---- The module's functions ---------------------------------------------------------------

py::list types_list()
{
    py::list out;
    for (const Type &type : typetable::types()) {
        py::dict entry;
        entry["name"] = py::str(type.name.data(), type.name.size());
        entry["group"] = py::str(type.group.data(), type.group.size());
        entry["kind"] = type.is_union ? "union" : "struct";
        py::list rows;
        for (const Field &field : type.fields) {
            const std::string_view kind = typetable::info(field.kind).name;
            rows.append(py::dict(py::arg("index") = field.index, py::arg("name") = names_of(type).fields[field.index],
                                 py::arg("kind") = py::str(kind.data(), kind.size())));
        }
        for (const Arm &arm : type.arms)
            rows.append(py::dict(py::arg("position") = arm.position,
                                 py::arg("name") = py::str(arm.name.data(), arm.name.size()),
                                 py::arg("type") = py::str(arm.type->name.data(), arm.type->name.size())));
        entry[type.is_union ? "arms" : "fields"] = rows;
        out.append(entry);
    }
    return out;
}

py::bytes encode(const py::str &type_name, const py::dict &message)
{
    const Type &type = type_named(type_name);
    const Draft draft(type, message);
    // Most messages are short: encoded on the stack at once, and measured
    // only when they do not fit there.
    char small[1024];
    int32_t written;
    int length = -1;
    {
        py::gil_scoped_release unlocked;
        written = type.encode(draft.record(), small, sizeof small);
        if (written < 0)
            length = type.length(draft.record());
    }
    if (written >= 0)
        return py::bytes(small, static_cast<size_t>(written));
    if (length < 0)
        throw py::value_error("this " + std::string(type.name) + " cannot be encoded (its texts are too long)");
    py::bytes out(nullptr, static_cast<size_t>(length));
    char *buffer = PyBytes_AS_STRING(out.ptr());
    {
        py::gil_scoped_release unlocked;
        written = type.encode(draft.record(), buffer, static_cast<uint32_t>(length));
    }
    if (written != length)
        throw std::runtime_error("encoding " + std::string(type.name) + " wrote " + std::to_string(written) +
                                 " bytes where its length routine promised " + std::to_string(length));
    return out;
}

int encoded_length(const py::str &type_name, const py::dict &message)
{
    const Type &type = type_named(type_name);
    return length_of(type, Draft(type, message));
}

py::dict decode(const py::str &type_name, const py::handle &data)
{
    const Type &type = type_named(type_name);
    const Input input(data);
    py::dict out;
    decode_into(type, input.data(), input.size(), 0, out);
    return out;
}

py::list decode_all(const py::str &type_name, const py::handle &data)
{
    const Type &type = type_named(type_name);
    const Input input(data);
    py::list out;
    for (size_t offset = 0; offset < input.size();) {
        py::dict message;
        const size_t start = offset;
        offset += static_cast<size_t>(decode_into(type, input.data() + start, input.size() - start, start, message));
        put(message, names->offset, py::int_(start));
        out.append(message);
    }
    return out;
}

py::list identify(const py::handle &data)
{
    const Input input(data);
    std::vector<std::pair<const Type *, int32_t>> found;
    {
        py::gil_scoped_release unlocked;
        found = typetable::identify(input.data(), input.size());
    }
    py::list out;
    for (const auto &[type, consumed] : found)
        out.append(py::make_tuple(py::str(type->name.data(), type->name.size()), consumed));
    return out;
}

// ---- Calls from Python --------------------------------------------------------------
// The module's functions are plain CPython functions (METH_FASTCALL, their
// arguments positional): a general binding's dispatch would cost more than
// the work on a short message.

py::str str_argument(PyObject *object, const char *name)
{
    if (!PyUnicode_Check(object))
        throw py::type_error(std::string(name) + " must be a str, not " + Py_TYPE(object)->tp_name);
    return py::reinterpret_borrow<py::str>(object);
}

py::dict dict_argument(PyObject *object, const char *name)
{
    if (!PyDict_Check(object))
        throw py::type_error(std::string(name) + " must be a dict, not " + Py_TYPE(object)->tp_name);
    return py::reinterpret_borrow<py::dict>(object);
}

py::object types_call(PyObject *const *) { return types_list(); }
py::object encode_call(PyObject *const *a) { return encode(str_argument(a[0], "type_name"), dict_argument(a[1], "message")); }
py::object encoded_length_call(PyObject *const *a)
{
    return py::int_(encoded_length(str_argument(a[0], "type_name"), dict_argument(a[1], "message")));
}
py::object decode_call(PyObject *const *a) { return decode(str_argument(a[0], "type_name"), a[1]); }
py::object decode_all_call(PyObject *const *a) { return decode_all(str_argument(a[0], "type_name"), a[1]); }
py::object identify_call(PyObject *const *a) { return identify(a[0]); }

// Calls `body` with the arguments, turning C++ exceptions into Python's.
template <Py_ssize_t Arity, py::object (*body)(PyObject *const *)>
PyObject *function(PyObject *, PyObject *const *arguments, Py_ssize_t count)
{
    try {
        if (count != Arity)
            throw py::type_error("takes " + std::to_string(Arity) + " positional argument" + (Arity == 1 ? "" : "s") +
                                 ", not " + std::to_string(count));
        return body(arguments).release().ptr();
    } catch (py::error_already_set &error) {
        error.restore();
    } catch (const py::builtin_exception &error) {
        error.set_error();
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (const std::exception &error) {
        PyErr_SetString(PyExc_RuntimeError, error.what());
    }
    return nullptr;
}

// function<Arity, body> as a PyMethodDef holds it (CPython casts it back).
template <Py_ssize_t Arity, py::object (*body)(PyObject *const *)>
PyCFunction fastcall()
{
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&function<Arity, body>));
}

} // namespace

PYBIND11_MODULE(parcel, m)
{
    m.doc() = R"(The thirty message types of a distributed load test as XDR bytes, and back.

Every byte is encoded and decoded by the parcel library's own routines; this
module converts between its records and Python dicts.

A message is a dict shaped as `parcel decode` prints it:

    {"fields": {"real_value": 1.5, "text_1": "bc", "long_value_1": -7}}

A field the message does not carry is left out of "fields" (None, given to
encode, leaves it out too).  A union names its arm and holds the arm's fields:

    {"arm": "end_arm", "fields": {...}}      # or "discriminant": <position>
    {"arm": "none"}                          # no arm: discriminant -1

Values by field kind: int, long, u_int, u_long, u_hyper as int (in their
ranges: 32-bit signed, 32-bit unsigned, 64-bit unsigned); float and double
as float (a float field takes the float nearest; a signalling NaN in one
decodes as a quiet NaN, as Python's float holds it); wrapstring as str, or
bytes for text that is not UTF-8 (no NUL).

Errors: ValueError for an unknown type, field or arm and for values that do
not fit their field; TypeError for values of the wrong Python type;
DecodeError (a ValueError) for bytes that are not a valid message.)";

    if (names == nullptr)
        names = new Names;

    decode_error = PyErr_NewExceptionWithDoc(
        "parcel.DecodeError",
        "Bytes that are not a valid message of the type.\n\n"
        "Attributes: code, the rule's reason code (\"presence\", \"discriminant\", \"short\",\n"
        "\"length\", \"nul\" or \"padding\"); rule, the rule in words; offset, the byte of the\n"
        "data at which the decoder finds out; field, the name of the field that broke it\n"
        "(None for a presence word or discriminant); arm, the union arm holding it, or None.",
        PyExc_ValueError, nullptr);
    if (decode_error == nullptr)
        throw py::error_already_set();
    m.add_object("DecodeError", py::handle(decode_error));

    static PyMethodDef methods[] = {
        {"types", fastcall<0, types_call>(), METH_FASTCALL, R"(types($module, /)
--

The thirty types in catalogue order, as `parcel types --json` lists them:
each {"name", "group", "kind": "struct" or "union"} with "fields" (each
{"index", "name", "kind"}) for a struct or "arms" (each {"position", "name",
"type"}) for a union.)"},
        {"encode", fastcall<2, encode_call>(), METH_FASTCALL, R"(encode($module, type_name, message, /)
--

The encoding (bytes) of a message of type `type_name`, given as a dict: a
struct's {"fields": {...}} or its fields dict alone, a union's {"arm": ...,
"fields": {...}}.  What decode returns is accepted as it is.  Fields left
out, or given as None, are absent from the message.)"},
        {"encoded_length", fastcall<2, encoded_length_call>(), METH_FASTCALL,
         R"(encoded_length($module, type_name, message, /)
--

The length of encode(type_name, message), computed without encoding.)"},
        {"decode", fastcall<2, decode_call>(), METH_FASTCALL, R"(decode($module, type_name, data, /)
--

Decodes the message of type `type_name` at the start of `data` (bytes,
bytearray or memoryview) into a dict: {"type", "bytes_consumed", "fields"}
(and for a union "discriminant", "arm", "arm_type").  Bytes after the
message are left alone; "bytes_consumed" says where it ended.  Raises
DecodeError when the bytes are not a valid message.)"},
        {"decode_all", fastcall<2, decode_all_call>(), METH_FASTCALL, R"(decode_all($module, type_name, data, /)
--

Decodes messages of type `type_name` back to back until `data` ends: a list
of dicts as decode returns them, each with its "offset" in `data`.  Raises
DecodeError (its offset counted from the start of `data`) at the first that
is not valid.)"},
        {"identify", fastcall<1, identify_call>(), METH_FASTCALL, R"(identify($module, data, /)
--

The types that `data` decodes as, as a list of (type name, bytes consumed):
those that take every byte first, then the others, longest first (as
`parcel identify` lists them).  Empty when no type decodes the bytes.)"},
        {nullptr, nullptr, 0, nullptr},
    };
    for (PyMethodDef *method = methods; method->ml_name != nullptr; ++method)
        m.add_object(method->ml_name, py::reinterpret_steal<py::object>(PyCFunction_NewEx(method, m.ptr(), m.attr("__name__").ptr())));
}
