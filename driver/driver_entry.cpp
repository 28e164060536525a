// Driver entry, unload and the small completion helpers every handler uses.
#include "dravolux.h"

UNICODE_STRING DriverRegistryPath;

extern "C" INIT_CODE NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    DriverRegistryPath.Length = RegistryPath->Length;
    DriverRegistryPath.MaximumLength = (USHORT)(RegistryPath->Length + sizeof(WCHAR));
    DriverRegistryPath.Buffer =
        static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, DriverRegistryPath.MaximumLength, DVX_TAG));
    if (DriverRegistryPath.Buffer == NULL) {
        DriverRegistryPath.Length = 0;
        DriverRegistryPath.MaximumLength = 0;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlCopyUnicodeString(&DriverRegistryPath, RegistryPath);

    DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    DriverObject->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    DriverObject->DriverUnload = UnloadDriver;
    DriverObject->DriverExtension->AddDevice = BusAddDevice;
    return STATUS_SUCCESS;
}

PAGEABLE_CODE void UnloadDriver(PDRIVER_OBJECT DriverObject)
{
    PAGED_CODE();
    if (DriverRegistryPath.Buffer != NULL) {
        ExFreePoolWithTag(DriverRegistryPath.Buffer, 0);
        DriverRegistryPath.Buffer = NULL;
        DriverRegistryPath.Length = 0;
        DriverRegistryPath.MaximumLength = 0;
    }
}

RESIDENT_CODE NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information)
{
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

RESIDENT_CODE NTSTATUS CompleteUnchanged(PIRP Irp)
{
    NTSTATUS Status = Irp->IoStatus.Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}
