// Shared checks for the reliability campaigns: the bus records' invariants,
// where COM3 leads, and a scenario runner on dravolux-sim that checks the
// records after every line.
#pragma once

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include <ntddk.h>

#include "hk/fault.h"
#include "hk/pnp.h"
#include "hk/pool.h"
#include "hk/reset.h"
#include "hk/verifier.h"
#include "reliability/records_check.h"
#include "simulator.h"

namespace reliability {

// Outcome of one simulator run. Script lines may fail (an injected failure
// is a legitimate reason); what must never happen is listed in Problems.
struct ScenarioOutcome {
    std::vector<std::string> Problems;
    std::string Output;
    int Exit = 0;
};

inline bool Contains(const std::string& text, const char* part) { return text.find(part) != std::string::npos; }

// Each problem a failure of its own, after `where`.
inline void ExpectNone(const std::vector<std::string>& problems, const std::string& where = "")
{
    for (const std::string& problem : problems) {
        ADD_FAILURE() << where << problem;
    }
}

// Runs a scenario from a fresh machine. Before the run, Arm (if any) sets up
// failure injection. After every line the bus records are checked; at the
// end the simulator's own report must show no verifier stop and nothing
// left over. counts (optional, HkFault::Count entries) receives the
// injectable operations of the run per category.
template <typename ArmFn>
ScenarioOutcome RunScenario(const std::string& script, ArmFn Arm, ULONG* counts = nullptr)
{
    ScenarioOutcome outcome;
    HkReset();
    Arm();
    std::ostringstream out;
    {
        sim::Simulator simulator(out);
        bool booted = simulator.Boot();
        std::istringstream in(script);
        std::string line;
        int number = 0;
        while (booted && std::getline(in, line)) {
            ++number;
            simulator.RunLine(line);
            for (const std::string& problem : CheckAllBuses()) {
                outcome.Problems.push_back("line " + std::to_string(number) + ": " + problem);
            }
            std::string why;
            if (!Com3TargetAcceptable(&why)) {
                outcome.Problems.push_back("line " + std::to_string(number) + ": " + why);
            }
        }
        outcome.Exit = simulator.Finish();
    }
    for (int c = 0; counts != nullptr && c < (int)HkFault::Count; c++) {
        counts[c] = HkFaultCount((HkFault)c);
    }
    outcome.Output = out.str();
    std::istringstream report(outcome.Output);
    std::string line;
    while (std::getline(report, line)) {
        // The I/O manager's own cleanup and close requests never fail on
        // the platform; when injection takes their IRP the host kernel says
        // so, which is no finding against the driver.
        if (Contains(line, "verifier: Other: no IRP for major function")) {
            continue;
        }
        if (Contains(line, "verifier:") || Contains(line, "left over:") || Contains(line, "removing the bus:")) {
            outcome.Problems.push_back(line);
        }
    }
    HkReset();
    return outcome;
}

inline ScenarioOutcome RunScenario(const std::string& script)
{
    return RunScenario(script, [] {});
}

// Text of an example scenario shipped with the simulator.
std::string ExampleScript(const char* name);

}  // namespace reliability

// ---------------------------------------------------------------------------
// A whole machine driven directly (no script): the legacy COM3, the bus as a
// root device with the stand-in function driver on its ports, the
// management program's process, and applications.

#include <algorithm>
#include <cstring>
#include <memory>
#include <dravolux/control.h>

#include "core/records.h"
#include "hk/clock.h"
#include "hk/delay.h"
#include "hk/power.h"
#include "hk/process.h"
#include "hk/user.h"
#include "legacy_serial.h"

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

namespace reliability {

struct App {
    PEPROCESS Process = nullptr;
    HANDLE Handle = nullptr;
};

class HostMachine {
public:
    HkDeviceNode* Bus = nullptr;
    PEPROCESS Tool = nullptr;

    // Boots the machine; false (with a gtest failure) when it cannot.
    bool Boot()
    {
        baseLinks_ = HkObListLinks(L"\\GLOBAL??");
        UNICODE_STRING key;
        RtlInitUnicodeString(&key, L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Serial");
        if (HkIoCreateDriver(L"Serial", LegacySerialEntry, &key, &serial_) != STATUS_SUCCESS) {
            ADD_FAILURE() << "legacy serial driver";
            return false;
        }
        HkPnpRegisterDriverImage(L"dravolux", DriverEntry);
        HkPnpRegisterDriverImage(PELMONIX_SERVICE_NAME, PelmonixEntry);
        Tool = HkPsCreateProcess(L"C:\\Program Files\\ZARVIK\\corvessctl.exe");
        if (HkPnpInstallRootDevice(L"DRAVOLUX", L"dravolux", &Bus) != STATUS_SUCCESS) {
            ADD_FAILURE() << "bus did not start";
            return false;
        }
        HkPnpRunPending();
        return true;
    }

    // Boots the machine with COM3 managed and lets its ports start.
    bool BootWithCom3()
    {
        if (!Boot() || PortRequest(dravolux::IoctlCreatePort, u"COM3") != STATUS_SUCCESS) {
            ADD_FAILURE() << "the machine did not come up with COM3";
            return false;
        }
        RunClock(500);
        return true;
    }

    // Lets the clock run, serving PnP work in 10 ms slices.
    static void RunClock(ULONG64 milliseconds)
    {
        HkPnpRunPending();
        for (ULONG64 passed = 0; passed < milliseconds; passed += 10) {
            HkClockAdvance(10);
            HkPnpRunPending();
        }
    }

    NTSTATUS Control(ULONG code, const void* in, ULONG inLength, void* out, ULONG outLength, ULONG* returned,
                     PEPROCESS process = nullptr)
    {
        HkProcessContext context(process ? process : Tool);
        HANDLE handle = nullptr;
        NTSTATUS status = HkUserCreateFile(DRAVOLUX_CONTROL_WIN32_NAME, &handle);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        status = HkUserDeviceIoControl(handle, code, in, inLength, out, outLength, returned);
        HkUserCloseHandle(handle);
        return status;
    }

    NTSTATUS PortRequest(ULONG code, const char16_t* name, PEPROCESS process = nullptr)
    {
        dravolux::PortRequest request;
        std::memset(&request, 0, sizeof request);
        request.Size = sizeof request;
        for (size_t i = 0; name[i] && i + 1 < dravolux::PortNameUnits; i++) {
            request.Name[i] = name[i];
        }
        ULONG returned = 0;
        return Control(code, &request, sizeof request, &request, sizeof request, &returned, process);
    }

    // Number of records QueryPorts lists, read by the management program's
    // parser; -1 when the request fails, -2 when the reply is malformed.
    long ListedPorts(PEPROCESS process = nullptr)
    {
        std::vector<uint8_t> reply(8192);
        uint32_t type = dravolux::QueryAllPorts;
        std::memcpy(reply.data(), &type, sizeof type);
        ULONG returned = 0;
        if (!NT_SUCCESS(Control(dravolux::IoctlQueryPorts, reply.data(), 4, reply.data(), (ULONG)reply.size(),
                                &returned, process))) {
            return -1;
        }
        std::vector<corvessctl::PortInfo> ports;
        std::string error;
        return corvessctl::ParsePortInfo(reply.data(), returned, ports, error) ? (long)ports.size() : -2;
    }

    // An application opening \\.\COM3; on failure no process is left.
    NTSTATUS OpenCom3(const WCHAR* image, App* app)
    {
        app->Process = HkPsCreateProcess(image);
        NTSTATUS status;
        {
            HkProcessContext context(app->Process);
            status = HkUserCreateFile(L"\\\\.\\COM3", &app->Handle);
        }
        if (!NT_SUCCESS(status)) {
            HkPsDestroyProcess(app->Process);
            *app = App();
        }
        return status;
    }

    static void Close(App* app)
    {
        if (app->Process == nullptr) {
            return;
        }
        {
            HkProcessContext context(app->Process);
            HkUserCloseHandle(app->Handle);
        }
        HkPsDestroyProcess(app->Process);
        *app = App();
    }

    // Shuts the machine down; the list of what was left behind.
    std::vector<std::string> Shutdown()
    {
        std::vector<std::string> problems;
        RunClock(1000);
        NTSTATUS status = HkPnpShutdownTree();
        if (!NT_SUCCESS(status)) {
            problems.push_back("shutting the tree down failed");
        }
        RunClock(1000);
        if (serial_) {
            HkIoUnloadDriver(serial_);
        }
        if (Tool) {
            HkPsDestroyProcess(Tool);
        }
        HkPoolUsage pool = HkPoolOutstanding();
        if (pool.Blocks) {
            HkPoolReportLeaks();
            problems.push_back(std::to_string(pool.Blocks) + " pool blocks left");
        }
        if (HkIoLiveDeviceCount()) {
            problems.push_back(std::to_string(HkIoLiveDeviceCount()) + " device objects left");
        }
        if (HkObReportLeakedHandles()) {
            problems.push_back("handles left");
        }
        for (const auto& link : HkObListLinks(L"\\GLOBAL??")) {
            if (std::find(baseLinks_.begin(), baseLinks_.end(), link) == baseLinks_.end()) {
                problems.push_back("DOS link " + Utf8(link.first) + " left");
            }
        }
        for (const auto& link : HkObListLocalDosLinks()) {
            problems.push_back("DOS link " + Utf8(link.first) + " left in a session's local directory");
        }
        return problems;
    }

private:
    PDRIVER_OBJECT serial_ = nullptr;
    std::vector<std::pair<std::u16string, std::u16string>> baseLinks_;
};

// A fresh host kernel and a machine m for each test. At the end a booted
// machine must shut down with nothing left, and any verifier report fails
// the test.
template <typename Base = ::testing::Test>
class MachineTest : public Base {
protected:
    void SetUp() override
    {
        HkReset();
        capture_.reset(new HkVerifierCapture);
    }
    void TearDown() override
    {
        HkDelayDisable();
        if (m.Bus != nullptr) {
            ExpectNone(m.Shutdown());
        }
        for (const auto& report : capture_->Reports()) {
            ADD_FAILURE() << report.Text;
        }
        capture_.reset();
        HkReset();
    }

    HostMachine m;
    std::unique_ptr<HkVerifierCapture> capture_;
};

}  // namespace reliability
