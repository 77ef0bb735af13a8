// The parcel types that have twins in shapes.x (rpcgen) and shapes.proto
// (protobuf): X(parcel type, name of the twins without their prefix).  The
// twins use the field names of the catalogue, so that they are filled from
// the catalogue's field lists.
#ifndef PARCEL_BENCH_ANCHORS_H
#define PARCEL_BENCH_ANCHORS_H

#define BENCH_ANCHOR_SHAPES(X)                  \
    X(cu_vuser_msg_t, vuser_msg)                \
    X(cu_drv_msg_t, drv_msg)                    \
    X(cu_string_msg_t, string_msg)              \
    X(cu_bridge_data_t, bridge_data)            \
    X(cu_hps_input_data_t, hps_input_data)      \
    X(cu_rendezvous_data_t, rendezvous_data)

#endif
