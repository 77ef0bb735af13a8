// The one function that a callgrind run collects (--toggle-collect): it runs
// one operation.  It lives in a file of its own so that no optimisation can
// fold it into its callers.
#ifndef PARCEL_BENCH_DRIVE_POINT_H
#define PARCEL_BENCH_DRIVE_POINT_H

extern "C" void bench_drive_op(void (*run)(void *op), void *op);

#endif
