// I/O manager: driver objects, loading and unloading.
#include <string.h>

#include <vector>

#include "hk/verifier.h"
#include "io/io_internal.h"
#include "ke/ke_internal.h"
#include "ob/ob_internal.h"

namespace {

constexpr size_t kMaxServiceName = 127;

// The driver object and what the I/O manager keeps next to it.
struct DriverBody {
    DRIVER_OBJECT Object;
    DRIVER_EXTENSION Extension;
    WCHAR DriverName[8 + kMaxServiceName + 1];
    WCHAR ServiceName[kMaxServiceName + 1];
};

WCHAR g_hardwareDatabaseText[] = L"\\REGISTRY\\MACHINE\\HARDWARE\\DESCRIPTION\\SYSTEM";
UNICODE_STRING g_hardwareDatabase = {sizeof(g_hardwareDatabaseText) - sizeof(WCHAR), sizeof(g_hardwareDatabaseText),
                                     g_hardwareDatabaseText};

void FillString(PUNICODE_STRING target, WCHAR* buffer, const std::u16string& text) {
    memcpy(buffer, text.data(), text.size() * sizeof(WCHAR));
    buffer[text.size()] = 0;
    target->Buffer = buffer;
    target->Length = static_cast<USHORT>(text.size() * sizeof(WCHAR));
    target->MaximumLength = static_cast<USHORT>(target->Length + sizeof(WCHAR));
}

POBJECT_TYPE CreateDriverObjectType() {
    static POBJECT_TYPE type = HkObCreateType("Driver", nullptr);
    return type;
}

// Devices of a driver that has gone (or failed to come): each is a stop.
bool CheckNoDevicesLeft(PDRIVER_OBJECT driver, const char* when) {
    std::vector<PDEVICE_OBJECT> devices = HkIoDevicesOfDriver(driver);
    for (PDEVICE_OBJECT device : devices) {
        HkVerifierStop(HkViolation::DeviceDeletedReferenced,
                       "%s of %s: device %p still exists (%s, %ld pointer references, %ld open files)", when,
                       hkio::DriverNameOf(device).c_str(), device,
                       HkIoIsDeletePending(device) ? "deleted" : "not deleted",
                       static_cast<long>(HkObPointerCount(device)), static_cast<long>(device->ReferenceCount));
    }
    return devices.empty();
}

}  // namespace

static POBJECT_TYPE g_driverType = CreateDriverObjectType();
POBJECT_TYPE* IoDriverObjectType = &g_driverType;

NTSTATUS HkIoInvalidDeviceRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    if (IoGetCurrentIrpStackLocation(Irp)->MajorFunction == IRP_MJ_POWER) {
        PoStartNextPowerIrp(Irp);
    }
    Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    Irp->IoStatus.Information = 0;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

void hkio::CallFrame::Check(const char* what, const char* who) const {
    KiCheckWaitNext();
    HkThreadState after = HkThreadGetState();
    if (after.Irql != Before.Irql) {
        HkVerifierStop(HkViolation::IrqlTooHigh, "%s of %s returned at IRQL %u, entered at IRQL %u", what, who,
                       after.Irql, Before.Irql);
    }
    if (after.FastMutexesHeld > Before.FastMutexesHeld || after.SpinLocksHeld > Before.SpinLocksHeld) {
        HkVerifierStop(HkViolation::LockHeldOnReturn,
                       "%s of %s returned holding %lu fast mutex(es) and %lu spin lock(s) more than on entry", what,
                       who, static_cast<unsigned long>(after.FastMutexesHeld - Before.FastMutexesHeld),
                       static_cast<unsigned long>(after.SpinLocksHeld - Before.SpinLocksHeld));
    }
    if (after.CriticalRegionDepth != Before.CriticalRegionDepth) {
        HkVerifierStop(HkViolation::CriticalRegionUnbalanced,
                       "%s of %s returned with critical region depth %ld, entered with %ld", what, who,
                       static_cast<long>(after.CriticalRegionDepth), static_cast<long>(Before.CriticalRegionDepth));
    }
}

NTSTATUS HkIoCreateDriver(PCWSTR serviceName, PDRIVER_INITIALIZE entry, PCUNICODE_STRING registryPath,
                          PDRIVER_OBJECT* out) {
    if (out) {
        *out = nullptr;
    }
    std::u16string service = hkob::Text(serviceName);
    if (!entry || !out || service.empty() || service.size() > kMaxServiceName) {
        return STATUS_INVALID_PARAMETER;
    }
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        HkVerifierStop(HkViolation::IrqlTooHigh, "HkIoCreateDriver called above PASSIVE_LEVEL");
        return STATUS_INVALID_DEVICE_STATE;
    }
    hkio::EnsureIo();
    PVOID body = nullptr;
    NTSTATUS status = HkObCreateObject(*IoDriverObjectType, sizeof(DriverBody), &body);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto* driverBody = static_cast<DriverBody*>(body);
    PDRIVER_OBJECT driver = &driverBody->Object;
    driver->Type = IO_TYPE_DRIVER;
    driver->Size = sizeof(DRIVER_OBJECT);
    driver->DriverExtension = &driverBody->Extension;
    driverBody->Extension.DriverObject = driver;
    FillString(&driverBody->Extension.ServiceKeyName, driverBody->ServiceName, service);
    FillString(&driver->DriverName, driverBody->DriverName, u"\\Driver\\" + service);
    driver->HardwareDatabase = &g_hardwareDatabase;
    driver->DriverInit = entry;
    for (auto& dispatch : driver->MajorFunction) {
        dispatch = &HkIoInvalidDeviceRequest;
    }
    status = HkObInsertName(body, &driver->DriverName, true);
    if (!NT_SUCCESS(status)) {
        ObfDereferenceObject(body);
        return status;
    }

    // The registry path lives only for the call, as on the platform.
    std::u16string path = registryPath ? hkob::Text(registryPath)
                                       : u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + service;
    std::vector<WCHAR> pathBuffer(path.begin(), path.end());
    pathBuffer.push_back(0);
    UNICODE_STRING pathString = {static_cast<USHORT>(path.size() * sizeof(WCHAR)),
                                 static_cast<USHORT>(pathBuffer.size() * sizeof(WCHAR)), pathBuffer.data()};
    std::string who = hkob::Utf8(service);
    hkio::CallFrame frame;
    status = entry(driver, &pathString);
    frame.Check("DriverEntry", who.c_str());
    memset(pathBuffer.data(), 0xDD, pathBuffer.size() * sizeof(WCHAR));

    if (!NT_SUCCESS(status)) {
        HkObRemoveName(body);
        if (CheckNoDevicesLeft(driver, "failed DriverEntry")) {
            ObfDereferenceObject(body);
        }
        return status;
    }
    {
        std::lock_guard<std::recursive_mutex> guard(hkio::DatabaseLock());
        for (PDEVICE_OBJECT device = driver->DeviceObject; device; device = device->NextDevice) {
            device->Flags &= ~DO_DEVICE_INITIALIZING;
        }
    }
    *out = driver;
    return STATUS_SUCCESS;
}

void HkIoUnloadDriver(PDRIVER_OBJECT driver) {
    if (!driver) {
        return;
    }
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        HkVerifierStop(HkViolation::IrqlTooHigh, "HkIoUnloadDriver called above PASSIVE_LEVEL");
        return;
    }
    std::string who = hkob::Utf8(hkob::Text(&driver->DriverName));
    if (driver->DriverUnload) {
        hkio::CallFrame frame;
        driver->DriverUnload(driver);
        frame.Check("DriverUnload", who.c_str());
    }
    HkObRemoveName(driver);
    // A device left behind would point at a freed driver: keep the object.
    if (CheckNoDevicesLeft(driver, "unload")) {
        ObfDereferenceObject(driver);
    }
}

PDRIVER_OBJECT HkIoFindDriver(PCWSTR serviceName) {
    std::u16string path = u"\\Driver\\" + hkob::Text(serviceName);
    UNICODE_STRING name = hkob::Counted(path);
    PVOID body = nullptr;
    if (!NT_SUCCESS(HkObReferenceObjectByName(&name, OBJ_CASE_INSENSITIVE, *IoDriverObjectType, &body))) {
        return nullptr;
    }
    ObfDereferenceObject(body);
    return static_cast<PDRIVER_OBJECT>(body);
}
