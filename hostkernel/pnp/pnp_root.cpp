// The root bus: \Driver\PnpManager owns the PDOs of root-enumerated devices
// and answers for them as the platform's root bus driver does.
#include "pnp/pnp_internal.h"
#include "hk/io.h"
#include "hk/registry.h"

#include <map>

namespace hkpnp {

namespace {

constexpr ULONG kRootPdoSignature = 'tooR';

struct RootPdoExtension {
    ULONG Signature;
};

std::mutex g_rootLock;
PDRIVER_OBJECT g_rootDriver = nullptr;
std::map<PDEVICE_OBJECT, std::u16string> g_rootPaths;
// Every PnP IRP that reached a PDO: its minor code and the status it carried.
std::map<PDEVICE_OBJECT, std::vector<HkPnpReceived>> g_received;

std::u16string PathOf(PDEVICE_OBJECT pdo) {
    std::lock_guard<std::mutex> hold(g_rootLock);
    auto it = g_rootPaths.find(pdo);
    return it == g_rootPaths.end() ? std::u16string() : it->second;
}

NTSTATUS Complete(PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

void FillCapabilities(PDEVICE_CAPABILITIES caps) {
    caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
    for (int s = PowerSystemSleeping1; s < PowerSystemMaximum; ++s) {
        caps->DeviceState[s] = PowerDeviceD3;
    }
    caps->SystemWake = PowerSystemUnspecified;
    caps->DeviceWake = PowerDeviceUnspecified;
    caps->DeviceD1 = FALSE;
    caps->DeviceD2 = FALSE;
    // The root bus numbers its devices itself: ROOT\SYSTEM\0000 is unique
    // in the system as it stands.
    caps->UniqueID = TRUE;
}

NTSTATUS AnswerId(PDEVICE_OBJECT pdo, PIRP irp, BUS_QUERY_ID_TYPE type) {
    if (irp->IoStatus.Information) {
        // A driver above answered already; its answer stands.
        return Complete(irp, STATUS_SUCCESS);
    }
    const std::u16string path = PathOf(pdo);
    const size_t cut = path.rfind(u'\\');
    std::u16string answer;
    bool multi = false;
    switch (type) {
    case BusQueryDeviceID:
        answer = path.substr(0, cut);
        break;
    case BusQueryInstanceID:
        answer = path.substr(cut + 1);
        break;
    case BusQueryHardwareIDs: {
        ULONG regType = 0;
        std::vector<UCHAR> data;
        const std::u16string key = HkPnpEnumKeyPath(reinterpret_cast<PCWSTR>(path.c_str()));
        if (!NT_SUCCESS(HkRegGetValue(reinterpret_cast<PCWSTR>(key.c_str()), L"HardwareID", &regType, &data)) ||
            regType != REG_MULTI_SZ || data.size() < 4) {
            return Complete(irp, irp->IoStatus.Status);
        }
        answer.assign(reinterpret_cast<const char16_t*>(data.data()), data.size() / 2);
        while (!answer.empty() && answer.back() == 0) {
            answer.pop_back();
        }
        multi = true;
        break;
    }
    default:
        return Complete(irp, irp->IoStatus.Status);
    }
    PWSTR buffer = PoolString(answer, multi);
    if (!buffer) {
        return Complete(irp, STATUS_INSUFFICIENT_RESOURCES);
    }
    irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(buffer);
    return Complete(irp, STATUS_SUCCESS);
}

NTSTATUS AnswerTargetRelation(PDEVICE_OBJECT pdo, PIRP irp) {
    auto* relations = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), 'pnpH'));
    if (!relations) {
        return Complete(irp, STATUS_INSUFFICIENT_RESOURCES);
    }
    ObReferenceObject(pdo);
    relations->Count = 1;
    relations->Objects[0] = pdo;
    irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
    return Complete(irp, STATUS_SUCCESS);
}

NTSTATUS RootDispatchPnp(PDEVICE_OBJECT pdo, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    {
        std::lock_guard<std::mutex> hold(g_rootLock);
        g_received[pdo].push_back({stack->MinorFunction, irp->IoStatus.Status});
    }
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_REMOVE_DEVICE:
        return Complete(irp, STATUS_SUCCESS);
    case IRP_MN_QUERY_CAPABILITIES: {
        PDEVICE_CAPABILITIES caps = stack->Parameters.DeviceCapabilities.Capabilities;
        if (!caps || caps->Version != 1 || caps->Size < sizeof(DEVICE_CAPABILITIES)) {
            return Complete(irp, STATUS_INVALID_PARAMETER);
        }
        FillCapabilities(caps);
        return Complete(irp, STATUS_SUCCESS);
    }
    case IRP_MN_QUERY_ID:
        return AnswerId(pdo, irp, stack->Parameters.QueryId.IdType);
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (stack->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation && !irp->IoStatus.Information) {
            return AnswerTargetRelation(pdo, irp);
        }
        return Complete(irp, irp->IoStatus.Status);
    default:
        // Nothing to add: the status the IRP carries, Information untouched.
        return Complete(irp, irp->IoStatus.Status);
    }
}

NTSTATUS RootDispatchPower(PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = irp->IoStatus.Status;
    if (stack->MinorFunction == IRP_MN_SET_POWER || stack->MinorFunction == IRP_MN_QUERY_POWER) {
        status = STATUS_SUCCESS;
    }
    PoStartNextPowerIrp(irp);
    return Complete(irp, status);
}

NTSTATUS RootDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->MajorFunction[IRP_MJ_PNP] = RootDispatchPnp;
    driver->MajorFunction[IRP_MJ_POWER] = RootDispatchPower;
    return STATUS_SUCCESS;
}

NTSTATUS EnsureRootDriver() {
    if (g_rootDriver) {
        return STATUS_SUCCESS;
    }
    UNICODE_STRING path;
    RtlInitUnicodeString(&path, L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\PnpManager");
    return HkIoCreateDriver(L"PnpManager", RootDriverEntry, &path, &g_rootDriver);
}

}  // namespace

NTSTATUS CreateRootPdo(PDEVICE_OBJECT* pdo) {
    NTSTATUS status = EnsureRootDriver();
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = IoCreateDevice(g_rootDriver, sizeof(RootPdoExtension), nullptr, FILE_DEVICE_UNKNOWN,
                            FILE_AUTOGENERATED_DEVICE_NAME | FILE_DEVICE_SECURE_OPEN, FALSE, pdo);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto* ext = static_cast<RootPdoExtension*>((*pdo)->DeviceExtension);
    ext->Signature = kRootPdoSignature;
    (*pdo)->Flags |= DO_BUS_ENUMERATED_DEVICE | DO_POWER_PAGABLE;
    (*pdo)->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

bool IsRootPdo(PDEVICE_OBJECT device) {
    return device && g_rootDriver && device->DriverObject == g_rootDriver;
}

ULONG RootPdoReachedCount(PDEVICE_OBJECT pdo, UCHAR minor) {
    ULONG count = 0;
    for (const HkPnpReceived& r : RootPdoReceived(pdo)) {
        count += r.Minor == minor ? 1 : 0;
    }
    return count;
}

std::vector<HkPnpReceived> RootPdoReceived(PDEVICE_OBJECT pdo) {
    std::lock_guard<std::mutex> hold(g_rootLock);
    auto it = g_received.find(pdo);
    return it == g_received.end() ? std::vector<HkPnpReceived>() : it->second;
}

void RootSetInstancePath(PDEVICE_OBJECT pdo, const std::u16string& path) {
    std::lock_guard<std::mutex> hold(g_rootLock);
    if (path.empty()) {
        g_rootPaths.erase(pdo);
        g_received.erase(pdo);
    } else {
        g_rootPaths[pdo] = path;
    }
}

// Unloads the root bus driver when it owns no device any more.
void RootUnloadDriver() {
    if (g_rootDriver && HkIoDevicesOfDriver(g_rootDriver).empty()) {
        HkIoUnloadDriver(g_rootDriver);
        g_rootDriver = nullptr;
    }
}

// Host kernel reset: the driver object goes with the object manager's state.
void RootForget() {
    g_rootDriver = nullptr;
    std::lock_guard<std::mutex> hold(g_rootLock);
    g_rootPaths.clear();
    g_received.clear();
}

}  // namespace hkpnp
