#include "reg_command.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>

#include "core/text.h"

namespace sim {

namespace {

constexpr uint32_t RegSz = 1;
constexpr uint32_t RegDword = 4;

bool StartsWithNoCase(const std::string& text, const std::string& prefix) {
    if (text.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i)
        if (std::toupper(static_cast<unsigned char>(text[i])) != std::toupper(static_cast<unsigned char>(prefix[i])))
            return false;
    return true;
}

bool EqualNoCase(const std::string& a, const std::string& b) { return a.size() == b.size() && StartsWithNoCase(a, b); }

bool ParseDword(const std::string& text, uint32_t& value) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    unsigned long long parsed = std::strtoull(text.c_str(), &end, 0);
    if (errno != 0 || *end != 0 || text[0] == '-' || parsed > 0xFFFFFFFFull) return false;
    value = static_cast<uint32_t>(parsed);
    return true;
}

}  // namespace

bool RegKeyToNtPath(const std::string& key, std::u16string& path) {
    static const char* roots[] = {"HKLM", "HKEY_LOCAL_MACHINE"};
    for (const char* root : roots) {
        std::string prefix = root;
        if (!StartsWithNoCase(key, prefix)) continue;
        std::string rest = key.substr(prefix.size());
        if (!rest.empty() && rest[0] != '\\') continue;
        while (!rest.empty() && rest.back() == '\\') rest.pop_back();
        path = u"\\Registry\\Machine" + corvessctl::Utf8ToUtf16(rest);
        return path.find(u"\\\\") == std::u16string::npos;
    }
    return false;
}

bool ParseRegCommand(const std::vector<std::string>& words, RegCommand& command, std::string& error) {
    command = RegCommand();
    if (words.size() < 2) {
        error = "reg: expected add, delete or query and a key";
        return false;
    }
    const std::string& verb = words[0];
    if (EqualNoCase(verb, "add")) command.Verb = RegVerb::Add;
    else if (EqualNoCase(verb, "delete")) command.Verb = RegVerb::Delete;
    else if (EqualNoCase(verb, "query")) command.Verb = RegVerb::Query;
    else {
        error = "reg: unknown operation '" + verb + "'";
        return false;
    }
    if (!RegKeyToNtPath(words[1], command.KeyPath)) {
        error = "reg: the key must start with HKLM\\ (got '" + words[1] + "')";
        return false;
    }

    std::string type = "REG_SZ";
    std::string data;
    bool hasType = false, hasData = false;
    for (size_t i = 2; i < words.size(); ++i) {
        const std::string& option = words[i];
        bool takesArgument = EqualNoCase(option, "/v") || EqualNoCase(option, "/t") || EqualNoCase(option, "/d");
        if (takesArgument && i + 1 >= words.size()) {
            error = "reg: " + option + " needs an argument";
            return false;
        }
        if (EqualNoCase(option, "/v")) {
            command.HasValue = true;
            command.ValueName = corvessctl::Utf8ToUtf16(words[++i]);
        } else if (EqualNoCase(option, "/ve")) {
            command.HasValue = true;
            command.ValueName.clear();
        } else if (EqualNoCase(option, "/t") && command.Verb == RegVerb::Add) {
            type = words[++i];
            hasType = true;
        } else if (EqualNoCase(option, "/d") && command.Verb == RegVerb::Add) {
            data = words[++i];
            hasData = true;
        } else if (EqualNoCase(option, "/f")) {
            // No prompts here: always forced.
        } else {
            error = "reg: unexpected '" + option + "'";
            return false;
        }
    }
    if (command.Verb != RegVerb::Add) return true;
    if ((hasType || hasData) && !command.HasValue) {
        error = "reg add: /t and /d need /v NAME or /ve";
        return false;
    }
    if (!command.HasValue) return true;  // creates the key only

    if (EqualNoCase(type, "REG_SZ")) {
        command.Type = RegSz;
        std::u16string text = corvessctl::Utf8ToUtf16(data);
        for (char16_t unit : text) {
            command.Data.push_back(static_cast<uint8_t>(unit));
            command.Data.push_back(static_cast<uint8_t>(unit >> 8));
        }
        command.Data.push_back(0);
        command.Data.push_back(0);
    } else if (EqualNoCase(type, "REG_DWORD")) {
        command.Type = RegDword;
        uint32_t value = 0;
        if (!ParseDword(hasData ? data : "0", value)) {
            error = "reg add: '" + data + "' is not a 32-bit number";
            return false;
        }
        for (int i = 0; i < 4; ++i) command.Data.push_back(static_cast<uint8_t>(value >> (8 * i)));
    } else {
        error = "reg add: unsupported type '" + type + "' (REG_SZ or REG_DWORD)";
        return false;
    }
    return true;
}

}  // namespace sim
