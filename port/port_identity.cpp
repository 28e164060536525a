// How a port device introduces itself: identifiers, texts, capabilities (with
// the FunctionArea address for the port function driver) and the values the
// function driver reads from the hardware key.
#include "dravolux.h"

namespace {

// The capabilities record of a port function driver: the platform's record
// followed by the address of the port's FunctionArea.
struct ExtendedCapabilities {
    DEVICE_CAPABILITIES Base;
    FunctionArea* Function;
};
static_assert(sizeof(DEVICE_CAPABILITIES) == 64, "platform capabilities are 64 bytes");
static_assert(offsetof(DEVICE_CAPABILITIES, Address) == 8 && offsetof(DEVICE_CAPABILITIES, UINumber) == 12,
              "capabilities layout");
static_assert(offsetof(DEVICE_CAPABILITIES, DeviceState) == 16 && offsetof(DEVICE_CAPABILITIES, SystemWake) == 44,
              "capabilities layout");
static_assert(offsetof(DEVICE_CAPABILITIES, D3Latency) == 60, "capabilities layout");
static_assert(sizeof(ExtendedCapabilities) == 72 && offsetof(ExtendedCapabilities, Function) == 64,
              "extended capabilities layout");

constexpr USHORT BaseCapabilitiesSize = 64;
constexpr USHORT ExtendedCapabilitiesSize = 72;
constexpr ULONG FlagsCleared = 0x7C0B;  // D1, D2, eject, wake from D0-D3, hardware disabled
constexpr ULONG FlagsSet = 0x2D0;       // removable, unique id, silent install, surprise removal ok
constexpr ULONG NoDisplayInUiFlag = 0x20000;
constexpr ULONG FlagWordOffset = 4;

const WCHAR DeviceIdText[] = L"DRAVOLUX\\DEVICES";
const WCHAR HardwareIdText[] = L"PELMONIX\0";
const WCHAR CompatibleIdText[] = L"*ZARVIKCompatibleDRAVOLUX\0";
const WCHAR LocationText[] = L"Virtual Serial Bus";
const WCHAR DescriptionPrefix[] = L"ZARVIK_";
const WCHAR DescriptionStem[] = L"Virtual_Serial_Port_";
const WCHAR ControlNamePrefix[] = L"CORVESS_";
static_assert(sizeof(DeviceIdText) == 34 && sizeof(HardwareIdText) == 20, "identifier sizes");
static_assert(sizeof(CompatibleIdText) == 54 && sizeof(LocationText) == 38, "identifier sizes");

constexpr ULONG CompatibleIdBufferSize = 110;
constexpr ULONG InstanceIdBufferSize = 30;
constexpr ULONG DescriptionChars = (sizeof(DescriptionPrefix) / sizeof(WCHAR) - 1) +
                                   (sizeof(DescriptionStem) / sizeof(WCHAR) - 1) + 9;
static_assert(DescriptionChars * sizeof(WCHAR) == 72, "description buffer is 72 bytes");

// Longest "PortName" value: the control prefix and a full request name.
constexpr ULONG ConfigNameChars = (sizeof(ControlNamePrefix) / sizeof(WCHAR) - 1) + dravolux::PortNameUnits;

PAGEABLE_CODE PWCHAR AllocateAnswer(SIZE_T Size)
{
    PAGED_CODE();
    PWCHAR Buffer = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, Size, DVX_TAG));
    if (Buffer != NULL) {
        RtlZeroMemory(Buffer, Size);
    }
    return Buffer;
}

PAGEABLE_CODE ULONG TextLength(const WCHAR* Text)
{
    PAGED_CODE();
    ULONG Length = 0;
    while (Text[Length] != 0) {
        Length++;
    }
    return Length;
}

// Writes one value into Key. The value name travels in a scratch copy.
PAGEABLE_CODE NTSTATUS SetConfigValue(HANDLE Key, const WCHAR* Name, ULONG Type, PVOID Data, ULONG DataSize)
{
    PAGED_CODE();
    ULONG NameBytes = TextLength(Name) * sizeof(WCHAR);
    UNICODE_STRING ValueName;
    ValueName.Length = (USHORT)NameBytes;
    ValueName.MaximumLength = (USHORT)(NameBytes + 2 * sizeof(WCHAR));
    ValueName.Buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, ValueName.MaximumLength, DVX_SCRATCH_TAG));
    if (ValueName.Buffer == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(ValueName.Buffer, ValueName.MaximumLength);
    RtlCopyMemory(ValueName.Buffer, Name, NameBytes);
    NTSTATUS Status = ZwSetValueKey(Key, &ValueName, 0, Type, Data, DataSize);
    ExFreePoolWithTag(ValueName.Buffer, DVX_SCRATCH_TAG);
    return Status;
}

}  // namespace

PAGEABLE_CODE NTSTATUS PortQueryId(PortExtension* Port, PIRP Irp, PIO_STACK_LOCATION Stack)
{
    PAGED_CODE();
    ULONG Type;
    RtlCopyMemory(&Type, &Stack->Parameters.QueryId.IdType, sizeof(Type));
    const WCHAR* Text = NULL;
    SIZE_T TextSize = 0;
    SIZE_T Size = 0;
    switch (Type) {
    case BusQueryDeviceID:
        Text = DeviceIdText;
        TextSize = Size = sizeof(DeviceIdText);
        break;
    case BusQueryHardwareIDs:
        Text = HardwareIdText;
        TextSize = Size = sizeof(HardwareIdText);
        break;
    case BusQueryCompatibleIDs:
        Text = CompatibleIdText;
        TextSize = sizeof(CompatibleIdText);
        Size = CompatibleIdBufferSize;
        break;
    case BusQueryInstanceID:
        Size = InstanceIdBufferSize;
        break;
    default:
        return Irp->IoStatus.Status;
    }
    PWCHAR Buffer = AllocateAnswer(Size);
    if (Buffer == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (Text != NULL) {
        RtlCopyMemory(Buffer, Text, TextSize);
    } else {
        swprintf(Buffer, L"%.4d", (int)Port->Index);
    }
    Irp->IoStatus.Information = (ULONG_PTR)Buffer;
    return STATUS_SUCCESS;
}

PAGEABLE_CODE NTSTATUS PortQueryDeviceText(PortExtension* Port, PIRP Irp, PIO_STACK_LOCATION Stack)
{
    PAGED_CODE();
    // The type comes from the sender and may be any 32-bit value.
    ULONG Type;
    RtlCopyMemory(&Type, &Stack->Parameters.QueryDeviceText.DeviceTextType, sizeof(Type));
    if (Type != DeviceTextDescription && Type != DeviceTextLocationInformation) {
        return Irp->IoStatus.Status;
    }
    if (Irp->IoStatus.Information != 0) {
        return STATUS_SUCCESS;  // a driver above has answered already
    }
    SIZE_T Size = Type == DeviceTextDescription ? DescriptionChars * sizeof(WCHAR) : sizeof(LocationText);
    PWCHAR Buffer = AllocateAnswer(Size);
    if (Buffer == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (Type == DeviceTextDescription) {
        swprintf(Buffer, L"%ws%ws%02d", DescriptionPrefix, DescriptionStem, (int)Port->Index);
    } else {
        RtlCopyMemory(Buffer, LocationText, sizeof(LocationText));
    }
    Irp->IoStatus.Information = (ULONG_PTR)Buffer;
    return STATUS_SUCCESS;
}

PAGEABLE_CODE NTSTATUS QueryParentCapabilities(PDEVICE_OBJECT Target, PDEVICE_CAPABILITIES Capabilities)
{
    PAGED_CODE();
    RtlZeroMemory(Capabilities, ExtendedCapabilitiesSize);
    Capabilities->Size = ExtendedCapabilitiesSize;
    Capabilities->Version = 1;
    Capabilities->Address = 0xFFFFFFFF;
    Capabilities->UINumber = 0xFFFFFFFF;

    KEVENT Event;
    KeInitializeEvent(&Event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK IoStatus;
    RtlZeroMemory(&IoStatus, sizeof(IoStatus));
    PDEVICE_OBJECT Top = IoGetAttachedDeviceReference(Target);
    NTSTATUS Status;
    PIRP Irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, Top, NULL, 0, NULL, &Event, &IoStatus);
    if (Irp == NULL) {
        Status = STATUS_INSUFFICIENT_RESOURCES;
    } else {
        Irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        PIO_STACK_LOCATION Next = IoGetNextIrpStackLocation(Irp);
        RtlZeroMemory(Next, sizeof(*Next));
        Next->MajorFunction = IRP_MJ_PNP;
        Next->MinorFunction = IRP_MN_QUERY_CAPABILITIES;
        Next->Parameters.DeviceCapabilities.Capabilities = Capabilities;
        Status = IoCallDriver(Top, Irp);
        if (Status == STATUS_PENDING) {
            KeWaitForSingleObject(&Event, Executive, KernelMode, FALSE, NULL);
            Status = IoStatus.Status;
        }
    }
    ObDereferenceObject(Top);
    return Status;
}

// The port's capabilities, derived from the bus stack's device states. An
// orphaned port has no bus left to ask and answers STATUS_NO_SUCH_DEVICE.
PAGEABLE_CODE NTSTATUS PortQueryCapabilities(PortExtension* Port, PIRP Irp, PIO_STACK_LOCATION Stack)
{
    PAGED_CODE();
    PDEVICE_CAPABILITIES Caps = Stack->Parameters.DeviceCapabilities.Capabilities;
    if (Caps->Version != 1 || Caps->Size < BaseCapabilitiesSize) {
        return STATUS_UNSUCCESSFUL;
    }

    BusExtension* Bus = NULL;
    NTSTATUS Status = PortAcquireBus(Port, &Bus);
    if (!NT_SUCCESS(Status)) {
        return Status;
    }
    ExtendedCapabilities Parent;
    Status = QueryParentCapabilities(Bus->LowerDevice, &Parent.Base);
    PortReleaseBus(Bus);
    if (!NT_SUCCESS(Status)) {
        return Status;
    }

    RtlCopyMemory(Caps->DeviceState, Parent.Base.DeviceState, sizeof(Caps->DeviceState));
    Caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
    for (int State = PowerSystemSleeping1; State <= PowerSystemSleeping3; State++) {
        if (Caps->DeviceState[State] != PowerDeviceD0) {
            Caps->DeviceState[State] = PowerDeviceD3;
        }
    }

    PUCHAR Record = reinterpret_cast<PUCHAR>(Caps);
    ULONG Flags;
    RtlCopyMemory(&Flags, Record + FlagWordOffset, sizeof(Flags));
    Flags = (Flags & ~FlagsCleared) | FlagsSet;
    Flags = Port->IsControl ? (Flags | NoDisplayInUiFlag) : (Flags & ~NoDisplayInUiFlag);
    RtlCopyMemory(Record + FlagWordOffset, &Flags, sizeof(Flags));

    Caps->Address = 0xFFFFFFFF;
    Caps->SystemWake = PowerSystemUnspecified;
    Caps->DeviceWake = PowerDeviceUnspecified;
    Caps->D1Latency = 0;
    Caps->D2Latency = 0;
    Caps->D3Latency = 0;
    if (Caps->Size >= ExtendedCapabilitiesSize) {
        reinterpret_cast<ExtendedCapabilities*>(Caps)->Function = &Port->Function;
    }
    Caps->UINumber = Port->Index;
    return STATUS_SUCCESS;
}

// Publishes PortName and IsControl in the hardware key for the port function
// driver. The key is opened with the access that setting values needs.
PAGEABLE_CODE NTSTATUS WriteDeviceConfig(PDEVICE_OBJECT DeviceObject, PortExtension* Port)
{
    PAGED_CODE();
    if (Port->PortName == NULL) {
        return STATUS_SUCCESS;
    }
    HANDLE Key = NULL;
    NTSTATUS Status = IoOpenDeviceRegistryKey(DeviceObject, PLUGPLAY_REGKEY_DEVICE, KEY_WRITE, &Key);
    if (!NT_SUCCESS(Status)) {
        return Status;
    }

    WCHAR Name[ConfigNameChars + 1];
    ULONG Length = 0;
    if (Port->IsControl) {
        for (const WCHAR* Prefix = ControlNamePrefix; *Prefix != 0; Prefix++) {
            Name[Length++] = *Prefix;
        }
    }
    for (const WCHAR* Source = Port->PortName; *Source != 0 && Length < ConfigNameChars; Source++) {
        Name[Length++] = *Source;
    }
    Name[Length] = 0;

    Status = SetConfigValue(Key, L"PortName", REG_SZ, Name, (Length + 1) * sizeof(WCHAR));
    if (NT_SUCCESS(Status)) {
        ULONG IsControl = Port->IsControl;
        Status = SetConfigValue(Key, L"IsControl", REG_DWORD, &IsControl, sizeof(IsControl));
    }
    ZwClose(Key);
    return Status;
}
