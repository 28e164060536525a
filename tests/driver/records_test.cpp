// Device records: the list helpers every path uses and a fresh port record.
// (The byte layouts are checked at compile time next to the records.)
#include "driver_fixture.h"

namespace {

using drvtest::DriverFixture;

TEST(Records, UnlinkLeavesTheEntryPointingToItselfAndIsIdempotent)
{
    LIST_ENTRY Head;
    LIST_ENTRY A, B, C;
    InitializeListEntry(&Head);
    InsertTail(&Head, &A);
    InsertTail(&Head, &B);
    InsertTail(&Head, &C);
    EXPECT_EQ(Head.Flink, &A);
    EXPECT_EQ(Head.Blink, &C);
    UnlinkEntry(&B);
    EXPECT_EQ(B.Flink, &B);
    EXPECT_EQ(B.Blink, &B);
    EXPECT_EQ(A.Flink, &C);
    EXPECT_EQ(C.Blink, &A);
    UnlinkEntry(&B);  // again: nothing changes
    EXPECT_EQ(A.Flink, &C);
    EXPECT_EQ(B.Flink, &B);
    InsertBefore(&C, &B);
    EXPECT_EQ(A.Flink, &B);
    EXPECT_EQ(B.Flink, &C);
    UnlinkEntry(&A);
    UnlinkEntry(&B);
    UnlinkEntry(&C);
    EXPECT_TRUE(ListIsEmpty(&Head));
}

class RecordsFixture : public DriverFixture {};

TEST_F(RecordsFixture, FreshPortRecord)
{
    ASSERT_NO_FATAL_FAILURE(StartBus());
    PortExtension* Port = nullptr;
    ASSERT_EQ(CreatePortDevice(Bus, &Port), STATUS_SUCCESS);
    EXPECT_EQ(Port->Header.BusRole, 0);
    EXPECT_EQ(Port->Header.PnpState, NotStarted);
    EXPECT_EQ(Port->Header.SystemPowerState, PowerSystemWorking);
    EXPECT_EQ(Port->Header.DevicePowerState, PowerDeviceD3);
    EXPECT_EQ(Port->ReportedMissing, 0);
    EXPECT_EQ(Port->IsControl, 0);
    EXPECT_EQ(Port->Function.FunctionState, 0u);
    EXPECT_EQ(Port->OpenCount, 0);
    EXPECT_EQ(Port->ParentBus, BusDevice);
}

}  // namespace
