// Output formats of `list`.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "records.h"

namespace corvessctl {

// Readable table, one line per port device, with a heading.
std::string FormatTable(const std::vector<PortInfo>& ports);

// JSON array of objects: index, role, port, pid, image, permissions,
// status1, status2.
std::string FormatJson(const std::vector<PortInfo>& ports);

// Reply bytes as hex, 16 bytes a line.
std::string FormatHex(const uint8_t* bytes, size_t length);

}  // namespace corvessctl
