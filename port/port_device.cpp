// Port devices: creation with the lowest free Index, publication, records,
// release, the group a managed port's devices share with its DOS name, and
// the bus a port device may still reach.
#include "port_group.h"

// ---------------------------------------------------------------------------
// Small string helpers

RESIDENT_CODE ULONG StringUnits(PCWSTR String)
{
    ULONG Units = 0;
    while (String[Units] != 0) {
        ++Units;
    }
    return Units;
}

RESIDENT_CODE bool StringsEqual(PCWSTR Left, PCWSTR Right)
{
    for (ULONG i = 0;; ++i) {
        if (Left[i] != Right[i]) {
            return false;
        }
        if (Left[i] == 0) {
            return true;
        }
    }
}

RESIDENT_CODE void FreeString(PWSTR String)
{
    if (String != NULL) {
        ExFreePoolWithTag(String, DVX_TAG);
    }
}

// ---------------------------------------------------------------------------
// Groups

PAGEABLE_CODE PortGroup* AllocatePortGroup()
{
    PAGED_CODE();
    PortGroup* Group = static_cast<PortGroup*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(PortGroup), DVX_TAG));
    if (Group == NULL) {
        return NULL;
    }
    RtlZeroMemory(Group, sizeof(PortGroup));
    InitializeListHead(&Group->ClientList);
    InitializeListHead(&Group->ControlList);
    InitializeListHead(&Group->ClientFunctionList);
    InitializeListHead(&Group->ControlFunctionList);
    return Group;
}

PAGEABLE_CODE void FreePortGroup(PortGroup* Group)
{
    PAGED_CODE();
    FreeString(Group->PortName);
    FreeString(Group->LinkName);
    FreeString(Group->LinkTarget);
    ExFreePoolWithTag(Group, DVX_TAG);
}

RESIDENT_CODE void JoinPortGroup(PortExtension* Port, PortGroup* Group, UCHAR IsControl)
{
    Port->Group = Group;
    Port->IsControl = IsControl;
    if (IsControl) {
        Port->OwnList = &Group->ControlList;
        Port->PeerList = &Group->ClientList;
        Port->Function.OwnFunctionList = &Group->ControlFunctionList;
        Port->Function.PeerFunctionList = &Group->ClientFunctionList;
        Port->Function.Permissions = 7;
    } else {
        Port->OwnList = &Group->ClientList;
        Port->PeerList = &Group->ControlList;
        Port->Function.OwnFunctionList = &Group->ClientFunctionList;
        Port->Function.PeerFunctionList = &Group->ControlFunctionList;
        Port->Function.Permissions = 0;
    }
    Port->PortName = Group->PortName;
    Port->LinkName = Group->LinkName;
    Port->LinkTarget = Group->LinkTarget;
    InsertTail(Port->OwnList, &Port->GroupLink);
    InsertTail(Port->Function.OwnFunctionList, &Port->Function.FunctionLink);
    ++Group->ReferenceCount;
}

// Drops one reference on a group; the group when it was the last, for the
// caller to free after the lock. PortListLock is held.
RESIDENT_CODE static PortGroup* DropGroupReference(PortGroup* Group)
{
    return Group != NULL && --Group->ReferenceCount == 0 ? Group : NULL;
}

// A rescan that ran while the records were written left the port out and
// marked it missing; it was never reported, so that mark goes.
RESIDENT_CODE static void Publish(PortExtension* Port)
{
    Port->ReportedMissing = 0;
    SetPresent(Port, 1);
}

RESIDENT_CODE BOOLEAN PublishPorts(PortExtension* First, PortExtension* Second)
{
    if (First->Removed || (Second != NULL && Second->Removed)) {
        return FALSE;
    }
    Publish(First);
    if (Second != NULL) {
        Publish(Second);
    }
    return TRUE;
}

PAGEABLE_CODE PortPin::PortPin(PortExtension* Pinned)
    : Port(Pinned), Device(Pinned->Header.Self), BusDevice(Pinned->OwningBus), Group(NULL)
{
    PAGED_CODE();
    ObReferenceObject(Device);
    ObReferenceObject(BusDevice);
    PortListHold Hold(BusOf(BusDevice));
    Group = Port->Group;
    if (Group != NULL) {
        ++Group->ReferenceCount;
    }
}

PAGEABLE_CODE PortPin::~PortPin()
{
    PAGED_CODE();
    PortGroup* LastOfGroup;
    {
        PortListHold Hold(BusOf(BusDevice));
        LastOfGroup = DropGroupReference(Group);
    }
    if (LastOfGroup != NULL) {
        FreePortGroup(LastOfGroup);
    }
    ObDereferenceObject(Device);
    ObDereferenceObject(BusDevice);
}

PAGEABLE_CODE void WritePortRecords(PortExtension* Port)
{
    PAGED_CODE();
    PortPin Pin(Port);
    WriteInstallRecords(Port);
}

// "\DosDevices\" + name is how a group's LinkName reads; the give-back
// uses "\DosDevices\Global\" + name. 127 units of name and a NUL fit.
const WCHAR GlobalDosDevicesPrefix[] = L"\\DosDevices\\Global\\";
constexpr ULONG LocalPrefixUnits = sizeof(L"\\DosDevices\\") / sizeof(WCHAR) - 1;
constexpr ULONG GlobalLinkUnits = sizeof(GlobalDosDevicesPrefix) / sizeof(WCHAR) + dravolux::PortNameUnits;

PAGEABLE_CODE void ReturnDosNameGated(PortExtension* Port)
{
    PAGED_CODE();
    PortGroup* Group;
    {
        PortListHold Hold(OwningBusOf(Port));
        Group = Port->Group;
        if (Group == NULL || !Group->NameHeld) {
            return;
        }
        Group->NameHeld = 0;
    }
    // The port is still a member, so the group and its strings live on.
    // A give-back can run in a user's thread (a removal, an undone
    // create), where \DosDevices names that user's local directory: the
    // name goes back under \DosDevices\Global, which is \GLOBAL?? in
    // every context ("Local and Global MS-DOS Device Names").
    WCHAR GlobalName[GlobalLinkUnits];
    UNICODE_STRING Link;
    Link.Buffer = GlobalName;
    Link.Length = 0;
    Link.MaximumLength = sizeof(GlobalName);
    RtlAppendUnicodeToString(&Link, GlobalDosDevicesPrefix);
    RtlAppendUnicodeToString(&Link, Group->LinkName + LocalPrefixUnits);
    IoDeleteSymbolicLink(&Link);
    if (Group->LinkTarget != NULL) {
        UNICODE_STRING Target;
        RtlInitUnicodeString(&Target, Group->LinkTarget);
        IoCreateSymbolicLink(&Link, &Target);
    }
}

PAGEABLE_CODE void ReturnDosName(PortExtension* Port)
{
    PAGED_CODE();
    GateHold Names(&OwningBusOf(Port)->NameGate);
    ReturnDosNameGated(Port);
}

// ---------------------------------------------------------------------------
// Creation

// Puts Port on PortList with the lowest Index no port device of the bus
// uses, keeping the list in ascending order. PortListLock is held.
RESIDENT_CODE static void InsertWithFreeIndex(BusExtension* Bus, PortExtension* Port)
{
    PLIST_ENTRY Head = &Bus->PortList;
    ULONG Index = 0;
    PLIST_ENTRY Next = Head->Flink;
    while (Next != Head && RECORD_OF(Next, PortExtension, BusLink)->Index == Index) {
        ++Index;
        Next = Next->Flink;
    }
    Port->Index = Index;
    InsertBefore(Next, &Port->BusLink);
    ++Bus->PortCount;
}

PAGEABLE_CODE NTSTATUS CreatePortDevice(BusExtension* Bus, PortExtension** NewPort)
{
    PAGED_CODE();
    PDEVICE_OBJECT BusDevice = Bus->Header.Self;
    PDEVICE_OBJECT Device = NULL;
    NTSTATUS Status = IoCreateDevice(BusDevice->DriverObject, sizeof(PortExtension), NULL, FILE_DEVICE_UNKNOWN,
                                     FILE_AUTOGENERATED_DEVICE_NAME | FILE_DEVICE_SECURE_OPEN, FALSE, &Device);
    if (!NT_SUCCESS(Status)) {
        return Status;
    }

    // The record is zero-filled; Present stays 0 until the creator has
    // given the port its role, strings, group and records.
    PortExtension* Port = PortOf(Device);
    Port->Header.Self = Device;
    Port->Header.BusRole = 0;
    Port->Header.PnpState = NotStarted;
    Port->Header.PreviousPnpState = NotStarted;
    Port->Header.SystemPowerState = PowerSystemWorking;
    Port->Header.DevicePowerState = PowerDeviceD3;
    Port->ParentBus = BusDevice;
    ObReferenceObject(BusDevice);
    Port->OwningBus = BusDevice;
    InitializeListEntry(&Port->GroupLink);
    InitializeListEntry(&Port->BusLink);
    InitializeListEntry(&Port->Function.FunctionLink);
    Port->Function.FunctionState = 0;
    Port->Function.Reserved0 = 0;
    Device->Flags |= DO_POWER_PAGABLE;

    {
        PortListHold Hold(Bus, TRUE);
        InsertWithFreeIndex(Bus, Port);
    }

    Device->Flags &= ~DO_DEVICE_INITIALIZING;
    *NewPort = Port;
    return Status;
}

// ---------------------------------------------------------------------------
// Release

PAGEABLE_CODE NTSTATUS ReleasePortDevice(PDEVICE_OBJECT DeviceObject, PortExtension* Port)
{
    PAGED_CODE();
    if (Port->IsControl) {
        ReturnDosName(Port);
    }
    PDEVICE_OBJECT BusDevice = Port->OwningBus;
    PortGroup* LastOfGroup;
    PWSTR ImagePath;
    {
        // The group lists and ImagePath are read by control paths under the
        // lock, so they are taken apart under it.
        PortListHold Hold(BusOf(BusDevice));
        UnlinkEntry(&Port->GroupLink);
        UnlinkEntry(&Port->Function.FunctionLink);
        ImagePath = Port->ImagePath;
        Port->ImagePath = NULL;
        LastOfGroup = DropGroupReference(Port->Group);
        Port->Group = NULL;
        Port->PortName = NULL;
    }
    Port->LinkName = NULL;
    Port->LinkTarget = NULL;
    FreeString(ImagePath);
    if (LastOfGroup != NULL) {
        FreePortGroup(LastOfGroup);
    }
    IoDeleteDevice(DeviceObject);
    ObDereferenceObject(BusDevice);
    return STATUS_SUCCESS;
}

PAGEABLE_CODE NTSTATUS DestroyPortDevice(PDEVICE_OBJECT DeviceObject, PortExtension* Port)
{
    PAGED_CODE();
    {
        PortListHold Hold(OwningBusOf(Port));
        if (Port->ParentBus != NULL) {
            UnlinkEntry(&Port->BusLink);
            --OwningBusOf(Port)->PortCount;
        }
    }
    return ReleasePortDevice(DeviceObject, Port);
}

// ---------------------------------------------------------------------------
// The bus of a port device

PAGEABLE_CODE NTSTATUS PortAcquireBus(PortExtension* Port, BusExtension** Bus)
{
    PAGED_CODE();
    BusExtension* Owner = OwningBusOf(Port);
    PortListHold Hold(Owner);
    if (Port->ParentBus == NULL || ReadPnpState(&Owner->Header) == Deleted) {
        return STATUS_NO_SUCH_DEVICE;
    }
    IoIncrement(Owner);
    *Bus = Owner;
    return STATUS_SUCCESS;
}

PAGEABLE_CODE void PortReleaseBus(BusExtension* Bus)
{
    PAGED_CODE();
    IoDecrement(Bus);
}
