// The control channel on Windows: the control device through Win32.
#pragma once

#include <windows.h>

#include "../core/channel.h"

namespace corvessctl {

// The NT status behind a Win32 error, for the errors the bus can cause.
uint32_t StatusFromWin32(DWORD error);

class WinChannel : public ControlChannel {
public:
    ~WinChannel() override;
    uint32_t Open() override;
    uint32_t Control(uint32_t code, const void* input, uint32_t inputLength, void* output, uint32_t outputLength,
                     uint32_t& returned) override;
    void Close() override;

private:
    void* Handle = nullptr;
};

}  // namespace corvessctl
