// Sending PnP and power IRPs to device stacks, and the text helpers of the
// manager.
#include "pnp/pnp_internal.h"
#include "hk/text.h"
#include "hk/verifier.h"

namespace hkpnp {

namespace {

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
                       HkPnpMinorName(params.Minor),
                       Utf8(std::u16string(reinterpret_cast<const char16_t*>(top->DriverObject->DriverName.Buffer),
                                           top->DriverObject->DriverName.Length / 2))
                           .c_str());
    }
    ObDereferenceObject(top);
    return status;
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
