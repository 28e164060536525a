// The power manager: system transitions reach every started stack in the
// platform's order, and the Po calls drivers make.
#include "pnp_test_drivers.h"

namespace pnptest {
namespace {

using Power = PnpFixture;

std::vector<std::u16string> PathsOf(UCHAR minor, ULONG state) {
    std::vector<std::u16string> out;
    for (const HkPoLogEntry& e : HkPoLog()) {
        if (e.Minor == minor && e.State == state) {
            out.push_back(e.InstancePath);
        }
    }
    return out;
}

TEST_F(Power, SleepAndWakeReachEveryStackInOrder) {
    BusWithChildren(2, 2);
    HkPoClearLog();

    ASSERT_EQ(STATUS_SUCCESS, HkPoSleep(PowerSystemSleeping3));
    EXPECT_EQ(PowerSystemSleeping3, HkPoSystemState());
    const std::vector<std::u16string> childrenFirst = {u"PNPTBUS\\CHILD\\1", u"PNPTBUS\\CHILD\\0",
                                                       u"ROOT\\SYSTEM\\0000"};
    EXPECT_EQ(childrenFirst, PathsOf(IRP_MN_QUERY_POWER, PowerSystemSleeping3));
    EXPECT_EQ(childrenFirst, PathsOf(IRP_MN_SET_POWER, PowerSystemSleeping3));
    // Every query comes before the first set.
    const std::vector<HkPoLogEntry> log = HkPoLog();
    ASSERT_EQ(6u, log.size());
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(IRP_MN_QUERY_POWER, log[i].Minor);
        EXPECT_EQ(STATUS_SUCCESS, log[i].Status);
        EXPECT_EQ(SystemPowerState, log[i].Type);
    }
    EXPECT_EQ(HkPnpStack(Child(1))[0], log[0].Device);

    HkPoClearLog();
    ASSERT_EQ(STATUS_SUCCESS, HkPoWake());
    EXPECT_EQ(PowerSystemWorking, HkPoSystemState());
    const std::vector<std::u16string> parentsFirst = {u"ROOT\\SYSTEM\\0000", u"PNPTBUS\\CHILD\\0",
                                                      u"PNPTBUS\\CHILD\\1"};
    EXPECT_EQ(parentsFirst, PathsOf(IRP_MN_SET_POWER, PowerSystemWorking));
    // Each function driver and the bus saw every IRP: 2 + 1 per child stack, 3 for the bus.
    EXPECT_EQ(6u, g_world.FnPowerIrps);
    EXPECT_EQ(3u, g_world.BusPowerIrps);
    EXPECT_NE(std::string::npos, HkPoFormatLog().find("ROOT\\SYSTEM\\0000 SET_POWER S0 -> 0x00000000"));
}

TEST_F(Power, VetoedSleepKeepsTheSystemWorking) {
    BusWithChildren(1, 1);
    HkPoClearLog();
    g_world.FnVetoQueryPower = true;

    EXPECT_EQ(STATUS_UNSUCCESSFUL, HkPoSleep(PowerSystemSleeping1));
    EXPECT_EQ(PowerSystemWorking, HkPoSystemState());
    // The child vetoed first: nobody agreed, so nobody is told to stay in S0.
    EXPECT_EQ(1u, HkPoLog().size());
    EXPECT_TRUE(PathsOf(IRP_MN_SET_POWER, PowerSystemSleeping1).empty());
    EXPECT_EQ(STATUS_INVALID_PARAMETER, HkPoSleep(PowerSystemWorking));
}

TEST_F(Power, ShutdownGoesChildrenFirstAndSkipsStacksNotStarted) {
    InstallBus();
    SetPresent(1);  // no records: never started
    HkPnpRunPending();
    HkPoClearLog();
    ASSERT_EQ(STATUS_SUCCESS, HkPoShutdown());
    EXPECT_EQ((std::vector<std::u16string>{u"ROOT\\SYSTEM\\0000"}), PathsOf(IRP_MN_SET_POWER, PowerSystemShutdown));
    ASSERT_EQ(STATUS_SUCCESS, HkPoWake());
}

TEST_F(Power, DriversRecordAndRequestDeviceStates) {
    HkDeviceNode* node = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, HkPnpInstallRootDevice(L"PNPTFN", L"pnptfn", &node));
    PDEVICE_OBJECT pdo = HkPnpPdo(node);
    EXPECT_EQ(PowerDeviceUnspecified, HkPoDeviceState(pdo));
    POWER_STATE state;
    state.DeviceState = PowerDeviceD0;
    EXPECT_EQ(PowerDeviceUnspecified, PoSetPowerState(pdo, DevicePowerState, state).DeviceState);
    state.DeviceState = PowerDeviceD3;
    EXPECT_EQ(PowerDeviceD0, PoSetPowerState(pdo, DevicePowerState, state).DeviceState);
    EXPECT_EQ(PowerDeviceD3, HkPoDeviceState(pdo));

    struct Result {
        bool Called;
        NTSTATUS Status;
        UCHAR Minor;
    } result{};
    struct Done {
        static void Callback(PDEVICE_OBJECT, UCHAR minor, POWER_STATE, PVOID context, PIO_STATUS_BLOCK io) {
            auto* r = static_cast<Result*>(context);
            r->Called = true;
            r->Status = io->Status;
            r->Minor = minor;
        }
    };
    const ULONG before = g_world.FnPowerIrps;
    state.DeviceState = PowerDeviceD0;
    EXPECT_EQ(STATUS_PENDING, PoRequestPowerIrp(pdo, IRP_MN_SET_POWER, state, Done::Callback, &result, nullptr));
    EXPECT_TRUE(result.Called);
    EXPECT_EQ(STATUS_SUCCESS, result.Status);
    EXPECT_EQ(IRP_MN_SET_POWER, result.Minor);
    EXPECT_EQ(before + 1, g_world.FnPowerIrps);  // sent to the top of the stack
    EXPECT_EQ(STATUS_INVALID_PARAMETER,
              PoRequestPowerIrp(pdo, IRP_MN_POWER_SEQUENCE, state, Done::Callback, &result, nullptr));
    EXPECT_EQ(0u, HkIoLiveIrpCount());
}

}  // namespace
}  // namespace pnptest
