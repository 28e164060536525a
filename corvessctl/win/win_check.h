// What "corvessctl check" needs from Windows. The second opener is this
// program started again as "check --hold NAME": it opens the port, says so
// on its output and keeps the port until its input ends.
#pragma once

#include <windows.h>

#include <ostream>
#include <string>
#include <vector>

#include "../core/check.h"

namespace corvessctl {

class WinCheckSystem : public CheckSystem {
public:
    WinCheckSystem() = default;
    ~WinCheckSystem() override;
    WinCheckSystem(const WinCheckSystem&) = delete;
    WinCheckSystem& operator=(const WinCheckSystem&) = delete;

    uint32_t OpenControlAgain() override;
    std::string ExclusiveOpenCaveat() override;
    uint32_t OpenPort(int opener, const std::string& name, uint64_t& processId) override;
    void ClosePort(int opener) override;
    std::u16string OpenerImage(int opener) override;
    void Pause(uint32_t milliseconds) override { Sleep(milliseconds); }

private:
    uint32_t StartHolder(const std::string& name, uint64_t& processId);

    HANDLE port_ = INVALID_HANDLE_VALUE;  // opener 0
    HANDLE holder_ = nullptr;             // opener 1: its process,
    HANDLE holderInput_ = nullptr;        // the write end of its input
};

// Runs "check --hold NAME" when the arguments name it: returns true and sets
// `code` to the exit code.
bool RunHoldCommand(const std::vector<std::string>& args, std::ostream& out, int& code);

}  // namespace corvessctl
