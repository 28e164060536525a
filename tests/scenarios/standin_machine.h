// A host machine for the stand-in function driver's scenarios: the bus as a
// root device, pelmonix on its port devices, a DOS name COM3 that leads to
// the machine's own serial device, and user-mode helpers.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <ntddk.h>

#include <dravolux/control.h>

#include "hk/clock.h"
#include "hk/fault.h"
#include "hk/ob.h"
#include "hk/pnp.h"
#include "hk/pool.h"
#include "hk/power.h"
#include "hk/process.h"
#include "hk/reset.h"
#include "hk/user.h"
#include "hk/verifier.h"
#include "core/records.h"
#include "pelmonix.h"

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

namespace standin_test {

inline PCWSTR W(const std::u16string& text) { return reinterpret_cast<PCWSTR>(text.c_str()); }

class StandinMachine : public ::testing::Test {
protected:
    void SetUp() override {
        HkReset();
        capture_.reset(new HkVerifierCapture);
        UNICODE_STRING link, target;
        RtlInitUnicodeString(&link, L"\\DosDevices\\COM3");
        RtlInitUnicodeString(&target, L"\\Device\\Serial2");
        ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
        ASSERT_EQ(HkPnpRegisterDriverImage(L"dravolux", DriverEntry), STATUS_SUCCESS);
        ASSERT_EQ(HkPnpRegisterDriverImage(PELMONIX_SERVICE_NAME, PelmonixEntry), STATUS_SUCCESS);
        ASSERT_EQ(HkPnpInstallRootDevice(L"DRAVOLUX", L"dravolux", &bus_), STATUS_SUCCESS);
        HkPnpRunPending();
        tool_ = HkPsCreateProcess(L"C:\\Program Files\\ZARVIK\\corvessctl.exe");
    }

    void TearDown() override {
        for (auto& open : opens_) CloseApp(open);
        RunFor(1000);
        EXPECT_EQ(HkPnpShutdownTree(), STATUS_SUCCESS);
        UNICODE_STRING link;
        RtlInitUnicodeString(&link, L"\\DosDevices\\COM3");
        IoDeleteSymbolicLink(&link);
        HkPsDestroyProcess(tool_);
        EXPECT_EQ(HkPoolOutstanding().Blocks, 0u);
        for (const auto& report : capture_->Reports()) ADD_FAILURE() << report.Text;
        capture_.reset();
        HkReset();
    }

    // Lets the clock run, serving the plug-and-play manager's work.
    void RunFor(ULONG64 milliseconds) {
        HkPnpRunPending();
        for (ULONG64 passed = 0; passed < milliseconds; passed += 10) {
            HkClockAdvance(10);
            HkPnpRunPending();
        }
    }

    // A control request from the management program's process.
    NTSTATUS Control(ULONG code, void* input, ULONG inputLength, void* output, ULONG outputLength,
                     ULONG* returned) {
        HkProcessContext context(tool_);
        HANDLE handle = nullptr;
        NTSTATUS status = HkUserCreateFile(DRAVOLUX_CONTROL_WIN32_NAME, &handle);
        if (!NT_SUCCESS(status)) return status;
        status = HkUserDeviceIoControl(handle, code, input, inputLength, output, outputLength, returned);
        HkUserCloseHandle(handle);
        return status;
    }

    NTSTATUS PortRequest(ULONG code, const std::u16string& name) {
        dravolux::PortRequest request;
        std::memset(&request, 0, sizeof request);
        request.Size = sizeof request;
        std::memcpy(request.Name, name.c_str(), name.size() * 2);
        ULONG returned = 0;
        return Control(code, &request, sizeof request, &request, sizeof request, &returned);
    }

    // The port devices QueryPorts lists, read by the management program's parser.
    std::vector<corvessctl::PortInfo> List() {
        std::vector<uint8_t> reply(4096);
        uint32_t type = dravolux::QueryAllPorts;
        std::memcpy(reply.data(), &type, sizeof type);
        ULONG returned = 0;
        EXPECT_EQ(Control(dravolux::IoctlQueryPorts, reply.data(), 4, reply.data(), 4096, &returned), STATUS_SUCCESS);
        std::vector<corvessctl::PortInfo> ports;
        std::string error;
        EXPECT_TRUE(corvessctl::ParsePortInfo(reply.data(), returned, ports, error)) << error;
        return ports;
    }

    // CreatePort for COM3 and time for the port devices to start.
    void ManageCom3() {
        ASSERT_EQ(PortRequest(dravolux::IoctlCreatePort, u"COM3"), STATUS_SUCCESS);
        RunFor(500);
    }

    // Where \DosDevices\COM3 leads now; empty when there is no such link.
    std::u16string Com3Target() {
        std::u16string target;
        return HkObQueryLinkTarget(L"\\GLOBAL??\\COM3", &target) ? target : std::u16string();
    }

    struct App {
        PEPROCESS Process;
        HANDLE Handle;
    };

    // An application that opens \\.\COM3; the handle stays open.
    NTSTATUS OpenCom3(const wchar_t* image) {
        App app = {HkPsCreateProcess(image), nullptr};
        NTSTATUS status;
        {
            HkProcessContext context(app.Process);
            status = HkUserCreateFile(L"\\\\.\\COM3", &app.Handle);
        }
        if (NT_SUCCESS(status)) opens_.push_back(app);
        else HkPsDestroyProcess(app.Process);
        return status;
    }

    void CloseApp(App& app) {
        {
            HkProcessContext context(app.Process);
            HkUserCloseHandle(app.Handle);
        }
        HkPsDestroyProcess(app.Process);
    }

    void CloseAll() {
        for (auto& open : opens_) CloseApp(open);
        opens_.clear();
    }

    HkDeviceNode* bus_ = nullptr;
    PEPROCESS tool_ = nullptr;
    std::vector<App> opens_;
    std::unique_ptr<HkVerifierCapture> capture_;
};

inline bool IsPelmonixDevice(const std::u16string& name) {
    return name.rfind(u"\\Device\\PelmonixPort", 0) == 0;
}

}  // namespace standin_test
