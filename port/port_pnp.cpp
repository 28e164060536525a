// Plug and play of a port device. It is the bottom of its stack, so every
// request is completed here.
#include "port_group.h"

namespace {

// {E4011D8C-04D3-458C-8D24-A56C5063DAF8}
const GUID PortBusType = {0xE4011D8C, 0x04D3, 0x458C, {0x8D, 0x24, 0xA5, 0x6C, 0x50, 0x63, 0xDA, 0xF8}};

static_assert(sizeof(DEVICE_RELATIONS) == 16, "one-entry relations are 16 bytes");
static_assert(sizeof(IO_RESOURCE_REQUIREMENTS_LIST) == 72, "requirements list is 72 bytes");
static_assert(offsetof(IO_RESOURCE_REQUIREMENTS_LIST, AlternativeLists) == 28, "requirements layout");
static_assert(offsetof(IO_RESOURCE_REQUIREMENTS_LIST, List) == 32, "requirements layout");
static_assert(sizeof(PNP_BUS_INFORMATION) == 24, "bus information is 24 bytes");

PAGEABLE_CODE NTSTATUS Complete(PIRP Irp, NTSTATUS Status)
{
    PAGED_CODE();
    Irp->IoStatus.Status = Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

PAGEABLE_CODE NTSTATUS QueryTargetRelation(PortExtension* Port, PIRP Irp)
{
    PAGED_CODE();
    PDEVICE_RELATIONS Relations =
        static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), DVX_TAG));
    if (Relations == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(Relations, sizeof(*Relations));
    Relations->Count = 1;
    Relations->Objects[0] = Port->Header.Self;
    ObReferenceObject(Port->Header.Self);
    Irp->IoStatus.Information = (ULONG_PTR)Relations;
    return STATUS_SUCCESS;
}

// One empty alternative list with a single null descriptor; AlternativeLists
// stays 0.
PAGEABLE_CODE NTSTATUS QueryResourceRequirements(PIRP Irp)
{
    PAGED_CODE();
    PIO_RESOURCE_REQUIREMENTS_LIST List = static_cast<PIO_RESOURCE_REQUIREMENTS_LIST>(
        ExAllocatePoolWithTag(PagedPool, sizeof(IO_RESOURCE_REQUIREMENTS_LIST), DVX_TAG));
    if (List == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(List, sizeof(*List));
    List->ListSize = sizeof(IO_RESOURCE_REQUIREMENTS_LIST);
    List->InterfaceType = InterfaceTypeUndefined;
    List->List[0].Version = 1;
    List->List[0].Revision = 1;
    List->List[0].Count = 1;
    Irp->IoStatus.Information = (ULONG_PTR)List;
    return STATUS_SUCCESS;
}

PAGEABLE_CODE NTSTATUS QueryBusInformation(PIRP Irp)
{
    PAGED_CODE();
    PPNP_BUS_INFORMATION Info =
        static_cast<PPNP_BUS_INFORMATION>(ExAllocatePoolWithTag(PagedPool, sizeof(PNP_BUS_INFORMATION), DVX_TAG));
    if (Info == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    Info->BusTypeGuid = PortBusType;
    Info->LegacyBusType = PNPBus;
    Info->BusNumber = 0;
    Irp->IoStatus.Information = (ULONG_PTR)Info;
    return STATUS_SUCCESS;
}

// Deletes a port device that the bus has left out of its relations or
// orphaned. The owning bus's lock guards the ParentBus test against an
// orphaning bus removal running at the same time. A control port device
// gives its DOS name back while it is still on PortList: until then a
// CreatePort of the same name finds it and refuses.
PAGEABLE_CODE NTSTATUS DeletePort(PDEVICE_OBJECT DeviceObject, PortExtension* Port)
{
    PAGED_CODE();
    SetPnpState(&Port->Header, Deleted);
    if (Port->IsControl) {
        ReturnDosName(Port);
    }
    if (Port->OwningBus != NULL) {
        BusExtension* Bus = BusOf(Port->OwningBus);
        PortListHold Hold(Bus);
        if (Port->ParentBus != NULL) {
            UnlinkEntry(&Port->BusLink);
            Bus->PortCount--;
        }
    }
    return ReleasePortDevice(DeviceObject, Port);
}

PAGEABLE_CODE NTSTATUS RemovePortDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp, PortExtension* Port)
{
    PAGED_CODE();
    if (Port->ReportedMissing) {
        NTSTATUS Status = DeletePort(DeviceObject, Port);
        return Complete(Irp, Status);
    }
    if (Port->Present) {
        SetPnpState(&Port->Header, NotStarted);
    }
    return Complete(Irp, STATUS_SUCCESS);
}

}  // namespace

PAGEABLE_CODE NTSTATUS PortPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_STACK_LOCATION Stack, PortExtension* Port)
{
    PAGED_CODE();
    DeviceHeader* Header = &Port->Header;
    switch (Stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
        // Some PnP managers never ask for resources; the configuration values
        // are published here as well. The start does not depend on them.
        if (Port->PortName != NULL) {
            WriteDeviceConfig(DeviceObject, Port);
        }
        Header->DevicePowerState = PowerDeviceD0;
        SetPnpState(Header, Started);
        return Complete(Irp, STATUS_SUCCESS);
    case IRP_MN_QUERY_REMOVE_DEVICE:
        if (ReadCounter(&Port->OpenCount) != 0) {
            return Complete(Irp, STATUS_DEVICE_BUSY);
        }
        SetPnpState(Header, RemovePending);
        return Complete(Irp, STATUS_SUCCESS);
    case IRP_MN_REMOVE_DEVICE:
        return RemovePortDevice(DeviceObject, Irp, Port);
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        if (ReadPnpState(Header) == RemovePending) {
            RestorePnpState(Header);
        }
        return Complete(Irp, STATUS_SUCCESS);
    case IRP_MN_STOP_DEVICE:
        SetPnpState(Header, Stopped);
        return Complete(Irp, STATUS_SUCCESS);
    case IRP_MN_QUERY_STOP_DEVICE:
        SetPnpState(Header, StopPending);
        return Complete(Irp, STATUS_SUCCESS);
    case IRP_MN_CANCEL_STOP_DEVICE:
        if (ReadPnpState(Header) == StopPending) {
            RestorePnpState(Header);
        }
        return Complete(Irp, STATUS_SUCCESS);
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (Stack->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation) {
            return Complete(Irp, QueryTargetRelation(Port, Irp));
        }
        return CompleteUnchanged(Irp);
    case IRP_MN_QUERY_INTERFACE:
        return Complete(Irp, STATUS_NOT_SUPPORTED);
    case IRP_MN_QUERY_CAPABILITIES:
        return Complete(Irp, PortQueryCapabilities(Port, Irp, Stack));
    case IRP_MN_QUERY_RESOURCES:
        if (Port->PortName != NULL) {
            NTSTATUS Status = WriteDeviceConfig(DeviceObject, Port);
            if (!NT_SUCCESS(Status)) {
                return Complete(Irp, Status);
            }
        }
        return CompleteUnchanged(Irp);
    case IRP_MN_QUERY_RESOURCE_REQUIREMENTS:
        return Complete(Irp, QueryResourceRequirements(Irp));
    case IRP_MN_QUERY_DEVICE_TEXT:
        return Complete(Irp, PortQueryDeviceText(Port, Irp, Stack));
    case IRP_MN_QUERY_ID:
        return Complete(Irp, PortQueryId(Port, Irp, Stack));
    case IRP_MN_QUERY_BUS_INFORMATION:
        return Complete(Irp, QueryBusInformation(Irp));
    case IRP_MN_DEVICE_USAGE_NOTIFICATION:
        return Complete(Irp, STATUS_UNSUCCESSFUL);
    case IRP_MN_SURPRISE_REMOVAL:
        SetPnpState(Header, SurpriseRemoved);
        return Complete(Irp, STATUS_SUCCESS);
    default:
        return CompleteUnchanged(Irp);
    }
}
