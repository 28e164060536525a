// Timing goals of the driver on the host kernel: re-arming the rescan timer,
// the activity count, listing N ports, and an open/close round trip on a
// client port device. Run: dravolux_bench [--benchmark_filter=...].
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include <ntddk.h>

#include <dravolux/control.h>

#include "dravolux.h"
#include "hk/clock.h"
#include "hk/io.h"
#include "hk/pnp.h"
#include "hk/process.h"
#include "hk/reset.h"
#include "hk/user.h"
#include "legacy_serial.h"
#include "pelmonix.h"

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

namespace {

// A booted machine: legacy COM3, the bus as a root device, the stand-in on
// its ports.
struct Machine {
    PDRIVER_OBJECT Serial = nullptr;
    HkDeviceNode* Node = nullptr;
    BusExtension* Bus = nullptr;
    PEPROCESS Tool = nullptr;

    Machine()
    {
        HkReset();
        UNICODE_STRING key;
        RtlInitUnicodeString(&key, L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Serial");
        HkIoCreateDriver(L"Serial", LegacySerialEntry, &key, &Serial);
        HkPnpRegisterDriverImage(L"dravolux", DriverEntry);
        HkPnpRegisterDriverImage(PELMONIX_SERVICE_NAME, PelmonixEntry);
        Tool = HkPsCreateProcess(L"C:\\Program Files\\ZARVIK\\corvessctl.exe");
        HkPnpInstallRootDevice(L"DRAVOLUX", L"dravolux", &Node);
        HkPnpRunPending();
        Bus = BusOf(HkPnpStack(Node).front());
    }
    ~Machine()
    {
        RunClock(1000);
        HkPnpShutdownTree();
        if (Serial) {
            HkIoUnloadDriver(Serial);
        }
        HkPsDestroyProcess(Tool);
        HkReset();
    }

    static void RunClock(ULONG64 milliseconds)
    {
        HkPnpRunPending();
        for (ULONG64 passed = 0; passed < milliseconds; passed += 10) {
            HkClockAdvance(10);
            HkPnpRunPending();
        }
    }

    NTSTATUS ManageCom3()
    {
        dravolux::PortRequest request;
        std::memset(&request, 0, sizeof request);
        request.Size = sizeof request;
        const char* name = "COM3";
        for (int i = 0; name[i]; i++) {
            request.Name[i] = (uint16_t)name[i];
        }
        HkProcessContext context(Tool);
        HANDLE handle = nullptr;
        NTSTATUS status = HkUserCreateFile(DRAVOLUX_CONTROL_WIN32_NAME, &handle);
        if (NT_SUCCESS(status)) {
            ULONG returned = 0;
            status = HkUserDeviceIoControl(handle, dravolux::IoctlCreatePort, &request, sizeof request, &request,
                                           sizeof request, &returned);
            HkUserCloseHandle(handle);
        }
        RunClock(500);
        return status;
    }
};

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

// Open and close of COM3 by an application. Each open takes the name from
// the waiting client; the re-enumeration that brings the next one is not
// timed.
void BM_OpenCloseRoundTrip(benchmark::State& state)
{
    Machine m;
    m.ManageCom3();
    PEPROCESS app = HkPsCreateProcess(L"C:\\Tools\\terminal.exe");
    for (auto _ : state) {
        NTSTATUS status;
        {
            HkProcessContext context(app);
            HANDLE handle = nullptr;
            status = HkUserCreateFile(L"\\\\.\\COM3", &handle);
            if (NT_SUCCESS(status)) {
                HkUserCloseHandle(handle);
            }
        }
        state.PauseTiming();
        if (!NT_SUCCESS(status)) {
            state.SkipWithError("COM3 did not open");
        }
        Machine::RunClock(300);
        state.ResumeTiming();
        if (!NT_SUCCESS(status)) {
            break;
        }
    }
    HkPsDestroyProcess(app);
}
BENCHMARK(BM_OpenCloseRoundTrip)->Iterations(200);

}  // namespace

BENCHMARK_MAIN();
