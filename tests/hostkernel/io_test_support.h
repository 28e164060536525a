// Small drivers and a fixture for the object manager, I/O manager and
// user-call tests.
#pragma once
#include <ntddk.h>

#include <gtest/gtest.h>

#include <string>

#include "hk/clock.h"
#include "hk/fault.h"
#include "hk/io.h"
#include "hk/ob.h"
#include "hk/pool.h"
#include "hk/process.h"
#include "hk/reset.h"
#include "hk/thread.h"
#include "hk/user.h"
#include "hk/verifier.h"

namespace iotest {

inline NTSTATUS EmptyEntry(PDRIVER_OBJECT, PUNICODE_STRING) {
    return STATUS_SUCCESS;
}

inline UNICODE_STRING Us(PCWSTR text) {
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, text);
    return s;
}

inline NTSTATUS CompleteWith(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// Every test device starts its extension with this.
struct TestExtension {
    PDEVICE_OBJECT Lower;
};

inline NTSTATUS PassDown(PDEVICE_OBJECT device, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(static_cast<TestExtension*>(device->DeviceExtension)->Lower, irp);
}

inline PDRIVER_OBJECT LoadDriver(PCWSTR service, PDRIVER_INITIALIZE entry = EmptyEntry) {
    PDRIVER_OBJECT driver = nullptr;
    EXPECT_EQ(HkIoCreateDriver(service, entry, nullptr, &driver), STATUS_SUCCESS);
    return driver;
}

// A ready device (initializing flag cleared) with a TestExtension-headed
// extension of extensionSize bytes.
inline PDEVICE_OBJECT MakeDevice(PDRIVER_OBJECT driver, PCWSTR name = nullptr,
                                 ULONG extensionSize = sizeof(TestExtension), BOOLEAN exclusive = FALSE,
                                 ULONG characteristics = 0) {
    UNICODE_STRING nameString = name ? Us(name) : UNICODE_STRING{};
    PDEVICE_OBJECT device = nullptr;
    EXPECT_EQ(IoCreateDevice(driver, extensionSize, name ? &nameString : nullptr, FILE_DEVICE_UNKNOWN,
                             characteristics, exclusive, &device),
              STATUS_SUCCESS);
    if (device) {
        device->Flags &= ~DO_DEVICE_INITIALIZING;
    }
    return device;
}

// Attaches a new device of `driver` on top of `target`.
inline PDEVICE_OBJECT AttachNew(PDRIVER_OBJECT driver, PDEVICE_OBJECT target) {
    PDEVICE_OBJECT device = MakeDevice(driver);
    static_cast<TestExtension*>(device->DeviceExtension)->Lower = IoAttachDeviceToDeviceStack(device, target);
    return device;
}

// Detaches and deletes a stack, top first.
inline void DestroyStack(PDEVICE_OBJECT top) {
    while (top) {
        PDEVICE_OBJECT lower = HkIoGetLowerDevice(top);
        if (lower) {
            IoDetachDevice(lower);
        }
        IoDeleteDevice(top);
        top = lower;
    }
}

class HostKernelTest : public ::testing::Test {
protected:
    void SetUp() override { HkReset(); }
    void TearDown() override {
        EXPECT_EQ(HkObReportLeakedHandles(), 0u);
        EXPECT_EQ(HkIoLiveIrpCount(), 0u);
        EXPECT_EQ(HkPoolReportLeaks(), 0u);
        HkReset();
    }
};

}  // namespace iotest
