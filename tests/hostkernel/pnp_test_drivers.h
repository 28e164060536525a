// Small drivers for the PnP and power manager tests: a bus that enumerates
// children on request, a function driver for those children (and for root
// devices), and a function driver that breaks the start rule.
#pragma once
#include <ntddk.h>

#include <gtest/gtest.h>

#include "hk/fault.h"
#include "hk/io.h"
#include "hk/ob.h"
#include "hk/pnp.h"
#include "hk/pool.h"
#include "hk/power.h"
#include "hk/registry.h"
#include "hk/reset.h"
#include "hk/user.h"
#include "hk/verifier.h"

#include <string>
#include <vector>

namespace pnptest {

constexpr ULONG kTag = 'tPnP';
constexpr ULONG kMaxChildren = 16;

struct ChildRecord {
    PDEVICE_OBJECT Pdo;
    bool Present;
    bool ReportedMissing;
    bool Deleted;
    bool VetoQueryRemove;
    bool NotUnique;           // capabilities say UniqueID FALSE
    NTSTATUS Capabilities;    // status of its capabilities answer
    ULONG DeviceState;        // PNP_DEVICE_* flags it reports, none when 0
    std::vector<HkPnpReceived> Received;  // minor and status of every PnP IRP that reached the PDO
    // Answers in place of the usual ones when not empty; a list's items are
    // separated by NULs, the closing NULs are added.
    std::u16string DeviceId;
    std::u16string InstanceId;
    std::u16string HardwareIds;
};

struct World {
    PDEVICE_OBJECT BusFdo;
    PDEVICE_OBJECT BusPdo;
    ChildRecord Children[kMaxChildren];
    ULONG ChildCount;
    bool LeakyRelations;     // bus replaces a list from above without freeing it
    bool FnVetoQueryRemove;  // function driver refuses QUERY_REMOVE
    bool FnVetoQueryPower;   // function driver refuses QUERY_POWER
    ULONG FnCount;           // function devices created so far
    ULONG FnDriverEntries;
    ULONG FnPowerIrps;
    ULONG BusPowerIrps;
    PKEVENT ChildStarted;    // signalled when a child PDO starts
};
inline World g_world;

struct DeviceExt {
    ULONG Kind;  // 1 bus FDO, 2 child PDO, 3 function device
    ULONG Index;
    PDEVICE_OBJECT Lower;
    WCHAR Link[40];
};

inline NTSTATUS Complete(PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

inline NTSTATUS PassDown(PDEVICE_OBJECT lower, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(lower, irp);
}

inline NTSTATUS SignalEvent(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

inline NTSTATUS ForwardAndWait(PDEVICE_OBJECT lower, PIRP irp) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SignalEvent, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(lower, irp) == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    }
    return irp->IoStatus.Status;
}

// A pool copy of `text` with two NULs after it.
inline PWSTR PoolAnswer(const std::u16string& text) {
    auto* out = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, (text.size() + 2) * 2, kTag));
    for (size_t i = 0; i < text.size() + 2; ++i) {
        out[i] = i < text.size() ? static_cast<WCHAR>(text[i]) : 0;
    }
    return out;
}

inline NTSTATUS PowerPassDown(PDEVICE_OBJECT lower, PIRP irp) {
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(lower, irp);
}

// ---- the bus: FDO over a root PDO, child PDOs on request -------------------------

inline NTSTATUS AnswerBusRelations(PIRP irp) {
    auto* above = reinterpret_cast<PDEVICE_RELATIONS>(irp->IoStatus.Information);
    const ULONG prev = above ? above->Count : 0;
    ULONG present = 0;
    for (ULONG i = 0; i < g_world.ChildCount; ++i) {
        present += g_world.Children[i].Present ? 1 : 0;
    }
    auto* list = static_cast<PDEVICE_RELATIONS>(
        ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS) + (prev + present) * sizeof(PDEVICE_OBJECT), kTag));
    ULONG n = 0;
    for (; n < prev; ++n) {
        list->Objects[n] = above->Objects[n];
    }
    for (ULONG i = 0; i < g_world.ChildCount; ++i) {
        ChildRecord& child = g_world.Children[i];
        if (child.Present) {
            ObReferenceObject(child.Pdo);
            list->Objects[n++] = child.Pdo;
        } else {
            child.ReportedMissing = true;
        }
    }
    list->Count = n;
    if (above && !g_world.LeakyRelations) {
        ExFreePool(above);
    }
    irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(list);
    return STATUS_SUCCESS;
}

inline NTSTATUS BusFdoPnp(PDEVICE_OBJECT fdo, PIRP irp) {
    auto* ext = static_cast<DeviceExt*>(fdo->DeviceExtension);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
        return Complete(irp, ForwardAndWait(ext->Lower, irp));
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (stack->Parameters.QueryDeviceRelations.Type == BusRelations) {
            irp->IoStatus.Status = AnswerBusRelations(irp);
        }
        return PassDown(ext->Lower, irp);
    case IRP_MN_REMOVE_DEVICE: {
        irp->IoStatus.Status = STATUS_SUCCESS;
        PDEVICE_OBJECT lower = ext->Lower;
        NTSTATUS status = PassDown(lower, irp);
        for (ULONG i = 0; i < g_world.ChildCount; ++i) {
            if (!g_world.Children[i].Deleted) {
                g_world.Children[i].Deleted = true;
                IoDeleteDevice(g_world.Children[i].Pdo);
            }
        }
        g_world.ChildCount = 0;  // a new bus instance starts over
        IoDetachDevice(lower);
        IoDeleteDevice(fdo);
        g_world.BusFdo = nullptr;
        return status;
    }
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
        irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(ext->Lower, irp);
    default:
        return PassDown(ext->Lower, irp);
    }
}

inline NTSTATUS ChildPdoPnp(PDEVICE_OBJECT pdo, PIRP irp) {
    auto* ext = static_cast<DeviceExt*>(pdo->DeviceExtension);
    ChildRecord& child = g_world.Children[ext->Index];
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    child.Received.push_back({stack->MinorFunction, irp->IoStatus.Status});
    switch (stack->MinorFunction) {
    case IRP_MN_QUERY_REMOVE_DEVICE:
        return Complete(irp, child.VetoQueryRemove ? STATUS_DEVICE_BUSY : STATUS_SUCCESS);
    case IRP_MN_REMOVE_DEVICE:
        if (child.ReportedMissing) {
            child.Deleted = true;
            IoDeleteDevice(pdo);
        }
        return Complete(irp, STATUS_SUCCESS);
    case IRP_MN_START_DEVICE:
        if (g_world.ChildStarted) {
            KeSetEvent(g_world.ChildStarted, IO_NO_INCREMENT, FALSE);
        }
        return Complete(irp, STATUS_SUCCESS);
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
        return Complete(irp, STATUS_SUCCESS);
    case IRP_MN_QUERY_CAPABILITIES:
        stack->Parameters.DeviceCapabilities.Capabilities->UniqueID = !child.NotUnique;
        return Complete(irp, child.Capabilities);
    case IRP_MN_QUERY_PNP_DEVICE_STATE:
        if (!child.DeviceState) {
            return Complete(irp, irp->IoStatus.Status);
        }
        irp->IoStatus.Information |= child.DeviceState;
        return Complete(irp, STATUS_SUCCESS);
    case IRP_MN_QUERY_ID: {
        PWSTR answer = nullptr;
        switch (stack->Parameters.QueryId.IdType) {
        case BusQueryDeviceID: answer = PoolAnswer(child.DeviceId.empty() ? u"PNPTBUS\\CHILD" : child.DeviceId); break;
        case BusQueryHardwareIDs:
            answer = PoolAnswer(child.HardwareIds.empty() ? u"PNPTBUS\\CHILD" : child.HardwareIds);
            break;
        case BusQueryInstanceID: {
            const char16_t digits[2] = {static_cast<char16_t>(u'0' + ext->Index), 0};
            answer = PoolAnswer(child.InstanceId.empty() ? digits : child.InstanceId);
            break;
        }
        default:
            return Complete(irp, irp->IoStatus.Status);
        }
        irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(answer);
        return Complete(irp, STATUS_SUCCESS);
    }
    default:
        return Complete(irp, irp->IoStatus.Status);
    }
}

inline NTSTATUS BusPnp(PDEVICE_OBJECT device, PIRP irp) {
    return static_cast<DeviceExt*>(device->DeviceExtension)->Kind == 1 ? BusFdoPnp(device, irp)
                                                                       : ChildPdoPnp(device, irp);
}

inline NTSTATUS BusPower(PDEVICE_OBJECT device, PIRP irp) {
    auto* ext = static_cast<DeviceExt*>(device->DeviceExtension);
    if (ext->Kind == 1) {
        ++g_world.BusPowerIrps;
        return PowerPassDown(ext->Lower, irp);
    }
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = irp->IoStatus.Status;
    if (stack->MinorFunction == IRP_MN_SET_POWER || stack->MinorFunction == IRP_MN_QUERY_POWER) {
        status = STATUS_SUCCESS;
    }
    PoStartNextPowerIrp(irp);
    return Complete(irp, status);
}

inline NTSTATUS BusAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT fdo = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(DeviceExt), nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &fdo);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto* ext = static_cast<DeviceExt*>(fdo->DeviceExtension);
    ext->Kind = 1;
    ext->Lower = IoAttachDeviceToDeviceStack(fdo, pdo);
    fdo->Flags |= DO_POWER_PAGABLE;
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    g_world.BusFdo = fdo;
    g_world.BusPdo = pdo;
    return STATUS_SUCCESS;
}

inline NTSTATUS BusEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->MajorFunction[IRP_MJ_PNP] = BusPnp;
    driver->MajorFunction[IRP_MJ_POWER] = BusPower;
    driver->DriverExtension->AddDevice = BusAddDevice;
    return STATUS_SUCCESS;
}

// The bus reports its first `count` children (creating them as needed) and
// asks for re-enumeration.
inline void SetPresent(ULONG count) {
    for (ULONG i = g_world.ChildCount; i < count; ++i) {
        PDEVICE_OBJECT pdo = nullptr;
        ASSERT_EQ(STATUS_SUCCESS, IoCreateDevice(g_world.BusFdo->DriverObject, sizeof(DeviceExt), nullptr,
                                                 FILE_DEVICE_UNKNOWN, FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &pdo));
        auto* ext = static_cast<DeviceExt*>(pdo->DeviceExtension);
        ext->Kind = 2;
        ext->Index = i;
        pdo->Flags |= DO_POWER_PAGABLE | DO_BUS_ENUMERATED_DEVICE;
        pdo->Flags &= ~DO_DEVICE_INITIALIZING;
        g_world.Children[i] = ChildRecord{pdo, false, false, false, false, false, STATUS_SUCCESS, 0, {}, {}, {}, {}};
        g_world.ChildCount = i + 1;
    }
    for (ULONG i = 0; i < g_world.ChildCount; ++i) {
        g_world.Children[i].Present = i < count;
    }
    IoInvalidateDeviceRelations(g_world.BusPdo, BusRelations);
}

// ---- the function driver -----------------------------------------------------------

inline NTSTATUS FnPnp(PDEVICE_OBJECT fdo, PIRP irp) {
    auto* ext = static_cast<DeviceExt*>(fdo->DeviceExtension);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
        return Complete(irp, ForwardAndWait(ext->Lower, irp));
    case IRP_MN_QUERY_REMOVE_DEVICE:
        if (g_world.FnVetoQueryRemove) {
            return Complete(irp, STATUS_DEVICE_BUSY);
        }
        irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(ext->Lower, irp);
    case IRP_MN_REMOVE_DEVICE: {
        irp->IoStatus.Status = STATUS_SUCCESS;
        PDEVICE_OBJECT lower = ext->Lower;
        NTSTATUS status = PassDown(lower, irp);
        UNICODE_STRING link;
        RtlInitUnicodeString(&link, ext->Link);
        IoDeleteSymbolicLink(&link);
        IoDetachDevice(lower);
        IoDeleteDevice(fdo);
        return status;
    }
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
        irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(ext->Lower, irp);
    default:
        return PassDown(ext->Lower, irp);
    }
}

inline NTSTATUS FnPower(PDEVICE_OBJECT fdo, PIRP irp) {
    auto* ext = static_cast<DeviceExt*>(fdo->DeviceExtension);
    ++g_world.FnPowerIrps;
    if (g_world.FnVetoQueryPower && IoGetCurrentIrpStackLocation(irp)->MinorFunction == IRP_MN_QUERY_POWER) {
        PoStartNextPowerIrp(irp);
        return Complete(irp, STATUS_UNSUCCESSFUL);
    }
    return PowerPassDown(ext->Lower, irp);
}

inline NTSTATUS FnCreateClose(PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Information = 0;
    return Complete(irp, STATUS_SUCCESS);
}

// Creates \Device\PnpTestFn<n> with the DOS name PnpTestFn<n>.
inline NTSTATUS FnAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    const ULONG number = g_world.FnCount++;
    std::u16string deviceName = u"\\Device\\PnpTestFn" + std::u16string(1, static_cast<char16_t>(u'0' + number));
    std::u16string linkName = u"\\DosDevices\\PnpTestFn" + std::u16string(1, static_cast<char16_t>(u'0' + number));
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, reinterpret_cast<PCWSTR>(deviceName.c_str()));
    PDEVICE_OBJECT fdo = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(DeviceExt), &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto* ext = static_cast<DeviceExt*>(fdo->DeviceExtension);
    ext->Kind = 3;
    ext->Index = number;
    for (size_t i = 0; i <= linkName.size(); ++i) {
        ext->Link[i] = static_cast<WCHAR>(i < linkName.size() ? linkName[i] : 0);
    }
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, ext->Link);
    IoCreateSymbolicLink(&link, &name);
    ext->Lower = IoAttachDeviceToDeviceStack(fdo, pdo);
    fdo->Flags |= DO_POWER_PAGABLE;
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

inline NTSTATUS FnEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    ++g_world.FnDriverEntries;
    driver->MajorFunction[IRP_MJ_PNP] = FnPnp;
    driver->MajorFunction[IRP_MJ_POWER] = FnPower;
    driver->MajorFunction[IRP_MJ_CREATE] = FnCreateClose;
    driver->MajorFunction[IRP_MJ_CLOSE] = FnCreateClose;
    driver->DriverExtension->AddDevice = FnAddDevice;
    return STATUS_SUCCESS;
}

// ---- a function driver that completes START itself ------------------------------------

inline NTSTATUS BadPnp(PDEVICE_OBJECT fdo, PIRP irp) {
    if (IoGetCurrentIrpStackLocation(irp)->MinorFunction == IRP_MN_START_DEVICE) {
        return Complete(irp, STATUS_SUCCESS);  // wrong: START must go to the bus first
    }
    return FnPnp(fdo, irp);
}

inline NTSTATUS BadEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    FnEntry(driver, registryPath);
    driver->MajorFunction[IRP_MJ_PNP] = BadPnp;
    return STATUS_SUCCESS;
}

// ---- fixture -------------------------------------------------------------------------

inline PCWSTR W(const std::u16string& text) { return reinterpret_cast<PCWSTR>(text.c_str()); }

// Installation records for bus child <index>, naming `service`.
inline void InstallChildRecords(ULONG index, PCWSTR service) {
    const std::u16string key = HkPnpEnumKeyPath(L"PNPTBUS\\CHILD\\") + std::u16string(1, static_cast<char16_t>(u'0' + index));
    ASSERT_EQ(STATUS_SUCCESS, HkRegSetString(W(key), L"Service", service));
    ASSERT_EQ(STATUS_SUCCESS, HkRegSetDword(W(key), L"ConfigFlags", 0));
}

class PnpFixture : public ::testing::Test {
protected:
    void SetUp() override {
        HkReset();
        g_world = World{};
        ASSERT_EQ(STATUS_SUCCESS, HkPnpRegisterDriverImage(L"pnptbus", BusEntry));
        ASSERT_EQ(STATUS_SUCCESS, HkPnpRegisterDriverImage(L"pnptfn", FnEntry));
        ASSERT_EQ(STATUS_SUCCESS, HkPnpRegisterDriverImage(L"pnptbad", BadEntry));
    }

    void TearDown() override {
        EXPECT_EQ(STATUS_SUCCESS, HkPnpShutdownTree());
        EXPECT_EQ(0u, HkIoLiveDeviceCount());
        EXPECT_EQ(nullptr, HkIoFindDriver(L"pnptbus"));
        EXPECT_EQ(nullptr, HkIoFindDriver(L"pnptfn"));
        EXPECT_EQ(0u, HkPoolReportLeaks());
        EXPECT_EQ(0u, HkObReportLeakedHandles());
        HkReset();
    }

    // Installs the test bus as a root device and returns its node.
    HkDeviceNode* InstallBus() {
        HkDeviceNode* node = nullptr;
        EXPECT_EQ(STATUS_SUCCESS, HkPnpInstallRootDevice(L"PNPTBUS", L"pnptbus", &node));
        return node;
    }

    // The test bus with `present` children, the first `installed` of them
    // with installation records, once the manager has set them up.
    HkDeviceNode* BusWithChildren(ULONG present, ULONG installed) {
        HkDeviceNode* bus = InstallBus();
        for (ULONG i = 0; i < installed; ++i) {
            InstallChildRecords(i, L"pnptfn");
        }
        SetPresent(present);
        HkPnpRunPending();
        return bus;
    }

    HkDeviceNode* Child(ULONG index) {
        const std::u16string path = u"PNPTBUS\\CHILD\\" + std::u16string(1, static_cast<char16_t>(u'0' + index));
        return HkPnpFindNode(W(path));
    }

    std::vector<UCHAR> MinorsFor(const char16_t* path) {
        std::vector<UCHAR> out;
        for (const HkPnpIrpRecord& r : HkPnpIrpLog()) {
            if (r.InstancePath == path) {
                out.push_back(r.Minor);
            }
        }
        return out;
    }
};

}  // namespace pnptest
