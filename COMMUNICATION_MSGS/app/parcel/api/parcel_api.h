/* The message API is <parcel/parcel_api.h>; this header stays for programs
 * that include it as "api/parcel_api.h". */
#include "../parcel_api.h"
