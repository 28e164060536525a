#include "legacy_serial.h"

namespace {

NTSTATUS CompleteSuccess(PDEVICE_OBJECT device, PIRP irp) {
    UNREFERENCED_PARAMETER(device);
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

void Unload(PDRIVER_OBJECT driver) {
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, LEGACY_SERIAL_LINK_NAME);
    IoDeleteSymbolicLink(&link);
    while (driver->DeviceObject) IoDeleteDevice(driver->DeviceObject);
}

}  // namespace

extern "C" NTSTATUS LegacySerialEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    UNREFERENCED_PARAMETER(RegistryPath);
    UNICODE_STRING name;
    UNICODE_STRING link;
    RtlInitUnicodeString(&name, LEGACY_SERIAL_DEVICE_NAME);
    RtlInitUnicodeString(&link, LEGACY_SERIAL_LINK_NAME);
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(DriverObject, 0, &name, FILE_DEVICE_SERIAL_PORT, FILE_DEVICE_SECURE_OPEN, TRUE,
                                     &device);
    if (!NT_SUCCESS(status)) return status;
    status = IoCreateSymbolicLink(&link, &name);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(device);
        return status;
    }
    DriverObject->MajorFunction[IRP_MJ_CREATE] = CompleteSuccess;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = CompleteSuccess;
    DriverObject->MajorFunction[IRP_MJ_CLEANUP] = CompleteSuccess;
    DriverObject->DriverUnload = Unload;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}
