// Virtual-user and driver messages: the driver and virtual-user messages,
// the four virtual-user status records and the status union.
#ifndef PARCEL_RECORDS_VUSER_MSGS_H
#define PARCEL_RECORDS_VUSER_MSGS_H

#include "record.h"

#define PARCEL_IN_GROUP_vuser(...) __VA_ARGS__
#include "records_of_group.h"

#endif
