#include "records.h"

#include <dravolux/control.h>

namespace corvessctl {

uint32_t ReadU32(const uint8_t* at) {
    return static_cast<uint32_t>(at[0]) | (static_cast<uint32_t>(at[1]) << 8) |
           (static_cast<uint32_t>(at[2]) << 16) | (static_cast<uint32_t>(at[3]) << 24);
}

uint64_t ReadU64(const uint8_t* at) {
    return static_cast<uint64_t>(ReadU32(at)) | (static_cast<uint64_t>(ReadU32(at + 4)) << 32);
}

namespace {

constexpr size_t HeaderSize = sizeof(dravolux::PortInfoHeader);

std::string At(size_t offset) { return "at byte " + std::to_string(offset); }

// A NUL-terminated UTF-16 string at `begin` inside the record, which ends at
// `end`. Returns false when no 0 unit is found before the end.
bool ReadString(const uint8_t* reply, size_t begin, size_t end, std::u16string& text, size_t& bytes) {
    text.clear();
    for (size_t at = begin; at + 2 <= end; at += 2) {
        char16_t unit = static_cast<char16_t>(reply[at] | (reply[at + 1] << 8));
        if (unit == 0) {
            bytes = at + 2 - begin;
            return true;
        }
        text += unit;
    }
    return false;
}

}  // namespace

bool ParsePortInfo(const uint8_t* reply, size_t length, std::vector<PortInfo>& ports, std::string& error) {
    ports.clear();
    size_t offset = 0;
    for (;;) {
        if (length - offset < dravolux::PortInfoEndMarkerSize) {
            error = "the reply ends without its end marker " + At(offset);
            return false;
        }
        const uint8_t* record = reply + offset;
        uint32_t size = ReadU32(record);
        if (size == 0) {
            if (offset + dravolux::PortInfoEndMarkerSize != length) {
                error = "unexpected bytes after the end marker " + At(offset);
                return false;
            }
            return true;
        }
        if (size < HeaderSize || size > length - offset) {
            error = "record size " + std::to_string(size) + " does not fit the reply " + At(offset);
            return false;
        }
        PortInfo port;
        port.Index = ReadU32(record + offsetof(dravolux::PortInfoHeader, Index));
        port.IsControl = ReadU32(record + offsetof(dravolux::PortInfoHeader, IsControl)) != 0;
        uint32_t nameOffset = ReadU32(record + offsetof(dravolux::PortInfoHeader, NameOffset));
        uint32_t pathOffset = ReadU32(record + offsetof(dravolux::PortInfoHeader, PathOffset));
        port.ProcessId = ReadU64(record + offsetof(dravolux::PortInfoHeader, ProcessId));
        port.Permissions = ReadU32(record + offsetof(dravolux::PortInfoHeader, Permissions));
        port.StatusWord1 = ReadU32(record + offsetof(dravolux::PortInfoHeader, StatusWord1));
        port.StatusWord2 = ReadU32(record + offsetof(dravolux::PortInfoHeader, StatusWord2));

        // The name, when present, follows the header; the path follows the
        // name (or the header) and fills the record to its end.
        size_t stringsAt = HeaderSize;
        std::u16string text;
        size_t bytes = 0;
        if (nameOffset != 0) {
            if (nameOffset != HeaderSize || !ReadString(record, nameOffset, size, text, bytes)) {
                error = "bad port name in the record " + At(offset);
                return false;
            }
            port.PortName = text;
            stringsAt += bytes;
        }
        if (pathOffset != 0) {
            if (pathOffset != stringsAt || !ReadString(record, pathOffset, size, text, bytes)) {
                error = "bad image path in the record " + At(offset);
                return false;
            }
            port.ImagePath = text;
            stringsAt += bytes;
        }
        if (stringsAt != size) {
            error = "record size " + std::to_string(size) + " does not match its strings " + At(offset);
            return false;
        }
        ports.push_back(std::move(port));
        offset += size;
    }
}

}  // namespace corvessctl
