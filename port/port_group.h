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
// the port's bus held. Sets Present, so it must be the last step of the
// creator.
void JoinPortGroup(PortExtension* Port, PortGroup* Group, UCHAR IsControl);

// Gives a DOS name back: deletes LinkName and re-creates it towards
// LinkTarget when one was saved. Failures are ignored.
void GiveBackDosName(PWSTR LinkName, PWSTR LinkTarget);

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
