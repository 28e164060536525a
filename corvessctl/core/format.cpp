#include "format.h"

#include <algorithm>
#include <cstdio>

#include "text.h"

namespace corvessctl {

namespace {

const char* Role(const PortInfo& port) { return port.IsControl ? "control" : "client"; }

std::string Utf8OrDash(const std::optional<std::u16string>& text) { return text ? Utf16ToUtf8(*text) : "-"; }

std::string JsonOrNull(const std::optional<std::u16string>& text) { return text ? JsonString(*text) : "null"; }

// Display width of UTF-8 text: one column per code point.
size_t Columns(const std::string& text) {
    return std::count_if(text.begin(), text.end(), [](char c) { return (c & 0xC0) != 0x80; });
}

}  // namespace

std::string FormatTable(const std::vector<PortInfo>& ports) {
    if (ports.empty()) return "no port devices\n";
    std::vector<std::vector<std::string>> rows;
    rows.push_back({"INDEX", "ROLE", "PORT", "PID", "PERMISSIONS", "STATUS1", "STATUS2", "IMAGE"});
    for (const PortInfo& port : ports) {
        rows.push_back({std::to_string(port.Index), Role(port), Utf8OrDash(port.PortName),
                        port.ProcessId ? std::to_string(port.ProcessId) : "-", Hex32(port.Permissions),
                        Hex32(port.StatusWord1), Hex32(port.StatusWord2), Utf8OrDash(port.ImagePath)});
    }
    std::vector<size_t> widths(rows[0].size(), 0);
    for (const auto& row : rows)
        for (size_t c = 0; c < row.size(); ++c) widths[c] = std::max(widths[c], Columns(row[c]));
    std::string out;
    for (const auto& row : rows) {
        std::string line;
        for (size_t c = 0; c < row.size(); ++c) {
            line += row[c];
            if (c + 1 < row.size()) line += std::string(widths[c] - Columns(row[c]) + 2, ' ');
        }
        out += line + "\n";
    }
    return out;
}

std::string FormatJson(const std::vector<PortInfo>& ports) {
    std::string out = "[";
    for (size_t i = 0; i < ports.size(); ++i) {
        const PortInfo& port = ports[i];
        out += i ? ",\n  " : "\n  ";
        out += "{\"index\": " + std::to_string(port.Index);
        out += ", \"role\": \"" + std::string(Role(port)) + "\"";
        out += ", \"port\": " + JsonOrNull(port.PortName);
        out += ", \"pid\": " + std::to_string(port.ProcessId);
        out += ", \"image\": " + JsonOrNull(port.ImagePath);
        out += ", \"permissions\": " + std::to_string(port.Permissions);
        out += ", \"status1\": " + std::to_string(port.StatusWord1);
        out += ", \"status2\": " + std::to_string(port.StatusWord2) + "}";
    }
    out += ports.empty() ? "]\n" : "\n]\n";
    return out;
}

std::string FormatHex(const uint8_t* bytes, size_t length) {
    std::string out;
    char cell[24];
    for (size_t line = 0; line < length; line += 16) {
        std::snprintf(cell, sizeof cell, "%08zx ", line);
        out += cell;
        for (size_t i = line; i < std::min(length, line + 16); ++i) {
            std::snprintf(cell, sizeof cell, " %02x", bytes[i]);
            out += cell;
        }
        out += "\n";
    }
    return out;
}

}  // namespace corvessctl
