// Timing goals of the driver on the host kernel: re-arming the rescan timer,
// the activity count, listing N ports, and a QueryPorts request.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "bench_machine.h"

namespace bench {
namespace {

void BM_ScheduleRescanRearm(benchmark::State& state)
{
    Machine m;
    for (auto _ : state) {
        ScheduleRescan(m.Bus);
    }
    KeCancelTimer(&m.Bus->RescanTimer);
}
BENCHMARK(BM_ScheduleRescanRearm);

void BM_IoIncrementDecrement(benchmark::State& state)
{
    Machine m;
    for (auto _ : state) {
        IoIncrement(m.Bus);
        IoDecrement(m.Bus);
    }
}
BENCHMARK(BM_IoIncrementDecrement);

// ListPorts over N port devices on the bus (created, not enumerated).
void BM_ListPorts(benchmark::State& state)
{
    Machine m;
    for (int64_t i = 0; i < state.range(0); i++) {
        PortExtension* port = nullptr;
        if (!NT_SUCCESS(CreatePortDevice(m.Bus, &port))) {
            state.SkipWithError("CreatePortDevice failed");
            return;
        }
        port->Present = 1;
    }
    std::vector<UCHAR> buffer(64 * 1024);
    for (auto _ : state) {
        ULONG size = (ULONG)buffer.size();
        NTSTATUS status = ListPorts(m.Bus, buffer.data(), &size);
        benchmark::DoNotOptimize(status);
    }
    state.SetComplexityN(state.range(0));
    KeCancelTimer(&m.Bus->RescanTimer);
}
BENCHMARK(BM_ListPorts)->RangeMultiplier(4)->Range(1, 256)->Complexity();

// QueryPorts through the control device, as the management program asks.
void BM_QueryPortsRequest(benchmark::State& state)
{
    Machine m;
    m.ManageCom3();
    std::vector<UCHAR> reply(8192);
    HkProcessContext context(m.Tool);
    HANDLE handle = nullptr;
    if (!NT_SUCCESS(HkUserCreateFile(DRAVOLUX_CONTROL_WIN32_NAME, &handle))) {
        state.SkipWithError("no control device");
        return;
    }
    for (auto _ : state) {
        uint32_t type = dravolux::QueryAllPorts;
        std::memcpy(reply.data(), &type, 4);
        ULONG returned = 0;
        benchmark::DoNotOptimize(HkUserDeviceIoControl(handle, dravolux::IoctlQueryPorts, reply.data(), 4,
                                                       reply.data(), (ULONG)reply.size(), &returned));
    }
    HkUserCloseHandle(handle);
}
BENCHMARK(BM_QueryPortsRequest);

}  // namespace
}  // namespace bench
