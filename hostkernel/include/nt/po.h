// Power manager DDIs. The power types themselves (SYSTEM_POWER_STATE,
// DEVICE_POWER_STATE, POWER_STATE, POWER_STATE_TYPE) live in nt/io.h, next to
// the stack location that carries them.
#pragma once
#include "nt/ntdef.h"
#include "nt/io.h"

typedef VOID (*PREQUEST_POWER_COMPLETE)(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                                        POWER_STATE PowerState, PVOID Context,
                                        PIO_STATUS_BLOCK IoStatus);

// Since Vista a no-op for the power manager's sequencing; counted on the host.
VOID PoStartNextPowerIrp(PIRP Irp);
// Passes a power IRP to the next driver (IofCallDriver on the host).
NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp);
// Records the device's new power state; returns the previous one.
POWER_STATE PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State);
// Sends a device power IRP (SET_POWER, QUERY_POWER or WAIT_WAKE) to the top of
// the stack the device belongs to; CompletionFunction runs when it completes.
NTSTATUS PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                           PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP* Irp);
