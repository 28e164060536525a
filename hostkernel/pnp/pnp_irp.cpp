// Sending PnP and power IRPs to device stacks, the log of what the manager
// sent, and the manager's text functions.
#include "pnp/pnp_internal.h"
#include "hk/io.h"
#include "hk/text.h"
#include "hk/verifier.h"

namespace hkpnp {

namespace {

std::mutex g_logLock;
std::vector<HkPnpIrpRecord> g_irpLog;

void LogIrp(HkDeviceNode* node, UCHAR minor, ULONG detail, NTSTATUS status) {
    std::lock_guard<std::mutex> hold(g_logLock);
    g_irpLog.push_back({node ? node->InstancePath : std::u16string(), minor, detail, status});
}

// A PDO that its bus deleted while the manager still counts it as present.
void CheckDeletedChildren(HkDeviceNode* exempt) {
    std::vector<HkDeviceNode*> nodes;
    HkDeviceNode* root = Root();
    {
        std::lock_guard<std::mutex> hold(TreeLock());
        CollectPreOrder(root, &nodes);
    }
    for (HkDeviceNode* n : nodes) {
        if (n == exempt || !n->Pdo || n->State == HkPnpState::Removed || n->State == HkPnpState::Disabled ||
            n->State == HkPnpState::StartFailed) {
            continue;
        }
        if (HkIoIsDeletePending(n->Pdo)) {
            HkVerifierStop(HkViolation::DeviceDeletedReferenced,
                           "the PDO of %s was deleted by its bus driver before the PnP manager removed it",
                           Utf8(n->InstancePath).c_str());
            n->State = HkPnpState::Removed;  // keep going under a capture
        }
    }
}

NTSTATUS SignalDone(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

bool MustReachBus(UCHAR minor) {
    return minor == IRP_MN_START_DEVICE || minor == IRP_MN_REMOVE_DEVICE ||
           minor == IRP_MN_SURPRISE_REMOVAL || minor == IRP_MN_STOP_DEVICE;
}

void FillStack(PIO_STACK_LOCATION stack, const IrpParams& p) {
    stack->MajorFunction = p.Major;
    stack->MinorFunction = p.Minor;
    if (p.Major == IRP_MJ_POWER) {
        stack->Parameters.Power.Type = static_cast<POWER_STATE_TYPE>(p.Arg1);
        if (p.Arg1 == SystemPowerState) {
            stack->Parameters.Power.State.SystemState = static_cast<SYSTEM_POWER_STATE>(p.Arg2);
        } else {
            stack->Parameters.Power.State.DeviceState = static_cast<DEVICE_POWER_STATE>(p.Arg2);
        }
        stack->Parameters.Power.ShutdownType = static_cast<POWER_ACTION>(p.Arg3);
        stack->Parameters.Power.SystemContext = 0;
        return;
    }
    switch (p.Minor) {
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        stack->Parameters.QueryDeviceRelations.Type = static_cast<DEVICE_RELATION_TYPE>(p.Arg1);
        break;
    case IRP_MN_QUERY_ID:
        stack->Parameters.QueryId.IdType = static_cast<BUS_QUERY_ID_TYPE>(p.Arg1);
        break;
    case IRP_MN_QUERY_DEVICE_TEXT:
        stack->Parameters.QueryDeviceText.DeviceTextType = static_cast<DEVICE_TEXT_TYPE>(p.Arg1);
        stack->Parameters.QueryDeviceText.LocaleId = p.Arg2;
        break;
    case IRP_MN_QUERY_CAPABILITIES:
        stack->Parameters.DeviceCapabilities.Capabilities = static_cast<PDEVICE_CAPABILITIES>(p.Pointer);
        break;
    case IRP_MN_START_DEVICE:
        stack->Parameters.StartDevice.AllocatedResources = static_cast<PCM_RESOURCE_LIST>(p.Pointer);
        stack->Parameters.StartDevice.AllocatedResourcesTranslated = static_cast<PCM_RESOURCE_LIST>(p.Pointer);
        break;
    case IRP_MN_FILTER_RESOURCE_REQUIREMENTS:
        stack->Parameters.FilterResourceRequirements.IoResourceRequirementList =
            static_cast<PIO_RESOURCE_REQUIREMENTS_LIST>(p.Pointer);
        break;
    default:
        break;
    }
}

}  // namespace

NTSTATUS SendIrp(PDEVICE_OBJECT pdo, const IrpParams& params, ULONG_PTR* information) {
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        HkVerifierStop(HkViolation::IrqlTooHigh, "the PnP/power manager sends IRPs at PASSIVE_LEVEL only");
    }
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo);
    // The manager's own requests come from a reserve on the platform; a
    // failed allocation is tried again before the request is given up.
    PIRP irp = nullptr;
    for (int attempt = 0; attempt < 3 && !irp; ++attempt) {
        irp = IoAllocateIrp(top->StackSize, FALSE);
    }
    if (!irp) {
        ObDereferenceObject(top);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    // The platform's rule: PnP and power IRPs start out as "not supported".
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = information ? *information : 0;
    FillStack(IoGetNextIrpStackLocation(irp), params);

    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, SignalDone, &done, TRUE, TRUE, TRUE);

    const bool watchBus = params.Major == IRP_MJ_PNP && MustReachBus(params.Minor) && top != pdo && IsRootPdo(pdo);
    const ULONG reachedBefore = watchBus ? RootPdoReachedCount(pdo, params.Minor) : 0;

    NTSTATUS status = IoCallDriver(top, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    }
    status = irp->IoStatus.Status;
    if (information) {
        *information = irp->IoStatus.Information;
    }
    IoFreeIrp(irp);

    if (watchBus && RootPdoReachedCount(pdo, params.Minor) == reachedBefore) {
        HkVerifierStop(HkViolation::IrpNotPassedDown,
                       "%s completed by driver %s without passing it down to the bus driver",
                       HkPnpMinorName(params.Minor), DriverNameOf(top).c_str());
    }
    ObDereferenceObject(top);
    return status;
}

NTSTATUS Send(HkDeviceNode* node, UCHAR minor, ULONG arg1, ULONG_PTR* info, PVOID pointer) {
    IrpParams p;
    p.Minor = minor;
    p.Arg1 = arg1;
    p.Pointer = pointer;
    ULONG_PTR local = 0;
    NTSTATUS status = SendIrp(node->Pdo, p, info ? info : &local);
    LogIrp(node, minor, arg1, status);
    CheckDeletedChildren(minor == IRP_MN_REMOVE_DEVICE ? node : nullptr);
    return status;
}

void FreeAnswer(ULONG_PTR info) {
    if (info) {
        ExFreePool(reinterpret_cast<PVOID>(info));
    }
}

void ReleaseRelations(PDEVICE_RELATIONS relations) {
    if (!relations) {
        return;
    }
    for (ULONG i = 0; i < relations->Count; ++i) {
        if (relations->Objects[i]) {
            ObDereferenceObject(relations->Objects[i]);
        }
    }
    ExFreePool(relations);
}

NTSTATUS QueryText(HkDeviceNode* node, UCHAR minor, ULONG type, std::u16string* out) {
    ULONG_PTR info = 0;
    NTSTATUS status = Send(node, minor, type, &info);
    if (NT_SUCCESS(status) && info) {
        out->assign(reinterpret_cast<const char16_t*>(info));
    }
    FreeAnswer(info);
    return info ? status : (NT_SUCCESS(status) ? STATUS_NOT_FOUND : status);
}

void ForgetIrpLog() {
    std::lock_guard<std::mutex> hold(g_logLock);
    g_irpLog.clear();
}

std::string DriverNameOf(PDEVICE_OBJECT device) {
    const UNICODE_STRING& name = device->DriverObject->DriverName;
    return Utf8(std::u16string(reinterpret_cast<const char16_t*>(name.Buffer), name.Length / 2));
}

std::u16string FourDigits(ULONG n) {
    std::u16string out;
    do {
        out.insert(out.begin(), static_cast<char16_t>(u'0' + n % 10));
        n /= 10;
    } while (n);
    while (out.size() < 4) {
        out.insert(out.begin(), u'0');
    }
    return out;
}

std::u16string U16(PCWSTR text) {
    return HkText(text);
}

std::string Utf8(const std::u16string& text) {
    return HkUtf8Text(text);
}

std::u16string Upcase(const std::u16string& text) {
    return HkUpcaseText(text);
}

bool EqualNoCase(const std::u16string& a, const std::u16string& b) {
    return HkEqualText(a, b, true);
}

PWSTR PoolString(const std::u16string& text, bool multi) {
    const size_t chars = text.size() + (multi ? 2 : 1);
    auto* buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, chars * sizeof(WCHAR), 'pnpH'));
    if (!buffer) {
        return nullptr;
    }
    for (size_t i = 0; i < text.size(); ++i) {
        buffer[i] = static_cast<WCHAR>(text[i]);
    }
    for (size_t i = text.size(); i < chars; ++i) {
        buffer[i] = 0;
    }
    return buffer;
}

}  // namespace hkpnp

using namespace hkpnp;

std::vector<HkPnpIrpRecord> HkPnpIrpLog() {
    std::lock_guard<std::mutex> hold(g_logLock);
    return g_irpLog;
}

void HkPnpClearIrpLog() { ForgetIrpLog(); }

const char* HkPnpMinorName(UCHAR minor) {
    static const char* const names[] = {
        "START_DEVICE", "QUERY_REMOVE_DEVICE", "REMOVE_DEVICE", "CANCEL_REMOVE_DEVICE", "STOP_DEVICE",
        "QUERY_STOP_DEVICE", "CANCEL_STOP_DEVICE", "QUERY_DEVICE_RELATIONS", "QUERY_INTERFACE",
        "QUERY_CAPABILITIES", "QUERY_RESOURCES", "QUERY_RESOURCE_REQUIREMENTS", "QUERY_DEVICE_TEXT",
        "FILTER_RESOURCE_REQUIREMENTS", "0x0E", "READ_CONFIG", "WRITE_CONFIG", "EJECT", "SET_LOCK", "QUERY_ID",
        "QUERY_PNP_DEVICE_STATE", "QUERY_BUS_INFORMATION", "DEVICE_USAGE_NOTIFICATION", "SURPRISE_REMOVAL",
        "QUERY_LEGACY_BUS_INFORMATION", "DEVICE_ENUMERATED"};
    return minor < sizeof(names) / sizeof(names[0]) ? names[minor] : "UNKNOWN";
}
