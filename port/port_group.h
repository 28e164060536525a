// Port groups and the shared helpers of the port device paths: joining a
// group, giving a DOS name back, the bus a port belongs to, and small
// bounded string helpers.
#pragma once

#include "dravolux.h"

// The bus a port device was created on. Its record stays readable while the
// port exists (the port holds a reference on the bus device object), so its
// PortListLock may always be taken, orphans included.
inline BusExtension* OwningBusOf(PortExtension* Port)
{
    return BusOf(Port->OwningBus);
}

// A new, empty group with no strings and no members; null when out of pool.
PortGroup* AllocatePortGroup();

// Frees a group's strings and the group; only for a group nobody joined.
void FreePortGroup(PortGroup* Group);

// Adds Port to Group as a client or as the control port device: role, lists,
// strings, permission word and group reference. Called with PortListLock of
// the port's bus held. Present stays 0: the creator writes the records
// first and then publishes the port.
void JoinPortGroup(PortExtension* Port, PortGroup* Group, UCHAR IsControl);

// Makes the port devices a creator has finished (Second may be NULL)
// present, both or none: none when a removal marked either of them since
// their creation. The PnP manager has then never heard of them and the
// creator destroys them. PortListLock is held.
BOOLEAN PublishPorts(PortExtension* First, PortExtension* Second);

// Keeps a port device's record, its bus device's record and its group (with
// the managed port's strings) for a scope with no lock held: a release of
// the port, or of the bus, that runs meanwhile frees none of them.
struct PortPin {
    PortExtension* Port;
    PDEVICE_OBJECT Device;
    PDEVICE_OBJECT BusDevice;
    PortGroup* Group;
    explicit PortPin(PortExtension* Pinned);
    ~PortPin();
    PortPin(const PortPin&) = delete;
    PortPin& operator=(const PortPin&) = delete;
};

// Writes a port device's installation records with no lock held, pinned.
void WritePortRecords(PortExtension* Port);

// Gives the DOS name of the port's group back, once: deletes LinkName and
// re-creates it towards LinkTarget when one was saved. Failures are
// ignored. ReturnDosName takes the bus's NameGate; the Gated form is for a
// caller that holds it.
void ReturnDosName(PortExtension* Port);
void ReturnDosNameGated(PortExtension* Port);

// Frees a string of ours if it is set.
void FreeString(PWSTR String);

// Units of a NUL-terminated string, without the NUL.
ULONG StringUnits(PCWSTR String);

// Exact, case-sensitive equality of two NUL-terminated strings.
bool StringsEqual(PCWSTR Left, PCWSTR Right);

// Reads a counter changed by interlocked operations elsewhere.
inline LONG ReadCounter(volatile LONG* Counter)
{
    return InterlockedCompareExchange(const_cast<LONG*>(Counter), 0, 0);
}

// Present and IsControl are single bytes, written under PortListLock here
// and read under it by bus relations.
inline void SetPresent(PortExtension* Port, UCHAR Value)
{
    Port->Present = Value;
}

// A removal takes a port out of bus relations for good. PortListLock is held.
inline void MarkRemoved(PortExtension* Port)
{
    Port->Present = 0;
    Port->Removed = 1;
}

// The port only waits for its removal: a removal marked it, or its group
// gave the DOS name back. Opens of it fail. PortListLock is held.
inline bool PortLeaving(PortExtension* Port)
{
    return Port->Removed || (Port->Group != NULL && !Port->Group->NameHeld);
}

// Holds one of a bus's gates (a synchronization event used as a mutex) for
// a scope, inside a critical region so the holder cannot be suspended.
// Waited at passive level before PortListLock: CreateGate, then NameGate,
// then the lock.
struct GateHold {
    KEVENT* Gate;
    explicit GateHold(KEVENT* Event) : Gate(Event)
    {
        KeEnterCriticalRegion();
        KeWaitForSingleObject(Gate, Executive, KernelMode, FALSE, NULL);
    }
    ~GateHold()
    {
        KeSetEvent(Gate, IO_NO_INCREMENT, FALSE);
        KeLeaveCriticalRegion();
    }
    GateHold(const GateHold&) = delete;
    GateHold& operator=(const GateHold&) = delete;
};
