// The thirty message types for everything outside the library: the tool, the
// tests, the fuzzers, the corpus generator and the benchmarks.  One table,
// expanded from catalogue.def at the end of this header, in three layers:
//
//   types(), messages()   every type (struct or union) and every message of the
//                         message API at run time: names, fields or arms, and
//                         each routine of the library behind an entry point
//                         that takes records and messages as void *
//   sample_value, fill, Sample, sample_message
//                         sample values, records and messages
//   family<T>, message_family<M>, Records, StructRecords, UnionRecords, Messages
//                         the same at compile time, for typed test suites and
//                         benchmarks that call the routines directly
//
// For instance, the encoding of a sample of every type, every arm of a union:
//
//   for (const typetable::Type &type : typetable::types())
//       for (int arm : typetable::sample_arms(type))
//           check(type, typetable::sample_bytes(type, variant, arm));
//
// None of it is exported by libparcel: it is the static library
// parcel_typetable, linked into the programs that use it.
#ifndef PARCEL_TYPETABLE_H
#define PARCEL_TYPETABLE_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <ostream>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "api/parcel_api.h"
#include "records/records.h"

namespace typetable {

using Bytes = std::vector<unsigned char>;

// ---- Field kinds ------------------------------------------------------------------

// The eight kinds in the order of Kind, for tables indexed by it.
#define TYPETABLE_KINDS(X) X(int) X(long) X(u_int) X(u_long) X(float) X(double) X(u_hyper) X(wrapstring)

// Spelled k_<kind> after catalogue.def, some of whose kind names are C++ keywords.
#define TYPETABLE_KIND_ENUMERATOR(kind) k_##kind,
enum class Kind { TYPETABLE_KINDS(TYPETABLE_KIND_ENUMERATOR) };
#undef TYPETABLE_KIND_ENUMERATOR

// What the record classes and the field codec make of a kind.
struct KindInfo {
    std::string_view name; // as catalogue.def spells it
    uint32_t width;        // bytes of a field in a record
    uint8_t shape;         // FC_SHAPE_WORD, FC_SHAPE_DOUBLEWORD or FC_SHAPE_STRING
    fc_xdr_routine_t xdr;  // the field codec's routines for the kind
    fc_length_routine_t length;
    fc_clone_routine_t clone;
};

const KindInfo &info(Kind kind);

// A field value: the storage type of its kind (int and long share int32_t,
// u_int and u_long share uint32_t), text as owned characters.
using Value = std::variant<int32_t, uint32_t, float, double, uint64_t, std::string>;

// Reads a field's storage, at its address in a record or message structure;
// a null text reads as "".
Value load(Kind kind, const void *field);

// A value as the argument of a record's set_<field> for kind K (a
// parcel::kind_<kind>): the storage value, or for text a pointer into the
// value, which must outlive the record's use of it.
template <class K>
typename K::param as_param(const Value &value)
{
    if constexpr (std::is_same_v<typename K::type, char *>)
        return std::get<std::string>(value).c_str();
    else
        return std::get<typename K::type>(value);
}

// ---- The table ----------------------------------------------------------------------

struct Field {
    uint32_t index;
    std::string_view name;
    Kind kind;
    uint32_t offset; // in the record, from the type's var descriptor
    uint8_t shape;   // info(kind).shape
    // The record's set_<name> (false when the record refuses the value;
    // text points into `value`) and has_<name>.
    bool (*set)(void *record, const Value &value);
    bool (*has)(const void *record);
};

struct Type;
struct Message;

struct Arm {
    uint32_t position;
    std::string_view name;
    const Type *type;
};

// A type and its routine family.  Records are untyped: an entry point takes
// the record itself, or where the library's routine does (the _p forms), the
// address of a record pointer.  Out-pointers are passed through as they are,
// so that what a routine leaves in them can be checked.
struct Type {
    std::string_view name;
    std::string_view group; // scenario, vuser, load_goal or vudbg
    bool is_union = false;
    size_t size = 0;           // sizeof the record class
    std::vector<Field> fields; // a struct's, by index
    std::vector<Arm> arms;     // a union's, by position
    // The message of the message API that mirrors the type, if any.
    const Message *message = nullptr;
    const var_desc_t *var_desc = nullptr;
    const var_length_desc_t *length_desc = nullptr;
    const var_clone_desc_t *clone_desc = nullptr;

    // T::place_in_goheap (a new empty record; null heap: the default heap)
    // and T::release_to_goheap (the record alone, not what it points to).
    void *(*create)(goheap_t *heap);
    void (*release)(goheap_t *heap, void *record);
    // The exported routines, named as in the library with the type left
    // out: encode is xdr_encode_T, length xdr_length_of_encoded_T, decode
    // xdr_decode_p_T and decode_given, decode_new its _to_given_goheap and
    // _to_new_goheap forms, clone xdr_clone_T (and its forms), clone_p
    // mxdr_clone_p_T, free_p xdr_free_p_T, mxdr _mxdr_T (the value filter)
    // and mxdr_p mxdr_p_T (the pointer filter).
    int32_t (*encode)(const void *record, void *buffer, uint32_t length);
    int32_t (*encode_p)(void *const *recordp, void *buffer, uint32_t length);
    int (*length)(const void *record);
    int (*length_p)(const void *recordp);
    int32_t (*decode)(const void *buffer, uint32_t length, void **recordp);
    int32_t (*decode_given)(const void *buffer, uint32_t length, void **recordp, goheap_t *heap);
    int32_t (*decode_new)(const void *buffer, uint32_t length, void **recordp, goheap_t **heapp);
    void *(*clone)(const void *record);
    void *(*clone_given)(const void *record, goheap_t *heap);
    void *(*clone_new)(const void *record, goheap_t **heapp);
    int (*clone_p)(const void *sourcep, void *destinationp, goheap_t *heap);
    void (*free_p)(void **recordp);
    int (*mxdr)(XDR *xdrs, void *record, goheap_t *heap); // _mxdr_T, the value filter
    int (*mxdr_p)(XDR *xdrs, void *recordp, goheap_t *heap);
    // Unions: the discriminant, the selected arm's record, and selecting one.
    int32_t (*discriminant)(const void *record) = nullptr;
    void *(*arm_record)(const void *record) = nullptr;
    void (*select_arm)(void *record, int32_t discriminant, void *arm) = nullptr;

    // Fields of a struct, arms of a union.
    uint32_t count() const { return static_cast<uint32_t>(is_union ? arms.size() : fields.size()); }
    const Field *find_field(std::string_view field_name) const;
    const Arm *find_arm(std::string_view arm_name) const;
};

// A message of the message API: parcel_<name>_t with parcel_encode_<name>,
// parcel_decode_<name> and parcel_free_<name>.  Its fields are those of its
// record type, at `offsets` in the structure.
struct Message {
    std::string_view name;
    const Type *type = nullptr;
    uint32_t optional = 0; // fields the decoder reads only when carried
    size_t size = 0;       // sizeof parcel_<name>_t
    std::vector<uint32_t> offsets;

    int32_t (*encode)(const void *msg, void *buffer, uint32_t length);
    // *msgp is left as it is on failure.
    int32_t (*decode)(const void *buffer, uint32_t length, void **msgp);
    void (*free)(void *msg);
};

// In catalogue order, which is the order of `parcel types`, of the corpus
// files and of the fuzz targets' selector byte.
const std::vector<Type> &types();
const std::vector<Message> &messages();
// By name, or null.
const Type *find_type(std::string_view name);
const Message *find_message(std::string_view name);

// Test frameworks print entries by name.
inline void PrintTo(const Type &type, std::ostream *out) { *out << type.name; }
inline void PrintTo(const Message &message, std::ostream *out) { *out << message.name; }

// The encoding of a record, in a buffer sized by its length routine; empty
// when it cannot be encoded.
Bytes encode(const Type &type, const void *record);

// A new empty record of a type on the default heap (Type::create), released
// (the record alone, not what its fields point to) when the holder goes.
struct OwnedRecord {
    const Type *type = nullptr;
    void *record = nullptr;
    OwnedRecord() = default;
    OwnedRecord(const OwnedRecord &) = delete;
    OwnedRecord &operator=(const OwnedRecord &) = delete;
    ~OwnedRecord();
    // Makes the record; throws std::bad_alloc when that fails.
    void create(const Type &record_type);
};

// The types whose decoders take the `size` bytes at `bytes` (size at most
// UINT32_MAX), each with the bytes it consumes: the most first, catalogue
// order among equals.
std::vector<std::pair<const Type *, int32_t>> identify(const unsigned char *bytes, size_t size);

// The field codec's explaining decode of a type (fc_explain_decode with the
// type's pointer filter and the default heap) from `xdrs`, or from the `size`
// bytes at `bytes` (size at most UINT32_MAX); the record it builds is freed.
// Returns fc_explain_decode's result; `consumed` may be null.
int explain(const Type &type, XDR *xdrs, const fc_sink_t &sink, uint64_t *consumed);
int explain(const Type &type, const unsigned char *bytes, size_t size, const fc_sink_t &sink, uint64_t *consumed);

// Whether every field of a message structure holds what the record holds (a
// field the record lacks: zero, or a null text), numbers bit for bit.
bool matches_record(const Message &message, const void *msg, const void *record);
// Whether two message structures hold the same fields, numbers bit for bit;
// with null_as_empty a null text equals "" (as the encoder sends it).
bool same_fields(const Message &message, const void *a, const void *b, bool null_as_empty);

// A mask of the first `count` fields.
constexpr uint32_t all_fields(uint32_t count) { return count >= 32 ? ~0u : (1u << count) - 1; }

// ---- Samples ----------------------------------------------------------------------

// The value field `index` of kind `kind` holds in sample variant `variant`:
//   variant 0     typical values, as a running load test sends them (the
//                 benchmarks' workload): texts of 25 to 49 bytes, every
//                 padding among them; the same values for every type
//   other         values drawn from (variant, index): arbitrary bits, and a
//                 third of the time an edge value (limits, signed zeros,
//                 infinities, NaNs with payloads, the smallest subnormal);
//                 texts mostly of 0 to 9 bytes, now and then of 10 to 309,
//                 of any byte but NUL.  Pass a random variant for a random
//                 record.
Value sample_value(Kind kind, uint32_t index, uint64_t variant);

// Keeps the texts that sample records and messages point at.
class Texts {
public:
    const Value &keep(Value value)
    {
        values_.push_back(std::move(value));
        return values_.back();
    }

private:
    std::deque<Value> values_; // elements never move
};

// Sets the fields in `mask` of a struct record to the values of `variant`;
// false when a setter refused one.
bool fill(const Type &type, void *record, uint64_t variant, uint32_t mask, Texts &texts);
// Sets every field of a message structure to the values of `variant`.
void fill(const Message &message, void *msg, uint64_t variant, Texts &texts);

// A sample record of `type` on the default heap: the fields in `mask` set to
// the values of `variant`; for a union, arm `arm` (-1: none) selected and
// holding such a record of its type.  Owns the records and their texts.
class Sample {
public:
    Sample(const Type &type, uint64_t variant, int arm = 0, uint32_t mask = ~0u);
    ~Sample();
    Sample(const Sample &) = delete;
    Sample &operator=(const Sample &) = delete;

    void *record() const { return record_; }
    // The record's encoding; empty when a value was refused or the record
    // cannot be encoded.
    Bytes bytes() const { return ok_ ? encode(type_, record_) : Bytes{}; }

private:
    const Type &type_;
    Texts texts_;
    void *record_ = nullptr;
    const Type *arm_type_ = nullptr;
    void *arm_record_ = nullptr;
    bool ok_ = false;
};

// The encoding of Sample(type, variant, arm, mask).
inline Bytes sample_bytes(const Type &type, uint64_t variant, int arm = 0, uint32_t mask = ~0u)
{
    return Sample(type, variant, arm, mask).bytes();
}
// The arms a sample of `type` can hold: for a union -1 (none) and each arm,
// for a struct the one "arm" 0.
std::vector<int> sample_arms(const Type &type);
// A message with every field set to the values of `variant`, encoded by
// parcel_encode_<name>; empty when that fails.
Bytes sample_message(const Message &message, uint64_t variant);

// ---- The catalogue at compile time ------------------------------------------------------

template <class... Ts>
struct TypeList {};

template <class... Ts>
constexpr size_t length_of(TypeList<Ts...>)
{
    return sizeof...(Ts);
}

template <class List>
struct drop_first_of;
template <class First, class... Rest>
struct drop_first_of<TypeList<First, Rest...>> {
    using type = TypeList<Rest...>;
};
template <class List>
using drop_first = typename drop_first_of<List>::type;

// The types of a list as the arguments of another template, e.g.
// list_as<::testing::Types, StructRecords>.
template <template <class...> class To, class List>
struct list_as_of;
template <template <class...> class To, class... Ts>
struct list_as_of<To, TypeList<Ts...>> {
    using type = To<Ts...>;
};
template <template <class...> class To, class List>
using list_as = typename list_as_of<To, List>::type;

// Calls f(std::type_identity<T>{}) for each T of the list, in order.
template <class List, class F>
void for_each_type(F &&f)
{
    [&]<class... Ts>(TypeList<Ts...>) { (f(std::type_identity<Ts>{}), ...); }(List{});
}

// The position of T in the list.
template <class T, class List>
struct index_of;
template <class T, class... Rest>
struct index_of<T, TypeList<T, Rest...>> : std::integral_constant<size_t, 0> {};
template <class T, class First, class... Rest>
struct index_of<T, TypeList<First, Rest...>>
    : std::integral_constant<size_t, 1 + index_of<T, TypeList<Rest...>>::value> {};

// The types of the list for which Keep<T>::value holds.
template <template <class> class Keep, class List>
struct only_of;
template <template <class> class Keep>
struct only_of<Keep, TypeList<>> {
    using type = TypeList<>;
};
template <template <class> class Keep, class First, class... Rest>
struct only_of<Keep, TypeList<First, Rest...>> {
    template <class... Kept>
    static TypeList<First, Kept...> with_first(TypeList<Kept...>);
    using rest = typename only_of<Keep, TypeList<Rest...>>::type;
    using type = std::conditional_t<Keep<First>::value, decltype(with_first(rest{})), rest>;
};
template <template <class> class Keep, class List>
using only = typename only_of<Keep, List>::type;

// One field of a record class, as family<T>::fields lists it.
struct FieldRow {
    uint32_t index;
    std::string_view name;
    Kind kind;
    bool (*set)(void *record, const Value &value);
    bool (*has)(const void *record);
};

// A record class T: its name and group, its exported routines as they are
// declared (T *, not void *), and its fields (fields, a std::array of
// FieldRow) or arms (arms, a TypeList of the arm classes in position order,
// and arm_names).
template <class T>
struct family;

// A message structure M (parcel_<msg>_t): name, record (its record class),
// optional, encode, decode, free, offsets of its fields, and
// zip(visit, a, b), which calls visit(index, name, a.<field>, b.<field>) for
// each field in order.
template <class M>
struct message_family;

// message_of<T>::type: the message structure of record class T, where it has one.
template <class T>
struct message_of {};

// The run-time entries of a record class and of a message structure.
template <class T>
const Type &type_entry();
template <class M>
const Message &message_entry();

// ---- The expansion of catalogue.def --------------------------------------------------------

#define TYPETABLE_ROUTINES(T)                                                             \
    using record = T;                                                                     \
    static constexpr std::string_view name = #T;                                          \
    static constexpr auto var_desc = &get_var_desc_for_##T;                               \
    static constexpr auto length_desc = &get_var_length_desc_for_##T;                     \
    static constexpr auto clone_desc = &get_var_clone_desc_for_##T;                       \
    static constexpr auto sizeof_desc = &get_var_sizeof_desc_for_##T;                     \
    static constexpr auto mxdr = &_mxdr_##T;                                              \
    static constexpr auto xdr = &_xdr_##T;                                                \
    static constexpr auto mxdr_p = &mxdr_p_##T;                                           \
    static constexpr auto xdr_p = &xdr_p_##T;                                             \
    static constexpr auto encode = &xdr_encode_##T;                                       \
    static constexpr auto encode_p = &xdr_encode_p_##T;                                   \
    static constexpr auto decode = &xdr_decode_p_##T;                                     \
    static constexpr auto decode_given = &xdr_decode_p_##T##_to_given_goheap;             \
    static constexpr auto decode_new = &xdr_decode_p_##T##_to_new_goheap;                 \
    static constexpr auto length = &xdr_length_of_encoded_##T;                            \
    static constexpr auto length_p = &xdr_length_of_encoded_p_##T;                        \
    static constexpr auto clone = &xdr_clone_##T;                                         \
    static constexpr auto clone_given = &xdr_clone_##T##_to_given_goheap;                 \
    static constexpr auto clone_new = &xdr_clone_##T##_to_new_goheap;                     \
    static constexpr auto clone_p = &mxdr_clone_p_##T;                                    \
    static constexpr auto free_p = &xdr_free_p_##T;

#define TYPETABLE_FIELD(index, kind, field_name)                                                  \
    FieldRow{index, #field_name, Kind::k_##kind,                                                  \
             [](void *r, const Value &v) {                                                        \
                 return static_cast<R *>(r)->set_##field_name(as_param<parcel::kind_##kind>(v));  \
             },                                                                                   \
             [](const void *r) { return static_cast<const R *>(r)->has_##field_name(); }},

#define TYPETABLE_ARM_TYPE(position, arm, A) , A
#define TYPETABLE_ARM_NAME(position, arm, A) std::string_view(#arm),

#define TYPETABLE_MESSAGE_OFFSET(index, kind, field_name) static_cast<uint32_t>(offsetof(message, field_name)),
#define TYPETABLE_MESSAGE_ZIP(index, kind, field_name) visit(uint32_t{index}, #field_name, a.field_name, b.field_name);

#define PARCEL_STRUCT(group_name, T, FIELDS)                                                      \
    template <>                                                                                   \
    struct family<T> {                                                                 \
        TYPETABLE_ROUTINES(T)                                                                     \
        using R = T;                                                                              \
        static constexpr std::string_view group = #group_name;                                    \
        static constexpr bool is_union = false;                                                   \
        static constexpr std::array<FieldRow, T::kFieldCount> fields = {{FIELDS(TYPETABLE_FIELD)}}; \
    };

#define PARCEL_UNION(group_name, U, ARMS)                                                         \
    template <>                                                                                   \
    struct family<U> {                                                                 \
        TYPETABLE_ROUTINES(U)                                                                     \
        static constexpr std::string_view group = #group_name;                                    \
        static constexpr bool is_union = true;                                                    \
        using arms = drop_first<TypeList<void ARMS(TYPETABLE_ARM_TYPE)>>;                         \
        static constexpr std::array<std::string_view, U::kArmCount> arm_names = {{ARMS(TYPETABLE_ARM_NAME)}}; \
    };

#define PARCEL_MESSAGE(MSG, T, OPTIONAL)                                                          \
    template <>                                                                                   \
    struct message_family<parcel_##MSG##_t> {                                          \
        using message = parcel_##MSG##_t;                                                         \
        using record = T;                                                                         \
        static constexpr std::string_view name = #MSG;                                            \
        static constexpr uint32_t optional = OPTIONAL;                                            \
        static constexpr auto encode = &parcel_encode_##MSG;                                      \
        static constexpr auto decode = &parcel_decode_##MSG;                                      \
        static constexpr auto free = &parcel_free_##MSG;                                          \
        static constexpr std::array<uint32_t, T::kFieldCount> offsets = {                         \
            {PARCEL_FIELDS_##T(TYPETABLE_MESSAGE_OFFSET)}};                                       \
        template <class Visit, class A, class B>                                                  \
        static void zip(Visit &&visit, A &a, B &b)                                                \
        {                                                                                         \
            PARCEL_FIELDS_##T(TYPETABLE_MESSAGE_ZIP)                                              \
        }                                                                                         \
    };                                                                                            \
    template <>                                                                                   \
    struct message_of<T> {                                                             \
        using type = parcel_##MSG##_t;                                                            \
    };
#include "records/catalogue.def"

#undef TYPETABLE_ROUTINES
#undef TYPETABLE_FIELD
#undef TYPETABLE_ARM_TYPE
#undef TYPETABLE_ARM_NAME
#undef TYPETABLE_MESSAGE_OFFSET
#undef TYPETABLE_MESSAGE_ZIP

// Every record class in catalogue order (a union after the types of its arms).
#define PARCEL_STRUCT(group, T, FIELDS) , T
#define PARCEL_UNION(group, U, ARMS) , U
using Records = drop_first<TypeList<void
#include "records/catalogue.def"
                                    >>;

template <class T>
struct is_union_record : std::bool_constant<family<T>::is_union> {};
template <class T>
struct is_struct_record : std::bool_constant<!family<T>::is_union> {};
template <class T>
struct has_message : std::bool_constant<requires { typename message_of<T>::type; }> {};

template <class List>
struct messages_of;
template <class... Ts>
struct messages_of<TypeList<Ts...>> {
    using type = TypeList<typename message_of<Ts>::type...>;
};

using StructRecords = only<is_struct_record, Records>;
using UnionRecords = only<is_union_record, Records>;
// Every message structure, in catalogue order.
using Messages = typename messages_of<only<has_message, Records>>::type;

template <class T>
const Type &type_entry()
{
    return types()[index_of<T, Records>::value];
}

template <class M>
const Message &message_entry()
{
    return messages()[index_of<M, Messages>::value];
}

} // namespace typetable

#endif // PARCEL_TYPETABLE_H
