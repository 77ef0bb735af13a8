// Scenario and control messages: text, scenario start and end, tc scenarios,
// attribute change, result collation, debug level, quota, soft kill,
// rendezvous and bridge data.
#ifndef PARCEL_RECORDS_SCENARIO_MSGS_H
#define PARCEL_RECORDS_SCENARIO_MSGS_H

#include "record.h"

#define PARCEL_IN_GROUP_scenario(...) __VA_ARGS__
#include "records_of_group.h"

#endif
