// The bus device: creation, activity count, deferred re-enumeration and the
// synchronous forwarding of plug-and-play requests.
#include "dravolux.h"

PAGEABLE_CODE NTSTATUS BusAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject)
{
    PAGED_CODE();
    UNICODE_STRING DeviceName;
    UNICODE_STRING LinkName;
    RtlInitUnicodeString(&DeviceName, BUS_DEVICE_NAME);
    RtlInitUnicodeString(&LinkName, BUS_LINK_NAME);

    PDEVICE_OBJECT DeviceObject = NULL;
    NTSTATUS Status = IoCreateDevice(DriverObject, sizeof(BusExtension), &DeviceName,
                                     FILE_DEVICE_BUS_EXTENDER, FILE_DEVICE_SECURE_OPEN, TRUE,
                                     &DeviceObject);
    if (!NT_SUCCESS(Status)) {
        return Status;
    }

    BusExtension* Bus = BusOf(DeviceObject);
    RtlZeroMemory(Bus, sizeof(*Bus));
    Bus->Header.Self = DeviceObject;
    Bus->Header.BusRole = 1;
    Bus->Header.PnpState = NotStarted;
    Bus->Header.PreviousPnpState = NotStarted;
    Bus->Header.SystemPowerState = PowerSystemWorking;
    Bus->Header.DevicePowerState = PowerDeviceUnspecified;
    ExInitializeFastMutex(&Bus->PortListLock);
    InitializeListEntry(&Bus->PortList);
    Bus->UnderlyingPdo = PhysicalDeviceObject;
    Bus->OutstandingIo = 1;
    KeInitializeEvent(&Bus->RemoveEvent, SynchronizationEvent, FALSE);
    KeInitializeEvent(&Bus->StopEvent, SynchronizationEvent, TRUE);
    KeInitializeEvent(&Bus->CreateGate, SynchronizationEvent, TRUE);
    KeInitializeEvent(&Bus->NameGate, SynchronizationEvent, TRUE);
    KeInitializeTimer(&Bus->RescanTimer);
    KeInitializeDpc(&Bus->RescanDpc, RescanDpcRoutine, PhysicalDeviceObject);
    DeviceObject->Flags |= DO_POWER_PAGABLE;

    Status = IoCreateSymbolicLink(&LinkName, &DeviceName);
    if (!NT_SUCCESS(Status)) {
        IoDeleteDevice(DeviceObject);
        return Status;
    }
    Bus->LowerDevice = IoAttachDeviceToDeviceStack(DeviceObject, PhysicalDeviceObject);
    if (Bus->LowerDevice == NULL) {
        IoDeleteSymbolicLink(&LinkName);
        IoDeleteDevice(DeviceObject);
        return STATUS_NO_SUCH_DEVICE;
    }
    DeviceObject->Flags &= ~DO_DEVICE_INITIALIZING;
    return Status;
}

// StopEvent is signalled exactly while no counted request runs; RemoveEvent
// once the device's own count is gone too.
RESIDENT_CODE void IoIncrement(BusExtension* Bus)
{
    LONG Count = InterlockedIncrement(&Bus->OutstandingIo);
    if (Count == 2) {
        KeClearEvent(&Bus->StopEvent);
    }
}

RESIDENT_CODE void IoDecrement(BusExtension* Bus)
{
    LONG Count = InterlockedDecrement(&Bus->OutstandingIo);
    if (Count == 1) {
        KeSetEvent(&Bus->StopEvent, IO_NO_INCREMENT, FALSE);
    } else if (Count == 0) {
        KeSetEvent(&Bus->RemoveEvent, IO_NO_INCREMENT, FALSE);
    }
}

// Arms (or re-arms) the rescan 200 ms from now, so a burst of changes gives
// one re-enumeration.
RESIDENT_CODE void ScheduleRescan(BusExtension* Bus)
{
    LARGE_INTEGER DueTime;
    DueTime.QuadPart = -(LONGLONG)RescanDelayMs * 10000;
    KeSetTimer(&Bus->RescanTimer, DueTime, &Bus->RescanDpc);
}

RESIDENT_CODE void RescanDpcRoutine(PKDPC Dpc, PVOID Context, PVOID SystemArgument1, PVOID SystemArgument2)
{
    IoInvalidateDeviceRelations(static_cast<PDEVICE_OBJECT>(Context), BusRelations);
}

RESIDENT_CODE NTSTATUS ForwardCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends Irp down and waits for the lower drivers; the caller completes it.
PAGEABLE_CODE NTSTATUS ForwardAndWait(PDEVICE_OBJECT LowerDevice, PIRP Irp)
{
    PAGED_CODE();
    KEVENT Event;
    KeInitializeEvent(&Event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoGetNextIrpStackLocation(Irp)->Control = 0;
    IoSetCompletionRoutine(Irp, ForwardCompletion, &Event, TRUE, TRUE, TRUE);
    NTSTATUS Status = IoCallDriver(LowerDevice, Irp);
    if (Status == STATUS_PENDING) {
        KeWaitForSingleObject(&Event, Executive, KernelMode, FALSE, NULL);
        Status = Irp->IoStatus.Status;
    }
    return Status;
}

PAGEABLE_CODE void BusTeardown(BusExtension* Bus)
{
    PAGED_CODE();
    KeCancelTimer(&Bus->RescanTimer);
    UNICODE_STRING LinkName;
    RtlInitUnicodeString(&LinkName, BUS_LINK_NAME);
    IoDeleteSymbolicLink(&LinkName);
}
