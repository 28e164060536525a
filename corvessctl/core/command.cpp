#include "command.h"

#include <dravolux/control.h>

#include "check.h"
#include "text.h"

namespace corvessctl {

const char* UsageText() {
    return "usage: corvessctl COMMAND\n"
           "  create NAME       manage the serial port NAME (for example COM3)\n"
           "  remove NAME       stop managing NAME and give the name back\n"
           "  remove --all      stop managing every port\n"
           "  list              list the port devices as a table\n"
           "  list --json       the same as a JSON array\n"
           "  list --raw        the reply bytes in hex\n"
           "  reload            reload the per-application permissions\n"
           "  check [NAME]      run the device checks on a bus without managed ports, with\n"
           "                    the port NAME (default COM99); ends with \"N passed, N failed\"\n"
           "  help              this text\n";
}

namespace {

bool CheckName(const std::string& verb, const std::string& name, std::string& error) {
    if (name.empty() || name[0] == '-') {
        error = verb + ": a port name is needed (for example COM3)";
        return false;
    }
    // The request carries at most 127 UTF-16 units and a 0 unit.
    std::u16string wide = Utf8ToUtf16(name);
    if (wide.size() >= dravolux::PortNameUnits) {
        error = verb + " " + name + ": the name is too long (at most " +
                std::to_string(dravolux::PortNameUnits - 1) + " characters)";
        return false;
    }
    if (wide.find(u'\0') != std::u16string::npos) {
        error = verb + ": the name contains a NUL character";
        return false;
    }
    return true;
}

}  // namespace

bool ParseCommand(const std::vector<std::string>& args, Command& command, std::string& error) {
    command = Command();
    if (args.empty()) {
        error = "no command given";
        return false;
    }
    const std::string& verb = args[0];
    size_t operands = args.size() - 1;
    if (verb == "help" || verb == "--help" || verb == "-h" || verb == "/?") {
        command.Kind = CommandKind::Help;
        return true;
    }
    if (verb == "create") {
        if (operands != 1) {
            error = "create: expected exactly one port name";
            return false;
        }
        command.Kind = CommandKind::Create;
        command.Name = args[1];
        return CheckName(verb, command.Name, error);
    }
    if (verb == "remove") {
        if (operands != 1) {
            error = "remove: expected one port name or --all";
            return false;
        }
        if (args[1] == "--all") {
            command.Kind = CommandKind::RemoveAll;
            return true;
        }
        command.Kind = CommandKind::Remove;
        command.Name = args[1];
        return CheckName(verb, command.Name, error);
    }
    if (verb == "list") {
        command.Kind = CommandKind::List;
        if (operands == 0) return true;
        if (operands == 1 && args[1] == "--json") {
            command.Format = ListFormat::Json;
            return true;
        }
        if (operands == 1 && args[1] == "--raw") {
            command.Format = ListFormat::Raw;
            return true;
        }
        error = "list: expected no option, --json or --raw";
        return false;
    }
    if (verb == "reload") {
        if (operands != 0) {
            error = "reload: takes no arguments";
            return false;
        }
        command.Kind = CommandKind::Reload;
        return true;
    }
    if (verb == "check") {
        if (operands > 1) {
            error = "check: expected at most one port name";
            return false;
        }
        command.Kind = CommandKind::Check;
        command.Name = operands ? args[1] : DefaultCheckPort;
        return CheckName(verb, command.Name, error);
    }
    error = "unknown command '" + verb + "'";
    return false;
}

}  // namespace corvessctl
