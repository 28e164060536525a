// "corvessctl check": what a driver developer runs on an installed bus before
// trusting it. The control device is exclusive; every control request with a
// missing, short, exact and over-long buffer and with bad Size words gets its
// documented status and changes nothing; a port is created, listed, opened
// from two processes, closed and removed, with the port list checked at each
// step. One line per check, then "N passed, N failed".
#pragma once

#include <cstdint>
#include <ostream>
#include <string>

#include "channel.h"

namespace corvessctl {

// What the checks need from the machine besides the control channel.
class CheckSystem {
public:
    virtual ~CheckSystem() = default;

    // Opens the control device once more while the checks hold it open;
    // closes what it opened. Returns the status of the open.
    virtual uint32_t OpenControlAgain() = 0;

    // Empty where the platform admits only one handle to an exclusive
    // device; otherwise why a second handle cannot be held against the bus.
    virtual std::string ExclusiveOpenCaveat() = 0;

    // One attempt to open \\.\NAME for reading and writing: opener 0 from
    // this program's process, opener 1 from another process. On success the
    // port stays open and `processId` is the opener's.
    virtual uint32_t OpenPort(int opener, const std::string& name, uint64_t& processId) = 0;

    // Closes what OpenPort opened for the opener, if anything.
    virtual void ClosePort(int opener) = 0;

    // The image path the bus should report for the opener.
    virtual std::u16string OpenerImage(int opener) = 0;

    // Lets time pass: the bus re-enumerates, the plug-and-play manager works.
    virtual void Pause(uint32_t milliseconds) = 0;
};

// The port the checks manage unless told otherwise.
constexpr const char* DefaultCheckPort = "COM99";

// Runs every check with the port `name`; the bus must manage no port. Returns
// ExitOk when all passed, ExitRefused when any failed.
int RunCheck(const std::string& name, ControlChannel& channel, CheckSystem& system, std::ostream& out);

}  // namespace corvessctl
