// Plug and play of the bus device: states, bus relations, its identifiers,
// surprise removal and removal.
#include "control_fixture.h"

namespace {

using namespace drvtest;

class BusPnpTest : public ControlFixture {
protected:
    size_t LowerSaw(UCHAR Minor)
    {
        size_t Count = 0;
        for (const HkPnpReceived& Seen : LowerDriver().PnpReceived) {
            Count += Seen.Minor == Minor;
        }
        return Count;
    }
    bool TimerSet() { return HkKeFindLiveObjectsInRange(&Bus->RescanTimer, sizeof(KTIMER)).Timers != 0; }
};

TEST_F(BusPnpTest, StartKeepsNoInformationalStatusFromBelow)
{
    ASSERT_NO_FATAL_FAILURE(AddBus());
    LowerDriver().StartStatus = (NTSTATUS)0x40000001;  // a success with information
    Request R = SendPnp(BusDevice, IRP_MN_START_DEVICE);
    EXPECT_EQ(R.Status, STATUS_SUCCESS);
    EXPECT_EQ(R.Returned, STATUS_SUCCESS);
    EXPECT_EQ(Bus->Header.PnpState, Started);
    EXPECT_EQ(Bus->Header.DevicePowerState, PowerDeviceD0);
    EXPECT_EQ(Bus->OutstandingIo, 1);
}

// Each request in turn and the state it leaves; a cancel that does not
// match the pending state changes nothing. The bus never vetoes: only its
// lower driver could, even with a port device open.
TEST_F(BusPnpTest, StopAndRemoveQueriesAndTheirCancels)
{
    ASSERT_NO_FATAL_FAILURE(StartBus());
    PortExtension* Port = MakePort();
    ASSERT_NE(Port, nullptr);
    Port->OpenCount = 1;
    const std::pair<UCHAR, PnpStateValue> Steps[] = {
        {IRP_MN_QUERY_STOP_DEVICE, StopPending},    {IRP_MN_CANCEL_STOP_DEVICE, Started},
        {IRP_MN_CANCEL_STOP_DEVICE, Started},       {IRP_MN_CANCEL_REMOVE_DEVICE, Started},
        {IRP_MN_QUERY_REMOVE_DEVICE, RemovePending}, {IRP_MN_CANCEL_STOP_DEVICE, RemovePending},
        {IRP_MN_CANCEL_REMOVE_DEVICE, Started},     {IRP_MN_QUERY_REMOVE_DEVICE, RemovePending},
        {IRP_MN_CANCEL_REMOVE_DEVICE, Started},     {IRP_MN_QUERY_STOP_DEVICE, StopPending},
        {IRP_MN_STOP_DEVICE, Stopped},              {IRP_MN_START_DEVICE, Started},
    };
    for (const auto& [Minor, State] : Steps) {
        EXPECT_EQ(SendPnp(BusDevice, Minor).Status, STATUS_SUCCESS) << HkPnpMinorName(Minor);
        EXPECT_EQ(Bus->Header.PnpState, State) << HkPnpMinorName(Minor);
    }
    Port->OpenCount = 0;
    EXPECT_EQ(LowerSaw(IRP_MN_STOP_DEVICE), 1u);
    EXPECT_EQ(LowerSaw(IRP_MN_QUERY_REMOVE_DEVICE), 2u);
    EXPECT_EQ(Bus->OutstandingIo, 1);
}

TEST_F(BusPnpTest, RelationsReportPresentPortsInIndexOrderAndMarkTheRest)
{
    ASSERT_NO_FATAL_FAILURE(StartBus());
    PortExtension* P0 = MakePort();
    PortExtension* P1 = MakePort();
    PortExtension* P2 = MakePort();
    ASSERT_TRUE(P0 && P1 && P2);
    P1->Present = 0;
    LONG_PTR Refs0 = HkObPointerCount(P0->Header.Self);

    Request R = QueryRelations(BusDevice, BusRelations);
    EXPECT_EQ(R.Status, STATUS_SUCCESS);
    PDEVICE_RELATIONS Relations = (PDEVICE_RELATIONS)R.Information;
    ASSERT_NE(Relations, nullptr);
    ASSERT_EQ(Relations->Count, 2u);
    EXPECT_EQ(Relations->Objects[0], P0->Header.Self);
    EXPECT_EQ(Relations->Objects[1], P2->Header.Self);
    EXPECT_EQ(HkObPointerCount(P0->Header.Self), Refs0 + 1);
    EXPECT_EQ(P1->ReportedMissing, 1);
    EXPECT_EQ(P0->ReportedMissing, 0);
    EXPECT_EQ(Bus->PortCount, 3u);
    EXPECT_EQ(PortsOnList().size(), 3u);
    TakeRelations(R.Information);
    EXPECT_EQ(HkObPointerCount(P0->Header.Self), Refs0);
}

// A list left by drivers above comes first and is released; with no port
// device at all it goes down untouched; with nothing at all the answer is
// an empty list.
TEST_F(BusPnpTest, RelationsWithAListFromAbove)
{
    ASSERT_NO_FATAL_FAILURE(StartBus());
    PDEVICE_RELATIONS Above = MakeRelations({Pdo});
    Request R = QueryRelations(BusDevice, BusRelations, Above);
    EXPECT_EQ(R.Status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(R.Information, (ULONG_PTR)Above);
    EXPECT_EQ(TakeRelations(R.Information), std::vector<PDEVICE_OBJECT>{Pdo});

    R = QueryRelations(BusDevice, BusRelations);
    EXPECT_EQ(R.Status, STATUS_SUCCESS);
    ASSERT_NE(R.Information, 0u);
    EXPECT_TRUE(TakeRelations(R.Information).empty());

    PortExtension* P0 = MakePort();
    PortExtension* P1 = MakePort();
    ASSERT_TRUE(P0 && P1);
    Above = MakeRelations({Pdo});
    R = QueryRelations(BusDevice, BusRelations, Above);
    EXPECT_EQ(R.Status, STATUS_SUCCESS);
    EXPECT_FALSE(HkPoolIsLive(Above));
    EXPECT_EQ(TakeRelations(R.Information), (std::vector<PDEVICE_OBJECT>{Pdo, P0->Header.Self, P1->Header.Self}));
}

TEST_F(BusPnpTest, RelationsWithoutPoolFailHereAndKeepTheListFromAbove)
{
    ASSERT_NO_FATAL_FAILURE(StartBus());
    ASSERT_NE(MakePort(), nullptr);
    PDEVICE_RELATIONS Above = MakeRelations({Pdo});
    size_t LowerBefore = LowerSaw(IRP_MN_QUERY_DEVICE_RELATIONS);
    HkFaultFailTag(DVX_TAG);
    Request R = QueryRelations(BusDevice, BusRelations, Above);
    HkFaultReset();
    EXPECT_EQ(R.Status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(R.Information, (ULONG_PTR)Above);
    EXPECT_EQ(LowerSaw(IRP_MN_QUERY_DEVICE_RELATIONS), LowerBefore);
    EXPECT_EQ(Bus->OutstandingIo, 1);
    TakeRelations(R.Information);
}

TEST_F(BusPnpTest, OwnIdentifiers)
{
    ASSERT_NO_FATAL_FAILURE(StartBus());
    Request Device = QueryId(BusDevice, BusQueryDeviceID);
    EXPECT_EQ(Device.Status, STATUS_NOT_SUPPORTED);  // the lower driver completes it
    EXPECT_EQ(TakeText(Device.Information), u"Root\\SYSTEM");

    Request Hardware = QueryId(BusDevice, BusQueryHardwareIDs);
    ASSERT_NE(Hardware.Information, 0u);
    const char16_t* Ids = reinterpret_cast<const char16_t*>(Hardware.Information);
    EXPECT_EQ(std::u16string(Ids, 10), std::u16string(u"DRAVOLUX\0\0", 10));
    ExFreePool((PVOID)Hardware.Information);

    // Without pool nothing is stored, and the request still goes down.
    HkFaultFailTag(DVX_TAG);
    Request NoPool = QueryId(BusDevice, BusQueryDeviceID, STATUS_NOT_SUPPORTED, 0x99);
    HkFaultReset();
    EXPECT_EQ(NoPool.Information, 0x99u);
    EXPECT_EQ(Bus->OutstandingIo, 1);
}

// Every request the bus passes down, with the status it carries on the way:
// STATUS_SUCCESS where the bus answers for itself, the sender's status where
// it has nothing to add. The lower driver records what reached it.
TEST_F(BusPnpTest, StatusEveryRequestCarriesDown)
{
    ASSERT_NO_FATAL_FAILURE(StartBus());
    const NTSTATUS Sent = STATUS_NOT_SUPPORTED;
    const ULONG_PTR Untouched = 0x42;
    struct Case {
        UCHAR Minor;
        ULONG Type;         // relation or ID type
        NTSTATUS Down;      // IoStatus.Status the lower driver receives
        bool Answered;      // the bus leaves an answer of its own in Information
    };
    const Case Cases[] = {
        {IRP_MN_QUERY_DEVICE_RELATIONS, BusRelations, STATUS_SUCCESS, true},
        {IRP_MN_QUERY_DEVICE_RELATIONS, EjectionRelations, Sent, false},
        {IRP_MN_QUERY_DEVICE_RELATIONS, RemovalRelations, Sent, false},
        {IRP_MN_QUERY_DEVICE_RELATIONS, TargetDeviceRelation, Sent, false},
        {IRP_MN_QUERY_INTERFACE, 0, Sent, false},
        {IRP_MN_QUERY_CAPABILITIES, 0, Sent, false},
        {IRP_MN_QUERY_RESOURCES, 0, Sent, false},
        {IRP_MN_QUERY_RESOURCE_REQUIREMENTS, 0, Sent, false},
        {IRP_MN_QUERY_DEVICE_TEXT, 0, Sent, false},
        {IRP_MN_FILTER_RESOURCE_REQUIREMENTS, 0, Sent, false},
        {0x0E, 0, Sent, false},
        {IRP_MN_READ_CONFIG, 0, Sent, false},
        {IRP_MN_WRITE_CONFIG, 0, Sent, false},
        {IRP_MN_EJECT, 0, Sent, false},
        {IRP_MN_SET_LOCK, 0, Sent, false},
        {IRP_MN_QUERY_ID, BusQueryDeviceID, Sent, true},
        {IRP_MN_QUERY_ID, BusQueryHardwareIDs, Sent, true},
        {IRP_MN_QUERY_ID, BusQueryInstanceID, Sent, false},
        {IRP_MN_QUERY_ID, BusQueryCompatibleIDs, Sent, false},
        {IRP_MN_QUERY_PNP_DEVICE_STATE, 0, Sent, false},
        {IRP_MN_QUERY_BUS_INFORMATION, 0, Sent, false},
        {IRP_MN_DEVICE_USAGE_NOTIFICATION, 0, Sent, false},
        {0x18, 0, Sent, false},
        {0x20, 0, Sent, false},
        {IRP_MN_QUERY_STOP_DEVICE, 0, STATUS_SUCCESS, false},
        {IRP_MN_CANCEL_STOP_DEVICE, 0, STATUS_SUCCESS, false},
        {IRP_MN_QUERY_STOP_DEVICE, 0, STATUS_SUCCESS, false},
        {IRP_MN_STOP_DEVICE, 0, STATUS_SUCCESS, false},
        {IRP_MN_START_DEVICE, 0, Sent, false},
        {IRP_MN_QUERY_REMOVE_DEVICE, 0, STATUS_SUCCESS, false},
        {IRP_MN_CANCEL_REMOVE_DEVICE, 0, STATUS_SUCCESS, false},
        {IRP_MN_SURPRISE_REMOVAL, 0, STATUS_SUCCESS, false},
        {IRP_MN_REMOVE_DEVICE, 0, STATUS_SUCCESS, false},
    };
    DEVICE_CAPABILITIES Caps = {};
    Caps.Size = sizeof(Caps);
    Caps.Version = 1;
    for (const Case& C : Cases) {
        const size_t Before = LowerDriver().PnpReceived.size();
        if (C.Minor == IRP_MN_REMOVE_DEVICE) {
            BusRemoved = true;
        }
        Request R = SendPnp(
            BusDevice, C.Minor,
            [&](PIO_STACK_LOCATION Stack) {
                if (C.Minor == IRP_MN_QUERY_DEVICE_RELATIONS) {
                    Stack->Parameters.QueryDeviceRelations.Type = (DEVICE_RELATION_TYPE)C.Type;
                } else if (C.Minor == IRP_MN_QUERY_ID) {
                    Stack->Parameters.QueryId.IdType = (BUS_QUERY_ID_TYPE)C.Type;
                } else if (C.Minor == IRP_MN_QUERY_CAPABILITIES) {
                    Stack->Parameters.DeviceCapabilities.Capabilities = &Caps;
                }
            },
            Sent, C.Answered ? 0 : Untouched);
        const std::string Name = std::string(HkPnpMinorName(C.Minor)) + " " + std::to_string(C.Type);
        ASSERT_EQ(LowerDriver().PnpReceived.size(), Before + 1) << Name;
        EXPECT_EQ(LowerDriver().PnpReceived.back().Minor, C.Minor) << Name;
        EXPECT_EQ(LowerDriver().PnpReceived.back().Status, C.Down) << Name;
        if (C.Minor == IRP_MN_QUERY_DEVICE_RELATIONS && C.Answered) {
            TakeRelations(R.Information);
        } else if (C.Answered) {
            ASSERT_NE(R.Information, 0u) << Name;
            ExFreePool((PVOID)R.Information);
        } else if (C.Minor != IRP_MN_START_DEVICE) {
            EXPECT_EQ(R.Information, Untouched) << Name;
        }
    }
}

// A surprise removal orphans the port devices bus relations reported: the
// PnP manager removes those, and their removals leave the bus alone. One no
// relations named stays with the bus, whose removal releases it.
TEST_F(BusPnpTest, SurpriseRemovalOrphansReportedPortsAndLeavesTheRestToTheRemoval)
{
    ASSERT_NO_FATAL_FAILURE(StartBus());
    PortExtension* Told[] = {MakePort(), MakePort()};
    ASSERT_TRUE(Told[0] && Told[1]);
    Request R = QueryRelations(BusDevice, BusRelations);
    ASSERT_EQ(R.Status, STATUS_SUCCESS);
    TakeRelations(R.Information);
    PortExtension* Untold = MakePort();
    ASSERT_NE(Untold, nullptr);
    ScheduleRescan(Bus);
    EXPECT_TRUE(TimerSet());

    EXPECT_EQ(SendPnp(BusDevice, IRP_MN_SURPRISE_REMOVAL).Status, STATUS_SUCCESS);
    EXPECT_EQ(Bus->Header.PnpState, SurpriseRemoved);
    EXPECT_EQ(PortsOnList(), std::vector<PortExtension*>{Untold});
    EXPECT_EQ(Untold->ParentBus, BusDevice);
    EXPECT_FALSE(HkObNameExists(L"\\DosDevices\\SerialCorvessControl"));
    EXPECT_FALSE(TimerSet());
    for (PortExtension* Port : Told) {
        EXPECT_EQ(Port->ParentBus, nullptr);
        EXPECT_EQ(SendPnp(Port->Header.Self, IRP_MN_REMOVE_DEVICE).Status, STATUS_SUCCESS);
    }
    EXPECT_EQ(PortsOnList(), std::vector<PortExtension*>{Untold});

    PDEVICE_OBJECT UntoldDevice = Untold->Header.Self;
    ObReferenceObject(UntoldDevice);
    ObReferenceObject(BusDevice);
    EXPECT_EQ(RemoveBus().Status, STATUS_SUCCESS);
    EXPECT_TRUE(ListIsEmpty(&Bus->PortList));
    EXPECT_TRUE(HkIoIsDeletePending(UntoldDevice));
    EXPECT_EQ(Pdo->AttachedDevice, nullptr);
    ObDereferenceObject(UntoldDevice);
    ObDereferenceObject(BusDevice);
}

TEST_F(BusPnpTest, RemovalReleasesStartedPortsAndOrphansSurpriseRemovedOnes)
{
    ASSERT_NO_FATAL_FAILURE(StartBus());
    PortExtension* Gone = MakePort();
    PortExtension* Kept = MakePort();
    ASSERT_TRUE(Gone && Kept);
    EXPECT_EQ(SendPnp(Gone->Header.Self, IRP_MN_SURPRISE_REMOVAL).Status, STATUS_SUCCESS);
    EXPECT_EQ(SendPnp(Kept->Header.Self, IRP_MN_START_DEVICE).Status, STATUS_SUCCESS);
    PDEVICE_OBJECT KeptDevice = Kept->Header.Self;
    ObReferenceObject(KeptDevice);
    ObReferenceObject(BusDevice);

    EXPECT_EQ(RemoveBus().Status, STATUS_SUCCESS);
    EXPECT_EQ(Bus->Header.PnpState, Deleted);
    EXPECT_EQ(Bus->PortCount, 1u);
    EXPECT_TRUE(ListIsEmpty(&Bus->PortList));
    EXPECT_FALSE(HkObNameExists(L"\\DosDevices\\SerialCorvessControl"));
    EXPECT_FALSE(HkObNameExists(L"\\Device\\SerialCorvessControl"));
    // The started port device is deleted; the orphan lives on.
    EXPECT_TRUE(HkIoIsDeletePending(KeptDevice));
    EXPECT_FALSE(HkIoIsDeletePending(Gone->Header.Self));
    EXPECT_EQ(Gone->ParentBus, nullptr);
    EXPECT_EQ(Gone->ReportedMissing, 1);
    EXPECT_EQ(Gone->BusLink.Flink, &Gone->BusLink);
    ObDereferenceObject(KeptDevice);

    // An orphan has no bus to ask for capabilities.
    UCHAR Record[72] = {};
    reinterpret_cast<PDEVICE_CAPABILITIES>(Record)->Size = 72;
    reinterpret_cast<PDEVICE_CAPABILITIES>(Record)->Version = 1;
    UCHAR Before[72];
    memcpy(Before, Record, sizeof(Record));
    Request Caps = SendPnp(Gone->Header.Self, IRP_MN_QUERY_CAPABILITIES, [&](PIO_STACK_LOCATION Stack) {
        Stack->Parameters.DeviceCapabilities.Capabilities = reinterpret_cast<PDEVICE_CAPABILITIES>(Record);
    });
    EXPECT_EQ(Caps.Status, STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(memcmp(Before, Record, sizeof(Record)), 0);

    EXPECT_EQ(SendPnp(Gone->Header.Self, IRP_MN_REMOVE_DEVICE).Status, STATUS_SUCCESS);
    EXPECT_EQ(Bus->PortCount, 1u);
    ObDereferenceObject(BusDevice);
}

// The removal must not reach IoDeleteDevice while RescanDpc is still queued:
// the host kernel's I/O manager stops with DeleteDeviceWithDpc when the
// deleted extension holds a queued DPC, which is what a removal that only
// cancels the timer (KeCancelTimer does not dequeue a DPC) would hit here.
TEST_F(BusPnpTest, RemovalWithARescanDpcQueued)
{
    ASSERT_NO_FATAL_FAILURE(StartBus());
    ScheduleRescan(Bus);
    HkClockAdvance(RescanDelayMs, HkDpcMode::Deferred);  // timer expired, DPC queued, not run
    ASSERT_EQ(HkKeFindLiveObjectsInRange(Bus, sizeof(*Bus)).Dpcs, 1u);
    HkVerifierCapture Capture;
    EXPECT_EQ(RemoveBus().Status, STATUS_SUCCESS);
    EXPECT_EQ(Capture.Count(HkViolation::DeleteDeviceWithDpc), 0u);
    EXPECT_EQ(Capture.Count(), 0u);
    EXPECT_EQ(HkDpcQueuedCount(), 0u);
}

// After a surprise removal a control request on a handle still open may
// re-arm the timer; the removal disarms it before deleting the device (else
// DeleteDeviceWithTimer).
TEST_F(BusPnpTest, TimerReArmedAfterSurpriseRemovalIsDisarmedByTheRemoval)
{
    ASSERT_NO_FATAL_FAILURE(StartBus());
    EXPECT_EQ(SendPnp(BusDevice, IRP_MN_SURPRISE_REMOVAL).Status, STATUS_SUCCESS);
    ScheduleRescan(Bus);  // as CreatePort or RemovePort would
    ASSERT_TRUE(TimerSet());
    HkVerifierCapture Capture;
    EXPECT_EQ(RemoveBus().Status, STATUS_SUCCESS);
    EXPECT_EQ(Capture.Count(), 0u);
    EXPECT_EQ(HkTimerSetCount(), 0u);
    HkClockAdvance(1000);  // nothing left to fire
}

class BusPnpConcurrency : public BusPnpTest {};

// The removal waits for a control request that is still running before it
// touches PortList. The request is held inside its completion, which runs
// before the control path drops its count.
TEST_F(BusPnpConcurrency, RemovalWaitsForARunningControlRequest)
{
    ASSERT_NO_FATAL_FAILURE(StartBus());
    PortExtension* Port = MakePort();
    ASSERT_NE(Port, nullptr);
    PDEVICE_OBJECT PortDevice = Port->Header.Self;
    ObReferenceObject(PortDevice);
    ObReferenceObject(BusDevice);

    Gate Held;
    std::thread Requester([&] {
        ULONG QueryType = dravolux::QueryAllPorts;
        ControlReply Reply =
            Control(dravolux::IoctlQueryPorts, &QueryType, sizeof(QueryType), 512, BusDevice, [&] { Held.Hold(); });
        EXPECT_EQ(Reply.Status, STATUS_SUCCESS);
    });
    Held.WaitEntered();
    EXPECT_EQ(Bus->OutstandingIo, 2);

    std::atomic<bool> Removed{false};
    std::thread Remover([&] {
        EXPECT_EQ(RemoveBus().Status, STATUS_SUCCESS);
        Removed = true;
    });
    // The removal has marked the bus and dropped both of its counts; only the
    // control request's count is left, so it now waits on RemoveEvent.
    WaitUntil([&] { return BusState() == Deleted && ActivityCount() == 1; });
    for (int i = 0; i < 10000; i++) {
        std::this_thread::yield();
    }
    EXPECT_FALSE(Removed.load());
    EXPECT_EQ(Bus->PortCount, 1u);
    EXPECT_EQ(Bus->PortList.Flink, &Port->BusLink);
    EXPECT_FALSE(HkIoIsDeletePending(PortDevice));

    Held.Release();
    Requester.join();
    Remover.join();
    EXPECT_EQ(Bus->PortCount, 0u);
    EXPECT_TRUE(HkIoIsDeletePending(PortDevice));
    ObDereferenceObject(PortDevice);
    ObDereferenceObject(BusDevice);
}

}  // namespace
