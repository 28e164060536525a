// The road from the management program to the bus's control device. One
// implementation per platform; tests use their own.
#pragma once

#include <cstdint>

namespace corvessctl {

class ControlChannel {
public:
    virtual ~ControlChannel() = default;

    // Opens the control device; returns an NT status.
    virtual uint32_t Open() = 0;

    // One device-control request on the open device. Returns its NT status;
    // `returned` receives the byte count copied back into `output`.
    virtual uint32_t Control(uint32_t code, const void* input, uint32_t inputLength, void* output,
                             uint32_t outputLength, uint32_t& returned) = 0;

    // Closes the device if it is open.
    virtual void Close() = 0;
};

}  // namespace corvessctl
