// "reg" commands in reg.exe syntax, for keys under HKLM.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

enum class RegVerb { Add, Delete, Query };

struct RegCommand {
    RegVerb Verb = RegVerb::Query;
    std::u16string KeyPath;           // NT path: \Registry\Machine\...
    bool HasValue = false;            // /v NAME or /ve given
    std::u16string ValueName;         // empty for the default value (/ve)
    uint32_t Type = 1;                // REG_SZ (1) or REG_DWORD (4)
    std::vector<uint8_t> Data;        // the value's bytes as stored
};

// Parses the words after "reg". On failure returns false with a message.
bool ParseRegCommand(const std::vector<std::string>& words, RegCommand& command, std::string& error);

// HKLM\... (or HKEY_LOCAL_MACHINE\...) as an NT path; false for other roots.
bool RegKeyToNtPath(const std::string& key, std::u16string& path);

}  // namespace sim
