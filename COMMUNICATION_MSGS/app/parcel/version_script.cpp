// Writes libparcel's linker version script: every routine the library
// exports, under one version node, and nothing else.  The routines are the
// twenty of each catalogue type and the three of each message.
//
//   parcel_version_script NODE FILE
#include <cstdio>

namespace {

const char *const kFamily[] = {
    "get_var_desc_for_%s", "get_var_length_desc_for_%s", "get_var_clone_desc_for_%s",
    "get_var_sizeof_desc_for_%s", "_mxdr_%s", "_xdr_%s", "mxdr_p_%s", "xdr_p_%s",
    "xdr_encode_%s", "xdr_encode_p_%s", "xdr_decode_p_%s", "xdr_decode_p_%s_to_given_goheap",
    "xdr_decode_p_%s_to_new_goheap", "xdr_length_of_encoded_%s", "xdr_length_of_encoded_p_%s",
    "mxdr_clone_p_%s", "xdr_clone_%s", "xdr_clone_%s_to_given_goheap", "xdr_clone_%s_to_new_goheap",
    "xdr_free_p_%s",
};

const char *const kMessage[] = {"parcel_encode_%s", "parcel_decode_%s", "parcel_free_%s"};

template <size_t N>
void print_all(std::FILE *out, const char *const (&patterns)[N], const char *name)
{
    for (const char *pattern : patterns) {
        std::fprintf(out, "    ");
        std::fprintf(out, pattern, name);
        std::fprintf(out, ";\n");
    }
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s NODE FILE\n", argv[0]);
        return 2;
    }
    std::FILE *out = std::fopen(argv[2], "w");
    if (out == nullptr) {
        std::perror(argv[2]);
        return 1;
    }
    std::fprintf(out, "%s {\n  global:\n", argv[1]);
#define PARCEL_STRUCT(group, T, FIELDS) print_all(out, kFamily, #T);
#define PARCEL_UNION(group, U, ARMS) print_all(out, kFamily, #U);
#define PARCEL_MESSAGE(MSG, T, OPTIONAL) print_all(out, kMessage, #MSG);
#include "records/catalogue.def"
    std::fprintf(out, "  local:\n    *;\n};\n");
    return std::fclose(out) == 0 ? 0 : 1;
}
