// The throughput benchmarks (throughput.cpp): the receiver's traffic over a
// socketpair next to the rpcgen anchors, and its decode loop on one and on
// two threads.  Plain Google Benchmark cases, timed only: several threads
// at once are no subject for an instruction count.
#ifndef PARCEL_BENCH_THROUGHPUT_H
#define PARCEL_BENCH_THROUGHPUT_H

namespace bench {

void add_throughput();

} // namespace bench

#endif // PARCEL_BENCH_THROUGHPUT_H
