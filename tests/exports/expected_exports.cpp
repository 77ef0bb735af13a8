// Prints, one per line, every routine that libparcel.so must export: the
// twenty of each catalogue type and the three of each message.
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
void print_all(const char *const (&patterns)[N], const char *name)
{
    for (const char *pattern : patterns) {
        std::printf(pattern, name);
        std::printf("\n");
    }
}

} // namespace

int main()
{
#define PARCEL_STRUCT(group, T, FIELDS) print_all(kFamily, #T);
#define PARCEL_UNION(group, U, ARMS) print_all(kFamily, #U);
#define PARCEL_MESSAGE(MSG, T, OPTIONAL) print_all(kMessage, #MSG);
#include "records/catalogue.def"
}
