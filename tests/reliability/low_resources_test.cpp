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

// The status the first corvessctl command a failure hits gets back, per
// category; the other categories fail no command. A remove may instead
// find a port device that could not start.
const std::pair<HkFault, const char*> FailureStatuses[] = {
    {HkFault::Pool, "STATUS_INSUFFICIENT_RESOURCES"},
    {HkFault::DeviceCreate, "STATUS_INSUFFICIENT_RESOURCES"},
    {HkFault::IrpAllocate, "STATUS_INSUFFICIENT_RESOURCES"},
    {HkFault::SymbolicLinkQuery, "STATUS_INSUFFICIENT_RESOURCES"},
    {HkFault::SymbolicLinkOpen, "STATUS_INVALID_PARAMETER"},
};

bool ExpectedStatus(const std::string& verb, HkFault category, const std::string& status)
{
    for (const auto& [failing, expected] : FailureStatuses) {
        if (category == failing && status == expected) {
            return true;
        }
    }
    return verb == "remove" && status == "STATUS_DEVICE_NOT_READY";
}

// Where a run's output first leaves the clean run's, when that line is a
// corvessctl command that reached the driver and failed: its verb and the
// status it got. Later failures may follow from that one.
bool FirstNewControlStatus(const std::string& clean, const std::string& run, std::string* verb, std::string* status)
{
    std::istringstream cleanLines(clean), runLines(run);
    std::string cleanLine, line;
    while (std::getline(runLines, line)) {
        if (std::getline(cleanLines, cleanLine) && cleanLine == line) {
            continue;
        }
        // "corvessctl: VERB ...: WORDS (STATUS) (exit status N)"
        size_t at = line.find("corvessctl: ");
        size_t exit = line.rfind(" (exit status");
        if (at == std::string::npos || exit == std::string::npos || Contains(line, "cannot open the control")) {
            return false;
        }
        size_t code = line.rfind('(', exit - 1);
        at += 12;
        *verb = line.substr(at, line.find_first_of(" :", at) - at);
        *status = line.substr(code + 1, exit - code - 2);
        return true;
    }
    return false;
}

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
            std::string verb, status;
            if (FirstNewControlStatus(clean.Output, run.Output, &verb, &status) &&
                !ExpectedStatus(verb, category, status)) {
                run.Problems.push_back("corvessctl " + verb + " got " + status);
            }
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
