// Removing managed ports and reloading client permissions.
#include "control_fixture.h"

namespace drvtest {
namespace {

class RemovePortTest : public ControlFixture {
protected:
    PortExtension* Client = nullptr;
    PortExtension* ControlPort = nullptr;

    void SetUpCom3(bool Start = true)
    {
        ASSERT_NO_FATAL_FAILURE(StartBus());
        ASSERT_NO_FATAL_FAILURE(CreateManaged(u"COM3", &Client, &ControlPort));
        if (Start) {
            ASSERT_NO_FATAL_FAILURE(StartPorts());
        }
        HkClockAdvance(RescanDelayMs);
    }

    std::vector<UCHAR> PresentFlags()
    {
        std::vector<UCHAR> Flags;
        for (PortExtension* Port : PortsOnList()) {
            Flags.push_back(Port->Present);
        }
        return Flags;
    }
};

TEST_F(RemovePortTest, EmptyBus)
{
    ASSERT_NO_FATAL_FAILURE(StartBus());
    ControlReply Reply = RemovePortRequest(u"COM3");
    EXPECT_EQ(Reply.Status, STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(Reply.Information, sizeof(dravolux::PortRequest));
    // Requests without output leave Information alone.
    for (ULONG Code : {dravolux::IoctlRemoveAllPorts, dravolux::IoctlReloadPermissions}) {
        Reply = Control(Code, nullptr, 0, 0);
        EXPECT_EQ(Reply.Status, STATUS_SUCCESS);
        EXPECT_EQ(Reply.Information, UntouchedInformation);
    }
    EXPECT_FALSE(RescanArmed());
}

TEST_F(RemovePortTest, StartedAndClosedPortIsMarkedWhole)
{
    ASSERT_NO_FATAL_FAILURE(SetUpCom3());
    ASSERT_EQ(CreatePortRequest(u"COM4").Status, STATUS_SUCCESS);
    ASSERT_NO_FATAL_FAILURE(StartPorts());
    HkClockAdvance(RescanDelayMs);

    for (const char16_t* Other : {u"com3", u"COM", u"XOM3"}) {
        EXPECT_EQ(RemovePortRequest(Other).Status, STATUS_INVALID_PARAMETER);
    }
    EXPECT_FALSE(RescanArmed());
    EXPECT_EQ(PresentFlags(), (std::vector<UCHAR>{1, 1, 1, 1}));

    ControlReply Reply = RemovePortRequest(u"COM3");
    EXPECT_EQ(Reply.Status, STATUS_SUCCESS);
    EXPECT_EQ(Reply.Information, sizeof(dravolux::PortRequest));
    EXPECT_EQ(PresentFlags(), (std::vector<UCHAR>{0, 0, 1, 1}));
    EXPECT_TRUE(RescanArmed());

    // A long name is compared on its first 127 units, and the reply cut there.
    ASSERT_EQ(CreatePortRequest(std::u16string(127, u'Q')).Status, STATUS_SUCCESS);
    ASSERT_NO_FATAL_FAILURE(StartPorts());
    Reply = RemovePortRequest(std::u16string(128, u'Q'));
    EXPECT_EQ(Reply.Status, STATUS_SUCCESS);
    ASSERT_EQ(Reply.Output.size(), sizeof(dravolux::PortRequest));
    EXPECT_EQ(Reply.Output[258] | Reply.Output[259], 0);
}

TEST_F(RemovePortTest, OpenPortIsBusyAndNothingIsMarked)
{
    ASSERT_NO_FATAL_FAILURE(SetUpCom3());
    PEPROCESS Term = NewProcess(u"C:\\Tools\\term.exe");
    ASSERT_EQ(OpenAs(Client, Term).Status, STATUS_SUCCESS);
    ASSERT_NO_FATAL_FAILURE(StartPorts());
    HkClockAdvance(RescanDelayMs);
    std::vector<UCHAR> Before = PresentFlags();

    ControlReply Reply = RemovePortRequest(u"COM3");
    EXPECT_EQ(Reply.Status, STATUS_DEVICE_BUSY);
    EXPECT_EQ(Reply.Information, sizeof(dravolux::PortRequest));
    EXPECT_EQ(Control(dravolux::IoctlRemoveAllPorts, nullptr, 0, 0).Status, STATUS_DEVICE_BUSY);
    EXPECT_EQ(PresentFlags(), Before);
    EXPECT_FALSE(RescanArmed());

    // A later client of the group open: the first one, closed, shares the
    // name but is not what the removal looks for.
    ASSERT_EQ(Close(Client).Status, STATUS_SUCCESS);
    PortExtension* Later = LastClient();
    ASSERT_EQ(OpenAs(Later, Term).Status, STATUS_SUCCESS);
    ASSERT_NO_FATAL_FAILURE(StartPorts());
    HkClockAdvance(RescanDelayMs);
    EXPECT_EQ(RemovePortRequest(u"COM3").Status, STATUS_DEVICE_BUSY);
    ASSERT_EQ(Close(Later).Status, STATUS_SUCCESS);

    // The control port device open is checked too.
    HkClockAdvance(RescanDelayMs);
    ASSERT_EQ(OpenAs(ControlPort, Term).Status, STATUS_SUCCESS);
    EXPECT_EQ(RemovePortRequest(u"COM3").Status, STATUS_DEVICE_BUSY);
    ASSERT_EQ(Close(ControlPort).Status, STATUS_SUCCESS);
    HkClockAdvance(RescanDelayMs);
    EXPECT_EQ(RemovePortRequest(u"COM3").Status, STATUS_SUCCESS);
    EXPECT_EQ(PresentFlags(), std::vector<UCHAR>(PortsOnList().size(), 0));
}

TEST_F(RemovePortTest, NotStartedPortIsNotReadyButRemoveAllMarksIt)
{
    ASSERT_NO_FATAL_FAILURE(SetUpCom3(false));
    ReportedIndexes();  // known to the PnP manager, not started yet
    EXPECT_EQ(RemovePortRequest(u"COM3").Status, STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(PresentFlags(), (std::vector<UCHAR>{1, 1}));
    EXPECT_FALSE(RescanArmed());

    EXPECT_EQ(Control(dravolux::IoctlRemoveAllPorts, nullptr, 0, 0).Status, STATUS_SUCCESS);
    EXPECT_EQ(PresentFlags(), (std::vector<UCHAR>{0, 0}));
    EXPECT_TRUE(RescanArmed());
}

// Port devices the PnP manager never heard of get no removal request:
// RemoveAllPorts releases them itself, and their DOS name comes back.
TEST_F(RemovePortTest, RemoveAllReleasesPortsNeverReported)
{
    ASSERT_NO_FATAL_FAILURE(SetUpCom3());
    ReportedIndexes();
    ASSERT_EQ(MakeLink(u"\\DosDevices\\COM4", u"\\Device\\Serial4"), STATUS_SUCCESS);
    ASSERT_EQ(CreatePortRequest(u"COM4").Status, STATUS_SUCCESS);
    ASSERT_EQ(Indexes(), (std::vector<ULONG>{0, 1, 2, 3}));

    EXPECT_EQ(Control(dravolux::IoctlRemoveAllPorts, nullptr, 0, 0).Status, STATUS_SUCCESS);
    EXPECT_EQ(Indexes(), (std::vector<ULONG>{0, 1}));
    EXPECT_EQ(Bus->PortCount, 2u);
    EXPECT_EQ(PresentFlags(), (std::vector<UCHAR>{0, 0}));
    EXPECT_EQ(LinkTargetOf(u"\\DosDevices\\COM4"), u"\\Device\\Serial4");
    EXPECT_TRUE(RescanArmed());
}

// Held where RemoveAllPorts frees the first port device of a pair the PnP
// manager never heard of, before the pair's control port device goes.
std::atomic<Gate*> ReleaseGate{nullptr};
std::atomic<PDEVICE_OBJECT> HeldAtFree{nullptr};
void HoldAtFree(PDEVICE_OBJECT Device)
{
    Gate* Held = ReleaseGate.load();
    if (Device == HeldAtFree.load() && Held != nullptr) {
        Held->Hold();
    }
}

// The name of an unreported pair is back before its gate opens: a CreatePort
// of the name in between takes the original link over, the departing control
// port device leaves it alone, and the original comes back at the end.
TEST_F(RemovePortTest, CreateBesideTheReleaseOfAnUnreportedPairKeepsTheOriginalLink)
{
    ASSERT_NO_FATAL_FAILURE(StartBus());
    ASSERT_EQ(MakeLink(u"\\DosDevices\\COM3", u"\\Device\\Serial2"), STATUS_SUCCESS);
    ASSERT_NO_FATAL_FAILURE(CreateManaged(u"COM3", &Client, &ControlPort));
    static bool Registered = false;
    if (!Registered) {
        HkIoRegisterDeviceFreeHook(HoldAtFree);
        Registered = true;
    }
    Gate Held;
    HeldAtFree = Client->Header.Self;
    ReleaseGate = &Held;
    std::thread Remover(
        [&] { EXPECT_EQ(Control(dravolux::IoctlRemoveAllPorts, nullptr, 0, 0).Status, STATUS_SUCCESS); });
    Held.WaitEntered();
    EXPECT_EQ(CreatePortRequest(u"COM3").Status, STATUS_SUCCESS);
    Held.Release();
    Remover.join();
    ReleaseGate = nullptr;
    HeldAtFree = nullptr;
    EXPECT_EQ(LinkTargetOf(u"\\DosDevices\\COM3"), u"<none>");  // held by the new pair

    EXPECT_EQ(Control(dravolux::IoctlRemoveAllPorts, nullptr, 0, 0).Status, STATUS_SUCCESS);
    EXPECT_EQ(LinkTargetOf(u"\\DosDevices\\COM3"), u"\\Device\\Serial2");
}

// A request reaching a port device while its removal deletes it (held where
// the control port device gives its name back) finds it deleted.
TEST_F(RemovePortTest, RequestDuringDeletionIsDeletePending)
{
    ASSERT_NO_FATAL_FAILURE(SetUpCom3());
    ASSERT_EQ(RemovePortRequest(u"COM3").Status, STATUS_SUCCESS);
    EXPECT_TRUE(ReportedIndexes().empty());
    PDEVICE_OBJECT Device = ControlPort->Header.Self;
    ObReferenceObject(Device);
    std::thread Remover;
    {
        GateHold Names(&Bus->NameGate);
        Remover = std::thread([&] { EXPECT_EQ(SendPnp(Device, IRP_MN_REMOVE_DEVICE).Status, STATUS_SUCCESS); });
        WaitUntil([&] { return ReadPnpState(&ControlPort->Header) == Deleted; });
        Request R = QueryId(Device, BusQueryInstanceID, STATUS_NOT_SUPPORTED, 0x5150);
        EXPECT_EQ(R.Status, STATUS_DELETE_PENDING);
        EXPECT_EQ(R.Information, 0x5150u);
    }
    Remover.join();
    EXPECT_TRUE(HkIoIsDeletePending(Device));
    ObDereferenceObject(Device);
}

TEST_F(RemovePortTest, ReloadReadsTheRegistryAtPassiveLevelForOpenedClients)
{
    ASSERT_NO_FATAL_FAILURE(SetUpCom3());
    PEPROCESS A = NewProcess(u"C:\\a.exe");
    PEPROCESS B = NewProcess(u"C:\\b.exe");
    SetPermission(u"COM3", u"C:\\a.exe", 0x10);
    ASSERT_EQ(OpenAs(Client, A).Status, STATUS_SUCCESS);
    PortExtension* Second = LastClient();
    ASSERT_EQ(OpenAs(Second, B).Status, STATUS_SUCCESS);
    PortExtension* Waiting = LastClient();
    ASSERT_EQ(OpenAs(ControlPort, A).Status, STATUS_SUCCESS);
    EXPECT_EQ(Client->Function.Permissions, 0x10u);
    EXPECT_EQ(Second->Function.Permissions, 3u);

    // The registry changes from outside; a reload brings it in.
    SetPermission(u"COM3", u"C:\\a.exe", 0x31);
    SetPermission(u"COM3", u"C:\\b.exe", 0x32);
    Second->Function.Permissions = 0x99;
    HkVerifierCapture Capture;
    ControlReply Reply = Control(dravolux::IoctlReloadPermissions, nullptr, 0, 0);
    EXPECT_EQ(Reply.Status, STATUS_SUCCESS);
    EXPECT_EQ(Capture.Count(), 0u) << (Capture.Count() ? Capture.Reports()[0].Text : "");
    EXPECT_EQ(Capture.Count(HkViolation::RegistryAtHighIrql), 0u);
    EXPECT_EQ(Client->Function.Permissions, 0x31u);
    EXPECT_EQ(Second->Function.Permissions, 0x32u);
    EXPECT_EQ(Waiting->Function.Permissions, 0u);
    EXPECT_EQ(ControlPort->Function.Permissions, 7u);

    // A value that goes away gives the default.
    std::u16string Key = u"\\Registry\\Machine\\Software\\ZARVIK Software\\CorvessSerialPorts\\COM3\\Permissions";
    ASSERT_EQ(HkRegDeleteValue(W(Key.c_str()), L"C:\\b.exe"), STATUS_SUCCESS);
    EXPECT_EQ(ReloadPermissions(Bus), STATUS_SUCCESS);
    EXPECT_EQ(Second->Function.Permissions, 3u);
    EXPECT_EQ(Client->Function.Permissions, 0x31u);
}

TEST_F(RemovePortTest, ReloadCoversMoreClientsThanOneBatch)
{
    ASSERT_NO_FATAL_FAILURE(SetUpCom3());
    PEPROCESS A = NewProcess(u"C:\\a.exe");
    SetPermission(u"COM3", u"C:\\a.exe", 0x12);
    for (int i = 0; i < 40; i++) {
        ASSERT_EQ(OpenAs(LastClient(), A).Status, STATUS_SUCCESS);
    }
    SetPermission(u"COM3", u"C:\\a.exe", 0x13);
    EXPECT_EQ(ReloadPermissions(Bus), STATUS_SUCCESS);
    ULONG Opened = 0;
    for (PortExtension* Port : PortsOnList()) {
        if (Port->ImagePath != nullptr) {
            EXPECT_EQ(Port->Function.Permissions, 0x13u) << Port->Index;
            Opened++;
        }
    }
    EXPECT_EQ(Opened, 40u);

    // Without scratch pool the registry cannot be read: the default word.
    HkFaultFailTag(DVX_SCRATCH_TAG);
    EXPECT_EQ(ReloadPermissions(Bus), STATUS_SUCCESS);
    HkFaultReset();
    EXPECT_EQ(Client->Function.Permissions, 3u);
}

}  // namespace
}  // namespace drvtest
