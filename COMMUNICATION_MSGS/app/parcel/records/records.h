// Every record class of the catalogue, with the declarations of each type's
// exported routine family.
#ifndef PARCEL_RECORDS_RECORDS_H
#define PARCEL_RECORDS_RECORDS_H

#include "load_goal_msgs.h"
#include "scenario_msgs.h"
#include "vudbg_msgs.h"
#include "vuser_msgs.h"

#endif
