#include "simulator.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <sstream>

#include <dravolux/control.h>

#include "core/app.h"
#include "core/status.h"
#include "core/text.h"
#include "hk/clock.h"
#include "hk/io.h"
#include "hk/ob.h"
#include "hk/pool.h"
#include "hk/power.h"
#include "hk/process.h"
#include "hk/registry.h"
#include "hk/user.h"
#include "host/host_channel.h"
#include "host/host_check.h"
#include "legacy_serial.h"
#include "pelmonix.h"
#include "reg_command.h"
#include "script.h"

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

namespace sim {

namespace {

// The PnP manager gets its work done in slices of this many milliseconds.
constexpr uint64_t ClockStep = 10;

PCWSTR W(const std::u16string& text) { return reinterpret_cast<PCWSTR>(text.c_str()); }

std::u16string U16(const std::string& text) { return corvessctl::Utf8ToUtf16(text); }

std::string U8(const std::u16string& text) { return corvessctl::Utf16ToUtf8(text); }

std::string StatusText(NTSTATUS status) { return corvessctl::StatusName(static_cast<uint32_t>(status)); }

// A decimal number no larger than `limit`.
bool ParseNumber(const std::string& text, uint64_t limit, uint64_t& value) {
    if (text.empty() || text[0] == '-') return false;
    errno = 0;
    char* end = nullptr;
    value = std::strtoull(text.c_str(), &end, 10);
    return errno == 0 && *end == 0 && value <= limit;
}

bool ParseMilliseconds(const std::string& text, uint64_t& value) {
    return ParseNumber(text, 24ull * 3600 * 1000, value);
}

// The most lines a repeat block runs in all, and its largest number.
constexpr uint64_t RepeatLimit = 1000000;

// Line text with every "{n}" replaced by the number.
std::string WithNumber(std::string text, uint64_t number) {
    const std::string mark = "{n}";
    const std::string digits = std::to_string(number);
    for (size_t at = text.find(mark); at != std::string::npos; at = text.find(mark, at + digits.size()))
        text.replace(at, mark.size(), digits);
    return text;
}

}  // namespace

Simulator::Simulator(std::ostream& out) : out_(out), capture_(new HkVerifierCapture) {}

Simulator::~Simulator() = default;

void Simulator::Fail(const std::string& why) {
    ++failures_;
    out_ << "FAILED";
    if (lineNumber_) out_ << " (line " << lineNumber_ << ")";
    out_ << ": " << why << "\n";
}

bool Simulator::ReportVerifier() {
    std::vector<HkVerifierReport> reports = capture_->Reports();
    bool clean = reports.size() == verifierSeen_;
    for (size_t i = verifierSeen_; i < reports.size(); ++i) Fail("verifier: " + reports[i].Text);
    verifierSeen_ = reports.size();
    return clean;
}

bool Simulator::Boot() {
    baseLinks_ = HkObListLinks(L"\\GLOBAL??");
    out_ << "booting: legacy serial port COM3 -> \\Device\\Serial2\n";
    UNICODE_STRING serialKey;
    RtlInitUnicodeString(&serialKey, L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Serial");
    NTSTATUS status = HkIoCreateDriver(L"Serial", LegacySerialEntry, &serialKey, &serial_);
    if (!NT_SUCCESS(status)) {
        Fail("the legacy serial driver did not load (" + StatusText(status) + ")");
        return false;
    }
    HkPnpRegisterDriverImage(L"dravolux", DriverEntry);
    HkPnpRegisterDriverImage(PELMONIX_SERVICE_NAME, PelmonixEntry);
    tool_ = HkPsCreateProcess(SIM_TOOL_IMAGE);
    status = HkPnpInstallRootDevice(L"DRAVOLUX", L"dravolux", &bus_);
    if (!NT_SUCCESS(status)) {
        Fail("the dravolux bus did not start (" + StatusText(status) + ")");
        return false;
    }
    HkPnpRunPending();
    out_ << "bus started: " << HkPnpInstancePathUtf8(bus_) << "\n";
    booted_ = true;
    return ReportVerifier();
}

bool Simulator::RunLine(const std::string& text) {
    ++lineNumber_;
    ScriptLine line = ParseScriptLine(text);
    bool isEnd = line.Error.empty() && line.Words.size() == 1 && line.Words[0] == "end" && !line.ExpectFailure;
    if (repeat_ && !isEnd) {
        if (!line.Words.empty() && line.Words[0] == "repeat") {
            Fail("repeat blocks do not nest");
            return false;
        }
        repeat_->Body.emplace_back(lineNumber_, text);
        return true;
    }
    if (isEnd) {
        if (repeat_) return RunRepeat();
        Fail("end without repeat");
        return false;
    }
    if (!line.Error.empty()) {
        Fail(line.Error);
        return false;
    }
    if (line.Words.empty()) return true;
    if (line.Words[0] == "repeat") return StartRepeat(line);
    out_ << "> " << (line.ExpectFailure ? "! " : "") << JoinWords(line.Words) << "\n";
    Outcome outcome = Execute(line.Words);
    bool asExpected = outcome.Ok != line.ExpectFailure;
    if (!asExpected)
        Fail(outcome.Ok ? "expected to fail, but it succeeded" : outcome.Why);
    else if (!outcome.Ok)
        out_ << "failed as expected: " << outcome.Why << "\n";
    bool clean = ReportVerifier();
    return asExpected && clean;
}

void Simulator::RunScript(std::istream& in) {
    std::string text;
    while (std::getline(in, text)) RunLine(text);
}

// repeat COUNT [FIRST]: the lines up to "end" run COUNT times.
bool Simulator::StartRepeat(const ScriptLine& line) {
    uint64_t count = 0;
    uint64_t first = 1;
    const std::vector<std::string>& words = line.Words;
    bool usable = !line.ExpectFailure && (words.size() == 2 || words.size() == 3) &&
                  ParseNumber(words[1], RepeatLimit, count) &&
                  (words.size() == 2 || ParseNumber(words[2], RepeatLimit, first));
    if (!usable) {
        Fail("usage: repeat COUNT [FIRST], then the lines to repeat, then end");
        return false;
    }
    out_ << "> " << JoinWords(words) << "\n";
    repeat_.reset(new RepeatBlock{count, first, {}});
    return true;
}

// Runs the block; the first line that does not go as expected ends it.
bool Simulator::RunRepeat() {
    std::unique_ptr<RepeatBlock> block = std::move(repeat_);
    int endLine = lineNumber_;
    bool ok = true;
    if (block->Count * block->Body.size() > RepeatLimit) {
        Fail("a repeat block runs at most " + std::to_string(RepeatLimit) + " lines");
        ok = false;
    }
    for (uint64_t i = 0; ok && i < block->Count; ++i) {
        for (const auto& entry : block->Body) {
            lineNumber_ = entry.first - 1;
            if (!RunLine(WithNumber(entry.second, block->First + i))) {
                ok = false;
                break;
            }
        }
    }
    lineNumber_ = endLine;
    out_ << "> end\n";
    return ok;
}

Simulator::Outcome Simulator::Execute(const std::vector<std::string>& words) {
    const std::string& verb = words[0];
    if (!booted_) return {false, "the machine is not running"};
    if (verb == "corvessctl") return Corvessctl(words);
    if (verb == "open") return Open(words);
    if (verb == "close") return Close(words);
    if (verb == "wait") return Wait(words);
    if (verb == "reg") return Reg(words);
    if (verb == "show") return Show(words);
    if (verb == "expect") return Expect(words);
    if (words.size() == 1 && (verb == "unplug" || verb == "sleep" || verb == "wake" || verb == "disable" ||
                              verb == "enable"))
        return BusRequest(verb);
    return {false, "unknown command '" + verb + "'"};
}

Simulator::Outcome Simulator::Corvessctl(const std::vector<std::string>& words) {
    std::vector<std::string> args(words.begin() + 1, words.end());
    corvessctl::HostChannel channel(tool_);
    corvessctl::HostCheckSystem checks(tool_, SIM_TOOL_IMAGE, [this](uint32_t milliseconds) { RunClock(milliseconds); });
    std::ostringstream out, err;
    int exit = corvessctl::Run(args, channel, out, err, nullptr, &checks);
    out_ << out.str();
    std::string why = err.str();
    while (!why.empty() && why.back() == '\n') why.pop_back();
    if (exit == corvessctl::ExitOk) return {true, ""};
    return {false, why + " (exit status " + std::to_string(exit) + ")"};
}

Simulator::Outcome Simulator::Open(const std::vector<std::string>& words) {
    if (words.size() != 4) return {false, "usage: open HANDLE NAME IMAGE"};
    const std::string& name = words[1];
    if (handles_.count(name)) return {false, "handle " + name + " is already open"};
    std::u16string path = u"\\\\.\\" + U16(words[2]);
    OpenHandle open = {HkPsCreateProcess(W(U16(words[3]))), nullptr};
    NTSTATUS status;
    {
        HkProcessContext context(open.Process);
        status = HkUserCreateFile(W(path), &open.Handle);
    }
    out_ << "open " << name << ": " << words[2] << " by " << words[3] << " (pid "
         << reinterpret_cast<uintptr_t>(HkPsProcessId(open.Process)) << "): " << StatusText(status) << "\n";
    if (!NT_SUCCESS(status)) {
        HkPsDestroyProcess(open.Process);
        return {false, "open " + words[2] + ": " + StatusText(status)};
    }
    handles_[name] = open;
    return {true, ""};
}

void Simulator::CloseHandleOf(OpenHandle& open) {
    {
        HkProcessContext context(open.Process);
        HkUserCloseHandle(open.Handle);
    }
    HkPsDestroyProcess(open.Process);
}

Simulator::Outcome Simulator::Close(const std::vector<std::string>& words) {
    if (words.size() != 2) return {false, "usage: close HANDLE"};
    auto found = handles_.find(words[1]);
    if (found == handles_.end()) return {false, "no open handle named " + words[1]};
    CloseHandleOf(found->second);
    handles_.erase(found);
    return {true, ""};
}

void Simulator::RunClock(uint64_t milliseconds) {
    HkPnpRunPending();
    for (uint64_t passed = 0; passed < milliseconds; passed += ClockStep) {
        HkClockAdvance(milliseconds - passed < ClockStep ? milliseconds - passed : ClockStep);
        HkPnpRunPending();
    }
}

Simulator::Outcome Simulator::Wait(const std::vector<std::string>& words) {
    uint64_t milliseconds = 0;
    if (words.size() != 2 || !ParseMilliseconds(words[1], milliseconds)) return {false, "usage: wait MILLISECONDS"};
    RunClock(milliseconds);
    return {true, ""};
}

Simulator::Outcome Simulator::Reg(const std::vector<std::string>& words) {
    RegCommand command;
    std::string error;
    if (!ParseRegCommand(std::vector<std::string>(words.begin() + 1, words.end()), command, error))
        return {false, error};
    NTSTATUS status = STATUS_SUCCESS;
    switch (command.Verb) {
    case RegVerb::Add:
        status = command.HasValue ? HkRegSetValue(W(command.KeyPath), W(command.ValueName), command.Type,
                                                  command.Data.data(), static_cast<ULONG>(command.Data.size()))
                                  : HkRegCreateKey(W(command.KeyPath));
        break;
    case RegVerb::Delete:
        status = command.HasValue ? HkRegDeleteValue(W(command.KeyPath), W(command.ValueName))
                                  : HkRegDeleteKey(W(command.KeyPath));
        break;
    case RegVerb::Query:
        if (!HkRegKeyExists(W(command.KeyPath))) {
            status = STATUS_OBJECT_NAME_NOT_FOUND;
            break;
        }
        out_ << HkRegExport(W(command.KeyPath));
        break;
    }
    if (!NT_SUCCESS(status)) return {false, "reg " + words[1] + " " + words[2] + ": " + StatusText(status)};
    if (command.Verb != RegVerb::Query) out_ << "The operation completed successfully.\n";
    return {true, ""};
}

Simulator::Outcome Simulator::Show(const std::vector<std::string>& words) {
    if (words.size() == 2 && words[1] == "devices") {
        out_ << HkPnpDumpTree();
        return {true, ""};
    }
    if (words.size() == 2 && words[1] == "links") {
        for (const auto& link : HkObListLinks(L"\\GLOBAL??"))
            out_ << "  " << U8(link.first) << " -> " << U8(link.second) << "\n";
        for (const auto& link : HkObListLocalDosLinks())
            out_ << "  " << U8(link.first) << " -> " << U8(link.second) << " (local to a session)\n";
        return {true, ""};
    }
    if (words.size() == 3 && words[1] == "registry") {
        std::u16string path;
        if (!RegKeyToNtPath(words[2], path)) return {false, "show registry: the key must start with HKLM\\"};
        if (!HkRegKeyExists(W(path))) return {false, "show registry: no key " + words[2]};
        out_ << HkRegExport(W(path));
        return {true, ""};
    }
    return {false, "usage: show devices | show links | show registry KEY"};
}

// expect link NAME TARGET | expect link NAME none
Simulator::Outcome Simulator::Expect(const std::vector<std::string>& words) {
    if (words.size() == 4 && words[1] == "link") {
        std::u16string target;
        bool found = HkObQueryLinkTarget(W(u"\\GLOBAL??\\" + U16(words[2])), &target);
        std::string actual = found ? U8(target) : "none";
        if (actual == words[3]) return {true, ""};
        return {false, "link " + words[2] + " leads to " + actual + ", not " + words[3]};
    }
    return {false, "usage: expect link NAME TARGET|none"};
}

Simulator::Outcome Simulator::BusRequest(const std::string& verb) {
    NTSTATUS status;
    if (verb == "sleep") status = HkPoSleep(PowerSystemSleeping3);
    else if (verb == "wake") status = HkPoWake();
    else if (verb == "unplug") status = HkPnpSurpriseRemove(bus_);
    else if (verb == "disable") status = HkPnpQueryRemoveAndRemove(bus_);
    else status = HkPnpEnable(bus_);
    HkPnpRunPending();
    out_ << verb << ": " << StatusText(status) << "\n";
    if (!NT_SUCCESS(status)) return {false, verb + ": " + StatusText(status)};
    return {true, ""};
}

int Simulator::Finish() {
    lineNumber_ = 0;
    if (repeat_) Fail("repeat without end");
    repeat_.reset();
    out_ << "shutting down\n";
    for (auto& entry : handles_) CloseHandleOf(entry.second);
    handles_.clear();
    RunClock(1000);
    NTSTATUS status = HkPnpShutdownTree();
    if (!NT_SUCCESS(status)) Fail("removing the bus: " + StatusText(status));
    RunClock(1000);
    if (serial_) HkIoUnloadDriver(serial_);
    serial_ = nullptr;
    if (tool_) HkPsDestroyProcess(tool_);
    tool_ = nullptr;
    ReportVerifier();

    HkPoolUsage pool = HkPoolOutstanding();
    if (pool.Blocks) {
        HkPoolReportLeaks();
        Fail("left over: " + std::to_string(pool.Blocks) + " pool blocks (" + std::to_string(pool.Bytes) + " bytes)");
    }
    for (const auto& link : HkObListLinks(L"\\GLOBAL??"))
        if (std::find(baseLinks_.begin(), baseLinks_.end(), link) == baseLinks_.end())
            Fail("left over: DOS link " + U8(link.first) + " -> " + U8(link.second));
    for (const auto& link : HkObListLocalDosLinks())
        Fail("left over: DOS link " + U8(link.first) + " -> " + U8(link.second) + " (local to a session)");
    size_t devices = HkIoLiveDeviceCount();
    if (devices) Fail("left over: " + std::to_string(devices) + " device objects");
    size_t handles = HkObReportLeakedHandles();
    if (handles) Fail("left over: " + std::to_string(handles) + " handles");
    out_ << (failures_ ? std::to_string(failures_) + " failure(s)\n" : "all good\n");
    return failures_ ? 1 : 0;
}

int RunSimulator(std::istream& in, std::ostream& out) {
    Simulator simulator(out);
    if (simulator.Boot()) simulator.RunScript(in);
    return simulator.Finish();
}

}  // namespace sim
