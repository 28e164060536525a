// A booted host machine for the benchmarks: legacy COM3, the bus as a root
// device, the stand-in on its ports, the management program's process, and
// applications that open and close COM3.
#pragma once

#include <time.h>

#include <cstring>
#include <string>

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

namespace bench {

// CPU time of the calling thread, in nanoseconds: what the host kernel spent
// on this thread's work, whatever else the machine runs.
inline double ThreadCpuNs()
{
    timespec now;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return now.tv_sec * 1e9 + now.tv_nsec;
}

// An application: its own process and, while it has COM3 open, its handle.
struct App {
    PEPROCESS Process = nullptr;
    HANDLE Handle = nullptr;
};

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
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    // Time passes; timers, DPCs and the PnP manager run, in 10 ms slices.
    static void RunClock(ULONG64 milliseconds)
    {
        HkPnpRunPending();
        for (ULONG64 passed = 0; passed < milliseconds; passed += 10) {
            HkClockAdvance(10);
            HkPnpRunPending();
        }
    }

    // CreatePort or RemovePort of `name`, as the management program sends it.
    NTSTATUS PortRequest(uint32_t code, const std::string& name)
    {
        dravolux::PortRequest request;
        std::memset(&request, 0, sizeof request);
        request.Size = sizeof request;
        for (size_t i = 0; i < name.size() && i + 1 < dravolux::PortNameUnits; i++) {
            request.Name[i] = static_cast<uint16_t>(name[i]);
        }
        HkProcessContext context(Tool);
        HANDLE handle = nullptr;
        NTSTATUS status = HkUserCreateFile(DRAVOLUX_CONTROL_WIN32_NAME, &handle);
        if (NT_SUCCESS(status)) {
            ULONG returned = 0;
            status = HkUserDeviceIoControl(handle, code, &request, sizeof request, &request, sizeof request,
                                           &returned);
            HkUserCloseHandle(handle);
        }
        return status;
    }

    NTSTATUS ManageCom3()
    {
        NTSTATUS status = PortRequest(dravolux::IoctlCreatePort, "COM3");
        RunClock(500);
        return status;
    }

    // An application with image `image` opens COM3; the process is created
    // first and is not part of the open.
    static PEPROCESS StartApp(const std::u16string& image)
    {
        return HkPsCreateProcess(reinterpret_cast<PCWSTR>(image.c_str()));
    }

    static NTSTATUS OpenCom3(App& app)
    {
        HkProcessContext context(app.Process);
        return HkUserCreateFile(L"\\\\.\\COM3", &app.Handle);
    }

    static NTSTATUS CloseCom3(App& app)
    {
        HkProcessContext context(app.Process);
        NTSTATUS status = HkUserCloseHandle(app.Handle);
        app.Handle = nullptr;
        return status;
    }

    static void EndApp(App& app)
    {
        HkPsDestroyProcess(app.Process);
        app.Process = nullptr;
    }

    // Bus relations queries the PnP manager has sent to the bus so far.
    size_t BusRelationQueries() const
    {
        size_t count = 0;
        std::u16string path = HkPnpInstancePath(Node);
        for (const HkPnpIrpRecord& record : HkPnpIrpLog()) {
            if (record.InstancePath == path && record.Minor == IRP_MN_QUERY_DEVICE_RELATIONS &&
                record.Detail == BusRelations) {
                count++;
            }
        }
        return count;
    }
};

// Image path of application number n.
inline std::u16string AppImage(size_t n)
{
    std::string text = "C:\\Apps\\app" + std::to_string(n) + ".exe";
    return std::u16string(text.begin(), text.end());
}

}  // namespace bench
