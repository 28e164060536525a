// Stand-in port function driver: see pelmonix.h.
#include "pelmonix.h"

namespace {

// Numbers for the function devices' names; zero at load, no constructor.
LONG NextDeviceNumber;

RESIDENT_CODE PelmonixDevice* DeviceOf(PDEVICE_OBJECT device) { return static_cast<PelmonixDevice*>(device->DeviceExtension); }

RESIDENT_CODE void WriteAreaWord(PelmonixDevice* pel, ULONG offset, ULONG value) {
    if (pel->FunctionArea) {
        InterlockedExchange(reinterpret_cast<volatile LONG*>(pel->FunctionArea + offset), static_cast<LONG>(value));
    }
}

// StatusWord1, StatusWord2 and FunctionState from the device's flags.
RESIDENT_CODE void PublishStatus(PelmonixDevice* pel, ULONG state) {
    ULONG status = 0;
    if (pel->Started) status |= PELMONIX_STATUS_STARTED;
    if (pel->Configured) status |= PELMONIX_STATUS_CONFIGURED;
    if (pel->LinkOwner) status |= PELMONIX_STATUS_LINK_OWNER;
    if (pel->Opened) status |= PELMONIX_STATUS_OPENED;
    WriteAreaWord(pel, PELMONIX_AREA_STATE_AT, state);
    WriteAreaWord(pel, PELMONIX_AREA_STATUS1_AT, status);
    WriteAreaWord(pel, PELMONIX_AREA_STATUS2_AT, static_cast<ULONG>(InterlockedCompareExchange(&pel->Opens, 0, 0)));
}

// Appends the decimal digits of value to a counted string that has room.
PAGEABLE_CODE void AppendNumber(PUNICODE_STRING text, ULONG value) {
    PAGED_CODE();
    WCHAR digits[10];
    ULONG count = 0;
    do {
        digits[count++] = static_cast<WCHAR>(L'0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (count != 0 && text->Length + sizeof(WCHAR) < text->MaximumLength) {
        text->Buffer[text->Length / sizeof(WCHAR)] = digits[--count];
        text->Length += sizeof(WCHAR);
    }
    text->Buffer[text->Length / sizeof(WCHAR)] = 0;
}

RESIDENT_CODE NTSTATUS SignalCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    UNREFERENCED_PARAMETER(device);
    UNREFERENCED_PARAMETER(irp);
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends the request down and waits for the lower drivers to finish it; the
// request is ours again afterwards.
PAGEABLE_CODE NTSTATUS ForwardAndWait(PelmonixDevice* pel, PIRP irp) {
    PAGED_CODE();
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SignalCompletion, &done, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(pel->LowerDevice, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        status = irp->IoStatus.Status;
    }
    return status;
}

PAGEABLE_CODE NTSTATUS PassDown(PelmonixDevice* pel, PIRP irp) {
    PAGED_CODE();
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(pel->LowerDevice, irp);
}

PAGEABLE_CODE NTSTATUS Complete(PIRP irp, NTSTATUS status) {
    PAGED_CODE();
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// Asks the port device for the address of its FunctionArea.
PAGEABLE_CODE NTSTATUS QueryFunctionArea(PelmonixDevice* pel) {
    PAGED_CODE();
    alignas(8) UCHAR record[PELMONIX_CAPABILITIES_SIZE];
    RtlZeroMemory(record, sizeof record);
    PDEVICE_CAPABILITIES caps = reinterpret_cast<PDEVICE_CAPABILITIES>(record);
    caps->Size = PELMONIX_CAPABILITIES_SIZE;
    caps->Version = 1;
    caps->Address = 0xFFFFFFFF;
    caps->UINumber = 0xFFFFFFFF;

    KEVENT done;
    IO_STATUS_BLOCK io;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, pel->LowerDevice, nullptr, 0, nullptr, &done, &io);
    if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    RtlZeroMemory(next, sizeof *next);
    next->MajorFunction = IRP_MJ_PNP;
    next->MinorFunction = IRP_MN_QUERY_CAPABILITIES;
    next->Parameters.DeviceCapabilities.Capabilities = caps;
    NTSTATUS status = IoCallDriver(pel->LowerDevice, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        status = io.Status;
    }
    if (!NT_SUCCESS(status)) return status;
    PVOID area = nullptr;
    RtlCopyMemory(&area, record + PELMONIX_FUNCTION_AREA_AT, sizeof area);
    if (!area) return STATUS_NOT_SUPPORTED;
    pel->FunctionArea = static_cast<PUCHAR>(area);
    return STATUS_SUCCESS;
}

// Reads one value of the hardware key into `data`; `length` in, bytes out.
PAGEABLE_CODE NTSTATUS QueryValue(HANDLE key, PCWSTR name, ULONG type, PVOID data, ULONG* length) {
    PAGED_CODE();
    alignas(8) UCHAR buffer[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + (PELMONIX_MAX_NAME + 1) * sizeof(WCHAR)];
    UNICODE_STRING valueName;
    RtlInitUnicodeString(&valueName, name);
    ULONG resultLength = 0;
    NTSTATUS status = ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, buffer, sizeof buffer,
                                      &resultLength);
    if (!NT_SUCCESS(status)) return status;
    PKEY_VALUE_PARTIAL_INFORMATION info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
    if (info->Type != type || info->DataLength > *length) return STATUS_INVALID_PARAMETER;
    RtlCopyMemory(data, info->Data, info->DataLength);
    *length = info->DataLength;
    return STATUS_SUCCESS;
}

// "PortName" and "IsControl" from the port device's hardware key.
PAGEABLE_CODE NTSTATUS ReadConfiguration(PelmonixDevice* pel) {
    PAGED_CODE();
    HANDLE key = nullptr;
    NTSTATUS status = IoOpenDeviceRegistryKey(pel->Pdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key);
    if (!NT_SUCCESS(status)) return status;
    WCHAR name[PELMONIX_MAX_NAME + 2];
    ULONG nameBytes = (PELMONIX_MAX_NAME + 1) * sizeof(WCHAR);
    ULONG isControl = 0;
    ULONG controlBytes = sizeof isControl;
    status = QueryValue(key, L"PortName", REG_SZ, name, &nameBytes);
    if (NT_SUCCESS(status)) status = QueryValue(key, L"IsControl", REG_DWORD, &isControl, &controlBytes);
    ZwClose(key);
    if (!NT_SUCCESS(status)) return status;
    if (controlBytes != sizeof isControl) return STATUS_INVALID_PARAMETER;

    // The stored text may or may not carry its 0 unit; end it here.
    ULONG units = nameBytes / sizeof(WCHAR);
    name[units] = 0;
    ULONG length = 0;
    while (name[length] != 0) ++length;
    if (length == 0 || length > PELMONIX_MAX_NAME) return STATUS_INVALID_PARAMETER;
    RtlCopyMemory(pel->PortName, name, (length + 1) * sizeof(WCHAR));
    pel->IsControl = isControl;
    pel->LinkName.Buffer = pel->LinkNameBuffer;
    pel->LinkName.Length = 0;
    pel->LinkName.MaximumLength = sizeof pel->LinkNameBuffer;
    RtlAppendUnicodeToString(&pel->LinkName, PELMONIX_DOS_PREFIX);
    RtlAppendUnicodeToString(&pel->LinkName, pel->PortName);
    pel->Configured = TRUE;
    return STATUS_SUCCESS;
}

// Whether the port's DOS name points at this function device now.
PAGEABLE_CODE BOOLEAN LinkPointsHere(PelmonixDevice* pel) {
    PAGED_CODE();
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &pel->LinkName, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr,
                               nullptr);
    HANDLE link = nullptr;
    if (!NT_SUCCESS(ZwOpenSymbolicLinkObject(&link, GENERIC_READ, &attributes))) return FALSE;
    WCHAR buffer[sizeof pel->DeviceNameBuffer / sizeof(WCHAR)];
    UNICODE_STRING target;
    target.Buffer = buffer;
    target.Length = 0;
    target.MaximumLength = sizeof buffer;
    ULONG returned = 0;
    NTSTATUS status = ZwQuerySymbolicLinkObject(link, &target, &returned);
    ZwClose(link);
    return NT_SUCCESS(status) && RtlEqualUnicodeString(&target, &pel->DeviceName, TRUE);
}

// Points the port's DOS name at this function device, whatever it named.
PAGEABLE_CODE void TakeLink(PelmonixDevice* pel) {
    PAGED_CODE();
    IoDeleteSymbolicLink(&pel->LinkName);
    pel->LinkOwner = NT_SUCCESS(IoCreateSymbolicLink(&pel->LinkName, &pel->DeviceName));
}

// Deletes the DOS name if it still points here; a name that the bus or a
// newer client has taken since is left alone.
PAGEABLE_CODE void DropLink(PelmonixDevice* pel) {
    PAGED_CODE();
    if (pel->LinkOwner && LinkPointsHere(pel)) IoDeleteSymbolicLink(&pel->LinkName);
    pel->LinkOwner = FALSE;
}

PAGEABLE_CODE NTSTATUS StartDevice(PelmonixDevice* pel, PIRP irp) {
    PAGED_CODE();
    NTSTATUS status = ForwardAndWait(pel, irp);
    if (NT_SUCCESS(status)) {
        pel->Started = TRUE;
        // Without its area or configuration the stack still runs; it only
        // cannot serve the port's name.
        if (!pel->FunctionArea) QueryFunctionArea(pel);
        if (!pel->Configured) ReadConfiguration(pel);
        if (pel->Configured && pel->IsControl == 0 && !pel->Opened && !pel->LinkOwner) TakeLink(pel);
        PublishStatus(pel, PELMONIX_STATE_STARTED);
    }
    return Complete(irp, status);
}

PAGEABLE_CODE NTSTATUS RemoveDevice(PelmonixDevice* pel, PIRP irp) {
    PAGED_CODE();
    DropLink(pel);
    PublishStatus(pel, PELMONIX_STATE_IDLE);
    // The port device may release its FunctionArea once it has the request.
    pel->FunctionArea = nullptr;
    pel->Started = FALSE;
    irp->IoStatus.Status = STATUS_SUCCESS;
    NTSTATUS status = PassDown(pel, irp);
    IoDetachDevice(pel->LowerDevice);
    IoDeleteDevice(pel->Self);
    return status;
}

PAGEABLE_CODE NTSTATUS DispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
    PAGED_CODE();
    PelmonixDevice* pel = DeviceOf(device);
    switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
        return StartDevice(pel, irp);
    case IRP_MN_REMOVE_DEVICE:
        return RemoveDevice(pel, irp);
    case IRP_MN_SURPRISE_REMOVAL:
        // Nobody can open a port device that is gone.
        DropLink(pel);
        pel->Started = FALSE;
        PublishStatus(pel, PELMONIX_STATE_STOPPED);
        irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(pel, irp);
    case IRP_MN_STOP_DEVICE:
        pel->Started = FALSE;
        PublishStatus(pel, PELMONIX_STATE_STOPPED);
        irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(pel, irp);
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(pel, irp);
    default:
        return PassDown(pel, irp);
    }
}

RESIDENT_CODE NTSTATUS DispatchPower(PDEVICE_OBJECT device, PIRP irp) {
    PelmonixDevice* pel = DeviceOf(device);
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(pel->LowerDevice, irp);
}

// Opens and closes go to the port device, which records the opener; an
// open of a client port device ends its wait, and the bus takes the DOS
// name from it.
PAGEABLE_CODE NTSTATUS DispatchCreateClose(PDEVICE_OBJECT device, PIRP irp) {
    PAGED_CODE();
    PelmonixDevice* pel = DeviceOf(device);
    BOOLEAN create = IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_CREATE;
    NTSTATUS status = PassDown(pel, irp);
    if (create && NT_SUCCESS(status)) {
        InterlockedIncrement(&pel->Opens);
        if (pel->IsControl == 0) {
            pel->Opened = TRUE;
            pel->LinkOwner = FALSE;
        }
        PublishStatus(pel, pel->Started ? PELMONIX_STATE_STARTED : PELMONIX_STATE_IDLE);
    }
    return status;
}

// Cleanup has nothing to undo: no request is ever queued.
PAGEABLE_CODE NTSTATUS DispatchCleanup(PDEVICE_OBJECT device, PIRP irp) {
    PAGED_CODE();
    UNREFERENCED_PARAMETER(device);
    irp->IoStatus.Information = 0;
    return Complete(irp, STATUS_SUCCESS);
}

PAGEABLE_CODE NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    PAGED_CODE();
    ULONG number = static_cast<ULONG>(InterlockedIncrement(&NextDeviceNumber)) - 1;
    WCHAR nameBuffer[40];
    UNICODE_STRING name;
    name.Buffer = nameBuffer;
    name.Length = 0;
    name.MaximumLength = sizeof nameBuffer;
    RtlAppendUnicodeToString(&name, PELMONIX_DEVICE_PREFIX);
    AppendNumber(&name, number);

    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(PelmonixDevice), &name, FILE_DEVICE_SERIAL_PORT,
                                     FILE_DEVICE_SECURE_OPEN, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    PelmonixDevice* pel = DeviceOf(device);
    pel->Self = device;
    pel->Pdo = pdo;
    pel->Number = number;
    RtlCopyMemory(pel->DeviceNameBuffer, nameBuffer, name.Length + sizeof(WCHAR));
    pel->DeviceName.Buffer = pel->DeviceNameBuffer;
    pel->DeviceName.Length = name.Length;
    pel->DeviceName.MaximumLength = sizeof pel->DeviceNameBuffer;

    pel->LowerDevice = IoAttachDeviceToDeviceStack(device, pdo);
    if (!pel->LowerDevice) {
        IoDeleteDevice(device);
        return STATUS_NO_SUCH_DEVICE;
    }
    device->Flags |= DO_BUFFERED_IO | (pel->LowerDevice->Flags & DO_POWER_PAGABLE);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

PAGEABLE_CODE void Unload(PDRIVER_OBJECT driver) {
    PAGED_CODE();
    UNREFERENCED_PARAMETER(driver);
}

}  // namespace

extern "C" INIT_CODE NTSTATUS PelmonixEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    UNREFERENCED_PARAMETER(RegistryPath);
    DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;
    DriverObject->MajorFunction[IRP_MJ_CLEANUP] = DispatchCleanup;
    DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    DriverObject->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    DriverObject->DriverExtension->AddDevice = AddDevice;
    DriverObject->DriverUnload = Unload;
    return STATUS_SUCCESS;
}
