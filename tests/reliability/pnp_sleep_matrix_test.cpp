// Plug and play and sleep with applications holding COM3: each transition of
// the bus, with an application that opens before it and holds on, opens in
// the middle of it, opens after it, or closes in the middle of it. Every step
// answers with a documented status, the records stay consistent, COM3 keeps
// a sensible target, and the machine shuts down with nothing left.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <set>

#include "driver/driver_fixture.h"
#include "reliability/machine.h"

namespace reliability {
namespace {

// A transition in two halves; the second half may be empty.
struct Transition {
    const char* Name;
    std::function<NTSTATUS(HostMachine&)> First;
    std::function<NTSTATUS(HostMachine&)> Second;
    bool BusGoneAfter;  // the bus no longer exists afterwards
};

// A request sent to the top of the bus's stack as the PnP manager would.
NTSTATUS BusPnp(HostMachine& m, UCHAR minor)
{
    std::vector<PDEVICE_OBJECT> stack = HkPnpStack(m.Bus);
    if (stack.empty()) {
        return STATUS_NO_SUCH_DEVICE;
    }
    return drvtest::SendPnp(stack.front(), minor).Status;
}

const Transition Transitions[] = {
    {"DisableEnable", [](HostMachine& m) { return HkPnpQueryRemoveAndRemove(m.Bus); },
     [](HostMachine& m) { return HkPnpEnable(m.Bus); }, false},
    {"Uninstall", [](HostMachine& m) { return HkPnpUninstall(m.Bus); }, nullptr, true},
    {"SurpriseRemove", [](HostMachine& m) { return HkPnpSurpriseRemove(m.Bus); }, nullptr, true},
    {"Rebalance", [](HostMachine& m) { return HkPnpRebalance(m.Bus); }, nullptr, false},
    {"StopStart",
     [](HostMachine& m) {
         NTSTATUS status = BusPnp(m, IRP_MN_QUERY_STOP_DEVICE);
         return NT_SUCCESS(status) ? BusPnp(m, IRP_MN_STOP_DEVICE) : status;
     },
     [](HostMachine& m) { return BusPnp(m, IRP_MN_START_DEVICE); }, false},
    {"CancelStop", [](HostMachine& m) { return BusPnp(m, IRP_MN_QUERY_STOP_DEVICE); },
     [](HostMachine& m) { return BusPnp(m, IRP_MN_CANCEL_STOP_DEVICE); }, false},
    {"CancelRemove", [](HostMachine& m) { return BusPnp(m, IRP_MN_QUERY_REMOVE_DEVICE); },
     [](HostMachine& m) { return BusPnp(m, IRP_MN_CANCEL_REMOVE_DEVICE); }, false},
    {"SleepS3Wake", [](HostMachine&) { return HkPoSleep(PowerSystemSleeping3); },
     [](HostMachine&) { return HkPoWake(); }, false},
    {"HibernateWake", [](HostMachine&) { return HkPoSleep(PowerSystemHibernate); },
     [](HostMachine&) { return HkPoWake(); }, false},
};

enum class Phase { OpenBefore, OpenDuring, OpenAfter, CloseDuring, TwoAcross };
const char* const PhaseNames[] = {"OpenBefore", "OpenDuring", "OpenAfter", "CloseDuring", "TwoAcross"};

// Statuses a step may answer with when the state of the machine forbids it.
bool Documented(NTSTATUS status)
{
    static const std::set<NTSTATUS> ok = {STATUS_SUCCESS,          STATUS_NO_SUCH_DEVICE,
                                          STATUS_OBJECT_NAME_NOT_FOUND, STATUS_DELETE_PENDING,
                                          STATUS_ACCESS_DENIED,    STATUS_DEVICE_BUSY,
                                          STATUS_INVALID_DEVICE_STATE, STATUS_UNSUCCESSFUL,
                                          STATUS_DEVICE_NOT_READY,
                                          STATUS_OBJECT_PATH_NOT_FOUND};
    return ok.count(status) != 0;
}

class PnpSleepMatrix : public MachineTest<::testing::TestWithParam<std::tuple<int, Phase>>> {
protected:
    // Records and COM3 after a step.
    void Check(const std::string& where, bool com3MustExist = false)
    {
        ExpectNone(CheckAllBuses(), where + ": ");
        std::string why;
        EXPECT_TRUE(Com3TargetAcceptable(&why, com3MustExist)) << where << ": " << why;
    }

    void Step(const char* what, NTSTATUS status)
    {
        EXPECT_TRUE(Documented(status)) << what << " answered 0x" << std::hex << (ULONG)status;
        HostMachine::RunClock(500);
        Check(what);
    }
};

TEST_P(PnpSleepMatrix, AppsHoldingComThree)
{
    const Transition& t = Transitions[std::get<0>(GetParam())];
    Phase phase = std::get<1>(GetParam());
    ASSERT_TRUE(m.BootWithCom3());
    Check("managed");

    App a, b;
    if (phase == Phase::OpenBefore || phase == Phase::CloseDuring || phase == Phase::TwoAcross) {
        ASSERT_EQ(m.OpenCom3(L"C:\\Tools\\a.exe", &a), STATUS_SUCCESS);
        HostMachine::RunClock(500);
    }
    if (phase == Phase::TwoAcross) {
        ASSERT_EQ(m.OpenCom3(L"C:\\Tools\\b.exe", &b), STATUS_SUCCESS);
        HostMachine::RunClock(500);
    }
    NTSTATUS first = t.First(m);
    Step("first half", first);
    if (phase == Phase::OpenDuring) {
        Step("open during", m.OpenCom3(L"C:\\Tools\\a.exe", &a));
    }
    if (phase == Phase::CloseDuring) {
        HostMachine::Close(&a);
        Step("close during", STATUS_SUCCESS);
    }
    if (t.Second) {
        Step("second half", t.Second(m));
    }
    if (phase == Phase::OpenAfter) {
        Step("open after", m.OpenCom3(L"C:\\Tools\\a.exe", &a));
    }
    // Requests still work (or fail cleanly) on whatever is open.
    if (a.Process != nullptr) {
        HkProcessContext context(a.Process);
        ULONG returned = 0;
        UCHAR reply[64];
        NTSTATUS status = HkUserDeviceIoControl(a.Handle, 0x1B0000 | (29 << 2), nullptr, 0, reply, sizeof reply,
                                                &returned);
        EXPECT_LE(returned, sizeof reply);
        (void)status;
    }
    long listed = m.ListedPorts();
    if (t.BusGoneAfter && NT_SUCCESS(first)) {
        EXPECT_EQ(listed, -1) << "the control device outlived the bus";
    } else if (!t.BusGoneAfter || !NT_SUCCESS(first)) {
        EXPECT_GE(listed, 0) << "a vetoed or reversible transition lost the control device";
    }
    HostMachine::Close(&b);
    HostMachine::Close(&a);
    HostMachine::RunClock(1000);
    Check("closed", true);

    // Once everything is closed, COM3 opens again.
    App again;
    EXPECT_EQ(m.OpenCom3(L"C:\\Tools\\again.exe", &again), STATUS_SUCCESS) << t.Name;
    HostMachine::Close(&again);
}

std::string CellName(const ::testing::TestParamInfo<std::tuple<int, Phase>>& info)
{
    return std::string(Transitions[std::get<0>(info.param)].Name) + "_" + PhaseNames[(int)std::get<1>(info.param)];
}

INSTANTIATE_TEST_SUITE_P(Cells, PnpSleepMatrix,
                         ::testing::Combine(::testing::Range(0, (int)(sizeof Transitions / sizeof Transitions[0])),
                                            ::testing::Values(Phase::OpenBefore, Phase::OpenDuring, Phase::OpenAfter,
                                                              Phase::CloseDuring, Phase::TwoAcross)),
                         CellName);

}  // namespace
}  // namespace reliability
