// Host control of the power manager: system sleep, wake and shutdown, and a
// log of the power IRPs the manager sent.
#pragma once
#include <ntddk.h>
#include <string>
#include <vector>

// Sends IRP_MN_QUERY_POWER then IRP_MN_SET_POWER for `state` (S1..S4) to every
// started stack, children before parents. A veto of the query cancels the
// transition: the queried stacks get SET_POWER(S0) and the veto is returned.
NTSTATUS HkPoSleep(SYSTEM_POWER_STATE state);
// SET_POWER(S0) to every started stack, parents before children.
NTSTATUS HkPoWake();
// SET_POWER(S5, PowerActionShutdown), children before parents.
NTSTATUS HkPoShutdown();
SYSTEM_POWER_STATE HkPoSystemState();

struct HkPoLogEntry {
    std::u16string InstancePath; // the node's instance path ("" if none)
    PDEVICE_OBJECT Device;       // top of the stack the IRP was sent to
    UCHAR Minor;                 // IRP_MN_SET_POWER, IRP_MN_QUERY_POWER, ...
    POWER_STATE_TYPE Type;
    ULONG State;                 // SYSTEM_POWER_STATE or DEVICE_POWER_STATE value
    NTSTATUS Status;
};
std::vector<HkPoLogEntry> HkPoLog();
void HkPoClearLog();
std::string HkPoFormatLog();

// What the device last told PoSetPowerState (PowerDeviceUnspecified if never).
DEVICE_POWER_STATE HkPoDeviceState(PDEVICE_OBJECT device);
ULONG HkPoStartNextCount();
