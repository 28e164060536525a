// A tiny legacy serial driver: the machine's own COM3 before the bus takes
// the name over. It creates \Device\Serial2 and the DOS link COM3 to it.
#pragma once

#include <ntddk.h>

#define LEGACY_SERIAL_DEVICE_NAME L"\\Device\\Serial2"
#define LEGACY_SERIAL_LINK_NAME L"\\DosDevices\\COM3"

extern "C" NTSTATUS LegacySerialEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
