// Stand-in port function driver (service pelmonix) for host scenarios and
// test machines. It loads on every dravolux port device, learns the port's
// name, role and FunctionArea, passes opens and closes down to the port
// device, and points the port's DOS name at a waiting client port device so
// that the next application that opens the name reaches it.
#pragma once

#include "seam.h"

// Service name and device names.
#define PELMONIX_SERVICE_NAME L"pelmonix"
#define PELMONIX_DEVICE_PREFIX L"\\Device\\PelmonixPort"
#define PELMONIX_DOS_PREFIX L"\\DosDevices\\"

// Longest "PortName" value the bus writes, without its 0 unit: "CORVESS_"
// and a 127-character name on a control port device.
#define PELMONIX_MAX_NAME 135

// Extended capabilities record: the platform's 64 bytes and the address of
// the port device's FunctionArea.
#define PELMONIX_CAPABILITIES_SIZE 72
#define PELMONIX_FUNCTION_AREA_AT 64

// FunctionArea fields the stand-in keeps up to date.
#define PELMONIX_AREA_STATE_AT 0
#define PELMONIX_AREA_PERMISSIONS_AT 40
#define PELMONIX_AREA_STATUS1_AT 124
#define PELMONIX_AREA_STATUS2_AT 128

// FunctionState values.
#define PELMONIX_STATE_IDLE 0
#define PELMONIX_STATE_STARTED 1
#define PELMONIX_STATE_STOPPED 2

// Bits of StatusWord1; StatusWord2 counts the opens seen on the stack.
#define PELMONIX_STATUS_STARTED 0x1
#define PELMONIX_STATUS_CONFIGURED 0x2
#define PELMONIX_STATUS_LINK_OWNER 0x4
#define PELMONIX_STATUS_OPENED 0x8

// One function device over one port device.
struct PelmonixDevice {
    PDEVICE_OBJECT Self;
    PDEVICE_OBJECT Pdo;
    PDEVICE_OBJECT LowerDevice;
    ULONG Number;               // the N of \Device\PelmonixPortN
    PUCHAR FunctionArea;        // from the capabilities answer, null until started
    ULONG IsControl;            // "IsControl" from the hardware key
    BOOLEAN Configured;         // PortName and IsControl were read
    BOOLEAN Started;
    BOOLEAN Opened;             // an application opened this port device
    BOOLEAN LinkOwner;          // the DOS name points here
    LONG Opens;                 // creates passed down successfully
    WCHAR PortName[PELMONIX_MAX_NAME + 1];
    WCHAR DeviceNameBuffer[40];
    WCHAR LinkNameBuffer[PELMONIX_MAX_NAME + 16];
    UNICODE_STRING DeviceName;  // \Device\PelmonixPortN
    UNICODE_STRING LinkName;    // \DosDevices\<PortName>, empty until configured
};

extern "C" NTSTATUS PelmonixEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
