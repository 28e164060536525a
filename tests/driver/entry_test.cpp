// Driver entry, unload and the routing of plug-and-play, create and close.
#include "driver_fixture.h"

namespace {

using namespace drvtest;

class Entry : public DriverFixture {};

TEST_F(Entry, RegistryPathIsCopiedWithRoomForItsNul)
{
    ASSERT_NO_FATAL_FAILURE(LoadDriver());
    std::u16string Expected = U16(RegistryPathText);
    USHORT Length = (USHORT)(Expected.size() * 2);
    EXPECT_EQ(DriverRegistryPath.Length, Length);
    EXPECT_EQ(DriverRegistryPath.MaximumLength, Length + 2);
    ASSERT_NE(DriverRegistryPath.Buffer, nullptr);
    EXPECT_EQ(U16(DriverRegistryPath.Buffer), Expected);  // ends in a NUL
    EXPECT_EQ(HkPoolOutstandingForTag(DVX_TAG).Blocks, 1u);
    EXPECT_EQ(HkPoolOutstandingForTag(DVX_TAG).Bytes, (size_t)Length + 2);

    HkIoUnloadDriver(Driver);
    Driver = nullptr;
    EXPECT_EQ(DriverRegistryPath.Buffer, nullptr);
    EXPECT_EQ(HkPoolOutstandingForTag(DVX_TAG).Blocks, 0u);

    // No pool, no load.
    HkFaultFailTag(DVX_TAG);
    UNICODE_STRING Path;
    RtlInitUnicodeString(&Path, RegistryPathText);
    PDRIVER_OBJECT Failed = nullptr;
    EXPECT_EQ(HkIoCreateDriver(L"dravolux", DriverEntry, &Path, &Failed), STATUS_INSUFFICIENT_RESOURCES);
    HkFaultReset();
}

TEST_F(Entry, CreateAndCloseOnANotStartedBus)
{
    ASSERT_NO_FATAL_FAILURE(AddBus());
    LONG Before = Bus->OutstandingIo;
    for (UCHAR Major : {(UCHAR)IRP_MJ_CREATE, (UCHAR)IRP_MJ_CLOSE}) {
        Request R = Send(BusDevice, Major, 0, nullptr, STATUS_NOT_SUPPORTED, 0x1234);
        EXPECT_EQ(R.Status, STATUS_SUCCESS);
        EXPECT_EQ(R.Information, 0u);
        EXPECT_EQ(Bus->OutstandingIo, Before);
    }
}

TEST_F(Entry, CloseAfterTheBusIsDeletedIsRefusedButCounted)
{
    ASSERT_NO_FATAL_FAILURE(StartBus());
    ObReferenceObject(BusDevice);  // keep the record readable past the removal
    RemoveBus();
    ASSERT_EQ(Bus->Header.PnpState, Deleted);
    LONG Before = Bus->OutstandingIo;
    std::atomic<LONG> During{-1};
    Request Close = Send(BusDevice, IRP_MJ_CLOSE, 0, nullptr, STATUS_NOT_SUPPORTED, 0, [&] {
        During = Bus->OutstandingIo;
    });
    EXPECT_EQ(Close.Status, STATUS_DELETE_PENDING);
    EXPECT_EQ(During.load(), Before + 1);
    EXPECT_EQ(Bus->OutstandingIo, Before);

    // Plug and play is refused too, and goes nowhere.
    size_t LowerSeen = LowerDriver().PnpReceived.size();
    Request Pnp = SendPnp(BusDevice, IRP_MN_QUERY_CAPABILITIES, nullptr, STATUS_NOT_SUPPORTED, 0x77);
    EXPECT_EQ(Pnp.Status, STATUS_DELETE_PENDING);
    EXPECT_EQ(Pnp.Information, 0x77u);
    EXPECT_EQ(LowerDriver().PnpReceived.size(), LowerSeen);
    ObDereferenceObject(BusDevice);
}

TEST_F(Entry, ReadFailsOnBothKindsOfDevice)
{
    ASSERT_NO_FATAL_FAILURE(StartBus());
    PortExtension* Port = MakePort();
    ASSERT_NE(Port, nullptr);
    EXPECT_EQ(Send(BusDevice, IRP_MJ_READ, 0).Status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(Send(Port->Header.Self, IRP_MJ_READ, 0).Status, STATUS_INVALID_DEVICE_REQUEST);
}

}  // namespace
