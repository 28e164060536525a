// Reading the QueryPorts reply: PortInfoRecords back to back at even
// offsets, ended by a 32-bit 0.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace corvessctl {

struct PortInfo {
    uint32_t Index = 0;
    bool IsControl = false;
    std::optional<std::u16string> PortName;
    std::optional<std::u16string> ImagePath;
    uint64_t ProcessId = 0;
    uint32_t Permissions = 0;
    uint32_t StatusWord1 = 0;
    uint32_t StatusWord2 = 0;
};

// Parses `length` bytes of reply. On a malformed reply returns false and
// says where in `error`; `ports` then holds the records read before it.
bool ParsePortInfo(const uint8_t* reply, size_t length, std::vector<PortInfo>& ports, std::string& error);

// Unaligned little-endian reads.
uint32_t ReadU32(const uint8_t* at);
uint64_t ReadU64(const uint8_t* at);

}  // namespace corvessctl
