// Figures the scale benchmarks leave for the summary that the benchmark
// binary prints after its runs.
#pragma once

#include <stddef.h>

namespace bench {

// Thread CPU time of one open and one close of COM3, in nanoseconds, with
// `clients` applications holding it: the median and the fastest sample.
struct OpenCloseFigures {
    double OpenMedianNs;
    double OpenFastestNs;
    double CloseMedianNs;
    double CloseFastestNs;
};
void RecordOpenClose(size_t clients, const OpenCloseFigures& figures);

// A burst of `changes` inside 200 ms: bus relations queries it gave, pool
// allocations from its first change to the query, CPU time of the changes.
struct BurstFigures {
    size_t Queries;
    size_t Allocations;
    double ChangesNs;
};
void RecordBurst(size_t changes, const BurstFigures& figures);

// Memory of port devices and managed ports, in bytes.
struct PoolFigures {
    size_t DeviceObject;        // DEVICE_OBJECT with its PortExtension, each port device
    double ClientPool;          // host pool an opened client port device holds (driver tag)
    double ClientBlocks;
    double ManagedPortPool;     // host pool of a managed port beside its devices (driver tag)
    double ManagedPortBlocks;
    double HostKernelPool;      // host pool of any other tag, per port device
    double GroupShareAt1000;    // a port device's share of its group with 1,000 clients
};
void RecordPool(const PoolFigures& figures);

// Prints what was recorded and the ratios the documents promise. Returns
// false when a promise is not met.
bool PrintScaleSummary();

}  // namespace bench
