#include "host_check.h"

#include "core/text.h"
#include "hk/process.h"
#include "hk/user.h"
#include "host_channel.h"

namespace corvessctl {

HostCheckSystem::HostCheckSystem(PEPROCESS tool, PCWSTR image, std::function<void(uint32_t)> pause)
    : tool_(tool), image_(reinterpret_cast<const char16_t*>(image)), pause_(std::move(pause)) {}

HostCheckSystem::~HostCheckSystem() {
    ClosePort(0);
    ClosePort(1);
}

uint32_t HostCheckSystem::OpenControlAgain() {
    HostChannel second(tool_);
    return second.Open();
}

// Opener 0 is the management program's process; opener 1 a process started
// for the open with the same image.
uint32_t HostCheckSystem::OpenPort(int opener, const std::string& name, uint64_t& processId) {
    ClosePort(opener);
    Opener& open = openers_[opener];
    open.Process = opener == 0 ? tool_ : HkPsCreateProcess(reinterpret_cast<PCWSTR>(image_.c_str()));
    std::u16string path = u"\\\\.\\" + Utf8ToUtf16(name);
    NTSTATUS status;
    {
        HkProcessContext context(open.Process);
        status = HkUserCreateFile(reinterpret_cast<PCWSTR>(path.c_str()), &open.Handle);
    }
    if (!NT_SUCCESS(status)) open.Handle = nullptr;
    processId = reinterpret_cast<uintptr_t>(HkPsProcessId(open.Process));
    if (!open.Handle) ClosePort(opener);
    return static_cast<uint32_t>(status);
}

void HostCheckSystem::ClosePort(int opener) {
    Opener& open = openers_[opener];
    if (open.Handle) {
        HkProcessContext context(open.Process);
        HkUserCloseHandle(open.Handle);
    }
    if (open.Process && open.Process != tool_) HkPsDestroyProcess(open.Process);
    open = Opener();
}

}  // namespace corvessctl
