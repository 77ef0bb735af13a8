#include "drive_point.h"

extern "C" void bench_drive_op(void (*run)(void *op), void *op) { run(op); }
