// Creating a managed port: the pair of port devices, their group, the DOS
// name taken over and given back, refused names, and every failure path.
#include "control_fixture.h"

namespace drvtest {
namespace {

class CreatePortTest : public ControlFixture {
protected:
    ULONG DevicesOfDriver()
    {
        ULONG Count = 0;
        for (PDEVICE_OBJECT Device = Driver->DeviceObject; Device != nullptr; Device = Device->NextDevice) {
            Count++;
        }
        return Count;
    }

    // Releases the port devices of the bus but those kept, clients first.
    void DestroyAllPorts(const std::vector<PortExtension*>& Kept = {})
    {
        for (UCHAR IsControl : {0, 1}) {
            for (PortExtension* Port : PortsOnList()) {
                if (Port->IsControl == IsControl && std::find(Kept.begin(), Kept.end(), Port) == Kept.end()) {
                    DestroyPortDevice(Port->Header.Self, Port);
                }
            }
        }
    }
};

TEST_F(CreatePortTest, EmptyBusGetsClientZeroAndControlOneInOneGroup)
{
    ASSERT_NO_FATAL_FAILURE(StartBus());
    PortExtension* Client;
    PortExtension* Control;
    ASSERT_NO_FATAL_FAILURE(CreateManaged(u"COM3", &Client, &Control));

    EXPECT_EQ(Bus->PortCount, 2u);
    EXPECT_EQ(Indexes(), (std::vector<ULONG>{0, 1}));
    EXPECT_EQ(Client->Index, 0u);
    EXPECT_EQ(Client->Function.Permissions, 0u);
    EXPECT_EQ(Control->Index, 1u);
    EXPECT_EQ(Control->Function.Permissions, 7u);

    PortGroup* Group = Client->Group;
    ASSERT_NE(Group, nullptr);
    EXPECT_EQ(Control->Group, Group);
    EXPECT_EQ(GroupMembers(&Group->ClientList), std::vector<PortExtension*>{Client});
    EXPECT_EQ(GroupMembers(&Group->ControlList), std::vector<PortExtension*>{Control});
    EXPECT_EQ(FunctionMembers(&Group->ClientFunctionList), std::vector<PortExtension*>{Client});
    EXPECT_EQ(FunctionMembers(&Group->ControlFunctionList), std::vector<PortExtension*>{Control});
    EXPECT_EQ(Val(Client->Function.OwnFunctionList), &Group->ClientFunctionList);
    EXPECT_EQ(Val(Client->Function.PeerFunctionList), &Group->ControlFunctionList);
    EXPECT_EQ(Val(Control->Function.OwnFunctionList), &Group->ControlFunctionList);
    EXPECT_EQ(Val(Control->Function.PeerFunctionList), &Group->ClientFunctionList);

    EXPECT_EQ(U16(Client->PortName), u"COM3");
    EXPECT_EQ(U16(Client->LinkName), u"\\DosDevices\\COM3");
    EXPECT_EQ(Client->LinkTarget, nullptr);
    EXPECT_TRUE(RescanArmed());
}

TEST_F(CreatePortTest, NewNameDeletesNoLinkAndReleaseOnlyDeletesIt)
{
    ASSERT_NO_FATAL_FAILURE(StartBus());
    ASSERT_EQ(MakeLink(u"\\DosDevices\\COM4", u"\\Device\\Serial4"), STATUS_SUCCESS);
    PortExtension* Client;
    PortExtension* Control;
    ASSERT_NO_FATAL_FAILURE(CreateManaged(u"COM3", &Client, &Control));
    EXPECT_EQ(LinkTargetOf(u"\\DosDevices\\COM4"), u"\\Device\\Serial4");

    // Someone links the name meanwhile; the release deletes whatever is there.
    ASSERT_EQ(MakeLink(u"\\DosDevices\\COM3", u"\\Device\\Other"), STATUS_SUCCESS);
    RemoveBus();
    EXPECT_EQ(LinkTargetOf(u"\\DosDevices\\COM3"), u"<none>");
    EXPECT_EQ(LinkTargetOf(u"\\DosDevices\\COM4"), u"\\Device\\Serial4");
}

TEST_F(CreatePortTest, ExistingLinkIsTakenOverAndGivenBackOnRelease)
{
    ASSERT_NO_FATAL_FAILURE(StartBus());
    ASSERT_EQ(MakeLink(u"\\DosDevices\\COM3", u"\\Device\\Serial2"), STATUS_SUCCESS);
    PortExtension* Client;
    PortExtension* Control;
    ASSERT_NO_FATAL_FAILURE(CreateManaged(u"COM3", &Client, &Control));
    EXPECT_EQ(HkObLastHandleAccess(HkObSymbolicLinkType()), 0x80u);  // SYMBOLIC_LINK_QUERY, no more

    EXPECT_EQ(LinkTargetOf(u"\\DosDevices\\COM3"), u"<none>");
    ASSERT_NE(Client->LinkTarget, nullptr);
    EXPECT_EQ(U16(Client->LinkTarget), u"\\Device\\Serial2");

    // The client outlives nothing here; releasing the control port device
    // brings the link back.
    DestroyPortDevice(Control->Header.Self, Control);
    EXPECT_EQ(LinkTargetOf(u"\\DosDevices\\COM3"), u"\\Device\\Serial2");
    EXPECT_EQ(Bus->PortCount, 1u);
    // The client still reads the group's strings.
    EXPECT_EQ(U16(Client->PortName), u"COM3");
    EXPECT_TRUE(HkPoolIsLive(Client->PortName));
    // A client still going does not hold the name.
    EXPECT_EQ(CreatePortRequest(u"COM3").Status, STATUS_SUCCESS);
}

TEST_F(CreatePortTest, RefusedNamesChangeNothing)
{
    ASSERT_NO_FATAL_FAILURE(StartBus());
    ASSERT_EQ(MakeLink(u"\\DosDevices\\COM3", u"\\Device\\Serial2"), STATUS_SUCCESS);
    // A link whose target a UNICODE_STRING cannot hold with a NUL.
    const std::u16string Longest(32767, u'T');
    ASSERT_EQ(MakeLink(u"\\DosDevices\\COM3X", Longest.c_str()), STATUS_SUCCESS);
    HkPoolUsage Before = HkPoolOutstandingForTag(DVX_TAG);
    ULONG Devices = DevicesOfDriver();
    // An empty name is refused before any port device is made.
    HkFaultFailNth(HkFault::DeviceCreate, 1);
    EXPECT_EQ(CreatePortRequest(u"").Status, STATUS_INVALID_PARAMETER);
    HkFaultReset();
    const std::u16string Names[] = {u"COM-3", u"COM 3", u"CO\\M3", u"COM\u00e93", u"COM3.",
                                    u"",      u"\\DosDevices", u"-COM3", u"COM3X"};
    for (const std::u16string& Name : Names) {
        ControlReply Reply = CreatePortRequest(Name);
        EXPECT_EQ(Reply.Status, STATUS_INVALID_PARAMETER) << std::string(Name.begin(), Name.end());
        EXPECT_EQ(Bus->PortCount, 0u);
        EXPECT_TRUE(ListIsEmpty(&Bus->PortList));
        EXPECT_EQ(DevicesOfDriver(), Devices);
        EXPECT_EQ(HkPoolOutstandingForTag(DVX_TAG).Blocks, Before.Blocks);
        EXPECT_EQ(LinkTargetOf(u"\\DosDevices\\COM3"), u"\\Device\\Serial2");
        EXPECT_FALSE(RescanArmed());
    }
    EXPECT_NE(LinkTargetOf(u"\\DosDevices\\COM3X"), u"<none>");
    EXPECT_EQ(CreatePortRequest(u"Z_0").Status, STATUS_SUCCESS);
}

TEST_F(CreatePortTest, DuplicateIsRefusedButOtherCaseIsNot)
{
    ASSERT_NO_FATAL_FAILURE(StartBus());
    ASSERT_EQ(CreatePortRequest(u"COM3").Status, STATUS_SUCCESS);
    ULONG Devices = DevicesOfDriver();
    EXPECT_EQ(CreatePortRequest(u"COM3").Status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(DevicesOfDriver(), Devices);
    EXPECT_EQ(Bus->PortCount, 2u);
    EXPECT_EQ(CreatePortRequest(u"com3").Status, STATUS_SUCCESS);
    EXPECT_EQ(Bus->PortCount, 4u);
    EXPECT_EQ(Indexes(), (std::vector<ULONG>{0, 1, 2, 3}));
}

TEST_F(CreatePortTest, LongNamesAreCutAt127Units)
{
    ASSERT_NO_FATAL_FAILURE(StartBus());
    std::u16string Long128(128, u'A');
    ControlReply Reply = CreatePortRequest(Long128);
    ASSERT_EQ(Reply.Status, STATUS_SUCCESS);
    ASSERT_EQ(Reply.Information, sizeof(dravolux::PortRequest));
    EXPECT_EQ(Reply.Output[258], 0);
    EXPECT_EQ(Reply.Output[259], 0);
    EXPECT_EQ(Reply.Output[256], 'A');

    std::vector<PortExtension*> Ports = PortsOnList();
    ASSERT_EQ(Ports.size(), 2u);
    EXPECT_EQ(U16(Ports[0]->PortName), std::u16string(127, u'A'));
    EXPECT_EQ(U16(Ports[0]->LinkName).size(), 139u);

    // 127 units of another letter: a different, valid name.
    EXPECT_EQ(CreatePortRequest(std::u16string(127, u'B')).Status, STATUS_SUCCESS);
    // The 128-unit name again is the same 127-unit name: a duplicate.
    EXPECT_EQ(CreatePortRequest(Long128).Status, STATUS_INVALID_PARAMETER);
    // The reply is the record at most.
    EXPECT_EQ(CreatePortRequest(u"COM3", 400).Information, sizeof(dravolux::PortRequest));
    Reply = CreatePortRequest(u"COM5", 0);
    EXPECT_EQ(Reply.Status, STATUS_SUCCESS);
    EXPECT_EQ(Reply.Information, 0u);
}

// Fails the 1st, 2nd, ... operation of each kind CreatePort can meet until
// it runs clean. Each failure must leave the bus exactly as it was.
TEST_F(CreatePortTest, EveryInjectedFailureLeavesTheBusAsItWas)
{
    ASSERT_NO_FATAL_FAILURE(StartBus());
    ASSERT_EQ(MakeLink(u"\\DosDevices\\COM3", u"\\Device\\Serial2"), STATUS_SUCCESS);
    // A managed port that is already there and must stay untouched.
    ASSERT_EQ(CreatePortRequest(u"COM9").Status, STATUS_SUCCESS);
    std::vector<PortExtension*> Existing = PortsOnList();
    HkPoolUsage Pool = HkPoolOutstandingForTag(DVX_TAG);
    ULONG Devices = DevicesOfDriver();

    const HkFault Kinds[] = {HkFault::Pool,           HkFault::DeviceCreate,      HkFault::SymbolicLinkOpen,
                             HkFault::SymbolicLinkQuery, HkFault::SymbolicLinkCreate, HkFault::RegistryCreateKey,
                             HkFault::RegistryWrite};
    for (HkFault Kind : Kinds) {
        ULONG Failures = 0;
        for (ULONG N = 1; N < 200; N++) {
            dravolux::PortRequest Request = MakeRequest(u"COM3");
            HkFaultReset();
            HkFaultFailNth(Kind, N);
            NTSTATUS Status = CreatePort(&Request, Bus);
            bool Injected = HkFaultInjected(Kind) != 0;
            HkFaultReset();
            SCOPED_TRACE(std::string(HkFaultName(Kind)) + " #" + std::to_string(N));
            if (NT_SUCCESS(Status)) {
                EXPECT_EQ(Bus->PortCount, Existing.size() + 2);
                EXPECT_EQ(LinkTargetOf(u"\\DosDevices\\COM3"), u"<none>");
                DestroyAllPorts(Existing);  // back to the starting point
            } else {
                Failures++;
                EXPECT_TRUE(Injected);
            }
            EXPECT_EQ(PortsOnList(), Existing);
            EXPECT_EQ(Bus->PortCount, Existing.size());
            EXPECT_EQ(LinkTargetOf(u"\\DosDevices\\COM3"), u"\\Device\\Serial2");
            EXPECT_EQ(HkPoolOutstandingForTag(DVX_TAG).Blocks, Pool.Blocks);
            EXPECT_EQ(HkPoolOutstandingForTag(DVX_SCRATCH_TAG).Blocks, 0u);
            EXPECT_EQ(DevicesOfDriver(), Devices);
            for (PortExtension* Port : Existing) {
                EXPECT_EQ(GroupMembers(Port->OwnList).size(), 1u);
            }
            if (!Injected) {
                break;
            }
        }
        if (Kind == HkFault::Pool || Kind == HkFault::DeviceCreate || Kind == HkFault::SymbolicLinkOpen ||
            Kind == HkFault::SymbolicLinkQuery) {
            EXPECT_GT(Failures, 0u) << HkFaultName(Kind) << " never failed CreatePort";
        }
    }
}

// Two creates of one name at the same time: exactly one wins.
class CreatePortConcurrency : public CreatePortTest {};

TEST_F(CreatePortConcurrency, CreatesOfOneNameNeverBothSucceed)
{
    ASSERT_NO_FATAL_FAILURE(StartBus());
    HkClockSetAutoAdvance(false);
    for (int Round = 0; Round < 20; Round++) {
        std::atomic<int> Ready{0};
        NTSTATUS Results[2];
        auto Run = [&](int Which) {
            dravolux::PortRequest Request = MakeRequest(u"COM3");
            Ready++;
            WaitUntil([&] { return Ready.load() == 2; });
            Results[Which] = CreatePort(&Request, Bus);
        };
        std::thread First(Run, 0);
        std::thread Second(Run, 1);
        First.join();
        Second.join();
        int Successes = (Results[0] == STATUS_SUCCESS) + (Results[1] == STATUS_SUCCESS);
        ASSERT_EQ(Successes, 1) << "round " << Round;
        EXPECT_EQ(Results[0] == STATUS_SUCCESS ? Results[1] : Results[0], STATUS_INVALID_PARAMETER);
        ASSERT_EQ(Bus->PortCount, 2u);
        DestroyAllPorts();
        ASSERT_EQ(Bus->PortCount, 0u);
    }
}

}  // namespace
}  // namespace drvtest
