// Routing of plug-and-play, create and close requests by device role.
#include "dravolux.h"

PAGEABLE_CODE NTSTATUS DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PAGED_CODE();
    DeviceHeader* Header = HeaderOf(DeviceObject);
    if (ReadPnpState(Header) == Deleted) {
        Irp->IoStatus.Status = STATUS_DELETE_PENDING;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_DELETE_PENDING;
    }
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    if (Header->BusRole) {
        return BusPnp(DeviceObject, Irp, Stack, BusOf(DeviceObject));
    }
    return PortPnp(DeviceObject, Irp, Stack, PortOf(DeviceObject));
}

PAGEABLE_CODE NTSTATUS DispatchCreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PAGED_CODE();
    Irp->IoStatus.Information = 0;
    DeviceHeader* Header = HeaderOf(DeviceObject);
    if (!Header->BusRole) {
        return PortCreateClose(DeviceObject, Irp, PortOf(DeviceObject));
    }

    // The bus device keeps no per-handle state; it only counts the request.
    BusExtension* Bus = BusOf(DeviceObject);
    IoIncrement(Bus);
    UCHAR Major = IoGetCurrentIrpStackLocation(Irp)->MajorFunction;
    NTSTATUS Status;
    if (ReadPnpState(Header) == Deleted) {
        Status = STATUS_DELETE_PENDING;
    } else if (Major == IRP_MJ_CREATE || Major == IRP_MJ_CLOSE) {
        Status = STATUS_SUCCESS;
    } else {
        Status = STATUS_INVALID_DEVICE_REQUEST;
    }
    Irp->IoStatus.Status = Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    IoDecrement(Bus);
    return Status;
}
