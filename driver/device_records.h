// Device records of the dravolux bus: the bus device's record, the port
// devices' records, the group that ties a managed port's devices together,
// and the block handed to the port function driver.
#pragma once

#include "seam.h"

#include <stddef.h>

// Plug-and-play state of a device (the header's PnpState field).
enum PnpStateValue : LONG {
    NotStarted = 0,
    Started = 1,
    StopPending = 2,
    Stopped = 3,
    RemovePending = 4,
    SurpriseRemoved = 5,
    Deleted = 6,
};
static_assert(sizeof(PnpStateValue) == 4, "PnpState is 32-bit");

// First fields of both records; dispatch looks here first.
struct DeviceHeader {
    PDEVICE_OBJECT Self;
    UCHAR BusRole;  // 1 on the bus device, 0 on a port device
    PnpStateValue PnpState;
    PnpStateValue PreviousPnpState;
    SYSTEM_POWER_STATE SystemPowerState;
    DEVICE_POWER_STATE DevicePowerState;
};

// Record of the bus device.
struct BusExtension {
    DeviceHeader Header;
    PDEVICE_OBJECT UnderlyingPdo;
    PDEVICE_OBJECT LowerDevice;
    LIST_ENTRY PortList;  // BusLink entries, ascending Index
    ULONG PortCount;
    FAST_MUTEX PortListLock;  // guards PortList, PortCount and all group lists
    volatile LONG OutstandingIo;
    KEVENT RemoveEvent;  // set when OutstandingIo reaches 0
    KEVENT StopEvent;    // set while OutstandingIo is 1
    KTIMER RescanTimer;
    KDPC RescanDpc;
    KEVENT CreateGate;  // serialises CreatePort (synchronization event, signalled when free)
    KEVENT NameGate;    // serialises changes to the DOS links of managed ports (the same kind)
};

// The port devices of one managed port. Non-paged. Owns the managed port's
// strings; freed with the last port device that joined it.
struct PortGroup {
    LIST_ENTRY ClientList;
    LIST_ENTRY ControlList;
    LIST_ENTRY ClientFunctionList;
    LIST_ENTRY ControlFunctionList;
    LONG ReferenceCount;  // port devices joined to the group and writers of their records; under PortListLock
    UCHAR NameHeld;       // the bus holds the DOS name for the group; under PortListLock
    PWSTR PortName;
    PWSTR LinkName;
    PWSTR LinkTarget;
};

// Block handed to the port function driver; its byte layout is fixed.
#pragma pack(push, 4)
struct FunctionArea {
    ULONG FunctionState;
    ULONG Reserved0;
    PLIST_ENTRY PeerFunctionList;
    PLIST_ENTRY OwnFunctionList;
    LIST_ENTRY FunctionLink;
    ULONG Permissions;
    UCHAR Reserved[80];
    ULONG StatusWord1;
    ULONG StatusWord2;
};
#pragma pack(pop)
static_assert(sizeof(PLIST_ENTRY) == 8 && sizeof(LIST_ENTRY) == 16, "64-bit list entries");
static_assert(offsetof(FunctionArea, FunctionState) == 0, "FunctionArea layout");
static_assert(offsetof(FunctionArea, Reserved0) == 4, "FunctionArea layout");
static_assert(offsetof(FunctionArea, PeerFunctionList) == 8, "FunctionArea layout");
static_assert(offsetof(FunctionArea, OwnFunctionList) == 16, "FunctionArea layout");
static_assert(offsetof(FunctionArea, FunctionLink) == 24, "FunctionArea layout");
static_assert(offsetof(FunctionArea, Permissions) == 40, "FunctionArea layout");
static_assert(offsetof(FunctionArea, Reserved) == 44, "FunctionArea layout");
static_assert(offsetof(FunctionArea, StatusWord1) == 124, "FunctionArea layout");
static_assert(offsetof(FunctionArea, StatusWord2) == 128, "FunctionArea layout");
static_assert(sizeof(FunctionArea) == 132, "FunctionArea is 132 bytes");
static_assert(alignof(FunctionArea) == 4, "FunctionArea is packed on 4");

// Record of a port device.
struct PortExtension {
    DeviceHeader Header;
    PDEVICE_OBJECT ParentBus;  // null once the bus has orphaned the port
    PLIST_ENTRY PeerList;
    PLIST_ENTRY OwnList;
    LIST_ENTRY GroupLink;
    LIST_ENTRY BusLink;
    UCHAR Present;
    UCHAR ReportedMissing;
    UCHAR IsControl;
    UCHAR Reported;  // named in bus relations at least once; under PortListLock
    UCHAR Removed;   // marked by RemovePort or RemoveAllPorts: never present again; under PortListLock
    ULONG Index;
    PWSTR PortName;    // borrowed from Group
    PWSTR LinkName;    // borrowed from Group
    PWSTR LinkTarget;  // borrowed from Group
    PWSTR ImagePath;
    HANDLE ProcessId;
    volatile LONG OpenCount;
    PDEVICE_OBJECT OwningBus;  // referenced from creation to release, orphans too
    PortGroup* Group;
    ULONG Spare;  // keeps Function flush with the end of the record
    FunctionArea Function;
};
static_assert(offsetof(PortExtension, Function) + sizeof(FunctionArea) == sizeof(PortExtension),
              "FunctionArea ends the port record");
static_assert(offsetof(DeviceHeader, Self) == 0 && offsetof(PortExtension, Header) == 0 &&
                  offsetof(BusExtension, Header) == 0,
              "both records begin with the header");

// Role of a device object, from its header.
inline DeviceHeader* HeaderOf(PDEVICE_OBJECT DeviceObject)
{
    return static_cast<DeviceHeader*>(DeviceObject->DeviceExtension);
}
inline BusExtension* BusOf(PDEVICE_OBJECT DeviceObject)
{
    return static_cast<BusExtension*>(DeviceObject->DeviceExtension);
}
inline PortExtension* PortOf(PDEVICE_OBJECT DeviceObject)
{
    return static_cast<PortExtension*>(DeviceObject->DeviceExtension);
}

// PnpState is only touched atomically once the device exists: control,
// create and power paths read it while plug-and-play paths change it.
inline PnpStateValue ReadPnpState(DeviceHeader* Header)
{
    return static_cast<PnpStateValue>(
        InterlockedCompareExchange(reinterpret_cast<volatile LONG*>(&Header->PnpState), 0, 0));
}
// State changes; the previous state is kept for the cancel requests.
inline void SetPnpState(DeviceHeader* Header, PnpStateValue State)
{
    Header->PreviousPnpState = ReadPnpState(Header);
    InterlockedExchange(reinterpret_cast<volatile LONG*>(&Header->PnpState), State);
}
inline void RestorePnpState(DeviceHeader* Header)
{
    InterlockedExchange(reinterpret_cast<volatile LONG*>(&Header->PnpState), Header->PreviousPnpState);
}

// A 32-bit word of the FunctionArea that the function driver may be
// writing. Offset is one of the 4-byte aligned status words.
inline ULONG ReadAreaWord(FunctionArea* Area, SIZE_T Offset)
{
    volatile LONG* Word = reinterpret_cast<volatile LONG*>(reinterpret_cast<PUCHAR>(Area) + Offset);
    return static_cast<ULONG>(InterlockedCompareExchange(Word, 0, 0));
}

// List helpers; an unlinked entry points to itself. FunctionLink lies on a
// 4-byte boundary (the FunctionArea is packed on 4), so the helpers move the
// links as bytes and never assume an 8-byte aligned entry.
constexpr SIZE_T LinkBytes = sizeof(PLIST_ENTRY);  // NOLINT(bugprone-sizeof-expression): the link, a pointer
inline PLIST_ENTRY NextEntry(const LIST_ENTRY* Entry)
{
    PLIST_ENTRY Link;
    RtlCopyMemory(&Link, reinterpret_cast<const UCHAR*>(Entry) + offsetof(LIST_ENTRY, Flink), LinkBytes);
    return Link;
}
inline PLIST_ENTRY PreviousEntry(const LIST_ENTRY* Entry)
{
    PLIST_ENTRY Link;
    RtlCopyMemory(&Link, reinterpret_cast<const UCHAR*>(Entry) + offsetof(LIST_ENTRY, Blink), LinkBytes);
    return Link;
}
inline void SetNextEntry(PLIST_ENTRY Entry, PLIST_ENTRY Link)
{
    RtlCopyMemory(reinterpret_cast<UCHAR*>(Entry) + offsetof(LIST_ENTRY, Flink), &Link, LinkBytes);
}
inline void SetPreviousEntry(PLIST_ENTRY Entry, PLIST_ENTRY Link)
{
    RtlCopyMemory(reinterpret_cast<UCHAR*>(Entry) + offsetof(LIST_ENTRY, Blink), &Link, LinkBytes);
}
inline void InitializeListEntry(PLIST_ENTRY Entry)
{
    SetNextEntry(Entry, Entry);
    SetPreviousEntry(Entry, Entry);
}
inline void InsertTail(PLIST_ENTRY Head, PLIST_ENTRY Entry)
{
    PLIST_ENTRY Last = PreviousEntry(Head);
    SetNextEntry(Entry, Head);
    SetPreviousEntry(Entry, Last);
    SetNextEntry(Last, Entry);
    SetPreviousEntry(Head, Entry);
}
// Inserts Entry just before Next (keeps a sorted list sorted).
inline void InsertBefore(PLIST_ENTRY Next, PLIST_ENTRY Entry)
{
    InsertTail(Next, Entry);
}
inline void UnlinkEntry(PLIST_ENTRY Entry)
{
    PLIST_ENTRY Next = NextEntry(Entry);
    PLIST_ENTRY Prev = PreviousEntry(Entry);
    SetNextEntry(Prev, Next);
    SetPreviousEntry(Next, Prev);
    InitializeListEntry(Entry);
}
inline bool ListIsEmpty(const LIST_ENTRY* Head)
{
    return NextEntry(Head) == Head;
}

// The record that holds a list entry. Type names a type and cannot be
// parenthesised.
#define RECORD_OF(Entry, Type, Field) /* NOLINTNEXTLINE(bugprone-macro-parentheses) */ \
    (reinterpret_cast<Type*>(reinterpret_cast<PUCHAR>(Entry) - offsetof(Type, Field)))

// Holds a bus's PortListLock for a scope. Control paths ask for a critical
// region around the hold; plug-and-play paths take the mutex alone.
struct PortListHold {
    FAST_MUTEX* Lock;
    BOOLEAN Region;
    explicit PortListHold(BusExtension* Bus, BOOLEAN CriticalRegion = FALSE)
        : Lock(&Bus->PortListLock), Region(CriticalRegion)
    {
        if (Region) {
            KeEnterCriticalRegion();
        }
        ExAcquireFastMutex(Lock);
    }
    ~PortListHold()
    {
        ExReleaseFastMutex(Lock);
        if (Region) {
            KeLeaveCriticalRegion();
        }
    }
    PortListHold(const PortListHold&) = delete;
    PortListHold& operator=(const PortListHold&) = delete;
};

// Pool tags.
#define DVX_TAG DVX_POOL_TAG('D', 'v', 'l', 'x')
#define DVX_SCRATCH_TAG DVX_POOL_TAG('C', 'O', 'M', 'X')
