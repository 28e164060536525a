// Open and close of a port device: the opener, its permission word, the
// DOS link and the next waiting client port device.
#include "port_group.h"

namespace {

// Root of the permission keys; "\<PortName>\Permissions" follows.
const WCHAR PermissionsRoot[] = L"\\Registry\\Machine\\Software\\ZARVIK Software\\CorvessSerialPorts";
const WCHAR PermissionsLeaf[] = L"Permissions";

// Key path buffer: 406 bytes of text in a 408-byte block.
constexpr ULONG KeyPathBlock = 408;
constexpr USHORT KeyPathCapacity = 406;

constexpr ULONG DefaultPermissions = 3;

// PROCESS_QUERY_LIMITED_INFORMATION: enough to ask for the image name.
constexpr ACCESS_MASK ProcessQueryLimited = 0x1000;

// The platform's answer to ProcessImageFileNameWin32 is a UNICODE_STRING
// followed by its text; no answer is larger than this.
constexpr ULONG MaxImageInfo = sizeof(UNICODE_STRING) + MAXUSHORT + 1;

// Frees a block of ours that may be null.
RESIDENT_CODE void FreeBlock(PVOID Block, ULONG Tag)
{
    if (Block != NULL) {
        ExFreePoolWithTag(Block, Tag);
    }
}

// Asks the platform for a process's Win32 image path, into kernel memory.
// STATUS_UNSUCCESSFUL when the process or its name cannot be had.
RESIDENT_CODE NTSTATUS QueryImageName(HANDLE Process, PUNICODE_STRING* Info, ULONG* InfoSize)
{
    UNICODE_STRING Probe = {};
    ULONG Needed = 0;
    NTSTATUS Status = ZwQueryInformationProcess(Process, ProcessImageFileNameWin32, &Probe, sizeof(Probe), &Needed);
    if (Status != STATUS_INFO_LENGTH_MISMATCH && Status != STATUS_BUFFER_TOO_SMALL &&
        Status != STATUS_BUFFER_OVERFLOW) {
        // Success here means an empty name, which names nobody.
        return STATUS_UNSUCCESSFUL;
    }
    if (Needed <= sizeof(UNICODE_STRING) || Needed > MaxImageInfo) {
        return STATUS_UNSUCCESSFUL;
    }
    PUNICODE_STRING Answer = static_cast<PUNICODE_STRING>(ExAllocatePoolWithTag(PagedPool, Needed, DVX_TAG));
    if (Answer == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    ULONG Written = 0;
    Status = ZwQueryInformationProcess(Process, ProcessImageFileNameWin32, Answer, Needed, &Written);
    // The text must lie inside the block we handed out.
    PUCHAR Begin = reinterpret_cast<PUCHAR>(Answer + 1);
    PUCHAR End = reinterpret_cast<PUCHAR>(Answer) + Needed;
    PUCHAR Text = reinterpret_cast<PUCHAR>(Answer->Buffer);
    bool WellFormed = NT_SUCCESS(Status) && Answer->Length != 0 && (Answer->Length & 1) == 0 && Text >= Begin &&
                      Text <= End && Answer->Length <= static_cast<ULONG>(End - Text);
    if (!WellFormed) {
        ExFreePoolWithTag(Answer, DVX_TAG);
        return STATUS_UNSUCCESSFUL;
    }
    *Info = Answer;
    *InfoSize = Needed;
    return STATUS_SUCCESS;
}

// The image path of the process with the given id, as a NUL-terminated
// string of ours.
RESIDENT_CODE NTSTATUS ReadImagePath(HANDLE ProcessId, PWSTR* Path)
{
    OBJECT_ATTRIBUTES Attributes;
    InitializeObjectAttributes(&Attributes, NULL, OBJ_KERNEL_HANDLE, NULL, NULL);
    CLIENT_ID Client = {};
    Client.UniqueProcess = ProcessId;
    HANDLE Process = NULL;
    if (!NT_SUCCESS(ZwOpenProcess(&Process, ProcessQueryLimited, &Attributes, &Client))) {
        return STATUS_UNSUCCESSFUL;
    }
    PUNICODE_STRING Info = NULL;
    ULONG InfoSize = 0;
    NTSTATUS Status = QueryImageName(Process, &Info, &InfoSize);
    ZwClose(Process);
    if (!NT_SUCCESS(Status)) {
        return Status;
    }

    ULONG Bytes = Info->Length;
    PWSTR Copy = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, Bytes + sizeof(WCHAR), DVX_TAG));
    if (Copy == NULL) {
        ExFreePoolWithTag(Info, DVX_TAG);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlCopyMemory(Copy, Info->Buffer, Bytes);
    Copy[Bytes / sizeof(WCHAR)] = 0;
    ExFreePoolWithTag(Info, DVX_TAG);
    *Path = Copy;
    return STATUS_SUCCESS;
}

// Copies a NUL-terminated string into scratch pool; null when out of pool.
RESIDENT_CODE PWSTR CopyScratch(PCWSTR Source)
{
    ULONG Bytes = (StringUnits(Source) + 1) * sizeof(WCHAR);
    PWSTR Copy = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, Bytes, DVX_SCRATCH_TAG));
    if (Copy != NULL) {
        RtlCopyMemory(Copy, Source, Bytes);
    }
    return Copy;
}

// Reads the permission word stored for ValueName under KeyPath; the
// default when the key or a 4-byte value cannot be read.
RESIDENT_CODE ULONG ReadPermissionWord(PUNICODE_STRING KeyPath, PCWSTR ValueName)
{
    OBJECT_ATTRIBUTES Attributes;
    InitializeObjectAttributes(&Attributes, KeyPath, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    HANDLE Key = NULL;
    if (!NT_SUCCESS(ZwOpenKey(&Key, KEY_READ, &Attributes))) {
        return DefaultPermissions;
    }
    ULONG Word = 0;
    NTSTATUS Status = QueryRegistryValue(Key, ValueName, StringUnits(ValueName) * sizeof(WCHAR), &Word, sizeof(Word));
    ZwClose(Key);
    return NT_SUCCESS(Status) ? Word : DefaultPermissions;
}

// Counts an open unless the port is leaving. RemovePort and RemoveAllPorts
// read OpenCount under the same lock, so an open and a removal never both
// succeed: whichever comes second sees the other.
PAGEABLE_CODE NTSTATUS CountOpen(PortExtension* Port)
{
    PAGED_CODE();
    PortListHold Hold(OwningBusOf(Port));
    if (PortLeaving(Port)) {
        return STATUS_DELETE_PENDING;
    }
    InterlockedIncrement(&Port->OpenCount);
    return STATUS_SUCCESS;
}

// Deletes the DOS link of the port's group, but only while the bus holds
// the name for that group: a name already given back is its owner's again.
PAGEABLE_CODE void DeleteGroupLink(PortExtension* Port)
{
    PAGED_CODE();
    BusExtension* Bus = OwningBusOf(Port);
    GateHold Names(&Bus->NameGate);
    {
        PortListHold Hold(Bus);
        if (Port->Group == NULL || !Port->Group->NameHeld || Port->LinkName == NULL) {
            return;
        }
    }
    UNICODE_STRING Link;
    RtlInitUnicodeString(&Link, Port->LinkName);
    IoDeleteSymbolicLink(&Link);
}

// Creates the next waiting client port device of Port's group.
PAGEABLE_CODE void SpawnNextClient(PortExtension* Port)
{
    PAGED_CODE();
    BusExtension* Bus = NULL;
    if (!NT_SUCCESS(PortAcquireBus(Port, &Bus))) {
        return;
    }
    PortExtension* Next = NULL;
    if (NT_SUCCESS(CreatePortDevice(Bus, &Next))) {
        BOOLEAN Joined = FALSE;
        {
            PortListHold Hold(Bus);
            if (Port->Group != NULL) {
                JoinPortGroup(Next, Port->Group, 0);
                Joined = TRUE;
            }
        }
        BOOLEAN Published = FALSE;
        if (Joined) {
            WritePortRecords(Next);
            PortListHold Hold(Bus);
            Published = PublishPorts(Next, NULL);
        }
        if (Published) {
            ScheduleRescan(Bus);
        } else {
            DestroyPortDevice(Next->Header.Self, Next);
        }
    }
    PortReleaseBus(Bus);
}

PAGEABLE_CODE NTSTATUS OpenPort(PortExtension* Port)
{
    PAGED_CODE();
    NTSTATUS Status = CountOpen(Port);
    if (!NT_SUCCESS(Status)) {
        return Status;
    }
    // Nothing below holds a lock throughout; the pin keeps what it reads.
    PortPin Pin(Port);
    RecordOpener(Port);
    WriteInstallRecords(Port);
    if (!Port->IsControl) {
        LoadPermissions(Port);
        DeleteGroupLink(Port);
        SpawnNextClient(Port);
    }
    return STATUS_SUCCESS;
}

PAGEABLE_CODE void ClosePort(PortExtension* Port)
{
    PAGED_CODE();
    if (!Port->IsControl) {
        {
            PortListHold Hold(OwningBusOf(Port));
            SetPresent(Port, 0);
        }
        BusExtension* Bus = NULL;
        if (NT_SUCCESS(PortAcquireBus(Port, &Bus))) {
            ScheduleRescan(Bus);
            PortReleaseBus(Bus);
        }
    }
    InterlockedDecrement(&Port->OpenCount);
}

}  // namespace

PAGEABLE_CODE NTSTATUS PortCreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp, PortExtension* Port)
{
    PAGED_CODE();
    Irp->IoStatus.Information = 0;
    switch (IoGetCurrentIrpStackLocation(Irp)->MajorFunction) {
    case IRP_MJ_CREATE:
        return CompleteRequest(Irp, OpenPort(Port), 0);
    case IRP_MJ_CLOSE:
        ClosePort(Port);
        return CompleteRequest(Irp, STATUS_SUCCESS, 0);
    default:
        return CompleteRequest(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

RESIDENT_CODE NTSTATUS RecordOpener(PortExtension* Port)
{
    HANDLE ProcessId = PsGetCurrentProcessId();
    PWSTR Path = NULL;
    NTSTATUS Status = ReadImagePath(ProcessId, &Path);
    if (Status == STATUS_UNSUCCESSFUL) {
        return Status;
    }
    // Readers of ImagePath hold the lock; the old string goes after it.
    PWSTR Previous;
    {
        PortListHold Hold(OwningBusOf(Port));
        Previous = Port->ImagePath;
        Port->ImagePath = Path;
        if (Path != NULL) {
            Port->ProcessId = ProcessId;
        }
    }
    FreeString(Previous);
    return Status;
}

RESIDENT_CODE NTSTATUS LoadPermissions(PortExtension* Port)
{
    PWSTR Block = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, KeyPathBlock, DVX_SCRATCH_TAG));
    if (Block == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    UNICODE_STRING KeyPath;
    KeyPath.Buffer = Block;
    KeyPath.Length = 0;
    KeyPath.MaximumLength = KeyPathCapacity;

    // Take the opener and the key path under the lock, read the registry
    // without it: registry calls want passive level.
    PWSTR ValueName = NULL;
    NTSTATUS Status = STATUS_SUCCESS;
    {
        PortListHold Hold(OwningBusOf(Port));
        if (Port->ImagePath == NULL || Port->PortName == NULL) {
            Status = STATUS_INVALID_PARAMETER;
        } else {
            RtlAppendUnicodeToString(&KeyPath, PermissionsRoot);
            RtlAppendUnicodeToString(&KeyPath, L"\\");
            RtlAppendUnicodeToString(&KeyPath, Port->PortName);
            RtlAppendUnicodeToString(&KeyPath, L"\\");
            RtlAppendUnicodeToString(&KeyPath, PermissionsLeaf);
            ValueName = CopyScratch(Port->ImagePath);
            if (ValueName == NULL) {
                Status = STATUS_INSUFFICIENT_RESOURCES;
            }
        }
    }
    if (NT_SUCCESS(Status)) {
        ULONG Word = ReadPermissionWord(&KeyPath, ValueName);
        // A later opener brings its own word; store ours only for the same one.
        PortListHold Hold(OwningBusOf(Port));
        if (Port->ImagePath != NULL && StringsEqual(Port->ImagePath, ValueName)) {
            Port->Function.Permissions = Word;
        }
    }
    FreeBlock(ValueName, DVX_SCRATCH_TAG);
    ExFreePoolWithTag(Block, DVX_SCRATCH_TAG);
    return Status;
}

RESIDENT_CODE NTSTATUS QueryRegistryValue(HANDLE Key, PCWSTR ValueName, ULONG NameLength, PVOID Destination,
                                          ULONG DestinationSize)
{
    // Header, name, alignment of the data and the data itself.
    ULONG BlockSize = FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name) + NameLength + 8 + DestinationSize;
    PKEY_VALUE_FULL_INFORMATION Info =
        static_cast<PKEY_VALUE_FULL_INFORMATION>(ExAllocatePoolWithTag(PagedPool, BlockSize, DVX_SCRATCH_TAG));
    if (Info == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    UNICODE_STRING Name;
    RtlInitUnicodeString(&Name, ValueName);
    ULONG Returned = 0;
    NTSTATUS Status = ZwQueryValueKey(Key, &Name, KeyValueFullInformation, Info, BlockSize, &Returned);
    if (NT_SUCCESS(Status)) {
        // Only data that fills the destination exactly is taken; anything
        // else would leave part of it undefined.
        if (Info->DataLength != DestinationSize || Info->DataOffset > BlockSize ||
            BlockSize - Info->DataOffset < Info->DataLength) {
            Status = STATUS_INFO_LENGTH_MISMATCH;
        } else {
            RtlCopyMemory(Destination, reinterpret_cast<PUCHAR>(Info) + Info->DataOffset, Info->DataLength);
        }
    }
    ExFreePoolWithTag(Info, DVX_SCRATCH_TAG);
    return Status;
}
