#include "win_check.h"

#include <cstdio>

#include <dravolux/control.h>

#include "../core/command.h"
#include "../core/status.h"
#include "win_channel.h"
#include "win_text.h"
#include "wine.h"

namespace corvessctl {

namespace {

// How long the holder may take to answer and to go.
const DWORD HolderPatience = 30000;

HANDLE OpenPortFile(const std::string& name) {
    std::wstring path = L"\\\\.\\" + Widen(name);
    return CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                       nullptr);
}

// The holder's first line: "opened", or "failed 0xSTATUS". Empty when it
// ended or said nothing in time.
std::string ReadHolderLine(HANDLE output, HANDLE process) {
    std::string line;
    for (DWORD waited = 0; waited < HolderPatience; waited += 10) {
        DWORD available = 0;
        if (!PeekNamedPipe(output, nullptr, 0, nullptr, &available, nullptr)) return line;
        if (available == 0) {
            if (WaitForSingleObject(process, 10) == WAIT_OBJECT_0 &&
                (!PeekNamedPipe(output, nullptr, 0, nullptr, &available, nullptr) || available == 0))
                return line;
            continue;
        }
        char c = 0;
        DWORD got = 0;
        if (!ReadFile(output, &c, 1, &got, nullptr) || got == 0) return line;
        if (c == '\n') return line;
        if (c != '\r') line += c;
    }
    return line;
}

}  // namespace

WinCheckSystem::~WinCheckSystem() {
    ClosePort(0);
    ClosePort(1);
}

uint32_t WinCheckSystem::OpenControlAgain() {
    WinChannel second;
    return second.Open();
}

std::string WinCheckSystem::ExclusiveOpenCaveat() {
    std::string wine = WineVersion();
    return wine.empty() ? std::string() : "Wine " + wine + " admits a second handle to an exclusive device";
}

uint32_t WinCheckSystem::OpenPort(int opener, const std::string& name, uint64_t& processId) {
    ClosePort(opener);
    if (opener == 1) return StartHolder(name, processId);
    port_ = OpenPortFile(name);
    if (port_ == INVALID_HANDLE_VALUE) return StatusFromWin32(GetLastError());
    processId = GetCurrentProcessId();
    return StatusSuccess;
}

uint32_t WinCheckSystem::StartHolder(const std::string& name, uint64_t& processId) {
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE inputRead = nullptr, outputRead = nullptr, outputWrite = nullptr;
    if (!CreatePipe(&inputRead, &holderInput_, &inherit, 0)) return StatusFromWin32(GetLastError());
    if (!CreatePipe(&outputRead, &outputWrite, &inherit, 0)) {
        DWORD error = GetLastError();
        CloseHandle(inputRead);
        ClosePort(1);
        return StatusFromWin32(error);
    }
    // Only the holder's ends are inherited.
    SetHandleInformation(holderInput_, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(outputRead, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = inputRead;
    startup.hStdOutput = outputWrite;
    startup.hStdError = outputWrite;
    std::wstring command = L"\"" + ProgramPath() + L"\" check --hold " + Widen(name);
    PROCESS_INFORMATION process = {};
    BOOL started = CreateProcessW(nullptr, &command[0], nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr,
                                  &startup, &process);
    DWORD error = GetLastError();
    CloseHandle(inputRead);
    CloseHandle(outputWrite);
    if (!started) {
        CloseHandle(outputRead);
        ClosePort(1);
        return StatusFromWin32(error);
    }
    CloseHandle(process.hThread);
    holder_ = process.hProcess;
    std::string line = ReadHolderLine(outputRead, holder_);
    CloseHandle(outputRead);
    if (line == "opened") {
        processId = process.dwProcessId;
        return StatusSuccess;
    }
    ClosePort(1);
    unsigned status = StatusUnsuccessful;
    std::sscanf(line.c_str(), "failed 0x%x", &status);
    return status;
}

void WinCheckSystem::ClosePort(int opener) {
    if (opener == 0) {
        if (port_ != INVALID_HANDLE_VALUE) CloseHandle(port_);
        port_ = INVALID_HANDLE_VALUE;
        return;
    }
    // The end of its input tells the holder to close the port and go.
    if (holderInput_) CloseHandle(holderInput_);
    holderInput_ = nullptr;
    if (holder_) {
        if (WaitForSingleObject(holder_, HolderPatience) != WAIT_OBJECT_0) TerminateProcess(holder_, 1);
        CloseHandle(holder_);
    }
    holder_ = nullptr;
}

std::u16string WinCheckSystem::OpenerImage(int) {
    std::wstring path = ProgramPath();
    return std::u16string(path.begin(), path.end());
}

bool RunHoldCommand(const std::vector<std::string>& args, std::ostream& out, int& code) {
    if (args.size() != 3 || args[0] != "check" || args[1] != "--hold") return false;
    HANDLE port = OpenPortFile(args[2]);
    if (port == INVALID_HANDLE_VALUE) {
        char line[32];
        std::snprintf(line, sizeof line, "failed 0x%08X", static_cast<unsigned>(StatusFromWin32(GetLastError())));
        out << line << std::endl;
        code = ExitRefused;
        return true;
    }
    out << "opened" << std::endl;
    char buffer[64];
    DWORD got = 0;
    while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof buffer, &got, nullptr) && got) {
    }
    CloseHandle(port);
    code = 0;
    return true;
}

}  // namespace corvessctl
