// Low resources: every injectable operation of a scenario fails in turn, one
// per run, each run on a fresh machine. Whatever fails, the driver answers
// with a status, its records stay consistent, COM3 keeps a sensible target
// and nothing is left behind when the machine shuts down.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "hk/fault.h"
#include "reliability/machine.h"

namespace reliability {

std::string ExampleScript(const char* name)
{
    std::ifstream file(std::string(DRAVOLUX_SOURCE_DIR "/examples/") + name);
    EXPECT_TRUE(file) << name;
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

namespace {

// Fails each operation of each category once, one run each; returns the
// number of injection points covered.
ULONG FailEveryOperation(const char* name, const std::string& script)
{
    ULONG counts[(int)HkFault::Count] = {};
    ScenarioOutcome clean = RunScenario(script, [] {}, counts);
    EXPECT_EQ(clean.Exit, 0) << clean.Output;
    for (const std::string& problem : clean.Problems) {
        ADD_FAILURE() << "clean run: " << problem;
    }

    ULONG points = 0;
    std::vector<std::string> failures;
    std::string firstOutput;
    for (int c = 0; c < (int)HkFault::Count; c++) {
        HkFault category = (HkFault)c;
        for (ULONG n = 1; n <= counts[c]; n++) {
            ScenarioOutcome run = RunScenario(script, [&] { HkFaultFailNth(category, n); });
            points++;
            if (!run.Problems.empty()) {
                failures.push_back(std::string(HkFaultName(category)) + " #" + std::to_string(n) + ": " +
                                   run.Problems.front());
                if (failures.size() == 1) {
                    firstOutput = run.Output;
                }
            }
        }
    }
    if (!failures.empty()) {
        std::string all;
        for (const std::string& failure : failures) {
            all += "  " + failure + "\n";
        }
        ADD_FAILURE() << name << ": " << failures.size() << " injection points end badly:\n"
                      << all << "first of them:\n" << firstOutput;
    }
    std::printf("[ low resources ] %s: %u injection points covered, one run each\n", name, points);

    for (int c = 0; c < (int)HkFault::Count; c++) {
        if (counts[c]) {
            std::printf("[ low resources ]   %-20s %u\n", HkFaultName((HkFault)c), counts[c]);
        }
    }
    return points;
}

}  // namespace

TEST(LowResources, CreateManagedPort)
{
    FailEveryOperation("create", "corvessctl create COM3\nwait 500\ncorvessctl list\n");
}

TEST(LowResources, OpenAndCloseFromTwoProcesses)
{
    FailEveryOperation("open-close",
                       "corvessctl create COM3\nwait 500\n"
                       "open a COM3 C:\\Tools\\a.exe\nwait 500\n"
                       "open b COM3 C:\\Tools\\b.exe\nwait 500\n"
                       "corvessctl list\n"
                       "close a\nclose b\nwait 500\n");
}

TEST(LowResources, RemovePort)
{
    FailEveryOperation("remove", "corvessctl create COM3\nwait 500\ncorvessctl remove COM3\nwait 500\n");
}

TEST(LowResources, SleepWakeDisableEnable)
{
    FailEveryOperation("power",
                       "corvessctl create COM3\nwait 500\nopen a COM3 C:\\a.exe\nwait 500\n"
                       "sleep\nwake\nclose a\nwait 500\ndisable\nenable\nwait 500\ncorvessctl list\n");
}

TEST(LowResources, ExampleSurprise) { FailEveryOperation("surprise.scn", ExampleScript("surprise.scn")); }
// Surprise removal once the ports are enumerated and open.
TEST(LowResources, SurpriseRemovalWithPortsOpen)
{
    FailEveryOperation("surprise-open",
                       "corvessctl create COM3\nwait 500\nopen a COM3 C:\\a.exe\nwait 500\n"
                       "open b COM3 C:\\b.exe\nwait 500\nunplug\nwait 500\nclose a\nclose b\nwait 500\n");
}
TEST(LowResources, ExampleSharing) { FailEveryOperation("sharing.scn", ExampleScript("sharing.scn")); }
TEST(LowResources, ExamplePermissions) { FailEveryOperation("permissions.scn", ExampleScript("permissions.scn")); }
TEST(LowResources, ExampleRemoveRefused)
{
    FailEveryOperation("remove-refused.scn", ExampleScript("remove-refused.scn"));
}

}  // namespace reliability
