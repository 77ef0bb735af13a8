// The run-time table, built from the compile-time one: each entry point is a
// captureless lambda over a family<T> routine, or the routine itself where
// its signature already takes untyped records.
#include "typetable.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace typetable {
namespace {

#define TYPETABLE_KIND_INFO(kind)                                                                 \
    KindInfo{#kind,                    sizeof(parcel::kind_##kind::type), parcel::kind_##kind::storage_shape, \
             parcel::kind_##kind::xdr, parcel::kind_##kind::length,       parcel::kind_##kind::clone},
constexpr KindInfo kKinds[] = {TYPETABLE_KINDS(TYPETABLE_KIND_INFO)};
#undef TYPETABLE_KIND_INFO

struct Table {
    std::vector<Type> types;
    std::vector<Message> messages;
};

template <class T>
void add_routines(Type &type)
{
    using F = family<T>;
    type.name = F::name;
    type.group = F::group;
    type.is_union = F::is_union;
    type.size = sizeof(T);
    type.var_desc = F::var_desc();
    type.length_desc = F::length_desc();
    type.clone_desc = F::clone_desc();

    type.create = [](goheap_t *heap) -> void * { return T::place_in_goheap(heap); };
    type.release = [](goheap_t *heap, void *record) { T::release_to_goheap(heap, static_cast<T *>(record)); };
    type.encode = [](const void *record, void *buffer, uint32_t length) {
        return F::encode(static_cast<const T *>(record), buffer, length);
    };
    type.encode_p = [](void *const *recordp, void *buffer, uint32_t length) {
        T *const record = static_cast<T *>(*recordp);
        return F::encode_p(&record, buffer, length);
    };
    type.length = [](const void *record) { return F::length(static_cast<const T *>(record)); };
    type.length_p = F::length_p;
    type.decode = [](const void *buffer, uint32_t length, void **recordp) {
        T *record = static_cast<T *>(*recordp);
        const int32_t consumed = F::decode(buffer, length, &record);
        *recordp = record;
        return consumed;
    };
    type.decode_given = [](const void *buffer, uint32_t length, void **recordp, goheap_t *heap) {
        T *record = static_cast<T *>(*recordp);
        const int32_t consumed = F::decode_given(buffer, length, &record, heap);
        *recordp = record;
        return consumed;
    };
    type.decode_new = [](const void *buffer, uint32_t length, void **recordp, goheap_t **heapp) {
        T *record = static_cast<T *>(*recordp);
        const int32_t consumed = F::decode_new(buffer, length, &record, heapp);
        *recordp = record;
        return consumed;
    };
    type.clone = [](const void *record) -> void * { return F::clone(static_cast<const T *>(record)); };
    type.clone_given = [](const void *record, goheap_t *heap) -> void * {
        return F::clone_given(static_cast<const T *>(record), heap);
    };
    type.clone_new = [](const void *record, goheap_t **heapp) -> void * {
        return F::clone_new(static_cast<const T *>(record), heapp);
    };
    type.clone_p = F::clone_p;
    type.free_p = [](void **recordp) {
        T *record = static_cast<T *>(*recordp);
        F::free_p(&record);
        *recordp = record;
    };
    type.mxdr = [](XDR *xdrs, void *record, goheap_t *heap) { return F::mxdr(xdrs, static_cast<T *>(record), heap); };
    type.mxdr_p = F::mxdr_p;
}

template <class T>
void add_fields(Type &type)
{
    for (const FieldRow &row : family<T>::fields) {
        const Field field{row.index, row.name, row.kind, type.var_desc->entries[row.index].offset,
                          info(row.kind).shape, row.set, row.has};
        type.fields.push_back(field);
    }
}

template <class U>
void add_arms(Type &type, const std::vector<Type> &built)
{
    using F = family<U>;
    type.discriminant = [](const void *record) { return static_cast<const U *>(record)->discriminant; };
    type.arm_record = [](const void *record) { return static_cast<const U *>(record)->arm; };
    type.select_arm = [](void *record, int32_t discriminant, void *arm) {
        auto *u = static_cast<U *>(record);
        u->discriminant = discriminant;
        u->arm = arm;
    };
    uint32_t position = 0;
    for_each_type<typename F::arms>([&](auto arm) {
        using A = typename decltype(arm)::type;
        static_assert(index_of<A, Records>::value < index_of<U, Records>::value,
                      "a union follows the types of its arms in catalogue.def");
        type.arms.push_back(Arm{position, F::arm_names[position], &built[index_of<A, Records>::value]});
        ++position;
    });
}

template <class M>
Message make_message(const std::vector<Type> &built)
{
    using F = message_family<M>;
    Message message;
    message.name = F::name;
    message.type = &built[index_of<typename F::record, Records>::value];
    message.optional = F::optional;
    message.size = sizeof(M);
    message.offsets.assign(F::offsets.begin(), F::offsets.end());
    message.encode = [](const void *msg, void *buffer, uint32_t length) {
        return F::encode(*static_cast<const M *>(msg), buffer, length);
    };
    message.decode = [](const void *buffer, uint32_t length, void **msgp) {
        M *msg = static_cast<M *>(*msgp);
        const int32_t result = F::decode(buffer, length, &msg);
        *msgp = msg;
        return result;
    };
    message.free = [](void *msg) { F::free(static_cast<M *>(msg)); };
    return message;
}

Table build()
{
    Table table;
    // Arms and messages point into the vectors: no reallocation after the
    // first element.
    table.types.reserve(length_of(Records{}));
    for_each_type<Records>([&](auto record) {
        using T = typename decltype(record)::type;
        Type type;
        add_routines<T>(type);
        if constexpr (family<T>::is_union)
            add_arms<T>(type, table.types);
        else
            add_fields<T>(type);
        table.types.push_back(std::move(type));
    });
    table.messages.reserve(table.types.size());
    for_each_type<Messages>([&](auto message) {
        using M = typename decltype(message)::type;
        table.messages.push_back(make_message<M>(table.types));
        table.types[index_of<typename message_family<M>::record, Records>::value].message = &table.messages.back();
    });
    return table;
}

const Table &table()
{
    static const Table built = build();
    return built;
}

// Whether two fields of `kind` hold the same, given the addresses of their storage.
bool same_storage(Kind kind, const void *a, const void *b, bool null_as_empty)
{
    if (kind != Kind::k_wrapstring)
        return std::memcmp(a, b, info(kind).width) == 0; // bit patterns: NaN payloads too
    const char *x;
    const char *y;
    std::memcpy(&x, a, sizeof x);
    std::memcpy(&y, b, sizeof y);
    if (null_as_empty) {
        x = x == nullptr ? "" : x;
        y = y == nullptr ? "" : y;
    }
    return x == nullptr || y == nullptr ? x == y : std::strcmp(x, y) == 0;
}

} // namespace

const KindInfo &info(Kind kind) { return kKinds[static_cast<size_t>(kind)]; }

Value load(Kind kind, const void *field)
{
    const auto plain = [field]<class Storage>(Storage value) -> Value {
        std::memcpy(&value, field, sizeof value);
        return value;
    };
    switch (kind) {
    case Kind::k_int:
    case Kind::k_long: return plain(int32_t{});
    case Kind::k_u_int:
    case Kind::k_u_long: return plain(uint32_t{});
    case Kind::k_float: return plain(float{});
    case Kind::k_double: return plain(double{});
    case Kind::k_u_hyper: return plain(uint64_t{});
    case Kind::k_wrapstring: {
        const char *text;
        std::memcpy(&text, field, sizeof text);
        return std::string(text != nullptr ? text : "");
    }
    }
    return int32_t{0};
}

const std::vector<Type> &types() { return table().types; }
const std::vector<Message> &messages() { return table().messages; }

const Type *find_type(std::string_view name)
{
    for (const Type &type : types())
        if (type.name == name)
            return &type;
    return nullptr;
}

const Message *find_message(std::string_view name)
{
    for (const Message &message : messages())
        if (message.name == name)
            return &message;
    return nullptr;
}

const Field *Type::find_field(std::string_view field_name) const
{
    for (const Field &field : fields)
        if (field.name == field_name)
            return &field;
    return nullptr;
}

const Arm *Type::find_arm(std::string_view arm_name) const
{
    for (const Arm &arm : arms)
        if (arm.name == arm_name)
            return &arm;
    return nullptr;
}

Bytes encode(const Type &type, const void *record)
{
    const int length = type.length(record);
    if (length < 0)
        return {};
    Bytes bytes(static_cast<size_t>(length));
    if (type.encode(record, bytes.data(), static_cast<uint32_t>(bytes.size())) != length)
        return {};
    return bytes;
}

OwnedRecord::~OwnedRecord()
{
    if (record != nullptr)
        type->release(nullptr, record);
}

void OwnedRecord::create(const Type &record_type)
{
    type = &record_type;
    record = record_type.create(nullptr);
    if (record == nullptr)
        throw std::bad_alloc();
}

std::vector<std::pair<const Type *, int32_t>> identify(const unsigned char *bytes, size_t size)
{
    std::vector<std::pair<const Type *, int32_t>> found;
    for (const Type &type : types()) {
        void *record = nullptr;
        const int32_t consumed = type.decode(bytes, static_cast<uint32_t>(size), &record);
        if (consumed < 0)
            continue;
        type.free_p(&record);
        found.emplace_back(&type, consumed);
    }
    std::stable_sort(found.begin(), found.end(), [](const auto &a, const auto &b) { return a.second > b.second; });
    return found;
}

int explain(const Type &type, XDR *xdrs, const fc_sink_t &sink, uint64_t *consumed)
{
    void *record = nullptr;
    const int result = fc_explain_decode(xdrs, type.mxdr_p, &record, nullptr, &sink, consumed);
    type.free_p(&record);
    return result;
}

int explain(const Type &type, const unsigned char *bytes, size_t size, const fc_sink_t &sink, uint64_t *consumed)
{
    XDR memory;
    xdrmem_create(&memory, reinterpret_cast<char *>(const_cast<unsigned char *>(bytes)), static_cast<u_int>(size),
                  XDR_DECODE);
    const int result = explain(type, &memory, sink, consumed);
    XDR_DESTROY(&memory);
    return result;
}

bool matches_record(const Message &message, const void *msg, const void *record)
{
    static constexpr char kAbsent[8] = {};
    for (const Field &field : message.type->fields) {
        const void *held = field.has(record) ? static_cast<const char *>(record) + field.offset : kAbsent;
        if (!same_storage(field.kind, static_cast<const char *>(msg) + message.offsets[field.index], held, false))
            return false;
    }
    return true;
}

bool same_fields(const Message &message, const void *a, const void *b, bool null_as_empty)
{
    for (const Field &field : message.type->fields) {
        const uint32_t offset = message.offsets[field.index];
        if (!same_storage(field.kind, static_cast<const char *>(a) + offset, static_cast<const char *>(b) + offset,
                          null_as_empty))
            return false;
    }
    return true;
}

} // namespace typetable
