// Control requests of the bus device and the port list it reports.
#include "dravolux.h"

using dravolux::PortInfoHeader;
using dravolux::PortRequest;

namespace {

constexpr ULONG RecordHeaderSize = sizeof(PortInfoHeader);
constexpr ULONG EndMarkerSize = dravolux::PortInfoEndMarkerSize;

// Bytes of a string with its 0 unit, or 0 when there is none.
RESIDENT_CODE ULONG StringBytes(PCWSTR String)
{
    if (String == NULL) {
        return 0;
    }
    ULONG Units = 0;
    while (String[Units] != 0) {
        ++Units;
    }
    return (Units + 1) * sizeof(WCHAR);
}

// Writes one record at Out; the header is copied, since records need not
// be aligned. PortListLock is held.
RESIDENT_CODE void WritePortRecord(PUCHAR Out, PortExtension* Port, ULONG NameBytes, ULONG PathBytes)
{
    PortInfoHeader Header = {};
    Header.RecordSize = RecordHeaderSize + NameBytes + PathBytes;
    Header.Index = Port->Index;
    Header.IsControl = Port->IsControl;
    Header.NameOffset = NameBytes != 0 ? RecordHeaderSize : 0;
    Header.PathOffset = PathBytes != 0 ? RecordHeaderSize + NameBytes : 0;
    Header.ProcessId = reinterpret_cast<ULONG_PTR>(Port->ProcessId);
    Header.Permissions = Port->Function.Permissions;
    Header.StatusWord1 = ReadAreaWord(&Port->Function, offsetof(FunctionArea, StatusWord1));
    Header.StatusWord2 = ReadAreaWord(&Port->Function, offsetof(FunctionArea, StatusWord2));
    RtlCopyMemory(Out, &Header, RecordHeaderSize);
    if (NameBytes != 0) {
        RtlCopyMemory(Out + RecordHeaderSize, Port->PortName, NameBytes);
    }
    if (PathBytes != 0) {
        RtlCopyMemory(Out + RecordHeaderSize + NameBytes, Port->ImagePath, PathBytes);
    }
}

// CreatePort and RemovePort: the record must be all there before its Size
// word is believed. The reply is at most the record.
PAGEABLE_CODE NTSTATUS PortRequestCall(NTSTATUS (*Operation)(PortRequest*, BusExtension*), BusExtension* Bus,
                                       PIRP Irp, ULONG InputLength, ULONG OutputLength)
{
    PAGED_CODE();
    PortRequest* Request = static_cast<PortRequest*>(Irp->AssociatedIrp.SystemBuffer);
    if (Request == NULL || InputLength < sizeof(PortRequest) || Request->Size != sizeof(PortRequest)) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS Status = Operation(Request, Bus);
    Irp->IoStatus.Information = OutputLength < sizeof(PortRequest) ? OutputLength : sizeof(PortRequest);
    return Status;
}

}  // namespace

PAGEABLE_CODE NTSTATUS DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PAGED_CODE();
    if (!HeaderOf(DeviceObject)->BusRole) {
        Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_INVALID_DEVICE_REQUEST;
    }

    // Count first, then look: a removal that sets Deleted after our look
    // still waits for this request.
    BusExtension* Bus = BusOf(DeviceObject);
    IoIncrement(Bus);
    NTSTATUS Status = STATUS_INVALID_PARAMETER;
    if (ReadPnpState(&Bus->Header) == Deleted) {
        Status = STATUS_DELETE_PENDING;
    } else {
        PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
        ULONG OutputLength = Stack->Parameters.DeviceIoControl.OutputBufferLength;
        ULONG InputLength = Stack->Parameters.DeviceIoControl.InputBufferLength;
        PVOID Buffer = Irp->AssociatedIrp.SystemBuffer;
        switch (Stack->Parameters.DeviceIoControl.IoControlCode) {
        case dravolux::IoctlCreatePort:
            Status = PortRequestCall(CreatePort, Bus, Irp, InputLength, OutputLength);
            break;
        case dravolux::IoctlRemovePort:
            Status = PortRequestCall(RemovePort, Bus, Irp, InputLength, OutputLength);
            break;
        case dravolux::IoctlRemoveAllPorts:
            Status = RemoveAllPorts(Bus);
            break;
        case dravolux::IoctlQueryPorts:
            if (Buffer != NULL && InputLength >= sizeof(ULONG)) {
                ULONG Size = OutputLength;
                Status = QueryPorts(Bus, *static_cast<PULONG>(Buffer), Buffer, &Size);
                Irp->IoStatus.Information = Size;
            }
            break;
        case dravolux::IoctlReloadPermissions:
            Status = ReloadPermissions(Bus);
            break;
        default:
            break;
        }
    }
    Irp->IoStatus.Status = Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    IoDecrement(Bus);
    return Status;
}

RESIDENT_CODE NTSTATUS QueryPorts(BusExtension* Bus, ULONG QueryType, PVOID Buffer, PULONG Size)
{
    if (QueryType != dravolux::QueryAllPorts) {
        return STATUS_INVALID_PARAMETER;
    }
    return ListPorts(Bus, Buffer, Size);
}

RESIDENT_CODE NTSTATUS ListPorts(BusExtension* Bus, PVOID Buffer, PULONG Size)
{
    PUCHAR Out = static_cast<PUCHAR>(Buffer);
    ULONG Room = *Size;
    ULONG Total = 0;
    PortListHold Hold(Bus, TRUE);
    PLIST_ENTRY Head = &Bus->PortList;
    for (PLIST_ENTRY Entry = Head->Flink; Entry != Head; Entry = Entry->Flink) {
        PortExtension* Port = RECORD_OF(Entry, PortExtension, BusLink);
        ULONG NameBytes = StringBytes(Port->PortName);
        ULONG PathBytes = StringBytes(Port->ImagePath);
        if (Room - Total < RecordHeaderSize + NameBytes + PathBytes + EndMarkerSize) {
            *Size = 0;
            return STATUS_BUFFER_TOO_SMALL;
        }
        WritePortRecord(Out + Total, Port, NameBytes, PathBytes);
        Total += RecordHeaderSize + NameBytes + PathBytes;
    }
    if (Room - Total < EndMarkerSize) {
        *Size = 0;
        return STATUS_BUFFER_TOO_SMALL;
    }
    ULONG EndMarker = 0;
    RtlCopyMemory(Out + Total, &EndMarker, EndMarkerSize);
    *Size = Total + EndMarkerSize;
    return STATUS_SUCCESS;
}
