// What the benchmark runs on, taken from the table of the types (typetable):
// each of the thirty types with a sample record and the sample's encoding,
// each message of the message API filled alike, and value(), the field
// values that every sample and every anchor carries: the table's typical
// values (sample variant 0), as a running load test sends them.
#ifndef PARCEL_BENCH_SAMPLES_H
#define PARCEL_BENCH_SAMPLES_H

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "typetable.h"

namespace bench {

// Any failure aborts: a benchmark of an operation that fails would time
// the failure path.
inline void expect(bool ok, const char *what)
{
    if (!ok) {
        std::fprintf(stderr, "parcel_bench: %s\n", what);
        std::abort();
    }
}

// Large enough for the encoding of any sample.
inline constexpr uint32_t kBufferSize = 1024;

// The value of field `index` of kind K (a parcel::kind_<kind>) in every
// sample, as the kind's setter takes it; texts stay where they are for the
// life of the program.  BENCH_VALUE(kind, index) names the kind once.
template <class K>
typename K::param value(typetable::Kind kind, uint32_t index)
{
    static typetable::Texts texts;
    return typetable::as_param<K>(texts.keep(typetable::sample_value(kind, index, 0)));
}
#define BENCH_VALUE(kind, index) bench::value<parcel::kind_##kind>(typetable::Kind::k_##kind, index)

// A value as a plain C structure holds it: strings as char *, which
// encoders only read.
inline char *member_value(const char *text) { return const_cast<char *>(text); }
template <class Value>
Value member_value(Value value)
{
    return value;
}

// A type and its sample, every field set; a union's sample selects the arm
// with the longest encoding.
struct type_entry {
    // A copy of the table's entry: the benchmark calls each routine one
    // load away from the entry, as it always has.
    const typetable::Type type;
    std::string name;
    std::unique_ptr<typetable::Sample> owned;
    const void *sample = nullptr;
    typetable::Bytes bytes; // the sample's encoding

    explicit type_entry(const typetable::Type &of) : type(of), name(of.name)
    {
        for (const int arm : typetable::sample_arms(type)) {
            auto candidate = std::make_unique<typetable::Sample>(type, 0, arm);
            typetable::Bytes encoded = candidate->bytes();
            expect(!encoded.empty() && encoded.size() <= kBufferSize, "cannot encode a sample");
            if (owned == nullptr || encoded.size() > bytes.size()) {
                owned = std::move(candidate);
                bytes = std::move(encoded);
            }
        }
        sample = owned->record();
    }
};

// A message of the message API and its structure, every field set.
struct message_entry {
    const typetable::Message &message;
    std::string type; // the record type it mirrors
    typetable::Texts texts;
    std::vector<unsigned char> storage; // zeroed, as the structure's value initialisation
    const void *sample = nullptr;

    explicit message_entry(const typetable::Message &of)
        : message(of), type(of.type->name), storage(of.size)
    {
        typetable::fill(message, storage.data(), 0, texts);
        sample = storage.data();
    }
};

// One entry per row of the table, made in place: entries do not move.
template <class Entry, class Row>
std::vector<Entry> entries_of(const std::vector<Row> &rows)
{
    std::vector<Entry> entries;
    entries.reserve(rows.size());
    for (const Row &row : rows)
        entries.emplace_back(row);
    return entries;
}

inline const std::vector<type_entry> &types()
{
    static const std::vector<type_entry> all = entries_of<type_entry>(typetable::types());
    return all;
}

inline const std::vector<message_entry> &messages()
{
    static const std::vector<message_entry> all = entries_of<message_entry>(typetable::messages());
    return all;
}

inline const type_entry &type_named(std::string_view name)
{
    const auto found = std::find_if(types().begin(), types().end(), [name](auto &t) { return name == t.name; });
    expect(found != types().end(), "no such type");
    return *found;
}

} // namespace bench

#endif // PARCEL_BENCH_SAMPLES_H
