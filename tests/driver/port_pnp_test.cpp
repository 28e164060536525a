// Plug and play of port devices: every request is completed by the port.
#include "driver_fixture.h"

namespace {

using namespace drvtest;

class PortPnpTest : public PortFixture {
protected:
    void StartWithPort() { PortFixture::StartWithPort(0, true); }
};

TEST_F(PortPnpTest, StartSetsD0AndStarted)
{
    ASSERT_NO_FATAL_FAILURE(PortFixture::StartWithPort());
    Request R = SendPnp(PortDevice, IRP_MN_START_DEVICE);
    EXPECT_EQ(R.Status, STATUS_SUCCESS);
    EXPECT_EQ(R.Returned, STATUS_SUCCESS);
    EXPECT_EQ(Port->Header.PnpState, Started);
    EXPECT_EQ(Port->Header.DevicePowerState, PowerDeviceD0);
    EXPECT_EQ(HkPoDeviceState(PortDevice), PowerDeviceUnspecified);  // not told to the power manager
    EXPECT_EQ(Bus->OutstandingIo, 1);  // port requests are not counted on the bus
}

// Each request in turn, its status and the state it leaves. A cancel that
// does not match the pending state changes nothing; an open port device
// vetoes its removal.
TEST_F(PortPnpTest, QueriesCancelsAndStop)
{
    ASSERT_NO_FATAL_FAILURE(StartWithPort());
    const struct {
        UCHAR Minor;
        LONG OpenCount;
        NTSTATUS Status;
        PnpStateValue State;
    } Steps[] = {
        {IRP_MN_QUERY_REMOVE_DEVICE, 1, STATUS_DEVICE_BUSY, Started},
        {IRP_MN_QUERY_REMOVE_DEVICE, 0, STATUS_SUCCESS, RemovePending},
        {IRP_MN_CANCEL_REMOVE_DEVICE, 0, STATUS_SUCCESS, Started},
        {IRP_MN_CANCEL_REMOVE_DEVICE, 0, STATUS_SUCCESS, Started},
        {IRP_MN_CANCEL_STOP_DEVICE, 0, STATUS_SUCCESS, Started},
        {IRP_MN_QUERY_STOP_DEVICE, 0, STATUS_SUCCESS, StopPending},
        {IRP_MN_CANCEL_STOP_DEVICE, 0, STATUS_SUCCESS, Started},
        {IRP_MN_QUERY_STOP_DEVICE, 0, STATUS_SUCCESS, StopPending},
        {IRP_MN_STOP_DEVICE, 0, STATUS_SUCCESS, Stopped},
        {IRP_MN_SURPRISE_REMOVAL, 0, STATUS_SUCCESS, SurpriseRemoved},
    };
    for (const auto& S : Steps) {
        Port->OpenCount = S.OpenCount;
        EXPECT_EQ(SendPnp(PortDevice, S.Minor).Status, S.Status) << HkPnpMinorName(S.Minor);
        EXPECT_EQ(Port->Header.PnpState, S.State) << HkPnpMinorName(S.Minor);
    }
    EXPECT_FALSE(HkIoIsDeletePending(PortDevice));
    Port->Header.PnpState = Started;  // released by the bus removal
}

TEST_F(PortPnpTest, RemovalOfAPortStillReportedKeepsIt)
{
    ASSERT_NO_FATAL_FAILURE(StartWithPort());
    EXPECT_EQ(SendPnp(PortDevice, IRP_MN_REMOVE_DEVICE).Status, STATUS_SUCCESS);
    EXPECT_EQ(Port->Header.PnpState, NotStarted);
    EXPECT_FALSE(HkIoIsDeletePending(PortDevice));
    EXPECT_EQ(Bus->PortCount, 1u);

    // Not present but not yet left out of the relations: stays, state kept.
    ASSERT_EQ(SendPnp(PortDevice, IRP_MN_START_DEVICE).Status, STATUS_SUCCESS);
    Port->Present = 0;
    EXPECT_EQ(SendPnp(PortDevice, IRP_MN_REMOVE_DEVICE).Status, STATUS_SUCCESS);
    EXPECT_EQ(Port->Header.PnpState, Started);
    EXPECT_FALSE(HkIoIsDeletePending(PortDevice));
    EXPECT_EQ(Bus->PortCount, 1u);
}

TEST_F(PortPnpTest, RemovalAfterTheRelationsLeftThePortOutDeletesIt)
{
    ASSERT_NO_FATAL_FAILURE(StartWithPort());
    PortExtension* Other = MakePort();
    ASSERT_NE(Other, nullptr);
    Port->Present = 0;
    TakeRelations(QueryRelations(BusDevice, BusRelations).Information);
    ASSERT_EQ(Port->ReportedMissing, 1);
    ObReferenceObject(PortDevice);
    EXPECT_EQ(SendPnp(PortDevice, IRP_MN_REMOVE_DEVICE).Status, STATUS_SUCCESS);
    EXPECT_TRUE(HkIoIsDeletePending(PortDevice));
    EXPECT_EQ(Bus->PortCount, 1u);
    std::vector<PortExtension*> Left = PortsOnList();
    ASSERT_EQ(Left.size(), 1u);
    EXPECT_EQ(Left[0], Other);
    ObDereferenceObject(PortDevice);
}

TEST_F(PortPnpTest, RelationsOnlyForTheTargetDevice)
{
    ASSERT_NO_FATAL_FAILURE(StartWithPort());
    LONG_PTR Refs = HkObPointerCount(PortDevice);
    Request Target = QueryRelations(PortDevice, TargetDeviceRelation);
    EXPECT_EQ(Target.Status, STATUS_SUCCESS);
    ASSERT_NE(Target.Information, 0u);
    PDEVICE_RELATIONS Relations = (PDEVICE_RELATIONS)Target.Information;
    EXPECT_EQ(Relations->Count, 1u);
    EXPECT_EQ(Relations->Objects[0], PortDevice);
    EXPECT_EQ(HkObPointerCount(PortDevice), Refs + 1);
    TakeRelations(Target.Information);

    for (DEVICE_RELATION_TYPE Type : {BusRelations, RemovalRelations}) {
        Request R = QueryRelations(PortDevice, Type, nullptr, (NTSTATUS)0xC0000123);
        EXPECT_EQ(R.Status, (NTSTATUS)0xC0000123);
        EXPECT_EQ(R.Information, 0u);
    }
}

// Answers the port allocates fail without pool and leave Information alone.
TEST_F(PortPnpTest, AnswersWithoutPool)
{
    ASSERT_NO_FATAL_FAILURE(StartWithPort());
    for (UCHAR Minor : {(UCHAR)IRP_MN_QUERY_DEVICE_RELATIONS, (UCHAR)IRP_MN_QUERY_RESOURCE_REQUIREMENTS,
                        (UCHAR)IRP_MN_QUERY_BUS_INFORMATION}) {
        HkFaultFailTag(DVX_TAG);
        Request NoPool = SendPnp(
            PortDevice, Minor,
            [](PIO_STACK_LOCATION Stack) { Stack->Parameters.QueryDeviceRelations.Type = TargetDeviceRelation; },
            STATUS_NOT_SUPPORTED, 0x31);
        HkFaultReset();
        EXPECT_EQ(NoPool.Status, STATUS_INSUFFICIENT_RESOURCES) << HkPnpMinorName(Minor);
        EXPECT_EQ(NoPool.Information, 0x31u) << HkPnpMinorName(Minor);
    }
}

TEST_F(PortPnpTest, FixedAnswersAndDeclines)
{
    ASSERT_NO_FATAL_FAILURE(StartWithPort());
    EXPECT_EQ(SendPnp(PortDevice, IRP_MN_QUERY_INTERFACE).Status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(SendPnp(PortDevice, IRP_MN_QUERY_INTERFACE, nullptr, STATUS_SUCCESS).Status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(SendPnp(PortDevice, IRP_MN_DEVICE_USAGE_NOTIFICATION, nullptr, STATUS_SUCCESS).Status,
              STATUS_UNSUCCESSFUL);
    for (UCHAR Minor : {(UCHAR)IRP_MN_QUERY_PNP_DEVICE_STATE, (UCHAR)IRP_MN_EJECT, (UCHAR)IRP_MN_SET_LOCK,
                        (UCHAR)IRP_MN_FILTER_RESOURCE_REQUIREMENTS, (UCHAR)IRP_MN_READ_CONFIG, (UCHAR)0x0E,
                        (UCHAR)0x18, (UCHAR)0x40}) {
        Request R = SendPnp(PortDevice, Minor, nullptr, (NTSTATUS)0xC0000123, 0x66);
        EXPECT_EQ(R.Status, (NTSTATUS)0xC0000123) << (int)Minor;
        EXPECT_EQ(R.Returned, (NTSTATUS)0xC0000123) << (int)Minor;
        EXPECT_EQ(R.Information, 0x66u) << (int)Minor;
    }
    // A port with no name yet writes nothing on QUERY_RESOURCES.
    Request Resources = SendPnp(PortDevice, IRP_MN_QUERY_RESOURCES, nullptr, STATUS_NOT_SUPPORTED, 0x67);
    EXPECT_EQ(Resources.Status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(Resources.Information, 0x67u);
}

TEST_F(PortPnpTest, ResourceRequirementsList)
{
    ASSERT_NO_FATAL_FAILURE(StartWithPort());
    Request R = SendPnp(PortDevice, IRP_MN_QUERY_RESOURCE_REQUIREMENTS, nullptr, STATUS_NOT_SUPPORTED, 0x1);
    EXPECT_EQ(R.Status, STATUS_SUCCESS);
    ASSERT_NE(R.Information, 0x1u);
    const UCHAR* List = reinterpret_cast<const UCHAR*>(R.Information);
    auto Dword = [&](size_t Offset) {
        ULONG Value;
        memcpy(&Value, List + Offset, 4);
        return Value;
    };
    auto Word = [&](size_t Offset) {
        USHORT Value;
        memcpy(&Value, List + Offset, 2);
        return Value;
    };
    EXPECT_EQ(Dword(0), 72u);
    EXPECT_EQ((LONG)Dword(4), -1);
    EXPECT_EQ(Dword(8), 0u);
    EXPECT_EQ(Dword(12), 0u);
    EXPECT_EQ(Dword(16) | Dword(20) | Dword(24), 0u);
    EXPECT_EQ(Dword(28), 0u);
    EXPECT_EQ(Word(32), 1);
    EXPECT_EQ(Word(34), 1);
    EXPECT_EQ(Dword(36), 1u);
    for (size_t Offset = 40; Offset < 72; Offset++) {
        EXPECT_EQ(List[Offset], 0) << Offset;
    }
    ExFreePool((PVOID)R.Information);
}

TEST_F(PortPnpTest, BusInformation)
{
    ASSERT_NO_FATAL_FAILURE(StartWithPort());
    Request R = SendPnp(PortDevice, IRP_MN_QUERY_BUS_INFORMATION);
    EXPECT_EQ(R.Status, STATUS_SUCCESS);
    ASSERT_NE(R.Information, 0u);
    const UCHAR* Info = reinterpret_cast<const UCHAR*>(R.Information);
    const UCHAR Guid[16] = {0x8C, 0x1D, 0x01, 0xE4, 0xD3, 0x04, 0x8C, 0x45,
                            0x8D, 0x24, 0xA5, 0x6C, 0x50, 0x63, 0xDA, 0xF8};
    EXPECT_EQ(memcmp(Info, Guid, 16), 0);
    ULONG Legacy, Number;
    memcpy(&Legacy, Info + 16, 4);
    memcpy(&Number, Info + 20, 4);
    EXPECT_EQ(Legacy, 15u);
    EXPECT_EQ(Number, 0u);
    ExFreePool((PVOID)R.Information);
}

}  // namespace
