// Creation of a managed port: two port devices in a new group, and the
// takeover of the port's DOS name.
#include "../port/port_group.h"

using dravolux::PortRequest;

namespace {

const WCHAR DosDevicesPrefix[] = L"\\DosDevices\\";

// "\DosDevices\" + 127 units + NUL fits in 143 units.
constexpr USHORT LinkNameBlock = 286;

constexpr ACCESS_MASK SymbolicLinkQuery = 0x80;

// Whether a control port device of the bus already has this exact name.
PAGEABLE_CODE bool ControlPortExists(BusExtension* Bus, PCWSTR Name)
{
    PAGED_CODE();
    PortListHold Hold(Bus, TRUE);
    PLIST_ENTRY Head = &Bus->PortList;
    for (PLIST_ENTRY Entry = Head->Flink; Entry != Head; Entry = Entry->Flink) {
        PortExtension* Port = RECORD_OF(Entry, PortExtension, BusLink);
        if (Port->IsControl && Port->PortName != NULL && StringsEqual(Port->PortName, Name)) {
            return true;
        }
    }
    return false;
}

// A DOS name may hold A to Z (either case), 0 to 9 and the underscore.
PAGEABLE_CODE bool ValidPortName(PCUNICODE_STRING Name)
{
    PAGED_CODE();
    for (ULONG i = 0; i < Name->Length / sizeof(WCHAR); ++i) {
        WCHAR Upper = RtlUpcaseUnicodeChar(Name->Buffer[i]);
        bool Letter = Upper >= L'A' && Upper <= L'Z';
        bool Digit = Upper >= L'0' && Upper <= L'9';
        if (!Letter && !Digit && Upper != L'_') {
            return false;
        }
    }
    return true;
}

// Saves the target of an open link into a new string of ours. The first
// query only sizes it. A link with nothing to read saves nothing.
PAGEABLE_CODE NTSTATUS SaveLinkTarget(HANDLE Link, PWSTR* Target)
{
    PAGED_CODE();
    UNICODE_STRING Query = {};
    ULONG Needed = 0;
    NTSTATUS Status = ZwQuerySymbolicLinkObject(Link, &Query, &Needed);
    if (Status != STATUS_BUFFER_TOO_SMALL) {
        return Status;
    }
    if (Needed > MAXUSHORT - sizeof(WCHAR)) {
        return STATUS_INVALID_PARAMETER;
    }
    USHORT Capacity = static_cast<USHORT>(Needed + sizeof(WCHAR));
    PWSTR Buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, Capacity, DVX_TAG));
    if (Buffer == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(Buffer, Capacity);
    Query.Buffer = Buffer;
    Query.Length = 0;
    Query.MaximumLength = Capacity;
    Status = ZwQuerySymbolicLinkObject(Link, &Query, &Needed);
    if (!NT_SUCCESS(Status)) {
        ExFreePoolWithTag(Buffer, DVX_TAG);
        return Status;
    }
    Buffer[Capacity / sizeof(WCHAR) - 1] = 0;
    *Target = Buffer;
    return Status;
}

// A new group holding a copy of the name; null when out of pool.
PAGEABLE_CODE PortGroup* NewGroupNamed(PCUNICODE_STRING Name)
{
    PAGED_CODE();
    PortGroup* Group = AllocatePortGroup();
    if (Group == NULL) {
        return NULL;
    }
    PWSTR Copy = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, Name->Length + sizeof(WCHAR), DVX_TAG));
    if (Copy == NULL) {
        FreePortGroup(Group);
        return NULL;
    }
    RtlCopyMemory(Copy, Name->Buffer, Name->Length);
    Copy[Name->Length / sizeof(WCHAR)] = 0;
    Group->PortName = Copy;
    return Group;
}

}  // namespace

PAGEABLE_CODE NTSTATUS TakeOverDosName(PCUNICODE_STRING Name, PWSTR* LinkName, PWSTR* LinkTarget)
{
    PAGED_CODE();
    if (Name->Length == 0 || Name->Length > (dravolux::PortNameUnits - 1) * sizeof(WCHAR) || !ValidPortName(Name)) {
        return STATUS_INVALID_PARAMETER;
    }
    PWSTR Block = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, LinkNameBlock, DVX_TAG));
    if (Block == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(Block, LinkNameBlock);
    UNICODE_STRING Link;
    Link.Buffer = Block;
    Link.Length = 0;
    Link.MaximumLength = LinkNameBlock;
    RtlAppendUnicodeToString(&Link, DosDevicesPrefix);
    RtlAppendUnicodeStringToString(&Link, Name);

    OBJECT_ATTRIBUTES Attributes;
    InitializeObjectAttributes(&Attributes, &Link, OBJ_KERNEL_HANDLE, NULL, NULL);
    HANDLE Handle = NULL;
    NTSTATUS Status = ZwOpenSymbolicLinkObject(&Handle, SymbolicLinkQuery, &Attributes);
    if (Status == STATUS_OBJECT_NAME_NOT_FOUND) {
        // A new name: nothing to save, nothing to delete.
        *LinkName = Block;
        return STATUS_SUCCESS;
    }
    if (!NT_SUCCESS(Status)) {
        ExFreePoolWithTag(Block, DVX_TAG);
        return STATUS_INVALID_PARAMETER;
    }
    PWSTR Target = NULL;
    Status = SaveLinkTarget(Handle, &Target);
    ZwClose(Handle);
    if (!NT_SUCCESS(Status)) {
        ExFreePoolWithTag(Block, DVX_TAG);
        return Status;
    }
    IoDeleteSymbolicLink(&Link);
    *LinkName = Block;
    if (Target != NULL) {
        *LinkTarget = Target;
    }
    return Status;
}

PAGEABLE_CODE NTSTATUS CreatePort(PortRequest* Request, BusExtension* Bus)
{
    PAGED_CODE();
    Request->Name[dravolux::PortNameUnits - 1] = 0;
    PCWSTR NameText = reinterpret_cast<PCWSTR>(Request->Name);
    UNICODE_STRING Name;
    RtlInitUnicodeString(&Name, NameText);
    if (Name.Length == 0) {
        return STATUS_INVALID_PARAMETER;
    }

    // One create at a time on the bus, from the duplicate test to the end.
    GateHold Creates(&Bus->CreateGate);
    if (ControlPortExists(Bus, NameText)) {
        return STATUS_INVALID_PARAMETER;
    }

    // Both port devices stay absent from bus relations until their records
    // are written; until then they may be destroyed again.
    PortExtension* Client = NULL;
    NTSTATUS Status = CreatePortDevice(Bus, &Client);
    if (!NT_SUCCESS(Status)) {
        return Status;
    }
    PortExtension* Control = NULL;
    Status = CreatePortDevice(Bus, &Control);
    if (!NT_SUCCESS(Status)) {
        DestroyPortDevice(Client->Header.Self, Client);
        return Status;
    }

    // Everything that can fail comes before the takeover, which deletes
    // the old link only as its last step: no failure has a link to restore.
    PortGroup* Group = NewGroupNamed(&Name);
    Status = STATUS_INSUFFICIENT_RESOURCES;
    if (Group != NULL) {
        GateHold Names(&Bus->NameGate);
        Status = TakeOverDosName(&Name, &Group->LinkName, &Group->LinkTarget);
        Group->NameHeld = NT_SUCCESS(Status);
    }
    if (!NT_SUCCESS(Status)) {
        if (Group != NULL) {
            FreePortGroup(Group);
        }
        DestroyPortDevice(Client->Header.Self, Client);
        DestroyPortDevice(Control->Header.Self, Control);
        return Status;
    }
    {
        PortListHold Hold(Bus, TRUE);
        JoinPortGroup(Client, Group, 0);
        JoinPortGroup(Control, Group, 1);
    }
    WritePortRecords(Client);
    WritePortRecords(Control);
    BOOLEAN Published;
    {
        PortListHold Hold(Bus, TRUE);
        Published = PublishPorts(Client, Control);
    }
    if (Published) {
        ScheduleRescan(Bus);
    } else {
        // A RemoveAllPorts took the pair before anyone heard of it. The
        // control port device gives the name back as it goes.
        DestroyPortDevice(Client->Header.Self, Client);
        DestroyPortDevice(Control->Header.Self, Control);
    }
    return STATUS_SUCCESS;
}
