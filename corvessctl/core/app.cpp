#include "app.h"

#include <cstring>

#include <dravolux/control.h>

#include "format.h"
#include "status.h"
#include "text.h"

namespace corvessctl {

namespace {

std::string Subject(const Command& command) {
    switch (command.Kind) {
    case CommandKind::Create: return "create " + command.Name;
    case CommandKind::Remove: return "remove " + command.Name;
    case CommandKind::RemoveAll: return "remove --all";
    case CommandKind::List: return "list";
    case CommandKind::Reload: return "reload";
    case CommandKind::Check: return "check " + command.Name;
    case CommandKind::Help: break;
    }
    return "help";
}

// What a status means for this command, where the bus gives it a meaning of
// its own.
std::string Reason(const Command& command, uint32_t status) {
    switch (command.Kind) {
    case CommandKind::Create:
        if (status == StatusInvalidParameter)
            return "the name is not valid (letters, digits and _ only) or the port is already managed";
        break;
    case CommandKind::Remove:
        if (status == StatusInvalidParameter) return "no managed port has this exact name (names are case-sensitive)";
        if (status == StatusNoSuchDevice) return "no port is managed";
        break;
    case CommandKind::RemoveAll:
        if (status == StatusDeviceBusy) return "a port is in use";
        break;
    default:
        break;
    }
    return StatusWords(status);
}

// Closes the channel on every way out.
struct OpenChannel {
    explicit OpenChannel(ControlChannel& channel) : Channel(channel) {}
    ~OpenChannel() { Channel.Close(); }
    ControlChannel& Channel;
};

uint32_t SendPortRequest(ControlChannel& channel, uint32_t code, const std::string& name) {
    dravolux::PortRequest request;
    std::memset(&request, 0, sizeof request);
    request.Size = sizeof request;
    std::u16string wide = Utf8ToUtf16(name);
    for (size_t i = 0; i < wide.size() && i + 1 < dravolux::PortNameUnits; ++i) request.Name[i] = wide[i];
    uint32_t returned = 0;
    return channel.Control(code, &request, sizeof request, &request, sizeof request, returned);
}

}  // namespace

std::string FailureMessage(const Command& command, uint32_t status) {
    return Subject(command) + ": " + Reason(command, status) + " (" + StatusName(status) + ")";
}

uint32_t QueryPortsReply(ControlChannel& channel, std::vector<uint8_t>& reply) {
    const uint32_t queryType = dravolux::QueryAllPorts;
    for (uint32_t size = FirstListBuffer;; size *= 2) {
        reply.assign(size, 0);
        std::memcpy(reply.data(), &queryType, sizeof queryType);
        uint32_t returned = 0;
        uint32_t status = channel.Control(dravolux::IoctlQueryPorts, &queryType, sizeof queryType, reply.data(),
                                          size, returned);
        if (status == StatusBufferTooSmall && size < LargestListBuffer) continue;
        reply.resize(StatusSucceeded(status) && returned <= size ? returned : 0);
        return status;
    }
}

int Run(const std::vector<std::string>& args, ControlChannel& channel, std::ostream& out, std::ostream& err,
        const char* moreUsage, CheckSystem* checks) {
    Command command;
    std::string error;
    if (!ParseCommand(args, command, error)) {
        err << "corvessctl: " << error << "\n" << UsageText() << (moreUsage ? moreUsage : "");
        return ExitUsage;
    }
    if (command.Kind == CommandKind::Help) {
        out << UsageText() << (moreUsage ? moreUsage : "");
        return ExitOk;
    }
    if (command.Kind == CommandKind::Check) {
        if (!checks) {
            err << "corvessctl: check: not available here\n";
            return ExitUsage;
        }
        int code = RunCheck(command.Name, channel, *checks, out);
        if (code != ExitOk) err << "corvessctl: check: some checks failed (the FAIL lines above)\n";
        return code;
    }

    uint32_t status = channel.Open();
    if (!StatusSucceeded(status)) {
        err << "corvessctl: " << Subject(command) << ": cannot open the control device "
            << "\\\\.\\SerialCorvessControl: "
            << StatusWords(status) << " (" << StatusName(status) << ")\n";
        return ExitNoDevice;
    }
    OpenChannel open(channel);

    uint32_t returned = 0;
    switch (command.Kind) {
    case CommandKind::Create:
        status = SendPortRequest(channel, dravolux::IoctlCreatePort, command.Name);
        if (StatusSucceeded(status)) out << "created " << command.Name << "\n";
        break;
    case CommandKind::Remove:
        status = SendPortRequest(channel, dravolux::IoctlRemovePort, command.Name);
        if (StatusSucceeded(status)) out << "removing " << command.Name << "\n";
        break;
    case CommandKind::RemoveAll:
        status = channel.Control(dravolux::IoctlRemoveAllPorts, nullptr, 0, nullptr, 0, returned);
        if (StatusSucceeded(status)) out << "removing all ports\n";
        break;
    case CommandKind::Reload:
        status = channel.Control(dravolux::IoctlReloadPermissions, nullptr, 0, nullptr, 0, returned);
        if (StatusSucceeded(status)) out << "permissions reloaded\n";
        break;
    case CommandKind::List: {
        std::vector<uint8_t> reply;
        status = QueryPortsReply(channel, reply);
        if (!StatusSucceeded(status)) break;
        if (command.Format == ListFormat::Raw) {
            out << FormatHex(reply.data(), reply.size());
            return ExitOk;
        }
        std::vector<PortInfo> ports;
        if (!ParsePortInfo(reply.data(), reply.size(), ports, error)) {
            err << "corvessctl: list: the reply is malformed: " << error << "\n";
            return ExitBadReply;
        }
        out << (command.Format == ListFormat::Json ? FormatJson(ports) : FormatTable(ports));
        break;
    }
    case CommandKind::Help:
    case CommandKind::Check:
        break;
    }
    if (!StatusSucceeded(status)) {
        err << "corvessctl: " << FailureMessage(command, status) << "\n";
        return ExitRefused;
    }
    return ExitOk;
}

}  // namespace corvessctl
