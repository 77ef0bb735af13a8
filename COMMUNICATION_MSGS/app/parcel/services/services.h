// The outside services that parcel calls: the field codec, goheap arenas,
// the process allocator of the message API and string copies.
#ifndef PARCEL_SERVICES_SERVICES_H
#define PARCEL_SERVICES_SERVICES_H

#include "fieldcodec.h"
#include "heapkit.h"
#include "hostshim.h"
#include "taskbase.h"

#endif
