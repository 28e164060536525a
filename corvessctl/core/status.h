// NT status values as the management program names and explains them.
#pragma once

#include <cstdint>
#include <string>

namespace corvessctl {

// Status values the program meets; the driver's and the platform's.
constexpr uint32_t StatusSuccess = 0x00000000;
constexpr uint32_t StatusDeviceBusy = 0x80000011;
constexpr uint32_t StatusUnsuccessful = 0xC0000001;
constexpr uint32_t StatusInvalidParameter = 0xC000000D;
constexpr uint32_t StatusNoSuchDevice = 0xC000000E;
constexpr uint32_t StatusInvalidDeviceRequest = 0xC0000010;
constexpr uint32_t StatusAccessDenied = 0xC0000022;
constexpr uint32_t StatusBufferTooSmall = 0xC0000023;
constexpr uint32_t StatusObjectNameNotFound = 0xC0000034;
constexpr uint32_t StatusObjectNameCollision = 0xC0000035;
constexpr uint32_t StatusObjectPathNotFound = 0xC000003A;
constexpr uint32_t StatusSharingViolation = 0xC0000043;
constexpr uint32_t StatusDeletePending = 0xC0000056;
constexpr uint32_t StatusInsufficientResources = 0xC000009A;
constexpr uint32_t StatusDeviceNotReady = 0xC00000A3;
constexpr uint32_t StatusNotSupported = 0xC00000BB;
constexpr uint32_t StatusNoSuchFile = 0xC000000F;

// Success only: warnings such as STATUS_DEVICE_BUSY are failures here.
constexpr bool StatusSucceeded(uint32_t status) { return (status >> 30) == 0 || (status >> 30) == 1; }

// "STATUS_DEVICE_BUSY", or "0x80000011" for a value without a name.
std::string StatusName(uint32_t status);

// A short explanation in words, generic for the status.
std::string StatusWords(uint32_t status);

}  // namespace corvessctl
