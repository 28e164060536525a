// dravolux-sim end to end: scenario lines against the host machine.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "hk/fault.h"
#include "hk/reset.h"
#include "simulator.h"

namespace {

struct SimRun {
    int Exit;
    std::string Out;
};

SimRun Simulate(const std::string& scenario) {
    HkReset();
    std::istringstream in(scenario);
    std::ostringstream out;
    int exit = sim::RunSimulator(in, out);
    return {exit, out.str()};
}

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Runs a scenario that must pass, and looks for each part in its report.
SimRun Passes(const std::string& scenario, std::initializer_list<const char*> parts) {
    SimRun run = Simulate(scenario);
    EXPECT_EQ(run.Exit, 0) << run.Out;
    EXPECT_TRUE(Has(run.Out, "all good")) << run.Out;
    for (const char* part : parts) EXPECT_TRUE(Has(run.Out, part)) << part << "\n" << run.Out;
    return run;
}

std::string ExampleDir() {
    return DRAVOLUX_SOURCE_DIR "/examples/";
}

}  // namespace

TEST(SimulatorRun, SharedPortRoundTrip) {
    Passes(
        "corvessctl create COM3\n"
        "wait 500\n"
        "open a COM3 \"C:\\Tools\\terminal.exe\"\n"
        "wait 500\n"
        "open b COM3 C:\\Tools\\logger.exe\n"
        "corvessctl list\n"
        "! corvessctl remove COM3   # in use\n"
        "close a\n"
        "close b\n"
        "wait 500\n"
        "corvessctl remove COM3\n"
        "wait 500\n"
        "expect link COM3 \\Device\\Serial2\n",
        {"created COM3", "C:\\Tools\\terminal.exe",
         "failed as expected: corvessctl: remove COM3: the port is in use (STATUS_DEVICE_BUSY)"});
}

TEST(SimulatorRun, UnexpectedOutcomesFailTheRun) {
    SimRun refused = Simulate("corvessctl remove COM3\n");
    EXPECT_NE(refused.Exit, 0);
    EXPECT_TRUE(Has(refused.Out, "FAILED (line 1): corvessctl: remove COM3: no port is managed")) << refused.Out;

    SimRun succeeded = Simulate("! corvessctl list\n");
    EXPECT_NE(succeeded.Exit, 0);
    EXPECT_TRUE(Has(succeeded.Out, "expected to fail, but it succeeded")) << succeeded.Out;

    SimRun unknown = Simulate("frobnicate\nwait soon\nclose nothing\n");
    EXPECT_NE(unknown.Exit, 0);
    EXPECT_TRUE(Has(unknown.Out, "unknown command 'frobnicate'")) << unknown.Out;
    EXPECT_TRUE(Has(unknown.Out, "usage: wait MILLISECONDS")) << unknown.Out;
    EXPECT_TRUE(Has(unknown.Out, "no open handle named nothing")) << unknown.Out;
}

TEST(SimulatorRun, LegacyPortBeforeTakeover) {
    Passes(
        "expect link COM3 \\Device\\Serial2\n"
        "open a COM3 C:\\a.exe\n"
        "! open b COM3 C:\\b.exe   # the legacy port is exclusive\n"
        "! open a COM4 C:\\a.exe   # handle name taken\n"
        "! open c COM9 C:\\c.exe   # no such port\n"
        "close a\n"
        "show links\n",
        {"COM3 -> \\Device\\Serial2"});
}

TEST(SimulatorRun, RegistryCommands) {
    Passes(
        "reg add \"HKLM\\Software\\ZARVIK Software\\CorvessSerialPorts\\COM3\\Permissions\" /v C:\\t.exe /t "
        "REG_DWORD /d 5\n"
        "reg query \"HKLM\\Software\\ZARVIK Software\\CorvessSerialPorts\\COM3\\Permissions\"\n"
        "reg delete \"HKLM\\Software\\ZARVIK Software\\CorvessSerialPorts\\COM3\\Permissions\" /v C:\\t.exe\n"
        "! reg delete \"HKLM\\Software\\ZARVIK Software\\CorvessSerialPorts\\COM3\\Permissions\" /v C:\\t.exe\n"
        "show registry \"HKLM\\Software\\ZARVIK Software\"\n"
        "! reg query HKLM\\Software\\Nowhere\n",
        {"dword:00000005"});
}

TEST(SimulatorRun, HandlesLeftOpenAreClosedAtTheEnd) {
    Passes(
        "corvessctl create COM3\n"
        "wait 500\n"
        "open a COM3 C:\\a.exe\n"
        "wait 500\n",
        {});
}

TEST(SimulatorRun, BusSleepsWakesAndIsDisabledAndEnabled) {
    SimRun run = Passes(
        "corvessctl create COM3\n"
        "wait 500\n"
        "show devices\n"
        "sleep\n"
        "wake\n"
        "open a COM3 C:\\a.exe\n"
        "wait 500\n"
        "! disable              # a port is open\n"
        "close a\n"
        "wait 500\n"
        "disable\n"
        "! corvessctl list      # no control device while disabled\n"
        "enable\n"
        "wait 500\n"
        "corvessctl list\n"
        "expect link COM3 \\Device\\Serial2\n",
        {"service=pelmonix", "no port devices"});
    EXPECT_TRUE(Has(run.Out, "[Disabled]") || Has(run.Out, "disable: STATUS_SUCCESS")) << run.Out;
}

TEST(SimulatorRun, RepeatRunsItsLinesWithTheRoundNumber) {
    SimRun run = Passes(
        "corvessctl create COM3\n"
        "wait 500\n"
        "repeat 3 7\n"
        "open app{n} COM3 C:\\Apps\\app{n}.exe   # {n}: 7, 8, 9\n"
        "wait 250\n"
        "end\n"
        "repeat 3 7\n"
        "close app{n}\n"
        "end\n"
        "repeat 0\n"
        "frobnicate\n"
        "end\n",
        {"open app7: COM3 by C:\\Apps\\app7.exe", "open app9: COM3 by C:\\Apps\\app9.exe", "> close app8"});
    EXPECT_FALSE(Has(run.Out, "app10")) << run.Out;
    EXPECT_FALSE(Has(run.Out, "frobnicate")) << run.Out;
}

TEST(SimulatorRun, RepeatMistakesSayWhere) {
    struct Case {
        const char* Scenario;
        const char* Report;
    } cases[] = {
        {"repeat 2\nclose a{n}\nend\n", "FAILED (line 2): no open handle named a1"},
        {"repeat 2\nrepeat 2\nend\nend\n", "FAILED (line 2): repeat blocks do not nest"},
        {"end\n", "FAILED (line 1): end without repeat"},
        {"repeat 2\nwait 10\n", "FAILED: repeat without end"},
        {"repeat two\nend\n", "FAILED (line 1): usage: repeat COUNT [FIRST]"},
        {"! repeat 2\nend\n", "FAILED (line 1): usage: repeat COUNT [FIRST]"},
        {"repeat 1000000 1\nwait 0\nwait 0\nend\n", "FAILED (line 4): a repeat block runs at most 1000000 lines"},
    };
    for (const Case& c : cases) {
        SimRun run = Simulate(c.Scenario);
        EXPECT_NE(run.Exit, 0) << c.Scenario;
        EXPECT_TRUE(Has(run.Out, c.Report)) << c.Scenario << "\n" << run.Out;
    }
    // The first failing round ends the block.
    SimRun stopped = Simulate("repeat 5\nclose a{n}\nend\n");
    EXPECT_FALSE(Has(stopped.Out, "a2")) << stopped.Out;
}

TEST(SimulatorRun, MachineThatCannotBootFailsCleanly) {
    HkReset();
    HkFaultFailNth(HkFault::DeviceCreate, 1);  // the legacy serial device
    std::istringstream in("corvessctl list\n");
    std::ostringstream out;
    EXPECT_NE(sim::RunSimulator(in, out), 0);
    EXPECT_TRUE(Has(out.str(), "the legacy serial driver did not load")) << out.str();
    EXPECT_FALSE(Has(out.str(), "left over")) << out.str();
}

void RunExample(const char* name) {
    std::ifstream file(ExampleDir() + name);
    ASSERT_TRUE(file) << name;
    std::stringstream text;
    text << file.rdbuf();
    Passes(text.str(), {});
}

TEST(SimulatorExamples, Sharing) { RunExample("sharing.scn"); }
TEST(SimulatorExamples, RemoveRefused) { RunExample("remove-refused.scn"); }
TEST(SimulatorExamples, Permissions) { RunExample("permissions.scn"); }
TEST(SimulatorExamples, Surprise) { RunExample("surprise.scn"); }
TEST(SimulatorExamples, Scale) { RunExample("scale.scn"); }

TEST(SimulatorCheck, PassesOnTheBusAndLeavesNothing) {
    SimRun run = Passes("corvessctl check COM7\n",
                        {" passed, 0 failed\n",
                         "ok    a second open of the control device is refused (STATUS_ACCESS_DENIED)",
                         "ok    \\\\.\\COM7 answers STATUS_OBJECT_NAME_NOT_FOUND again, as before"});
    EXPECT_FALSE(Has(run.Out, "skip")) << run.Out;
}

TEST(SimulatorCheck, LeavesABusWithPortsAlone) {
    SimRun run = Passes(
        "corvessctl create COM3\n"
        "wait 500\n"
        "! corvessctl check\n"
        "corvessctl remove COM3\n"
        "wait 500\n"
        "expect link COM3 \\Device\\Serial2\n",
        {"FAIL  the bus manages no port: 2 port devices listed"});
    EXPECT_FALSE(Has(run.Out, "ok    CreatePort")) << run.Out;
}
