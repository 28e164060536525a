// Host control of the I/O manager: loading and unloading drivers, the device
// records the PnP manager keeps, and counts for tests.
#pragma once
#include <ntddk.h>

#include <vector>

// Makes \Driver\<serviceName> with every MajorFunction entry preset to
// HkIoInvalidDeviceRequest, then calls entry (DriverEntry) at PASSIVE_LEVEL
// with registryPath (by default the service key under
// \Registry\Machine\System\CurrentControlSet\Services); the path buffer is
// only valid during the call.
// Devices created in DriverEntry are ready (DO_DEVICE_INITIALIZING cleared)
// when it succeeds. On failure the driver object is gone and *out is null.
NTSTATUS HkIoCreateDriver(PCWSTR serviceName, PDRIVER_INITIALIZE entry, PCUNICODE_STRING registryPath,
                          PDRIVER_OBJECT* out);
// Calls DriverUnload, then removes the driver object. A device object of the
// driver that still exists (deleted or not) is a DeviceDeletedReferenced stop.
void HkIoUnloadDriver(PDRIVER_OBJECT driver);
PDRIVER_OBJECT HkIoFindDriver(PCWSTR serviceName);

// The platform's default dispatch entry: completes with
// STATUS_INVALID_DEVICE_REQUEST.
NTSTATUS HkIoInvalidDeviceRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Open file objects on any device of the stack the device belongs to.
ULONG HkIoOpenFileCount(PDEVICE_OBJECT device);
// The device this one is attached to (null at the bottom); no reference.
PDEVICE_OBJECT HkIoGetLowerDevice(PDEVICE_OBJECT device);
// Bottom of the stack the device belongs to (the PDO); no reference.
PDEVICE_OBJECT HkIoGetBottomDevice(PDEVICE_OBJECT device);
// IoDeleteDevice was called on it.
bool HkIoIsDeletePending(PDEVICE_OBJECT device);
// New opens of the device fail with STATUS_NO_SUCH_DEVICE while set (the PnP
// manager sets it between removal and deletion).
void HkIoSetOpenBlocked(PDEVICE_OBJECT device, bool blocked);

// A slot for the PnP manager's device node of a PDO.
void* HkIoGetDeviceNode(PDEVICE_OBJECT device);
void HkIoSetDeviceNode(PDEVICE_OBJECT device, void* node);

// Called just before a device object's memory is freed.
typedef void (*HkIoDeviceFreeHook)(PDEVICE_OBJECT device);
void HkIoRegisterDeviceFreeHook(HkIoDeviceFreeHook hook);

// Device objects of a driver that still exist, deleted ones included.
std::vector<PDEVICE_OBJECT> HkIoDevicesOfDriver(PDRIVER_OBJECT driver);
// The driver's devices that sit attached over a lower device and are not
// deleted, chosen in one hold of the device database, so that a device
// deleted by another thread meanwhile is never looked at.
std::vector<PDEVICE_OBJECT> HkIoAttachedDevicesOfDriver(PDRIVER_OBJECT driver);
size_t HkIoLiveDeviceCount();
// IRPs allocated and not freed yet.
size_t HkIoLiveIrpCount();
// The IRP's completion has passed its last stack location (it is back with
// the driver or manager that built it), or it was freed. A driver in the
// stack that touches it now is at fault.
bool HkIoIrpCompleted(PIRP irp);
