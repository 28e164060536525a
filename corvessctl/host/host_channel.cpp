#include "host_channel.h"

#include <dravolux/control.h>

#include "core/status.h"
#include "hk/process.h"
#include "hk/user.h"

namespace corvessctl {

HostChannel::~HostChannel() { Close(); }

uint32_t HostChannel::Open() {
    Close();
    HkProcessContext context(Process);
    NTSTATUS status = HkUserCreateFile(DRAVOLUX_CONTROL_WIN32_NAME, &Handle);
    if (!NT_SUCCESS(status)) Handle = nullptr;
    return static_cast<uint32_t>(status);
}

uint32_t HostChannel::Control(uint32_t code, const void* input, uint32_t inputLength, void* output,
                              uint32_t outputLength, uint32_t& returned) {
    returned = 0;
    if (!Handle) return StatusInvalidParameter;
    HkProcessContext context(Process);
    ULONG bytes = 0;
    NTSTATUS status = HkUserDeviceIoControl(Handle, code, input, inputLength, output,
                                            outputLength, &bytes);
    returned = bytes;
    return static_cast<uint32_t>(status);
}

void HostChannel::Close() {
    if (!Handle) return;
    HkProcessContext context(Process);
    HkUserCloseHandle(Handle);
    Handle = nullptr;
}

}  // namespace corvessctl
