// The management program without its platform: parse, send, explain.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "channel.h"
#include "check.h"
#include "command.h"
#include "records.h"

namespace corvessctl {

// Runs one command line (the arguments after the program name) over the
// channel; writes results to `out` and failures to `err`; returns the exit
// code. `moreUsage` (optional) adds lines to the usage text for commands
// that a platform build serves itself; `checks` is what "check" needs from
// the machine (without it "check" is refused).
int Run(const std::vector<std::string>& args, ControlChannel& channel, std::ostream& out, std::ostream& err,
        const char* moreUsage = nullptr, CheckSystem* checks = nullptr);

// The QueryPorts reply, asked with a buffer that starts small and doubles
// while the bus answers STATUS_BUFFER_TOO_SMALL. Returns the final status.
uint32_t QueryPortsReply(ControlChannel& channel, std::vector<uint8_t>& reply);

// First and largest output buffers that `list` tries.
constexpr uint32_t FirstListBuffer = 128;
constexpr uint32_t LargestListBuffer = 16u << 20;

// The failure message for a request, naming the port and the reason:
// "remove COM3: the port is in use (STATUS_DEVICE_BUSY)".
std::string FailureMessage(const Command& command, uint32_t status);

}  // namespace corvessctl
