// Script-debugger messages: the four debugger event records, the run-state
// union that carries one of them, and the debugger log message.
#ifndef PARCEL_RECORDS_VUDBG_MSGS_H
#define PARCEL_RECORDS_VUDBG_MSGS_H

#include "record.h"

#define PARCEL_IN_GROUP_vudbg(...) __VA_ARGS__
#include "records_of_group.h"

#endif
