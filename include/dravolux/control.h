// Control interface of the dravolux bus: codes and record layouts shared by
// the driver and every user-mode program that talks to it.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace dravolux {

// Device type FILE_DEVICE_BUS_EXTENDER, FILE_ANY_ACCESS, METHOD_BUFFERED.
constexpr uint32_t ControlDeviceType = 0x2A;
constexpr uint32_t ControlCode(uint32_t function) { return (ControlDeviceType << 16) | (function << 2); }

constexpr uint32_t IoctlCreatePort = ControlCode(0);
constexpr uint32_t IoctlRemovePort = ControlCode(1);
constexpr uint32_t IoctlRemoveAllPorts = ControlCode(2);
constexpr uint32_t IoctlQueryPorts = ControlCode(3);
constexpr uint32_t IoctlReloadPermissions = ControlCode(4);
static_assert(IoctlCreatePort == 0x2A0000 && IoctlRemovePort == 0x2A0004, "control codes");
static_assert(IoctlRemoveAllPorts == 0x2A0008 && IoctlQueryPorts == 0x2A000C, "control codes");
static_assert(IoctlReloadPermissions == 0x2A0010, "control codes");

// The only query type QueryPorts serves: list every port device.
constexpr uint32_t QueryAllPorts = 1;

// Names of the control device.
#define DRAVOLUX_CONTROL_DEVICE_NAME L"\\Device\\SerialCorvessControl"
#define DRAVOLUX_CONTROL_LINK_NAME L"\\DosDevices\\SerialCorvessControl"
#define DRAVOLUX_CONTROL_WIN32_NAME L"\\\\.\\SerialCorvessControl"

// Input of CreatePort and RemovePort.
constexpr uint32_t PortNameUnits = 128;
struct PortRequest {
    uint32_t Size;                 // must be sizeof(PortRequest)
    uint16_t Name[PortNameUnits];  // UTF-16, ended by a 0 unit; the last unit is forced to 0
};
static_assert(sizeof(PortRequest) == 260, "PortRequest is 260 bytes");
static_assert(offsetof(PortRequest, Name) == 4, "PortRequest layout");

// Header of one QueryPorts record; the port name and the image path follow
// it, each UTF-16 with its 0 unit. Records lie back to back at even offsets,
// so readers must copy the header out rather than cast into the reply.
struct PortInfoHeader {
    uint32_t RecordSize;   // 48 + name bytes + path bytes
    uint32_t Index;
    uint32_t IsControl;
    uint32_t NameOffset;   // 48, or 0 when no name follows
    uint32_t PathOffset;   // 48 + name bytes, or 0 when no path follows
    uint32_t Reserved1;    // always 0
    uint64_t ProcessId;
    uint32_t Permissions;
    uint32_t StatusWord1;
    uint32_t StatusWord2;
    uint32_t Reserved2;    // always 0
};
static_assert(sizeof(PortInfoHeader) == 48, "PortInfoRecord header is 48 bytes");
static_assert(offsetof(PortInfoHeader, Index) == 4 && offsetof(PortInfoHeader, IsControl) == 8, "layout");
static_assert(offsetof(PortInfoHeader, NameOffset) == 12 && offsetof(PortInfoHeader, PathOffset) == 16, "layout");
static_assert(offsetof(PortInfoHeader, ProcessId) == 24 && offsetof(PortInfoHeader, Permissions) == 32, "layout");
static_assert(offsetof(PortInfoHeader, StatusWord1) == 36 && offsetof(PortInfoHeader, StatusWord2) == 40, "layout");

// The reply ends with a 32-bit 0 where the next RecordSize would be.
constexpr uint32_t PortInfoEndMarkerSize = 4;

}  // namespace dravolux
