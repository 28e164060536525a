#include "win_channel.h"

#include <windows.h>
#include <winternl.h>

#include <dravolux/control.h>

#include "../core/status.h"

namespace corvessctl {

namespace {

// ntdll's device-control call gives the driver's own NT status, where
// DeviceIoControl would fold warnings and errors into Win32 codes.
typedef LONG(NTAPI* NtDeviceIoControlFileRoutine)(HANDLE, HANDLE, PVOID, PVOID, PIO_STATUS_BLOCK, ULONG, PVOID,
                                                   ULONG, PVOID, ULONG);

NtDeviceIoControlFileRoutine NtControl() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll ? reinterpret_cast<NtDeviceIoControlFileRoutine>(
                       reinterpret_cast<void*>(GetProcAddress(ntdll, "NtDeviceIoControlFile")))
                 : nullptr;
}

}  // namespace

uint32_t StatusFromWin32(DWORD error) {
    switch (error) {
    case ERROR_FILE_NOT_FOUND: return StatusObjectNameNotFound;
    case ERROR_PATH_NOT_FOUND: return StatusObjectPathNotFound;
    case ERROR_ACCESS_DENIED: return StatusAccessDenied;
    case ERROR_SHARING_VIOLATION: return StatusSharingViolation;
    case ERROR_BUSY: return StatusDeviceBusy;
    case ERROR_NOT_READY: return StatusDeviceNotReady;
    case ERROR_INVALID_PARAMETER: return StatusInvalidParameter;
    case ERROR_INVALID_FUNCTION: return StatusInvalidDeviceRequest;
    case ERROR_INSUFFICIENT_BUFFER: return StatusBufferTooSmall;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_NO_SYSTEM_RESOURCES: return StatusInsufficientResources;
    case ERROR_DELETE_PENDING: return StatusDeletePending;
    case ERROR_BAD_UNIT:
    case ERROR_DEV_NOT_EXIST: return StatusNoSuchDevice;
    default: return StatusUnsuccessful;
    }
}

WinChannel::~WinChannel() { Close(); }

uint32_t WinChannel::Open() {
    Close();
    HANDLE handle = CreateFileW(DRAVOLUX_CONTROL_WIN32_NAME, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return StatusFromWin32(GetLastError());
    Handle = handle;
    return StatusSuccess;
}

uint32_t WinChannel::Control(uint32_t code, const void* input, uint32_t inputLength, void* output,
                             uint32_t outputLength, uint32_t& returned) {
    returned = 0;
    if (!Handle) return StatusInvalidParameter;
    if (NtDeviceIoControlFileRoutine control = NtControl()) {
        IO_STATUS_BLOCK io = {};
        LONG status = control(static_cast<HANDLE>(Handle), nullptr, nullptr, nullptr, &io, code,
                              const_cast<void*>(input), inputLength, output, outputLength);
        returned = static_cast<uint32_t>(io.Information);
        return static_cast<uint32_t>(status);
    }
    DWORD bytes = 0;
    if (!DeviceIoControl(static_cast<HANDLE>(Handle), code, const_cast<void*>(input), inputLength, output,
                         outputLength, &bytes, nullptr))
        return StatusFromWin32(GetLastError());
    returned = bytes;
    return StatusSuccess;
}

void WinChannel::Close() {
    if (Handle) CloseHandle(static_cast<HANDLE>(Handle));
    Handle = nullptr;
}

}  // namespace corvessctl
