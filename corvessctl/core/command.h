// Command line of the management program.
#pragma once

#include <string>
#include <vector>

namespace corvessctl {

enum class CommandKind { Help, Create, Remove, RemoveAll, List, Reload, Check };
enum class ListFormat { Table, Json, Raw };

struct Command {
    CommandKind Kind = CommandKind::Help;
    std::string Name;                       // create, remove and check: the port name (UTF-8)
    ListFormat Format = ListFormat::Table;  // list
};

// Exit codes.
constexpr int ExitOk = 0;
constexpr int ExitRefused = 1;     // the bus refused or failed the request
constexpr int ExitUsage = 2;       // bad command line
constexpr int ExitNoDevice = 3;    // the control device could not be opened
constexpr int ExitBadReply = 4;    // the bus answered with bytes that make no sense

// Parses the arguments after the program name. On failure returns false
// with a message for the user.
bool ParseCommand(const std::vector<std::string>& args, Command& command, std::string& error);

// Usage text.
const char* UsageText();

}  // namespace corvessctl
