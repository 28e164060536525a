// COM3 stays a global DOS name. The management program and the applications
// run in users' logon sessions, each with a local DosDevices directory, and
// the driver's control requests and opens run in their threads; whatever
// the driver deletes or gives back must be the global name, and nothing may
// land in a session's local directory.
#include "standin_machine.h"

using namespace standin_test;

namespace {

enum class Com3 {
    Legacy,          // \Device\Serial2
    Client,          // a stand-in port device
    Absent,          // between an open and the next client
    ClientOrAbsent,  // a client that may lack its configuration
};

const char* const kCom3Names[] = {"legacy", "client", "absent", "client or absent"};

class DosNames : public StandinMachine {
protected:
    // COM3 is what the step expects, in \GLOBAL??, and every session sees
    // that same global name: no local directory holds a DOS name.
    void ExpectGlobalCom3(const std::string& step, Com3 expected) {
        for (const auto& link : HkObListLocalDosLinks()) {
            ADD_FAILURE() << step << ": local DOS name " << std::string(link.first.begin(), link.first.end());
        }
        std::u16string global = Com3Target();
        bool ok = expected == Com3::Legacy   ? global == u"\\Device\\Serial2"
                  : expected == Com3::Client ? IsPelmonixDevice(global)
                  : expected == Com3::Absent ? global.empty()
                                             : global.empty() || IsPelmonixDevice(global);
        EXPECT_TRUE(ok) << step << ": COM3 is " << std::string(global.begin(), global.end()) << ", expected "
                        << kCom3Names[static_cast<int>(expected)];
        std::u16string seen;
        HkProcessContext context(tool_);
        EXPECT_EQ(HkObQueryLinkTarget(L"\\??\\COM3", &seen) ? seen : std::u16string(), global) << step;
    }

    void Reboot() {
        TearDown();
        SetUp();
    }
};

TEST_F(DosNames, Com3StaysGlobalThroughCreateOpenCloseAndRemove) {
    struct Step {
        const char* What;
        std::function<void()> Run;
        Com3 Expected;
    };
    const Step steps[] = {
        {"boot", [] {}, Com3::Legacy},
        {"create", [&] { ManageCom3(); }, Com3::Client},
        {"open", [&] { EXPECT_EQ(OpenCom3(L"C:\\Tools\\terminal.exe"), STATUS_SUCCESS); }, Com3::Absent},
        {"next client", [&] { RunFor(500); }, Com3::Client},
        {"second open", [&] { EXPECT_EQ(OpenCom3(L"C:\\Tools\\logger.exe"), STATUS_SUCCESS); RunFor(500); },
         Com3::Client},
        {"close", [&] { CloseAll(); RunFor(500); }, Com3::Client},
        {"remove", [&] {
             EXPECT_EQ(PortRequest(dravolux::IoctlRemovePort, u"COM3"), STATUS_SUCCESS);
             RunFor(500);
         }, Com3::Legacy},
        {"create again", [&] { ManageCom3(); }, Com3::Client},
        {"remove all", [&] {
             EXPECT_EQ(Control(dravolux::IoctlRemoveAllPorts, nullptr, 0, nullptr, 0, nullptr), STATUS_SUCCESS);
             RunFor(500);
         }, Com3::Legacy},
        // Ports the PnP manager never heard of go at once, from the
        // management program's thread.
        {"remove all before the rescan", [&] {
             ASSERT_EQ(PortRequest(dravolux::IoctlCreatePort, u"COM3"), STATUS_SUCCESS);
             EXPECT_EQ(Control(dravolux::IoctlRemoveAllPorts, nullptr, 0, nullptr, 0, nullptr), STATUS_SUCCESS);
         }, Com3::Legacy},
    };
    for (const Step& step : steps) {
        step.Run();
        ExpectGlobalCom3(step.What, step.Expected);
    }
}

// Every operation that can fail while CreatePort runs in the management
// program's thread, failed one at a time: a refused create leaves the global
// link to the legacy port as it was, a create that goes on despite the
// failure hands the name to a client, and removal gives it back globally.
TEST_F(DosNames, EveryFailurePathOfCreateLeavesCom3Global) {
    const HkFault categories[] = {HkFault::Pool,         HkFault::DeviceCreate,      HkFault::SymbolicLinkOpen,
                                  HkFault::SymbolicLinkQuery, HkFault::SymbolicLinkCreate, HkFault::RegistryCreateKey,
                                  HkFault::RegistryOpenKey,   HkFault::RegistryWrite,      HkFault::IrpAllocate};
    HkFaultReset();
    ASSERT_EQ(PortRequest(dravolux::IoctlCreatePort, u"COM3"), STATUS_SUCCESS);
    ULONG counts[sizeof(categories) / sizeof(categories[0])];
    for (size_t c = 0; c < sizeof(categories) / sizeof(categories[0]); ++c) counts[c] = HkFaultCount(categories[c]);
    ULONG refused = 0;
    for (size_t c = 0; c < sizeof(categories) / sizeof(categories[0]); ++c) {
        for (ULONG n = 1; n <= counts[c]; ++n) {
            Reboot();
            std::string step = std::string(HkFaultName(categories[c])) + " #" + std::to_string(n);
            HkFaultFailNth(categories[c], n);
            NTSTATUS status = PortRequest(dravolux::IoctlCreatePort, u"COM3");
            HkFaultReset();
            if (!NT_SUCCESS(status)) {
                ++refused;
                ExpectGlobalCom3(step + " refused", Com3::Legacy);
                EXPECT_TRUE(List().empty()) << step;
                continue;
            }
            RunFor(500);
            ExpectGlobalCom3(step + " created", Com3::ClientOrAbsent);
            EXPECT_EQ(Control(dravolux::IoctlRemoveAllPorts, nullptr, 0, nullptr, 0, nullptr), STATUS_SUCCESS);
            RunFor(500);
            ExpectGlobalCom3(step + " removed", Com3::Legacy);
        }
    }
    EXPECT_GT(refused, 5u);
}

}  // namespace
