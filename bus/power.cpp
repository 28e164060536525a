// Power requests for both kinds of device. A port device is the bottom of its
// stack and accepts every state; the bus device passes everything down.
#include "dravolux.h"

namespace {

RESIDENT_CODE NTSTATUS PortPower(PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_STACK_LOCATION Stack, DeviceHeader* Header)
{
    if (Stack->MinorFunction == IRP_MN_SET_POWER) {
        POWER_STATE State = Stack->Parameters.Power.State;
        if (Stack->Parameters.Power.Type == SystemPowerState) {
            Header->SystemPowerState = State.SystemState;
            Irp->IoStatus.Status = STATUS_SUCCESS;
        } else if (Stack->Parameters.Power.Type == DevicePowerState) {
            PoSetPowerState(DeviceObject, DevicePowerState, State);
            Header->DevicePowerState = State.DeviceState;
            Irp->IoStatus.Status = STATUS_SUCCESS;
        }
    } else if (Stack->MinorFunction == IRP_MN_QUERY_POWER) {
        Irp->IoStatus.Status = STATUS_SUCCESS;
    }
    PoStartNextPowerIrp(Irp);
    return CompleteUnchanged(Irp);
}

RESIDENT_CODE NTSTATUS BusPower(PIRP Irp, BusExtension* Bus)
{
    BOOLEAN Counted = ReadPnpState(&Bus->Header) != NotStarted;
    if (Counted) {
        IoIncrement(Bus);
    }
    PoStartNextPowerIrp(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    NTSTATUS Status = PoCallDriver(Bus->LowerDevice, Irp);
    if (Counted) {
        IoDecrement(Bus);
    }
    return Status;
}

}  // namespace

RESIDENT_CODE NTSTATUS DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    DeviceHeader* Header = HeaderOf(DeviceObject);
    if (ReadPnpState(Header) == Deleted) {
        PoStartNextPowerIrp(Irp);
        Irp->IoStatus.Status = STATUS_DELETE_PENDING;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_DELETE_PENDING;
    }
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    if (!Header->BusRole) {
        return PortPower(DeviceObject, Irp, Stack, Header);
    }
    return BusPower(Irp, BusOf(DeviceObject));
}
