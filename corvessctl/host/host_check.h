// What "corvessctl check" needs from a host machine: a second open of the
// control device, ports opened from the management program's process and
// from a process of its own, and a clock that runs while the checks wait.
#pragma once

#include <functional>

#include <ntddk.h>

#include "core/check.h"

namespace corvessctl {

class HostCheckSystem : public CheckSystem {
public:
    // `tool` runs the management program with the image `image`; `pause`
    // lets the machine's clock run.
    HostCheckSystem(PEPROCESS tool, PCWSTR image, std::function<void(uint32_t)> pause);
    ~HostCheckSystem() override;
    HostCheckSystem(const HostCheckSystem&) = delete;
    HostCheckSystem& operator=(const HostCheckSystem&) = delete;

    uint32_t OpenControlAgain() override;
    std::string ExclusiveOpenCaveat() override { return std::string(); }
    uint32_t OpenPort(int opener, const std::string& name, uint64_t& processId) override;
    void ClosePort(int opener) override;
    std::u16string OpenerImage(int opener) override { return image_; }
    void Pause(uint32_t milliseconds) override { pause_(milliseconds); }

private:
    struct Opener {
        PEPROCESS Process = nullptr;
        HANDLE Handle = nullptr;
    };

    PEPROCESS tool_;
    std::u16string image_;
    std::function<void(uint32_t)> pause_;
    Opener openers_[2];
};

}  // namespace corvessctl
