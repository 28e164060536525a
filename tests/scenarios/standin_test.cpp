// The stand-in pelmonix driver on the bus's port devices: configuration,
// FunctionArea, the DOS name of the waiting client, opens passed down.
#include "standin_machine.h"

#include "dravolux.h"
#include "hk/registry.h"

using namespace standin_test;

using StandinScenario = StandinMachine;

TEST_F(StandinScenario, LoadsOnEveryPortDeviceAndReportsThroughTheFunctionArea) {
    ManageCom3();
    std::vector<corvessctl::PortInfo> ports = List();
    ASSERT_EQ(ports.size(), 2u);
    const ULONG ready = PELMONIX_STATUS_STARTED | PELMONIX_STATUS_CONFIGURED;
    EXPECT_FALSE(ports[0].IsControl);
    EXPECT_EQ(ports[0].StatusWord1, ready | PELMONIX_STATUS_LINK_OWNER);
    EXPECT_EQ(ports[0].StatusWord2, 0u);
    EXPECT_TRUE(ports[1].IsControl);
    EXPECT_EQ(ports[1].StatusWord1, ready);

    for (HkDeviceNode* child : HkPnpChildren(bus_)) {
        std::vector<PDEVICE_OBJECT> stack = HkPnpStack(child);
        ASSERT_EQ(stack.size(), 2u);
        EXPECT_EQ(HkPnpGetState(child), HkPnpState::Started);
        EXPECT_EQ(HkPnpService(child), u"pelmonix");
    }
}

// Port devices report UniqueID, so the manager takes their device ID and
// instance ID as they stand: each instance path is the Enum key the driver
// wrote before it reported the device, which is how pelmonix is found. The
// control port device's NoDisplayInUI keeps it out of the user interface.
TEST_F(StandinScenario, InstancePathOfEveryPortIsTheEnumKeyTheDriverWrote) {
    ManageCom3();
    ASSERT_EQ(OpenCom3(L"C:\\Tools\\terminal.exe"), STATUS_SUCCESS);
    RunFor(500);
    std::vector<HkDeviceNode*> children = HkPnpChildren(bus_);
    ASSERT_EQ(children.size(), 3u);
    for (HkDeviceNode* child : children) {
        ULONG index = PortOf(HkPnpPdo(child))->Index;
        std::u16string digits = u"0000";
        for (size_t at = 4; at-- > 0; index /= 10) digits[at] = static_cast<char16_t>(u'0' + index % 10);
        const std::u16string path = u"DRAVOLUX\\DEVICES\\" + digits;
        EXPECT_EQ(HkPnpInstancePath(child), path);
        ULONG uiNumber = 0;
        EXPECT_EQ(HkRegGetDword(W(HkPnpEnumKeyPath(W(path))), L"UINumber", &uiNumber), STATUS_SUCCESS);
        EXPECT_EQ(uiNumber, PortOf(HkPnpPdo(child))->Index);
        EXPECT_EQ(HkPnpService(child), u"pelmonix");
        EXPECT_EQ(HkPnpGetState(child), HkPnpState::Started);
        EXPECT_EQ(HkPnpIsHidden(child), PortOf(HkPnpPdo(child))->IsControl == 1);
    }
    EXPECT_FALSE(HkRegValueExists(W(HkPnpEnumKeyPath(W(HkPnpInstancePath(bus_)))), L"ParentIdPrefix"));
}

TEST_F(StandinScenario, WaitingClientTakesThePortName) {
    EXPECT_EQ(Com3Target(), u"\\Device\\Serial2");
    ManageCom3();
    std::u16string target = Com3Target();
    EXPECT_TRUE(IsPelmonixDevice(target));
    // The link leads to the function device over the client port device.
    PDEVICE_OBJECT device = HkObLookupDevice(W(target));
    ASSERT_NE(device, nullptr);
    HkDeviceNode* client = nullptr;
    for (HkDeviceNode* child : HkPnpChildren(bus_))
        if (HkPnpStack(child).front() == device) client = child;
    ASSERT_NE(client, nullptr);
    EXPECT_EQ(HkPnpInstancePath(client), u"DRAVOLUX\\DEVICES\\0000");
}

TEST_F(StandinScenario, AnOpenReachesTheClientAndTheNextClientTakesTheName) {
    ManageCom3();
    std::u16string first = Com3Target();
    ASSERT_EQ(OpenCom3(L"C:\\Tools\\terminal.exe"), STATUS_SUCCESS);
    EXPECT_EQ(Com3Target(), u"");  // the bus took the name from the opened client

    std::vector<corvessctl::PortInfo> ports = List();
    ASSERT_EQ(ports.size(), 3u);
    EXPECT_EQ(ports[0].ImagePath, u"C:\\Tools\\terminal.exe");
    EXPECT_NE(ports[0].ProcessId, 0u);
    EXPECT_EQ(ports[0].StatusWord1 & (PELMONIX_STATUS_OPENED | PELMONIX_STATUS_LINK_OWNER), PELMONIX_STATUS_OPENED);
    EXPECT_EQ(ports[0].StatusWord2, 1u);

    RunFor(500);
    std::u16string second = Com3Target();
    EXPECT_TRUE(IsPelmonixDevice(second));
    EXPECT_NE(second, first);
    ASSERT_EQ(OpenCom3(L"C:\\Tools\\logger.exe"), STATUS_SUCCESS);
    RunFor(500);
    ports = List();
    ASSERT_EQ(ports.size(), 4u);
    EXPECT_EQ(ports[2].ImagePath, u"C:\\Tools\\logger.exe");
    EXPECT_NE(ports[0].ProcessId, ports[2].ProcessId);
}

TEST_F(StandinScenario, ClosedClientsLeaveAndTheirFunctionDevicesGo) {
    ManageCom3();
    std::u16string first = Com3Target();
    ASSERT_EQ(OpenCom3(L"C:\\Tools\\terminal.exe"), STATUS_SUCCESS);
    RunFor(500);
    CloseAll();
    RunFor(500);
    std::vector<corvessctl::PortInfo> ports = List();
    ASSERT_EQ(ports.size(), 2u);
    EXPECT_EQ(HkObLookupDevice(W(first)), nullptr);
    EXPECT_TRUE(IsPelmonixDevice(Com3Target()));
}

TEST_F(StandinScenario, RemovingThePortGivesTheNameBack) {
    ManageCom3();
    ASSERT_EQ(PortRequest(dravolux::IoctlRemovePort, u"COM3"), STATUS_SUCCESS);
    RunFor(500);
    EXPECT_TRUE(List().empty());
    EXPECT_EQ(Com3Target(), u"\\Device\\Serial2");
    EXPECT_TRUE(HkPnpChildren(bus_).empty());
}

TEST_F(StandinScenario, SurpriseRemovalLeavesNoLinkToAFunctionDevice) {
    ManageCom3();
    ASSERT_EQ(OpenCom3(L"C:\\Tools\\terminal.exe"), STATUS_SUCCESS);
    RunFor(500);
    EXPECT_EQ(HkPnpSurpriseRemove(bus_), STATUS_SUCCESS);
    RunFor(500);
    EXPECT_FALSE(IsPelmonixDevice(Com3Target()));
    CloseAll();
    RunFor(500);
    EXPECT_FALSE(IsPelmonixDevice(Com3Target()));
}

TEST_F(StandinScenario, SleepAndWakePassThroughTheStacks) {
    ManageCom3();
    EXPECT_EQ(HkPoSleep(PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(HkPoWake(), STATUS_SUCCESS);
    RunFor(100);
    std::vector<corvessctl::PortInfo> ports = List();
    ASSERT_EQ(ports.size(), 2u);
    EXPECT_TRUE(IsPelmonixDevice(Com3Target()));
}

TEST_F(StandinScenario, LongestPortNameStillGetsItsLink) {
    std::u16string name(127, u'A');
    ASSERT_EQ(PortRequest(dravolux::IoctlCreatePort, name), STATUS_SUCCESS);
    RunFor(500);
    std::vector<corvessctl::PortInfo> ports = List();
    ASSERT_EQ(ports.size(), 2u);
    EXPECT_EQ(ports[0].StatusWord1 & PELMONIX_STATUS_LINK_OWNER, ULONG(PELMONIX_STATUS_LINK_OWNER));
    EXPECT_EQ(ports[1].StatusWord1 & PELMONIX_STATUS_CONFIGURED, ULONG(PELMONIX_STATUS_CONFIGURED));
    std::u16string target;
    ASSERT_TRUE(HkObQueryLinkTarget(W(u"\\GLOBAL??\\" + name), &target));
    EXPECT_TRUE(IsPelmonixDevice(target));
    ASSERT_EQ(PortRequest(dravolux::IoctlRemovePort, name), STATUS_SUCCESS);
    RunFor(500);
    EXPECT_FALSE(HkObQueryLinkTarget(W(u"\\GLOBAL??\\" + name), &target));
}

TEST_F(StandinScenario, ClientWithoutItsLinkStillRunsAndLeaksNothing) {
    ASSERT_EQ(PortRequest(dravolux::IoctlCreatePort, u"COM3"), STATUS_SUCCESS);
    HkFaultFailAlways(HkFault::SymbolicLinkCreate, true);
    RunFor(500);
    HkFaultFailAlways(HkFault::SymbolicLinkCreate, false);
    std::vector<corvessctl::PortInfo> ports = List();
    ASSERT_EQ(ports.size(), 2u);
    EXPECT_EQ(ports[0].StatusWord1, ULONG(PELMONIX_STATUS_STARTED | PELMONIX_STATUS_CONFIGURED));
    EXPECT_EQ(Com3Target(), u"");
    ASSERT_EQ(PortRequest(dravolux::IoctlRemovePort, u"COM3"), STATUS_SUCCESS);
    RunFor(500);
    EXPECT_EQ(Com3Target(), u"\\Device\\Serial2");
}

TEST_F(StandinScenario, FunctionDeviceThatCannotBeCreatedLeavesThePortDeviceUnstarted) {
    ASSERT_EQ(PortRequest(dravolux::IoctlCreatePort, u"COM3"), STATUS_SUCCESS);
    HkFaultFailAlways(HkFault::DeviceCreate, true);
    RunFor(500);
    HkFaultFailAlways(HkFault::DeviceCreate, false);
    std::vector<corvessctl::PortInfo> ports = List();
    ASSERT_EQ(ports.size(), 2u);
    EXPECT_EQ(ports[0].StatusWord1, 0u);
    EXPECT_EQ(ports[1].StatusWord1, 0u);
    for (HkDeviceNode* child : HkPnpChildren(bus_)) EXPECT_NE(HkPnpGetState(child), HkPnpState::Started);
    EXPECT_EQ(Com3Target(), u"");
}

// An open client vetoes the removal of the bus. Every port stack that was
// asked, the refusing one first, is told the removal is off: the request
// goes to the stand-in's function device on top and is completed by the port
// device, and every record is Started again. After the close the removal
// goes through.
TEST_F(StandinScenario, OpenClientVetoesRemovalAndEveryAskedStackIsCancelled) {
    ManageCom3();
    ASSERT_EQ(OpenCom3(L"C:\\Tools\\terminal.exe"), STATUS_SUCCESS);
    RunFor(500);
    ASSERT_EQ(OpenCom3(L"C:\\Tools\\logger.exe"), STATUS_SUCCESS);
    RunFor(500);
    CloseApp(opens_[0]);  // its client leaves: the control port device is the bus's first child
    opens_.erase(opens_.begin());
    RunFor(500);
    std::vector<HkDeviceNode*> children = HkPnpChildren(bus_);
    ASSERT_EQ(children.size(), 3u);
    auto portOf = [](HkDeviceNode* child) { return PortOf(HkPnpPdo(child)); };
    ASSERT_EQ(portOf(children[0])->IsControl, 1);
    ASSERT_EQ(portOf(children[1])->OpenCount, 1);

    HkPnpClearIrpLog();
    EXPECT_EQ(HkPnpQueryRemoveAndRemove(bus_), STATUS_DEVICE_BUSY);
    struct Seen {
        HkDeviceNode* Node;
        UCHAR Minor;
        NTSTATUS Status;
    };
    const Seen expected[] = {
        {children[0], IRP_MN_QUERY_REMOVE_DEVICE, STATUS_SUCCESS},
        {children[1], IRP_MN_QUERY_REMOVE_DEVICE, STATUS_DEVICE_BUSY},
        {children[1], IRP_MN_CANCEL_REMOVE_DEVICE, STATUS_SUCCESS},
        {children[0], IRP_MN_CANCEL_REMOVE_DEVICE, STATUS_SUCCESS},
    };
    std::vector<HkPnpIrpRecord> log = HkPnpIrpLog();
    ASSERT_EQ(log.size(), 4u);
    for (size_t i = 0; i < log.size(); ++i) {
        EXPECT_EQ(log[i].InstancePath, HkPnpInstancePath(expected[i].Node)) << i;
        EXPECT_EQ(log[i].Minor, expected[i].Minor) << i;
        EXPECT_EQ(log[i].Status, expected[i].Status) << i;
    }
    for (HkDeviceNode* child : children) {
        EXPECT_TRUE(IsPelmonixDevice(HkObGetName(HkPnpStack(child).front())));
        EXPECT_EQ(HkPnpGetState(child), HkPnpState::Started);
        EXPECT_EQ(ReadPnpState(&portOf(child)->Header), Started);
    }
    EXPECT_EQ(HkPnpGetState(bus_), HkPnpState::Started);
    EXPECT_EQ(ReadPnpState(&BusOf(HkPnpStack(bus_).front())->Header), Started);

    CloseAll();
    RunFor(500);
    EXPECT_EQ(HkPnpQueryRemoveAndRemove(bus_), STATUS_SUCCESS);
    EXPECT_EQ(HkPnpGetState(bus_), HkPnpState::Disabled);
    EXPECT_TRUE(HkPnpChildren(bus_).empty());
    EXPECT_EQ(Com3Target(), u"\\Device\\Serial2");
}
