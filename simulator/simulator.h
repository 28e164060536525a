// dravolux-sim: a host machine with a legacy serial port (COM3), the bus
// driver as a root device, the stand-in function driver on its port
// devices and the management program, driven by scenario lines.
#pragma once

#include <cstdint>
#include <istream>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include <ntddk.h>

#include "hk/pnp.h"
#include "hk/verifier.h"
#include "script.h"

namespace sim {

// Image path of the process that runs the management program.
#define SIM_TOOL_IMAGE L"C:\\Program Files\\ZARVIK\\corvessctl.exe"

class Simulator {
public:
    explicit Simulator(std::ostream& out);
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // Starts the machine; false when it cannot run scenarios.
    bool Boot();

    // Runs one scenario line; true when it went as the line expected.
    bool RunLine(const std::string& text);

    // Runs every line of a scenario.
    void RunScript(std::istream& in);

    // Closes what the scenario left open, removes the bus, unloads the
    // drivers and reports anything left over. Returns the exit status:
    // 0 when every line went as expected and nothing was left.
    int Finish();

    int Failures() const { return failures_; }

private:
    struct Outcome {
        bool Ok;
        std::string Why;  // for a failure
    };
    struct OpenHandle {
        PEPROCESS Process;
        HANDLE Handle;
    };
    // The lines between "repeat COUNT [FIRST]" and "end", with their line
    // numbers; "{n}" in them runs from FIRST to FIRST + COUNT - 1.
    struct RepeatBlock {
        uint64_t Count;
        uint64_t First;
        std::vector<std::pair<int, std::string>> Body;
    };

    Outcome Execute(const std::vector<std::string>& words);
    bool StartRepeat(const ScriptLine& line);
    bool RunRepeat();
    Outcome Corvessctl(const std::vector<std::string>& words);
    Outcome Open(const std::vector<std::string>& words);
    Outcome Close(const std::vector<std::string>& words);
    Outcome Wait(const std::vector<std::string>& words);
    Outcome Reg(const std::vector<std::string>& words);
    Outcome Show(const std::vector<std::string>& words);
    Outcome Expect(const std::vector<std::string>& words);
    Outcome BusRequest(const std::string& verb);

    // Lets the clock run by `milliseconds`, serving plug-and-play work.
    void RunClock(uint64_t milliseconds);
    void CloseHandleOf(OpenHandle& open);
    // Verifier reports that arrived since the last look; each is a failure.
    bool ReportVerifier();
    void Fail(const std::string& why);

    std::ostream& out_;
    std::unique_ptr<HkVerifierCapture> capture_;
    size_t verifierSeen_ = 0;
    HkDeviceNode* bus_ = nullptr;
    PDRIVER_OBJECT serial_ = nullptr;
    PEPROCESS tool_ = nullptr;
    std::map<std::string, OpenHandle> handles_;
    std::unique_ptr<RepeatBlock> repeat_;  // while its lines are read
    std::vector<std::pair<std::u16string, std::u16string>> baseLinks_;  // before boot
    int failures_ = 0;
    int lineNumber_ = 0;
    bool booted_ = false;
};

// The whole program: scenario from `in`, report to `out`; the exit status.
int RunSimulator(std::istream& in, std::ostream& out);

}  // namespace sim
