// Cost at scale on the host kernel: an open and a close of COM3 while 1,
// 100 or 1,000 applications hold it; bursts of changes; the pool a port
// device and a managed port hold; the scale scenario of the simulator.
#include <benchmark/benchmark.h>

#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#else
#define CALLGRIND_TOGGLE_COLLECT
#endif

#include <algorithm>
#include <fstream>
#include <sstream>
#include <vector>

#include "bench_machine.h"
#include "hk/pool.h"
#include "scale_report.h"
#include "simulator.h"

namespace bench {
namespace {

double Median(std::vector<double> values)
{
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

double Fastest(const std::vector<double>& values)
{
    return values.empty() ? 0 : *std::min_element(values.begin(), values.end());
}

// Brings applications first, first + 1, ... onto COM3, one after the
// other: each open takes the name from the waiting client, and the name
// comes back with the next client once the bus has been re-enumerated.
bool HoldCom3(std::vector<App>& apps, size_t first = 0)
{
    for (size_t i = 0; i < apps.size(); i++) {
        apps[i].Process = Machine::StartApp(AppImage(first + i));
        if (!NT_SUCCESS(Machine::OpenCom3(apps[i]))) {
            return false;
        }
        Machine::RunClock(250);
    }
    return true;
}

void ReleaseCom3(std::vector<App>& apps)
{
    for (App& app : apps) {
        if (app.Handle) {
            Machine::CloseCom3(app);
        }
        Machine::EndApp(app);
    }
    Machine::RunClock(500);
}

// One more application opens COM3 and closes it again while `clients`
// hold it. Timed: the thread CPU time of the open (CreateFile) and of the
// close (CloseHandle); the re-enumeration that follows is not timed.
void BM_OpenCloseWithClients(benchmark::State& state)
{
    const size_t clients = static_cast<size_t>(state.range(0));
    Machine m;
    m.ManageCom3();
    std::vector<App> held(clients);
    if (!HoldCom3(held)) {
        state.SkipWithError("COM3 did not open");
        ReleaseCom3(held);
        return;
    }
    std::vector<double> opens, closes;
    size_t next = clients;
    for (auto _ : state) {
        App app;
        app.Process = Machine::StartApp(AppImage(next++));
        // Under callgrind (--collect-atstart=no) only these two calls count.
        CALLGRIND_TOGGLE_COLLECT;
        double start = ThreadCpuNs();
        NTSTATUS opened = Machine::OpenCom3(app);
        double middle = ThreadCpuNs();
        NTSTATUS closed = NT_SUCCESS(opened) ? Machine::CloseCom3(app) : opened;
        double end = ThreadCpuNs();
        CALLGRIND_TOGGLE_COLLECT;
        state.SetIterationTime((end - start) / 1e9);
        opens.push_back(middle - start);
        closes.push_back(end - middle);
        Machine::EndApp(app);
        Machine::RunClock(250);
        if (!NT_SUCCESS(opened) || !NT_SUCCESS(closed)) {
            state.SkipWithError("COM3 did not open or close");
            break;
        }
    }
    ReleaseCom3(held);
    OpenCloseFigures figures = {Median(opens), Fastest(opens), Median(closes), Fastest(closes)};
    state.counters["open_us"] = figures.OpenMedianNs / 1e3;
    state.counters["close_us"] = figures.CloseMedianNs / 1e3;
    RecordOpenClose(clients, figures);
}
BENCHMARK(BM_OpenCloseWithClients)->Arg(1)->Arg(100)->Arg(1000)->Iterations(100)->UseManualTime();

// N changes spread over 199 ms (ScheduleRescan, what every change of the
// bus costs): timed is the CPU time of the changes; counted are the bus
// relations queries that follow and the pool allocations from the first
// change until the rescan timer has fired.
void BM_RescanBurst(benchmark::State& state)
{
    const ULONG changes = static_cast<ULONG>(state.range(0));
    Machine m;
    BurstFigures figures = {};
    for (auto _ : state) {
        state.PauseTiming();
        Machine::RunClock(1000);
        HkPnpClearIrpLog();
        size_t allocations = HkPoolAllocationCount();
        double spent = 0;
        ULONG64 elapsed = 0;
        for (ULONG i = 0; i < changes; i++) {
            ULONG64 due = changes == 1 ? 0 : static_cast<ULONG64>(i) * 199 / (changes - 1);
            HkClockAdvance(due - elapsed);
            elapsed = due;
            double start = ThreadCpuNs();
            ScheduleRescan(m.Bus);
            spent += ThreadCpuNs() - start;
        }
        HkClockAdvance(200);
        figures.Allocations = HkPoolAllocationCount() - allocations;
        HkPnpRunPending();
        figures.Queries = m.BusRelationQueries();
        figures.ChangesNs = spent;
        state.SetIterationTime(spent / 1e9);
        state.ResumeTiming();
    }
    if (figures.Queries != 1 || figures.Allocations != 0) {
        state.SkipWithError("a burst gave more than one query, or allocated");
    }
    state.counters["queries"] = static_cast<double>(figures.Queries);
    state.counters["allocations"] = static_cast<double>(figures.Allocations);
    state.counters["ns_per_change"] = figures.ChangesNs / changes;
    RecordBurst(changes, figures);
}
BENCHMARK(BM_RescanBurst)->Arg(1)->Arg(100)->Arg(10000)->Iterations(3)->UseManualTime();

struct PoolDelta {
    double Bytes;
    double Blocks;
    double DriverBytes;
    double DriverBlocks;
};

PoolDelta PoolSince(const HkPoolUsage& all, const HkPoolUsage& driver, double per)
{
    HkPoolUsage nowAll = HkPoolOutstanding();
    HkPoolUsage nowDriver = HkPoolOutstandingForTag(DVX_TAG);
    return PoolDelta{(double(nowAll.Bytes) - double(all.Bytes)) / per, (double(nowAll.Blocks) - double(all.Blocks)) / per,
                     (double(nowDriver.Bytes) - double(driver.Bytes)) / per,
                     (double(nowDriver.Blocks) - double(driver.Blocks)) / per};
}

// Pool held by port devices and managed ports, from the host pool's
// accounting: a client opened by an application, a managed port (its group
// and strings), and a port device's share of COM3's group with 1,000
// clients. Port device objects are the object manager's memory on the host
// kernel; their size is that of DEVICE_OBJECT with its PortExtension.
void BM_PortPool(benchmark::State& state)
{
    constexpr size_t Clients = 1000;
    constexpr size_t ManagedPorts = 64;
    PoolFigures figures = {};
    for (auto _ : state) {
        Machine m;
        HkPoolUsage all = HkPoolOutstanding();
        HkPoolUsage driver = HkPoolOutstandingForTag(DVX_TAG);
        m.ManageCom3();
        double com3Group = PoolSince(all, driver, 1).DriverBytes;
        PortExtension* first = RECORD_OF(m.Bus->PortList.Flink, PortExtension, BusLink);
        figures.DeviceObject = first->Header.Self->Size;

        all = HkPoolOutstanding();
        driver = HkPoolOutstandingForTag(DVX_TAG);
        std::vector<App> held(Clients);
        bool opened = HoldCom3(held);
        PoolDelta client = PoolSince(all, driver, Clients);
        figures.ClientPool = client.DriverBytes;
        figures.ClientBlocks = client.DriverBlocks;
        figures.HostKernelPool = client.Bytes - client.DriverBytes;
        figures.GroupShareAt1000 = com3Group / (Clients + 2);
        ReleaseCom3(held);

        all = HkPoolOutstanding();
        driver = HkPoolOutstandingForTag(DVX_TAG);
        bool created = true;
        for (size_t i = 0; i < ManagedPorts; i++) {
            created = created && NT_SUCCESS(m.PortRequest(dravolux::IoctlCreatePort, "COM" + std::to_string(10 + i)));
        }
        Machine::RunClock(500);
        PoolDelta port = PoolSince(all, driver, ManagedPorts);
        figures.ManagedPortPool = port.DriverBytes;
        figures.ManagedPortBlocks = port.DriverBlocks;
        for (size_t i = 0; i < ManagedPorts; i++) {
            m.PortRequest(dravolux::IoctlRemovePort, "COM" + std::to_string(10 + i));
        }
        Machine::RunClock(500);
        bool returned = PoolSince(all, driver, 1).Bytes == 0;
        if (!opened || !created || !returned) {
            state.SkipWithError("the clients or ports did not come, or their pool did not come back");
        }
    }
    state.counters["device_object"] = static_cast<double>(figures.DeviceObject);
    state.counters["client_pool"] = figures.ClientPool;
    state.counters["port_pool"] = figures.ManagedPortPool;
    RecordPool(figures);
}
BENCHMARK(BM_PortPool)->Iterations(1)->Unit(benchmark::kMillisecond);

// examples/scale.scn on the simulator, as `dravolux-sim` runs it.
void BM_ScaleScenario(benchmark::State& state)
{
    std::ifstream file(DRAVOLUX_SOURCE_DIR "/examples/scale.scn");
    std::stringstream script;
    script << file.rdbuf();
    size_t rescans = 0;
    for (auto _ : state) {
        HkReset();
        std::istringstream in(script.str());
        std::ostringstream out;
        int exit = sim::RunSimulator(in, out);
        state.PauseTiming();
        rescans = 0;
        for (const HkPnpIrpRecord& record : HkPnpIrpLog()) {
            rescans += record.Minor == IRP_MN_QUERY_DEVICE_RELATIONS && record.Detail == BusRelations &&
                       record.InstancePath.compare(0, 12, u"ROOT\\SYSTEM\\") == 0;
        }
        if (!file || exit != 0) {
            state.SkipWithError("examples/scale.scn did not run clean");
        }
        HkReset();
        state.ResumeTiming();
    }
    state.counters["rescans"] = static_cast<double>(rescans);
}
BENCHMARK(BM_ScaleScenario)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace bench
