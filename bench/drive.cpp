// bench_drive_op, the one function a callgrind run collects
// (--toggle-collect): one call of an operation, in a file of its own so that
// no optimisation folds it into its callers.
extern "C" void bench_drive_op(void (*run)(void *op), void *op) { run(op); }
