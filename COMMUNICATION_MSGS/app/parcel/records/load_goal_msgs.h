// Load-goal messages: hps and tps inputs and last-iteration values.
#ifndef PARCEL_RECORDS_LOAD_GOAL_MSGS_H
#define PARCEL_RECORDS_LOAD_GOAL_MSGS_H

#include "record.h"

#define PARCEL_IN_GROUP_load_goal(...) __VA_ARGS__
#include "records_of_group.h"

#endif
