// Operations of the dravolux bus driver, by component.
#pragma once

#include "seam.h"
#include "device_records.h"
#include "dravolux/control.h"

// Names of the bus device.
#define BUS_DEVICE_NAME DRAVOLUX_CONTROL_DEVICE_NAME
#define BUS_LINK_NAME DRAVOLUX_CONTROL_LINK_NAME

// Delay of a re-enumeration after the last change, in milliseconds.
constexpr LONG RescanDelayMs = 200;

// The driver's registry path, copied at entry (NUL-terminated).
extern UNICODE_STRING DriverRegistryPath;

// driver/
extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
void UnloadDriver(PDRIVER_OBJECT DriverObject);
NTSTATUS DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS DispatchCreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
// Completes Irp with Status (and Information) at no priority boost; returns Status.
NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information);
// Completes Irp with the status it already carries; returns that status.
NTSTATUS CompleteUnchanged(PIRP Irp);

// bus/
NTSTATUS BusAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject);
void IoIncrement(BusExtension* Bus);
void IoDecrement(BusExtension* Bus);
void ScheduleRescan(BusExtension* Bus);
void RescanDpcRoutine(PKDPC Dpc, PVOID Context, PVOID SystemArgument1, PVOID SystemArgument2);
NTSTATUS ForwardAndWait(PDEVICE_OBJECT LowerDevice, PIRP Irp);
NTSTATUS ForwardCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
void BusTeardown(BusExtension* Bus);
NTSTATUS BusPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_STACK_LOCATION Stack, BusExtension* Bus);

// port/ plug and play and identity
NTSTATUS PortPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_STACK_LOCATION Stack, PortExtension* Port);
NTSTATUS PortQueryId(PortExtension* Port, PIRP Irp, PIO_STACK_LOCATION Stack);
NTSTATUS PortQueryDeviceText(PortExtension* Port, PIRP Irp, PIO_STACK_LOCATION Stack);
NTSTATUS PortQueryCapabilities(PortExtension* Port, PIRP Irp, PIO_STACK_LOCATION Stack);
NTSTATUS QueryParentCapabilities(PDEVICE_OBJECT Target, PDEVICE_CAPABILITIES Capabilities);
NTSTATUS WriteDeviceConfig(PDEVICE_OBJECT DeviceObject, PortExtension* Port);

// port/ devices, open and close
NTSTATUS CreatePortDevice(BusExtension* Bus, PortExtension** NewPort);  // new port has Present 0
NTSTATUS DestroyPortDevice(PDEVICE_OBJECT DeviceObject, PortExtension* Port);
NTSTATUS ReleasePortDevice(PDEVICE_OBJECT DeviceObject, PortExtension* Port);
NTSTATUS PortAcquireBus(PortExtension* Port, BusExtension** Bus);  // STATUS_NO_SUCH_DEVICE when orphaned or the bus is Deleted
void PortReleaseBus(BusExtension* Bus);
NTSTATUS PortCreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp, PortExtension* Port);
NTSTATUS RecordOpener(PortExtension* Port);
NTSTATUS LoadPermissions(PortExtension* Port);
NTSTATUS QueryRegistryValue(HANDLE Key, PCWSTR ValueName, ULONG NameLength, PVOID Destination, ULONG DestinationSize);

// registry/
NTSTATUS WriteInstallRecords(PortExtension* Port);

// control/
NTSTATUS QueryPorts(BusExtension* Bus, ULONG QueryType, PVOID Buffer, PULONG Size);
NTSTATUS ListPorts(BusExtension* Bus, PVOID Buffer, PULONG Size);
NTSTATUS CreatePort(dravolux::PortRequest* Request, BusExtension* Bus);
NTSTATUS TakeOverDosName(PCUNICODE_STRING Name, PWSTR* LinkName, PWSTR* LinkTarget);
NTSTATUS RemovePort(dravolux::PortRequest* Request, BusExtension* Bus);
NTSTATUS RemoveAllPorts(BusExtension* Bus);
NTSTATUS ReloadPermissions(BusExtension* Bus);
