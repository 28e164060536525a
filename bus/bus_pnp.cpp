// Plug and play of the bus device: its state machine, its children (bus
// relations), its own identifiers and its removal.
#include "dravolux.h"

namespace {

// Passes the request down untouched and drops this request's count.
PAGEABLE_CODE NTSTATUS PassDown(BusExtension* Bus, PIRP Irp)
{
    PAGED_CODE();
    IoSkipCurrentIrpStackLocation(Irp);
    NTSTATUS Status = IoCallDriver(Bus->LowerDevice, Irp);
    IoDecrement(Bus);
    return Status;
}

PAGEABLE_CODE NTSTATUS PassDownWith(BusExtension* Bus, PIRP Irp, NTSTATUS Status)
{
    PAGED_CODE();
    Irp->IoStatus.Status = Status;
    return PassDown(Bus, Irp);
}

// Completes the request here and drops this request's count.
PAGEABLE_CODE NTSTATUS CompleteHere(BusExtension* Bus, PIRP Irp, NTSTATUS Status)
{
    PAGED_CODE();
    Irp->IoStatus.Status = Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    IoDecrement(Bus);
    return Status;
}

PAGEABLE_CODE NTSTATUS StartBus(BusExtension* Bus, PIRP Irp)
{
    PAGED_CODE();
    NTSTATUS Status = ForwardAndWait(Bus->LowerDevice, Irp);
    if (!NT_SUCCESS(Status)) {
        return CompleteHere(Bus, Irp, Status);
    }
    Bus->Header.DevicePowerState = PowerDeviceD0;
    SetPnpState(&Bus->Header, Started);
    return CompleteHere(Bus, Irp, STATUS_SUCCESS);
}

PAGEABLE_CODE NTSTATUS StopBus(BusExtension* Bus, PIRP Irp)
{
    PAGED_CODE();
    IoDecrement(Bus);
    KeWaitForSingleObject(&Bus->StopEvent, Executive, KernelMode, FALSE, NULL);
    IoIncrement(Bus);
    SetPnpState(&Bus->Header, Stopped);
    return PassDownWith(Bus, Irp, STATUS_SUCCESS);
}

// Reports every present port device behind the entries left by drivers
// above; marks the others missing so their removal deletes them.
PAGEABLE_CODE NTSTATUS QueryBusRelations(BusExtension* Bus, PIRP Irp)
{
    PAGED_CODE();
    NTSTATUS Status = STATUS_SUCCESS;
    BOOLEAN Answered = FALSE;
    {
        PortListHold Hold(Bus);
        PDEVICE_RELATIONS Existing = reinterpret_cast<PDEVICE_RELATIONS>(Irp->IoStatus.Information);
        if (Existing == NULL || Bus->PortCount != 0) {
            ULONG Previous = Existing != NULL ? Existing->Count : 0;
            ULONG Present = 0;
            for (PLIST_ENTRY Entry = Bus->PortList.Flink; Entry != &Bus->PortList; Entry = Entry->Flink) {
                Present += RECORD_OF(Entry, PortExtension, BusLink)->Present ? 1 : 0;
            }
            ULONG Total = Previous + Present;
            SIZE_T Size = (SIZE_T)Total * sizeof(PDEVICE_OBJECT) + 15;
            PDEVICE_RELATIONS Relations =
                static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, Size, DVX_TAG));
            if (Relations == NULL) {
                Status = STATUS_INSUFFICIENT_RESOURCES;
            } else {
                if (Previous != 0) {
                    RtlCopyMemory(Relations->Objects, Existing->Objects, Previous * sizeof(PDEVICE_OBJECT));
                }
                Relations->Count = Total;
                ULONG Next = Previous;
                for (PLIST_ENTRY Entry = Bus->PortList.Flink; Entry != &Bus->PortList; Entry = Entry->Flink) {
                    PortExtension* Port = RECORD_OF(Entry, PortExtension, BusLink);
                    if (Port->Present) {
                        Relations->Objects[Next++] = Port->Header.Self;
                        ObReferenceObject(Port->Header.Self);
                        Port->Reported = 1;
                    } else {
                        Port->ReportedMissing = 1;
                    }
                }
                if (Existing != NULL) {
                    ExFreePoolWithTag(Existing, 0);
                }
                Irp->IoStatus.Information = (ULONG_PTR)Relations;
                Answered = TRUE;
            }
        }
    }
    if (!NT_SUCCESS(Status)) {
        return CompleteHere(Bus, Irp, Status);
    }
    if (!Answered) {
        return PassDown(Bus, Irp);
    }
    return PassDownWith(Bus, Irp, STATUS_SUCCESS);
}

// The bus device's own identifiers; anything else is left to the PDO.
PAGEABLE_CODE NTSTATUS QueryBusId(BusExtension* Bus, PIRP Irp, PIO_STACK_LOCATION Stack)
{
    PAGED_CODE();
    static const WCHAR DeviceId[] = L"Root\\SYSTEM";        // 24 bytes with its NUL
    static const WCHAR HardwareIds[] = L"DRAVOLUX\0";       // 20 bytes with both NULs
    static_assert(sizeof(DeviceId) == 24 && sizeof(HardwareIds) == 20, "bus identifiers");
    const WCHAR* Text = NULL;
    SIZE_T Size = 0;
    ULONG Type;  // any 32-bit value the sender chose
    RtlCopyMemory(&Type, &Stack->Parameters.QueryId.IdType, sizeof(Type));
    if (Type == BusQueryDeviceID) {
        Text = DeviceId;
        Size = sizeof(DeviceId);
    } else if (Type == BusQueryHardwareIDs) {
        Text = HardwareIds;
        Size = sizeof(HardwareIds);
    }
    if (Text != NULL) {
        PVOID Buffer = ExAllocatePoolWithTag(PagedPool, Size, DVX_TAG);
        if (Buffer != NULL) {
            RtlCopyMemory(Buffer, Text, Size);
            Irp->IoStatus.Information = (ULONG_PTR)Buffer;
        }
    }
    return PassDown(Bus, Irp);
}

// Takes every reported port device off PortList and orphans it: the PnP
// manager removes it, and its removal leaves the bus alone. Port devices the
// PnP manager was never told about stay on PortList for the bus removal to
// release. PortCount keeps its value.
PAGEABLE_CODE NTSTATUS SurpriseRemoveBus(BusExtension* Bus, PIRP Irp)
{
    PAGED_CODE();
    SetPnpState(&Bus->Header, SurpriseRemoved);
    BusTeardown(Bus);
    {
        PortListHold Hold(Bus);
        PLIST_ENTRY Entry = Bus->PortList.Flink;
        while (Entry != &Bus->PortList) {
            PLIST_ENTRY Next = Entry->Flink;
            PortExtension* Port = RECORD_OF(Entry, PortExtension, BusLink);
            if (!Port->Reported) {
                Entry = Next;
                continue;
            }
            UnlinkEntry(Entry);
            Port->ParentBus = NULL;
            Port->ReportedMissing = 1;
            Entry = Next;
        }
    }
    return PassDownWith(Bus, Irp, STATUS_SUCCESS);
}

// Removal: refuse new work, wait for the running requests, make sure no
// rescan can still run, then release or orphan the port devices (outside
// the lock: releasing deletes devices and links), pass down and delete.
PAGEABLE_CODE NTSTATUS RemoveBus(PDEVICE_OBJECT DeviceObject, BusExtension* Bus, PIRP Irp)
{
    PAGED_CODE();
    if (ReadPnpState(&Bus->Header) != SurpriseRemoved) {
        BusTeardown(Bus);
    }
    {
        PortListHold Hold(Bus);
        SetPnpState(&Bus->Header, Deleted);
    }
    IoDecrement(Bus);
    IoDecrement(Bus);
    KeWaitForSingleObject(&Bus->RemoveEvent, Executive, KernelMode, FALSE, NULL);

    // A request counted before Deleted may have re-armed the timer (after a
    // surprise removal nothing else disarms it); nothing can arm it now.
    KeCancelTimer(&Bus->RescanTimer);
    KeFlushQueuedDpcs();

    LIST_ENTRY Leaving;
    InitializeListEntry(&Leaving);
    {
        PortListHold Hold(Bus);
        PLIST_ENTRY Entry = Bus->PortList.Flink;
        while (Entry != &Bus->PortList) {
            PLIST_ENTRY Next = Entry->Flink;
            PortExtension* Port = RECORD_OF(Entry, PortExtension, BusLink);
            UnlinkEntry(Entry);
            if (ReadPnpState(&Port->Header) == SurpriseRemoved) {
                Port->ParentBus = NULL;
                Port->ReportedMissing = 1;
            } else {
                Bus->PortCount--;
                InsertTail(&Leaving, Entry);
            }
            Entry = Next;
        }
    }
    while (!ListIsEmpty(&Leaving)) {
        PLIST_ENTRY Entry = Leaving.Flink;
        UnlinkEntry(Entry);
        PortExtension* Port = RECORD_OF(Entry, PortExtension, BusLink);
        ReleasePortDevice(Port->Header.Self, Port);
    }

    Irp->IoStatus.Status = STATUS_SUCCESS;
    IoSkipCurrentIrpStackLocation(Irp);
    NTSTATUS Status = IoCallDriver(Bus->LowerDevice, Irp);
    IoDetachDevice(Bus->LowerDevice);
    IoDeleteDevice(DeviceObject);
    return Status;
}

}  // namespace

PAGEABLE_CODE NTSTATUS BusPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_STACK_LOCATION Stack, BusExtension* Bus)
{
    PAGED_CODE();
    IoIncrement(Bus);
    switch (Stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
        return StartBus(Bus, Irp);
    case IRP_MN_QUERY_REMOVE_DEVICE:
        SetPnpState(&Bus->Header, RemovePending);
        return PassDownWith(Bus, Irp, STATUS_SUCCESS);
    case IRP_MN_REMOVE_DEVICE:
        return RemoveBus(DeviceObject, Bus, Irp);
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        if (ReadPnpState(&Bus->Header) == RemovePending) {
            RestorePnpState(&Bus->Header);
        }
        return PassDownWith(Bus, Irp, STATUS_SUCCESS);
    case IRP_MN_STOP_DEVICE:
        return StopBus(Bus, Irp);
    case IRP_MN_QUERY_STOP_DEVICE:
        SetPnpState(&Bus->Header, StopPending);
        return PassDownWith(Bus, Irp, STATUS_SUCCESS);
    case IRP_MN_CANCEL_STOP_DEVICE:
        if (ReadPnpState(&Bus->Header) == StopPending) {
            RestorePnpState(&Bus->Header);
        }
        return PassDownWith(Bus, Irp, STATUS_SUCCESS);
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (Stack->Parameters.QueryDeviceRelations.Type == BusRelations) {
            return QueryBusRelations(Bus, Irp);
        }
        return PassDown(Bus, Irp);
    case IRP_MN_QUERY_ID:
        return QueryBusId(Bus, Irp, Stack);
    case IRP_MN_SURPRISE_REMOVAL:
        return SurpriseRemoveBus(Bus, Irp);
    default:
        return PassDown(Bus, Irp);
    }
}
