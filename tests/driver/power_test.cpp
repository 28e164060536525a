// Power requests on port devices (answered there) and on the bus device
// (passed down, counted once started).
#include "driver_fixture.h"

namespace {

using namespace drvtest;

class PowerTest : public PortFixture {};

// A port device agrees to every query and changes nothing; a set of the
// system state changes only that; a set of the device state is told to
// the power manager.
TEST_F(PowerTest, PortQueriesAndSets)
{
    ASSERT_NO_FATAL_FAILURE(StartWithPort());
    for (ULONG State = PowerSystemWorking; State <= PowerSystemShutdown; State++) {
        EXPECT_EQ(SendPower(PortDevice, IRP_MN_QUERY_POWER, SystemPowerState, State).Status, STATUS_SUCCESS);
    }
    for (ULONG State = PowerDeviceD0; State <= PowerDeviceD3; State++) {
        EXPECT_EQ(SendPower(PortDevice, IRP_MN_QUERY_POWER, DevicePowerState, State).Status, STATUS_SUCCESS);
    }
    EXPECT_EQ(Port->Header.SystemPowerState, PowerSystemWorking);
    EXPECT_EQ(Port->Header.DevicePowerState, PowerDeviceD3);

    EXPECT_EQ(SendPower(PortDevice, IRP_MN_SET_POWER, SystemPowerState, PowerSystemSleeping3).Status, STATUS_SUCCESS);
    EXPECT_EQ(Port->Header.SystemPowerState, PowerSystemSleeping3);
    EXPECT_EQ(Port->Header.DevicePowerState, PowerDeviceD3);
    EXPECT_EQ(HkPoDeviceState(PortDevice), PowerDeviceUnspecified);

    Request R = SendPower(PortDevice, IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD0);
    EXPECT_EQ(R.Status, STATUS_SUCCESS);
    EXPECT_EQ(R.Returned, STATUS_SUCCESS);
    EXPECT_EQ(Port->Header.DevicePowerState, PowerDeviceD0);
    EXPECT_EQ(HkPoDeviceState(PortDevice), PowerDeviceD0);
}

TEST_F(PowerTest, PortCompletesOtherRequestsWithTheirOwnStatus)
{
    ASSERT_NO_FATAL_FAILURE(StartWithPort());
    ULONG StartNext = HkPoStartNextCount();
    Request Wake = SendPower(PortDevice, IRP_MN_WAIT_WAKE, SystemPowerState, PowerSystemWorking, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(Wake.Status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(Wake.Returned, STATUS_NOT_SUPPORTED);
    Request Sequence = SendPower(PortDevice, IRP_MN_POWER_SEQUENCE, SystemPowerState, 0, (NTSTATUS)0xC0000123);
    EXPECT_EQ(Sequence.Status, (NTSTATUS)0xC0000123);
    EXPECT_EQ(HkPoStartNextCount(), StartNext + 2);
}

// The bus passes power requests down, counted only once started, and keeps
// its own device state.
TEST_F(PowerTest, BusPassesDownCountedOnceStarted)
{
    ASSERT_NO_FATAL_FAILURE(AddBus());
    std::atomic<LONG> During{-1};
    LowerDriver().OnPower = [&] { During = Bus->OutstandingIo; };
    EXPECT_EQ(SendPower(BusDevice, IRP_MN_SET_POWER, SystemPowerState, PowerSystemWorking).Status, STATUS_SUCCESS);
    EXPECT_EQ(During.load(), 1);
    EXPECT_EQ(Bus->Header.DevicePowerState, PowerDeviceUnspecified);
    ASSERT_EQ(SendPnp(BusDevice, IRP_MN_START_DEVICE).Status, STATUS_SUCCESS);
    EXPECT_EQ(SendPower(BusDevice, IRP_MN_QUERY_POWER, SystemPowerState, PowerSystemSleeping1).Status,
              STATUS_SUCCESS);
    EXPECT_EQ(During.load(), 2);
    EXPECT_EQ(Bus->OutstandingIo, 1);
    EXPECT_EQ(LowerDriver().PowerMinors, (std::vector<UCHAR>{IRP_MN_SET_POWER, IRP_MN_QUERY_POWER}));
    EXPECT_EQ(Bus->Header.DevicePowerState, PowerDeviceD0);
}

TEST_F(PowerTest, DeletedDevicesRefuseButStartTheNextPowerRequest)
{
    ASSERT_NO_FATAL_FAILURE(StartWithPort());
    Port->Header.PnpState = Deleted;
    ULONG StartNext = HkPoStartNextCount();
    Request R = SendPower(PortDevice, IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD0);
    EXPECT_EQ(R.Status, STATUS_DELETE_PENDING);
    EXPECT_EQ(HkPoStartNextCount(), StartNext + 1);
    EXPECT_EQ(Port->Header.DevicePowerState, PowerDeviceD3);
    Port->Header.PnpState = Started;

    ObReferenceObject(BusDevice);
    RemoveBus();
    LONG Before = Bus->OutstandingIo;
    size_t LowerBefore = LowerDriver().PowerMinors.size();
    R = SendPower(BusDevice, IRP_MN_SET_POWER, SystemPowerState, PowerSystemWorking);
    EXPECT_EQ(R.Status, STATUS_DELETE_PENDING);
    EXPECT_EQ(HkPoStartNextCount(), StartNext + 2);
    EXPECT_EQ(Bus->OutstandingIo, Before);
    EXPECT_EQ(LowerDriver().PowerMinors.size(), LowerBefore);
    ObDereferenceObject(BusDevice);
}

}  // namespace
