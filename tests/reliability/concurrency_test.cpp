// Concurrency: applications in several processes open and close COM3, the
// management program creates, lists, reloads and removes, while the PnP
// manager thread re-enumerates, the power manager sleeps and wakes the
// machine and the bus may be unplugged. Seeded random delays at the host
// kernel's fast mutexes, events and IRP completions vary the interleavings;
// its lock-order check reports any order that could deadlock. At the end
// every record is consistent and nothing is left.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "hk/delay.h"
#include "hk/thread.h"
#include "reliability/machine.h"

namespace reliability {
namespace {

struct Load {
    int Apps;           // application threads
    int Rounds;         // open/close rounds per application thread
    bool Power;         // a thread sleeps and wakes the machine
    bool Unplug;        // the bus is surprise-removed half-way
};

// What every load shares: a booted machine with COM3 managed, worker
// threads, the PnP manager's thread and a driving thread that moves the
// clock so rescans fire. Any verifier report fails the test.
class LoadTest : public MachineTest<::testing::TestWithParam<std::tuple<int, ULONG>>> {
protected:
    // Boots the machine with COM3 managed and starts the injected delays
    // and the PnP manager's thread.
    bool Start(ULONG seed)
    {
        if (!m.BootWithCom3()) {
            return false;
        }
        HkClockSetAutoAdvance(false);
        HkDelayEnable(seed, 20, 200);
        HkPnpStartThread();
        return true;
    }

    template <typename Body>
    void Spawn(Body body)
    {
        running_++;
        threads_.emplace_back([this, body] {
            body();
            running_--;
        });
    }

    // Moves the clock until every worker is done, then lets all settle.
    void Drive()
    {
        while (running_.load() > 0) {
            HkClockAdvance(10);
            std::this_thread::yield();
        }
        for (std::thread& t : threads_) {
            t.join();
        }
        HkPnpStopThread();
        HkDelayDisable();
        HkClockSetAutoAdvance(true);
        HostMachine::RunClock(1000);
    }

    std::atomic<int> running_{0};
    std::vector<std::thread> threads_;
};

class ReliabilityConcurrency : public LoadTest {
protected:
    void Run(const Load& load, ULONG seed)
    {
        ASSERT_TRUE(Start(seed));
        std::atomic<bool> unplugged{false};
        std::atomic<long> opened{0};
        for (int i = 0; i < load.Apps; i++) {
            Spawn([&, i] {
                std::u16string image = u"C:\\Tools\\app" + std::u16string(1, u'0' + i) + u".exe";
                // A round retries its open while COM3 is between clients
                // (the name comes back with the next re-enumeration).
                for (int round = 0; round < load.Rounds; round++) {
                    for (int attempt = 0; attempt < 2000 && !unplugged.load(); attempt++) {
                        App app;
                        NTSTATUS status = m.OpenCom3(reinterpret_cast<const WCHAR*>(image.c_str()), &app);
                        if (!NT_SUCCESS(status)) {
                            std::this_thread::yield();
                            continue;
                        }
                        opened++;
                        {
                            HkProcessContext context(app.Process);
                            UCHAR reply[32];
                            ULONG returned = 0;
                            HkUserDeviceIoControl(app.Handle, 0x1B0000 | (29 << 2), nullptr, 0, reply,
                                                  sizeof reply, &returned);
                        }
                        HostMachine::Close(&app);
                        break;
                    }
                }
            });
        }
        // The management program, from a process of its own per thread.
        Spawn([&] {
            PEPROCESS tool = HkPsCreateProcess(L"C:\\Program Files\\ZARVIK\\corvessctl.exe");
            for (int round = 0; round < load.Rounds; round++) {
                m.ListedPorts(tool);
                m.PortRequest(dravolux::IoctlReloadPermissions, u"", tool);
                if (round % 4 == 3) {
                    m.PortRequest(dravolux::IoctlRemovePort, u"COM3", tool);
                    m.PortRequest(dravolux::IoctlCreatePort, u"COM3", tool);
                }
            }
            HkPsDestroyProcess(tool);
        });
        if (load.Power) {
            Spawn([&] {
                for (int round = 0; round < load.Rounds / 4 + 1; round++) {
                    HkPoSleep(PowerSystemSleeping3);
                    HkPoWake();
                }
            });
        }
        if (load.Unplug) {
            Spawn([&] {
                // Half-way through the applications' work.
                while (opened.load() < load.Apps * load.Rounds / 4 && running_.load() > 1) {
                    std::this_thread::yield();
                }
                HkPnpSurpriseRemove(m.Bus);
                unplugged = true;
            });
        }
        Drive();
        ExpectNone(CheckAllBuses());
        std::string why;
        EXPECT_TRUE(Com3TargetAcceptable(&why)) << why;
        if (!unplugged) {
            EXPECT_GE(m.ListedPorts(), 0);
        }
        std::printf("[ concurrency ] seed %u: %ld opens, %llu lock / %llu event / %llu completion delays\n", seed,
                    opened.load(),
                    (unsigned long long)(HkDelayCount(HkDelayPoint::FastMutexAcquire) +
                                         HkDelayCount(HkDelayPoint::FastMutexRelease)),
                    (unsigned long long)(HkDelayCount(HkDelayPoint::EventSet) +
                                         HkDelayCount(HkDelayPoint::EventWait)),
                    (unsigned long long)HkDelayCount(HkDelayPoint::IrpComplete));
    }
};

const Load Loads[] = {
    {3, 30, false, false},  // opens and control requests with re-enumeration
    {3, 30, true, false},   // and sleep/wake
    {3, 30, true, true},    // and the bus unplugged half-way
};

TEST_P(ReliabilityConcurrency, MixedLoad)
{
    Run(Loads[std::get<0>(GetParam())], std::get<1>(GetParam()));
}

std::string LoadName(const ::testing::TestParamInfo<std::tuple<int, ULONG>>& info)
{
    static const char* names[] = {"OpenControlRescan", "WithPower", "WithUnplug"};
    return std::string(names[std::get<0>(info.param)]) + "_Seed" + std::to_string(std::get<1>(info.param));
}

INSTANTIATE_TEST_SUITE_P(Seeds, ReliabilityConcurrency,
                         ::testing::Combine(::testing::Range(0, 3), ::testing::Values(1u, 2u, 3u)), LoadName);

// One managed port, COM3, under applications that open and close it and
// management threads that remove it (RemovePort or RemoveAllPorts), reload
// permissions and create it again, while the PnP manager thread
// re-enumerates. After every step of every thread the bus records hold
// their invariants and COM3 leads to \Device\Serial2, to a port device
// that is still there, or nowhere for a moment. Once all is quiet COM3
// leads to \Device\Serial2 or to a present client port device.
struct OnePortLoad {
    const char* Name;
    int Apps;      // application threads
    int Managers;  // management threads
    int Rounds;    // steps per thread
};

class OnePortConcurrency : public LoadTest {
protected:
    // The checks after a step; the first few problems are kept.
    void Check(const char* step)
    {
        std::vector<std::string> found = CheckAllBuses();
        std::string why;
        if (!Com3LeadsToLivePort(&why)) {
            found.push_back(why);
        }
        std::lock_guard<std::mutex> hold(lock_);
        for (const std::string& problem : found) {
            if (problems_.size() < 10) {
                problems_.push_back(std::string("after ") + step + ": " + problem);
            }
        }
    }

    NTSTATUS Counted(NTSTATUS status)
    {
        std::lock_guard<std::mutex> hold(lock_);
        statuses_[status]++;
        return status;
    }

    void Run(const OnePortLoad& load, ULONG seed)
    {
        ASSERT_TRUE(Start(seed));
        for (int i = 0; i < load.Apps; i++) {
            Spawn([&, i] {
                std::u16string image = u"C:\\Tools\\app" + std::u16string(1, u'0' + i) + u".exe";
                // A round retries its open while COM3 is between clients.
                for (int round = 0; round < load.Rounds; round++) {
                    for (int attempt = 0; attempt < 2000; attempt++) {
                        App app;
                        NTSTATUS status = m.OpenCom3(reinterpret_cast<const WCHAR*>(image.c_str()), &app);
                        Check("an open");
                        if (NT_SUCCESS(Counted(status))) {
                            std::this_thread::yield();
                            HostMachine::Close(&app);
                            Check("a close");
                            break;
                        }
                        std::this_thread::yield();
                    }
                }
            });
        }
        for (int i = 0; i < load.Managers; i++) {
            Spawn([&, i] {
                PEPROCESS tool = HkPsCreateProcess(L"C:\\Program Files\\ZARVIK\\corvessctl.exe");
                // Each manager has its own rhythm, so the requests meet in
                // every order.
                static const ULONG codes[] = {dravolux::IoctlRemovePort, dravolux::IoctlReloadPermissions,
                                              dravolux::IoctlRemoveAllPorts, dravolux::IoctlCreatePort};
                for (int round = 0; round < load.Rounds; round++) {
                    ULONG code = codes[(round + i) % 4];
                    NTSTATUS status;
                    do {  // the control device takes one handle at a time
                        status = m.PortRequest(code, u"COM3", tool);
                        std::this_thread::yield();
                    } while (status == STATUS_ACCESS_DENIED);
                    Counted(status);
                    Check("a control request");
                    for (int pause = 0; pause < 50; pause++) {
                        std::this_thread::yield();
                    }
                }
                HkPsDestroyProcess(tool);
            });
        }
        Drive();
        Check("the end");
        std::string why;
        EXPECT_TRUE(Com3Settled(&why)) << why;
        ExpectNone(problems_);

        // Taken back whole, COM3 is the legacy port's again.
        EXPECT_EQ(m.PortRequest(dravolux::IoctlRemoveAllPorts, u""), STATUS_SUCCESS);
        HostMachine::RunClock(1000);
        EXPECT_TRUE(Com3Settled(&why)) << why;
        EXPECT_EQ(m.ListedPorts(), 0);

        std::printf("[ concurrency ] %s seed %u:", load.Name, seed);
        for (const auto& entry : statuses_) {
            std::printf(" 0x%08X x%d", (unsigned)entry.first, entry.second);
        }
        std::printf("\n");
    }

    std::mutex lock_;
    std::vector<std::string> problems_;
    std::map<NTSTATUS, int> statuses_;
};

const OnePortLoad OnePortLoads[] = {
    {"ThreeAppsOneManager", 3, 1, 40},
    {"TwoAppsTwoManagers", 2, 2, 40},
};

TEST_P(OnePortConcurrency, OpensClosesRemovalsAndReloads)
{
    Run(OnePortLoads[std::get<0>(GetParam())], std::get<1>(GetParam()));
}

std::string OnePortLoadName(const ::testing::TestParamInfo<std::tuple<int, ULONG>>& info)
{
    return std::string(OnePortLoads[std::get<0>(info.param)].Name) + "_Seed" + std::to_string(std::get<1>(info.param));
}

INSTANTIATE_TEST_SUITE_P(Seeds, OnePortConcurrency,
                         ::testing::Combine(::testing::Range(0, 2), ::testing::Values(1u, 2u, 3u)), OnePortLoadName);

}  // namespace
}  // namespace reliability
