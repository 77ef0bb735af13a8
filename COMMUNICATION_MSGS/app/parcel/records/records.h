// The records and their routines are <parcel/records.h>; this header stays
// for programs that include it as "records/records.h".
#include "../records.h"
