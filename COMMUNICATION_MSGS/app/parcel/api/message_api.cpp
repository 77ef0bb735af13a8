// The message API: each message's three functions, expanded from the
// PARCEL_MESSAGE rows of catalogue.def onto the templates below.  What
// differs between messages is data: the field list of the record type and
// the mask of fields read only when carried.
#include <parcel/parcel_api.h>

#include <cstring>
#include <type_traits>

#include "../marshal/family.h"

namespace parcel::api {

// The one shared empty string sent in place of a null string.
constexpr char kEmptyString[] = "";

// Numbers, reals among them, are copied between structure and record as
// the bytes they are stored in, never as values: on i386 a real that passes
// through the x87 unit has a signalling NaN quieted.

// A structure field of kind K put into the record's field through the field
// codec's set-field call, from the structure's own storage; a null string
// goes as the shared empty string.
template <class K>
void outgoing(void *record, typename K::type *field, uint32_t index, const typename K::type *value)
{
    if constexpr (std::is_pointer_v<typename K::type>) {
        // The record never writes through the pointer.
        const typename K::type sent = *value != nullptr ? *value : const_cast<char *>(kEmptyString);
        set_field(record, field, index, sent);
    } else {
        xdr_optional_generic_struct_set_field(record, field, sizeof *field, index, value);
    }
}

// A record field of kind K copied into the structure when it is taken: a
// string duplicated, a number as its bytes; a field not taken stays as the
// zeroed structure has it.  False when a string could not be copied.
template <class K>
bool incoming(typename K::type *destination, const typename K::type *value, bool taken)
{
    if (!taken)
        return true;
    if constexpr (std::is_pointer_v<typename K::type>) {
        *destination = os_strdup(*value);
        return *value == nullptr || *destination != nullptr;
    } else {
        std::memcpy(destination, value, sizeof *value);
        return true;
    }
}

inline void release(char *text) { os_strdup_free(text); }
template <class Value>
    requires std::is_arithmetic_v<Value>
void release(Value)
{
}

// Whether the decoder takes field `index` from the record: always, unless
// the field is optional and the message did not carry it.
inline bool taken(const void *record, uint32_t index, uint32_t optional)
{
    return ((optional >> index) & 1u) == 0 || xdr_optional_generic_struct_check_field(record, index);
}

template <class Message>
struct message;

template <class Message>
int32_t encode(const Message &msg, void *buffer, uint32_t length)
{
    using M = message<Message>;
    typename M::record record(nullptr, 0);
    M::fill_record(record, msg);
    typename M::record *recordp = &record;
    return M::encode(&recordp, buffer, length);
}

template <class Message>
void release_message(Message *msg)
{
    if (msg == nullptr)
        return;
    message<Message>::release_strings(*msg);
    maw_free(msg);
}

template <class Message>
int32_t decode(const void *buffer, uint32_t length, Message **out)
{
    using M = message<Message>;
    typename M::record *record = nullptr;
    if (out == nullptr || M::decode(buffer, length, &record) < 0)
        return -1;
    auto *msg = static_cast<Message *>(maw_malloc(sizeof(Message)));
    bool filled = false;
    if (msg != nullptr) {
        *msg = Message{};
        filled = M::fill_message(*msg, *record);
    }
    M::release_record(&record);
    if (!filled) {
        release_message(msg);
        return -1;
    }
    *out = msg;
    return 0;
}

} // namespace parcel::api

#define PARCEL_API_SET(index, kind, name) \
    parcel::api::outgoing<parcel::kind_##kind>(&record, &record.name, index, &msg.name);
#define PARCEL_API_GET(index, kind, name)                                                 \
    ok = ok && parcel::api::incoming<parcel::kind_##kind>(&msg.name, &record.name,        \
                                                          parcel::api::taken(&record, index, optional));
#define PARCEL_API_RELEASE(index, kind, name) parcel::api::release(msg.name);

#define PARCEL_MESSAGE(MSG, T, OPTIONAL)                                                          \
    template <>                                                                                   \
    struct parcel::api::message<parcel_##MSG##_t> {                                               \
        using record = T;                                                                         \
        static constexpr uint32_t optional = OPTIONAL;                                            \
        static void fill_record([[maybe_unused]] T &record, [[maybe_unused]] const parcel_##MSG##_t &msg) \
        {                                                                                         \
            PARCEL_FIELDS_##T(PARCEL_API_SET)                                                     \
        }                                                                                         \
        static bool fill_message([[maybe_unused]] parcel_##MSG##_t &msg, [[maybe_unused]] const T &record) \
        {                                                                                         \
            bool ok = true;                                                                       \
            PARCEL_FIELDS_##T(PARCEL_API_GET)                                                     \
            return ok;                                                                            \
        }                                                                                         \
        static void release_strings([[maybe_unused]] parcel_##MSG##_t &msg)                       \
        {                                                                                         \
            PARCEL_FIELDS_##T(PARCEL_API_RELEASE)                                                 \
        }                                                                                         \
        static int32_t encode(T *const *recordp, void *buffer, uint32_t length)                   \
        {                                                                                         \
            return xdr_encode_p_##T(recordp, buffer, length);                                     \
        }                                                                                         \
        static int32_t decode(const void *buffer, uint32_t length, T **recordp)                   \
        {                                                                                         \
            return xdr_decode_p_##T(buffer, length, recordp);                                     \
        }                                                                                         \
        static void release_record(T **recordp) { xdr_free_p_##T(recordp); }                      \
    };                                                                                            \
    extern "C" int32_t parcel_encode_##MSG(parcel_##MSG##_t msg, void *buf, uint32_t buf_len)     \
    {                                                                                             \
        return parcel::api::encode(msg, buf, buf_len);                                            \
    }                                                                                             \
    extern "C" int32_t parcel_decode_##MSG(const void *buf, uint32_t buf_len, parcel_##MSG##_t **out) \
    {                                                                                             \
        return parcel::api::decode(buf, buf_len, out);                                            \
    }                                                                                             \
    extern "C" void parcel_free_##MSG(parcel_##MSG##_t *msg) { parcel::api::release_message(msg); }

#include "../records/catalogue.def"
