// Expands the record classes of one group of catalogue.def.  Included (with
// no guard) by each group header after it has defined
// PARCEL_IN_GROUP_<group>(...) as __VA_ARGS__ for its own group.
#ifndef PARCEL_IN_GROUP_scenario
#define PARCEL_IN_GROUP_scenario(...)
#endif
#ifndef PARCEL_IN_GROUP_vuser
#define PARCEL_IN_GROUP_vuser(...)
#endif
#ifndef PARCEL_IN_GROUP_load_goal
#define PARCEL_IN_GROUP_load_goal(...)
#endif
#ifndef PARCEL_IN_GROUP_vudbg
#define PARCEL_IN_GROUP_vudbg(...)
#endif

#define PARCEL_STRUCT(group, T, FIELDS) PARCEL_IN_GROUP_##group(PARCEL_DEFINE_STRUCT_RECORD(T, FIELDS))
#define PARCEL_UNION(group, U, ARMS) PARCEL_IN_GROUP_##group(PARCEL_DEFINE_UNION_RECORD(U, ARMS))
#include "catalogue.def"

#undef PARCEL_IN_GROUP_scenario
#undef PARCEL_IN_GROUP_vuser
#undef PARCEL_IN_GROUP_load_goal
#undef PARCEL_IN_GROUP_vudbg
