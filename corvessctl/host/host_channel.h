// The control channel on the host kernel: the control device opened by a
// host process through the host kernel's user-mode calls.
#pragma once

#include <ntddk.h>

#include "core/channel.h"

namespace corvessctl {

class HostChannel : public ControlChannel {
public:
    // Requests run in the context of `process` (the management program's).
    explicit HostChannel(PEPROCESS process) : Process(process) {}
    ~HostChannel() override;
    uint32_t Open() override;
    uint32_t Control(uint32_t code, const void* input, uint32_t inputLength, void* output, uint32_t outputLength,
                     uint32_t& returned) override;
    void Close() override;

private:
    PEPROCESS Process;
    HANDLE Handle = nullptr;
};

}  // namespace corvessctl
