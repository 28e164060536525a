// wine_flawed.sys: a driver image that imports two functions Wine 8 only
// stubs (each raises an exception when called); the Wine import check must
// name both.
#include "seam.h"

extern "C" INIT_CODE NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    UNREFERENCED_PARAMETER(RegistryPath);
    if (FsRtlIsTotalDeviceFailure(STATUS_UNSUCCESSFUL)) {
        return STATUS_UNSUCCESSFUL;
    }
    POWER_STATE State;
    State.DeviceState = PowerDeviceD0;
    return PoRequestPowerIrp(DriverObject->DeviceObject, IRP_MN_SET_POWER, State, NULL, NULL, NULL);
}
