// Installing and removing the bus on Windows: the root-enumerated DRAVOLUX
// device from dravolux.inf, and the port function driver's package.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace corvessctl {

// Runs "install [INF]" or "uninstall" when the arguments name one of them:
// returns true and sets `code` to the exit code. Returns false for any other
// command.
bool RunSetupCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err, int& code);

// Usage lines of the two commands.
const char* SetupUsageText();

}  // namespace corvessctl
