// corvessctl for Windows: the management program of the dravolux bus.
#include <windows.h>

#include <iostream>
#include <string>
#include <vector>

#include "core/app.h"
#include "win/install.h"
#include "win/win_channel.h"
#include "win/win_check.h"

int main(int argc, char** argv) {
    SetConsoleOutputCP(CP_UTF8);
    std::vector<std::string> args(argv + 1, argv + argc);
    int code = 0;
    if (corvessctl::RunSetupCommand(args, std::cout, std::cerr, code)) return code;
    if (corvessctl::RunHoldCommand(args, std::cout, code)) return code;
    corvessctl::WinChannel channel;
    corvessctl::WinCheckSystem checks;
    return corvessctl::Run(args, channel, std::cout, std::cerr, corvessctl::SetupUsageText(), &checks);
}
