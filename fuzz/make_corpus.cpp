// Writes the starting corpus of the two fuzz targets: valid encodings, made by
// the library from records and messages with every field set.
//
//   make_corpus DIR      writes DIR/decode/* and DIR/message/*
//
// decode inputs, per type: every field present in each of the three decode
// forms, half of the fields present, no field present; per union, every arm
// and no arm, in each form.  message inputs, per message: two messages with
// every field set and one record that lacks its last field.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "typetable.h"

namespace {

namespace fs = std::filesystem;
using typetable::Bytes;

constexpr unsigned kForms = 3;
const char *const kFormNames[kForms] = {"default", "given", "new"};

bool write_input(const fs::path &path, unsigned selector, const Bytes &bytes)
{
    if (bytes.empty()) {
        std::fprintf(stderr, "make_corpus: no encoding for %s\n", path.c_str());
        return false;
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    const char head[2] = {static_cast<char>(selector), 0}; // byte 1: refuse no allocation
    out.write(head, sizeof head);
    out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
        return 2;
    }
    const fs::path root = argv[1];
    fs::create_directories(root / "decode");
    fs::create_directories(root / "message");
    bool ok = true;

    const auto &types = typetable::types();
    for (unsigned t = 0; t < types.size(); ++t) {
        const auto &type = types[t];
        const std::string base = (root / "decode" / std::string(type.name)).string();
        for (unsigned form = 0; form < kForms; ++form) {
            const unsigned selector = t * kForms + form;
            if (type.is_union) {
                for (int arm : typetable::sample_arms(type))
                    ok = write_input(base + ".arm" + std::to_string(arm + 1) + "." + kFormNames[form], selector,
                                    typetable::sample_bytes(type, form, arm)) && ok;
            } else {
                ok = write_input(base + ".full." + kFormNames[form], selector, typetable::sample_bytes(type, form)) &&
                     ok;
            }
        }
        if (!type.is_union && type.count() > 1)
            ok = write_input(base + ".half.default", t * kForms, typetable::sample_bytes(type, 3, 0, 0x55555555u)) &&
                 ok;
        if (!type.is_union && type.count() > 0)
            ok = write_input(base + ".empty.new", t * kForms + 2, typetable::sample_bytes(type, 0, 0, 0)) && ok;
    }

    const auto &messages = typetable::messages();
    for (unsigned m = 0; m < messages.size(); ++m) {
        const auto &msg = messages[m];
        const std::string base = (root / "message" / std::string(msg.name)).string();
        ok = write_input(base + ".full0", m, typetable::sample_message(msg, 0)) && ok;
        ok = write_input(base + ".full1", m, typetable::sample_message(msg, 1)) && ok;
        ok = write_input(base + ".lacks_last", m,
                         typetable::sample_bytes(*msg.type, 2, 0, typetable::all_fields(msg.type->count()) >> 1)) &&
             ok;
    }
    return ok ? 0 : 1;
}
