// Removal of managed ports and the reload of client permissions.
#include "../port/port_group.h"

using dravolux::PortRequest;

namespace {

// Why a port device of a managed port cannot go now, or STATUS_SUCCESS.
RESIDENT_CODE NTSTATUS RemovalBlocker(PortExtension* Port)
{
    if (ReadCounter(&Port->OpenCount) != 0) {
        return STATUS_DEVICE_BUSY;
    }
    if (ReadPnpState(&Port->Header) != Started) {
        return STATUS_DEVICE_NOT_READY;
    }
    return STATUS_SUCCESS;
}

// The control port device of that exact name. PortListLock is held.
RESIDENT_CODE PortExtension* FindControlPort(BusExtension* Bus, PCWSTR Name)
{
    PLIST_ENTRY Head = &Bus->PortList;
    for (PLIST_ENTRY Entry = Head->Flink; Entry != Head; Entry = Entry->Flink) {
        PortExtension* Port = RECORD_OF(Entry, PortExtension, BusLink);
        if (Port->IsControl && Port->PortName != NULL && StringsEqual(Port->PortName, Name)) {
            return Port;
        }
    }
    return NULL;
}

// Checks a managed port and, when nothing blocks it, marks all its port
// devices absent. PortListLock is held.
RESIDENT_CODE NTSTATUS MarkManagedPort(PortExtension* Control)
{
    NTSTATUS Status = RemovalBlocker(Control);
    PLIST_ENTRY Clients = Control->PeerList;
    for (PLIST_ENTRY Entry = Clients->Flink; NT_SUCCESS(Status) && Entry != Clients; Entry = Entry->Flink) {
        Status = RemovalBlocker(RECORD_OF(Entry, PortExtension, GroupLink));
    }
    if (!NT_SUCCESS(Status)) {
        return Status;
    }
    MarkRemoved(Control);
    for (PLIST_ENTRY Entry = Clients->Flink; Entry != Clients; Entry = Entry->Flink) {
        MarkRemoved(RECORD_OF(Entry, PortExtension, GroupLink));
    }
    return STATUS_SUCCESS;
}

// Reload works in batches: each batch holds references on opened clients
// taken under the lock, and reads the registry after the lock is gone.
constexpr ULONG ReloadBatch = 16;

// Collects up to ReloadBatch opened clients with an Index of at least
// *From, referenced, and gives each the default word first. Returns how
// many; *From moves past the last one.
RESIDENT_CODE ULONG CollectOpenedClients(BusExtension* Bus, ULONG* From, bool* More, PortExtension** Batch)
{
    ULONG Count = 0;
    *More = false;
    PortListHold Hold(Bus, TRUE);
    PLIST_ENTRY Head = &Bus->PortList;
    for (PLIST_ENTRY Entry = Head->Flink; Entry != Head; Entry = Entry->Flink) {
        PortExtension* Port = RECORD_OF(Entry, PortExtension, BusLink);
        if (Port->Index < *From || Port->IsControl || Port->ImagePath == NULL) {
            continue;
        }
        if (Count == ReloadBatch) {
            *More = true;
            break;
        }
        Port->Function.Permissions = 3;
        ObReferenceObject(Port->Header.Self);
        Batch[Count++] = Port;
        *From = Port->Index + 1;
    }
    return Count;
}

}  // namespace

PAGEABLE_CODE NTSTATUS RemovePort(PortRequest* Request, BusExtension* Bus)
{
    PAGED_CODE();
    Request->Name[dravolux::PortNameUnits - 1] = 0;
    PCWSTR Name = reinterpret_cast<PCWSTR>(Request->Name);
    NTSTATUS Status;
    {
        PortListHold Hold(Bus, TRUE);
        if (Bus->PortCount == 0) {
            Status = STATUS_NO_SUCH_DEVICE;
        } else {
            PortExtension* Control = FindControlPort(Bus, Name);
            Status = Control != NULL ? MarkManagedPort(Control) : STATUS_INVALID_PARAMETER;
        }
    }
    if (NT_SUCCESS(Status)) {
        ScheduleRescan(Bus);
    }
    return Status;
}

RESIDENT_CODE NTSTATUS RemoveAllPorts(BusExtension* Bus)
{
    // Port devices that are present but were never reported get no
    // IRP_MN_REMOVE_DEVICE: the PnP manager never heard of them. They are
    // released here. A control port device among them leaves PortList
    // before its name is back, so the gate is held until then: a CreatePort
    // of the name waits for it before its takeover.
    LIST_ENTRY Unknown;
    InitializeListEntry(&Unknown);
    {
        GateHold Names(&Bus->NameGate);
        {
            PortListHold Hold(Bus, TRUE);
            if (Bus->PortCount == 0) {
                return STATUS_SUCCESS;
            }
            PLIST_ENTRY Head = &Bus->PortList;
            for (PLIST_ENTRY Entry = Head->Flink; Entry != Head; Entry = Entry->Flink) {
                if (ReadCounter(&RECORD_OF(Entry, PortExtension, BusLink)->OpenCount) != 0) {
                    return STATUS_DEVICE_BUSY;
                }
            }
            PLIST_ENTRY Entry = Head->Flink;
            while (Entry != Head) {
                PLIST_ENTRY Next = Entry->Flink;
                PortExtension* Port = RECORD_OF(Entry, PortExtension, BusLink);
                BOOLEAN Unreported = Port->Present && !Port->Reported;
                MarkRemoved(Port);
                if (Unreported) {
                    UnlinkEntry(Entry);
                    --Bus->PortCount;
                    InsertTail(&Unknown, Entry);
                }
                Entry = Next;
            }
        }
        for (PLIST_ENTRY Entry = Unknown.Flink; Entry != &Unknown; Entry = Entry->Flink) {
            PortExtension* Port = RECORD_OF(Entry, PortExtension, BusLink);
            if (Port->IsControl) {
                ReturnDosNameGated(Port);
            }
        }
    }
    while (!ListIsEmpty(&Unknown)) {
        PLIST_ENTRY Entry = Unknown.Flink;
        UnlinkEntry(Entry);
        PortExtension* Port = RECORD_OF(Entry, PortExtension, BusLink);
        ReleasePortDevice(Port->Header.Self, Port);
    }
    ScheduleRescan(Bus);
    return STATUS_SUCCESS;
}

RESIDENT_CODE NTSTATUS ReloadPermissions(BusExtension* Bus)
{
    PortExtension* Batch[ReloadBatch];
    ULONG From = 0;
    bool More = true;
    while (More) {
        ULONG Count = CollectOpenedClients(Bus, &From, &More, Batch);
        for (ULONG i = 0; i < Count; ++i) {
            // The reference keeps the record; a port released meanwhile has
            // no opener left and is skipped by LoadPermissions.
            LoadPermissions(Batch[i]);
            ObDereferenceObject(Batch[i]->Header.Self);
        }
    }
    return STATUS_SUCCESS;
}
