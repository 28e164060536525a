// The PnP and power managers on small drivers: installing root devices,
// enumerating a bus's children, removal requests, the device registry keys,
// the manager thread, the checks on drivers that break the platform's rules,
// and system power transitions and the Po calls drivers make.
#include "pnp_test_drivers.h"

namespace pnptest {
namespace {

using Tree = PnpFixture;

TEST_F(Tree, RootInstallWritesEnumRecordsAndStartsInPlatformOrder) {
    HkDeviceNode* node = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, HkPnpInstallRootDevice(L"PNPTFN", L"pnptfn", &node));
    ASSERT_NE(nullptr, node);
    EXPECT_EQ(u"ROOT\\SYSTEM\\0000", HkPnpInstancePath(node));
    EXPECT_EQ(HkPnpState::Started, HkPnpGetState(node));
    EXPECT_EQ(u"pnptfn", HkPnpService(node));

    const std::u16string key = HkPnpEnumKeyPath(L"ROOT\\SYSTEM\\0000");
    ULONG type = 0;
    std::vector<UCHAR> data;
    ASSERT_EQ(STATUS_SUCCESS, HkRegGetValue(W(key), L"HardwareID", &type, &data));
    EXPECT_EQ(static_cast<ULONG>(REG_MULTI_SZ), type);
    EXPECT_EQ(std::u16string(u"PNPTFN\0\0", 8),
              std::u16string(reinterpret_cast<const char16_t*>(data.data()), data.size() / 2));
    std::u16string text;
    ASSERT_EQ(STATUS_SUCCESS, HkRegGetString(W(key), L"ClassGUID", &text));
    EXPECT_EQ(u"{4d36e97d-e325-11ce-bfc1-08002be10318}", text);
    ASSERT_EQ(STATUS_SUCCESS, HkRegGetString(W(key), L"Class", &text));
    EXPECT_EQ(u"System", text);
    ASSERT_EQ(STATUS_SUCCESS, HkRegGetString(W(key), L"Service", &text));
    EXPECT_EQ(u"pnptfn", text);
    ULONG flags = 1;
    ASSERT_EQ(STATUS_SUCCESS, HkRegGetDword(W(key), L"ConfigFlags", &flags));
    EXPECT_EQ(0u, flags);
    EXPECT_TRUE(HkRegKeyExists(L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\pnptfn"));

    // Windows' order: device ID, capabilities, instance ID, hardware and
    // compatible IDs, texts, bus information, resources, then the driver.
    const std::vector<std::pair<UCHAR, ULONG>> expected = {
        {IRP_MN_QUERY_ID, BusQueryDeviceID},
        {IRP_MN_QUERY_CAPABILITIES, 0},
        {IRP_MN_QUERY_ID, BusQueryInstanceID},
        {IRP_MN_QUERY_ID, BusQueryHardwareIDs},
        {IRP_MN_QUERY_ID, BusQueryCompatibleIDs},
        {IRP_MN_QUERY_DEVICE_TEXT, DeviceTextDescription},
        {IRP_MN_QUERY_DEVICE_TEXT, DeviceTextLocationInformation},
        {IRP_MN_QUERY_BUS_INFORMATION, 0},
        {IRP_MN_QUERY_RESOURCES, 0},
        {IRP_MN_QUERY_RESOURCE_REQUIREMENTS, 0},
        {IRP_MN_FILTER_RESOURCE_REQUIREMENTS, 0},
        {IRP_MN_START_DEVICE, 0},
        {IRP_MN_QUERY_CAPABILITIES, 0},
        {IRP_MN_QUERY_PNP_DEVICE_STATE, 0},
        {IRP_MN_QUERY_DEVICE_RELATIONS, BusRelations}};
    std::vector<std::pair<UCHAR, ULONG>> sent;
    for (const HkPnpIrpRecord& r : HkPnpIrpLog()) {
        if (r.InstancePath == u"ROOT\\SYSTEM\\0000") {
            sent.push_back({r.Minor, r.Detail});
        }
    }
    EXPECT_EQ(expected, sent);

    // A second device gets the next instance; the driver is loaded once.
    HkDeviceNode* second = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, HkPnpInstallRootDevice(L"PNPTFN", L"pnptfn", &second));
    EXPECT_EQ(u"ROOT\\SYSTEM\\0001", HkPnpInstancePath(second));
    EXPECT_EQ(1u, g_world.FnDriverEntries);
    const std::vector<PDEVICE_OBJECT> stack = HkPnpStack(second);
    ASSERT_EQ(2u, stack.size());
    EXPECT_EQ(HkPnpPdo(second), stack[1]);
    EXPECT_EQ(HkIoFindDriver(L"pnptfn"), stack[0]->DriverObject);
    EXPECT_NE(std::string::npos, HkPnpDumpTree().find("ROOT\\SYSTEM\\0001 [Started] service=pnptfn"));

    // The last device gone unloads the driver.
    ASSERT_EQ(STATUS_SUCCESS, HkPnpUninstall(node));
    EXPECT_NE(nullptr, HkIoFindDriver(L"pnptfn"));
    ASSERT_EQ(STATUS_SUCCESS, HkPnpUninstall(second));
    EXPECT_EQ(nullptr, HkIoFindDriver(L"pnptfn"));
    EXPECT_EQ(nullptr, HkPnpFindNode(L"ROOT\\SYSTEM\\0000"));
}

TEST_F(Tree, UnknownServiceLeavesTheDeviceNotStarted) {
    HkDeviceNode* node = nullptr;
    EXPECT_FALSE(NT_SUCCESS(HkPnpInstallRootDevice(L"NOPE", L"nosuchdriver", &node)));
    ASSERT_NE(nullptr, node);
    EXPECT_EQ(HkPnpState::StartFailed, HkPnpGetState(node));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, HkPnpInstallRootDevice(L"", L"pnptfn", nullptr));
}

TEST_F(Tree, BusChildrenComeAndGoWithHandlesHoldingTheRemoval) {
    HkDeviceNode* bus = InstallBus();
    InstallChildRecords(0, L"pnptfn");
    InstallChildRecords(1, L"pnptfn");

    SetPresent(2);
    EXPECT_GT(HkPnpRunPending(), 0u);
    ASSERT_NE(nullptr, Child(0));
    ASSERT_NE(nullptr, Child(1));
    EXPECT_EQ(HkPnpState::Started, HkPnpGetState(Child(0)));
    EXPECT_EQ(HkPnpState::Started, HkPnpGetState(Child(1)));
    EXPECT_EQ(2u, HkPnpChildren(bus).size());
    EXPECT_EQ(bus, HkPnpParent(Child(1)));
    EXPECT_EQ(Child(0), HkPnpNodeOfPdo(g_world.Children[0].Pdo));
    EXPECT_EQ(2u, HkPnpStack(Child(1)).size());

    HANDLE handle = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, HkUserCreateFile(L"\\\\.\\PnpTestFn1", &handle));

    // Child 1 unplugged while open: surprise removal now, REMOVE after the close.
    SetPresent(1);
    HkPnpRunPending();
    ASSERT_NE(nullptr, Child(1));
    EXPECT_EQ(HkPnpState::SurpriseRemoved, HkPnpGetState(Child(1)));
    std::vector<UCHAR> minors = MinorsFor(u"PNPTBUS\\CHILD\\1");
    EXPECT_EQ(IRP_MN_SURPRISE_REMOVAL, minors.back());
    EXPECT_FALSE(g_world.Children[1].Deleted);
    HANDLE second = nullptr;
    EXPECT_FALSE(NT_SUCCESS(HkUserCreateFile(L"\\\\.\\PnpTestFn1", &second)));

    HkPnpRunPending();
    EXPECT_NE(nullptr, Child(1));  // still open

    ASSERT_EQ(STATUS_SUCCESS, HkUserCloseHandle(handle));
    HkPnpRunPending();
    EXPECT_EQ(nullptr, Child(1));
    EXPECT_TRUE(g_world.Children[1].Deleted);
    EXPECT_EQ(IRP_MN_REMOVE_DEVICE, MinorsFor(u"PNPTBUS\\CHILD\\1").back());

    // Child 0, never opened: surprise removal and REMOVE in one pass.
    SetPresent(0);
    HkPnpRunPending();
    EXPECT_EQ(nullptr, Child(0));
    EXPECT_TRUE(g_world.Children[0].Deleted);
    minors = MinorsFor(u"PNPTBUS\\CHILD\\0");
    ASSERT_GE(minors.size(), 2u);
    EXPECT_EQ(IRP_MN_SURPRISE_REMOVAL, minors[minors.size() - 2]);
    EXPECT_EQ(IRP_MN_REMOVE_DEVICE, minors.back());
    EXPECT_EQ(nullptr, HkIoFindDriver(L"pnptfn"));  // its last device is gone
    EXPECT_TRUE(HkRegKeyExists(W(HkPnpEnumKeyPath(L"PNPTBUS\\CHILD\\0"))));  // Enum key stays
    EXPECT_EQ(HkPnpState::Started, HkPnpGetState(bus));
}

TEST_F(Tree, ChildWithoutRecordsWaitsForInstallation) {
    HkDeviceNode* bus = BusWithChildren(1, 0);
    ASSERT_NE(nullptr, Child(0));
    EXPECT_EQ(HkPnpState::NeedsInstall, HkPnpGetState(Child(0)));
    EXPECT_EQ(1u, HkPnpStack(Child(0)).size());
    EXPECT_EQ(nullptr, HkIoFindDriver(L"pnptfn"));
    // The manager keeps what the device reported.
    ULONG type = 0;
    std::vector<UCHAR> data;
    EXPECT_EQ(STATUS_SUCCESS, HkRegGetValue(W(HkPnpEnumKeyPath(L"PNPTBUS\\CHILD\\0")), L"HardwareID", &type, &data));

    // Dropped without ever starting: REMOVE directly. The bus may ask for the
    // new enumeration from a DPC; the request only queues.
    g_world.Children[0].Present = false;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    IoInvalidateDeviceRelations(g_world.BusPdo, BusRelations);
    KeLowerIrql(old);
    EXPECT_NE(nullptr, Child(0));
    HkPnpRunPending();
    EXPECT_EQ(nullptr, Child(0));
    const std::vector<UCHAR> minors = MinorsFor(u"PNPTBUS\\CHILD\\0");
    EXPECT_EQ(IRP_MN_REMOVE_DEVICE, minors.back());
    EXPECT_EQ(0u, std::count(minors.begin(), minors.end(), IRP_MN_SURPRISE_REMOVAL));
    EXPECT_TRUE(g_world.Children[0].Deleted);
    EXPECT_EQ(HkPnpState::Started, HkPnpGetState(bus));
}

// A child whose capabilities cannot be read is not set up: REMOVE follows the
// failed query, no driver is loaded, and the node stays until its bus stops
// reporting it.
TEST_F(Tree, ChildWhoseCapabilitiesFailIsDropped) {
    InstallBus();
    InstallChildRecords(0, L"pnptfn");
    SetPresent(1);
    g_world.Children[0].Capabilities = STATUS_UNSUCCESSFUL;
    HkPnpRunPending();
    HkDeviceNode* node = HkPnpNodeOfPdo(g_world.Children[0].Pdo);
    ASSERT_NE(nullptr, node);
    EXPECT_EQ(HkPnpState::Removed, HkPnpGetState(node));
    EXPECT_EQ(1u, HkPnpStack(node).size());
    EXPECT_EQ(0u, g_world.FnCount);
    auto minors = [] {
        std::vector<UCHAR> out;
        for (const HkPnpReceived& r : g_world.Children[0].Received) {
            out.push_back(r.Minor);
        }
        return out;
    };
    const std::vector<UCHAR> dropped = {IRP_MN_QUERY_ID, IRP_MN_QUERY_CAPABILITIES, IRP_MN_REMOVE_DEVICE};
    EXPECT_EQ(dropped, minors());
    EXPECT_FALSE(g_world.Children[0].Deleted);

    // Still reported: left alone. Gone: the second REMOVE deletes it.
    IoInvalidateDeviceRelations(g_world.BusPdo, BusRelations);
    HkPnpRunPending();
    EXPECT_EQ(dropped, minors());
    SetPresent(0);
    HkPnpRunPending();
    EXPECT_TRUE(g_world.Children[0].Deleted);
    EXPECT_EQ(IRP_MN_REMOVE_DEVICE, minors().back());
}

// UniqueID FALSE: the instance ID is prefixed with the parent's
// ParentIdPrefix, "<depth>&<CRC-32 of the parent's instance path>" in hex,
// kept in the parent's Enum key; the records under the prefixed path are the
// device's. A sibling with a unique ID keeps its own.
TEST_F(Tree, BusUniqueInstanceIdGetsTheParentPrefix) {
    InstallBus();
    const std::u16string prefixed = u"PNPTBUS\\CHILD\\1&6db899ac&0";
    ASSERT_EQ(STATUS_SUCCESS, HkRegSetString(W(HkPnpEnumKeyPath(W(prefixed))), L"Service", L"pnptfn"));
    InstallChildRecords(1, L"pnptfn");
    SetPresent(2);
    g_world.Children[0].NotUnique = true;
    HkPnpRunPending();

    HkDeviceNode* node = HkPnpFindNode(W(prefixed));
    ASSERT_NE(nullptr, node);
    EXPECT_EQ(g_world.Children[0].Pdo, HkPnpPdo(node));
    EXPECT_EQ(HkPnpState::Started, HkPnpGetState(node));
    std::u16string prefix;
    ASSERT_EQ(STATUS_SUCCESS, HkRegGetString(W(HkPnpEnumKeyPath(L"ROOT\\SYSTEM\\0000")), L"ParentIdPrefix", &prefix));
    EXPECT_EQ(u"1&6db899ac", prefix);
    EXPECT_EQ(nullptr, Child(0));
    ASSERT_NE(nullptr, Child(1));
    EXPECT_EQ(HkPnpState::Started, HkPnpGetState(Child(1)));
}

TEST_F(Tree, VetoedQueryRemoveLeavesEverythingStarted) {
    HkDeviceNode* bus = BusWithChildren(2, 2);
    g_world.Children[1].VetoQueryRemove = true;
    HkPnpClearIrpLog();

    const size_t seen1 = g_world.Children[1].Received.size();

    EXPECT_EQ(STATUS_DEVICE_BUSY, HkPnpQueryRemoveAndRemove(bus));
    EXPECT_EQ(HkPnpState::Started, HkPnpGetState(bus));
    EXPECT_EQ(HkPnpState::Started, HkPnpGetState(Child(0)));
    EXPECT_EQ(HkPnpState::Started, HkPnpGetState(Child(1)));
    // Both children were asked and both are told the removal is off, the one
    // that refused first; the bus was never asked.
    const std::vector<UCHAR> queryCancel = {IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE};
    EXPECT_EQ(queryCancel, MinorsFor(u"PNPTBUS\\CHILD\\0"));
    EXPECT_EQ(queryCancel, MinorsFor(u"PNPTBUS\\CHILD\\1"));
    const std::vector<HkPnpIrpRecord> log = HkPnpIrpLog();
    ASSERT_EQ(4u, log.size());
    EXPECT_EQ(u"PNPTBUS\\CHILD\\1", log[2].InstancePath);
    EXPECT_TRUE(MinorsFor(u"ROOT\\SYSTEM\\0000").empty());
    // The function driver above the refusing PDO agreed, passed the query
    // down, and passes the cancel down with success.
    const std::vector<HkPnpReceived>& received = g_world.Children[1].Received;
    ASSERT_EQ(seen1 + 2, received.size());
    EXPECT_EQ(IRP_MN_CANCEL_REMOVE_DEVICE, received.back().Minor);
    EXPECT_EQ(STATUS_SUCCESS, received.back().Status);

    // A function driver's veto works the same way: the stack is told the
    // removal is off, and its PDO sees only the cancel.
    g_world.Children[1].VetoQueryRemove = false;
    g_world.FnVetoQueryRemove = true;
    HkPnpClearIrpLog();
    EXPECT_EQ(STATUS_DEVICE_BUSY, HkPnpQueryRemoveAndRemove(Child(1)));
    EXPECT_EQ(HkPnpState::Started, HkPnpGetState(Child(1)));
    EXPECT_EQ(queryCancel, MinorsFor(u"PNPTBUS\\CHILD\\1"));
    ASSERT_EQ(seen1 + 3, received.size());
    EXPECT_EQ(IRP_MN_CANCEL_REMOVE_DEVICE, received.back().Minor);
    g_world.FnVetoQueryRemove = false;
}

// The PNP_DEVICE_* flags a started device reports: failed or removed takes
// its stack away (surprise removal, REMOVE) while its node stays until its
// bus drops it; don't-display hides it; not-disableable holds for it and its
// bus, and refuses a disable before any request.
TEST_F(Tree, DeviceStateFlagsAreHonoured) {
    HkDeviceNode* bus = InstallBus();
    struct Case {
        const char* Name;
        ULONG Flags;
        HkPnpState State;
        bool Hidden;
        bool Disableable;
    };
    const Case cases[] = {
        {"none", 0, HkPnpState::Started, false, true},
        {"failed", PNP_DEVICE_FAILED, HkPnpState::Removed, false, true},
        {"removed", PNP_DEVICE_REMOVED, HkPnpState::Removed, false, true},
        {"don't display", PNP_DEVICE_DONT_DISPLAY_IN_UI, HkPnpState::Started, true, true},
        {"not disableable", PNP_DEVICE_NOT_DISABLEABLE, HkPnpState::Started, false, false},
    };
    const std::vector<UCHAR> failedTail = {IRP_MN_QUERY_PNP_DEVICE_STATE, IRP_MN_SURPRISE_REMOVAL,
                                           IRP_MN_REMOVE_DEVICE};
    ULONG index = 0;
    for (const Case& c : cases) {
        InstallChildRecords(index, L"pnptfn");
        SetPresent(index + 1);
        g_world.Children[index].DeviceState = c.Flags;
        HkPnpRunPending();
        HkDeviceNode* node = Child(index++);
        ASSERT_NE(nullptr, node) << c.Name;
        EXPECT_EQ(c.Flags, HkPnpDeviceState(node)) << c.Name;
        EXPECT_EQ(c.State, HkPnpGetState(node)) << c.Name;
        EXPECT_EQ(c.Hidden, HkPnpIsHidden(node)) << c.Name;
        EXPECT_EQ(c.Disableable, HkPnpIsDisableable(node)) << c.Name;
        if (c.State == HkPnpState::Removed) {
            const std::vector<UCHAR> minors = MinorsFor(HkPnpInstancePath(node).c_str());
            ASSERT_GE(minors.size(), 3u) << c.Name;
            EXPECT_EQ(failedTail, std::vector<UCHAR>(minors.end() - 3, minors.end())) << c.Name;
            EXPECT_EQ(1u, HkPnpStack(node).size()) << c.Name;
        }
    }
    EXPECT_NE(std::string::npos, HkPnpDumpTree().find("PNPTBUS\\CHILD\\3 [Started] service=pnptfn hidden"));

    HkPnpClearIrpLog();
    EXPECT_FALSE(HkPnpIsDisableable(bus));
    EXPECT_EQ(STATUS_UNSUCCESSFUL, HkPnpQueryRemoveAndRemove(Child(4)));
    EXPECT_EQ(STATUS_UNSUCCESSFUL, HkPnpQueryRemoveAndRemove(bus));
    EXPECT_EQ(STATUS_UNSUCCESSFUL, HkPnpUninstall(bus));
    EXPECT_TRUE(HkPnpIrpLog().empty());
    EXPECT_EQ(STATUS_SUCCESS, HkPnpQueryRemoveAndRemove(Child(3)));

    // The failed ones go when their bus stops reporting them; an unplug takes
    // the rest whatever they said.
    g_world.Children[1].Present = false;
    g_world.Children[2].Present = false;
    IoInvalidateDeviceRelations(g_world.BusPdo, BusRelations);
    HkPnpRunPending();
    EXPECT_TRUE(g_world.Children[1].Deleted);
    EXPECT_TRUE(g_world.Children[2].Deleted);
    EXPECT_EQ(STATUS_SUCCESS, HkPnpSurpriseRemove(bus));
    HkPnpRunPending();
}

TEST_F(Tree, DisableRemovesTheSubtreeAndEnableBringsItBack) {
    HkDeviceNode* bus = BusWithChildren(1, 1);
    HkPnpClearIrpLog();

    ASSERT_EQ(STATUS_SUCCESS, HkPnpQueryRemoveAndRemove(bus));
    EXPECT_EQ(HkPnpState::Disabled, HkPnpGetState(bus));
    EXPECT_TRUE(HkPnpChildren(bus).empty());
    EXPECT_EQ(1u, HkPnpStack(bus).size());
    EXPECT_EQ(nullptr, HkIoFindDriver(L"pnptfn"));
    EXPECT_EQ(nullptr, HkIoFindDriver(L"pnptbus"));
    ULONG flags = 0;
    EXPECT_EQ(STATUS_SUCCESS, HkRegGetDword(W(HkPnpEnumKeyPath(L"ROOT\\SYSTEM\\0000")), L"ConfigFlags", &flags));
    EXPECT_EQ(1u, flags & 1);
    // Children first: the child's REMOVE comes before the bus's.
    const std::vector<HkPnpIrpRecord> log = HkPnpIrpLog();
    size_t childRemove = 0, busRemove = 0;
    for (size_t i = 0; i < log.size(); ++i) {
        if (log[i].Minor == IRP_MN_REMOVE_DEVICE) {
            (log[i].InstancePath == u"PNPTBUS\\CHILD\\0" ? childRemove : busRemove) = i + 1;
        }
    }
    EXPECT_TRUE(childRemove && busRemove && childRemove < busRemove);

    ASSERT_EQ(STATUS_SUCCESS, HkPnpEnable(bus));
    EXPECT_EQ(HkPnpState::Started, HkPnpGetState(bus));
    EXPECT_EQ(STATUS_SUCCESS, HkRegGetDword(W(HkPnpEnumKeyPath(L"ROOT\\SYSTEM\\0000")), L"ConfigFlags", &flags));
    EXPECT_EQ(0u, flags);
    // The new bus instance starts without children until it reports some.
    SetPresent(1);
    HkPnpRunPending();
    ASSERT_NE(nullptr, Child(0));
    EXPECT_EQ(HkPnpState::Started, HkPnpGetState(Child(0)));
}

TEST_F(Tree, RebalanceStopsAndRestarts) {
    HkDeviceNode* node = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, HkPnpInstallRootDevice(L"PNPTFN", L"pnptfn", &node));
    const size_t before = HkPnpRootReceived(node).size();
    ASSERT_EQ(STATUS_SUCCESS, HkPnpRebalance(node));
    EXPECT_EQ(HkPnpState::Started, HkPnpGetState(node));
    // The root PDO sees the stop requests passed down with success and START
    // as the manager sent it; a start after a stop asks no device state.
    const std::vector<HkPnpReceived> received = HkPnpRootReceived(node);
    std::vector<std::pair<UCHAR, NTSTATUS>> restart;
    for (size_t i = before; i < received.size(); ++i) {
        restart.push_back({received[i].Minor, received[i].Status});
    }
    const std::vector<std::pair<UCHAR, NTSTATUS>> expected = {
        {IRP_MN_QUERY_STOP_DEVICE, STATUS_SUCCESS},
        {IRP_MN_STOP_DEVICE, STATUS_SUCCESS},
        {IRP_MN_START_DEVICE, STATUS_NOT_SUPPORTED},
        {IRP_MN_QUERY_CAPABILITIES, STATUS_NOT_SUPPORTED},
        {IRP_MN_QUERY_DEVICE_RELATIONS, STATUS_NOT_SUPPORTED}};
    EXPECT_EQ(expected, restart);
}

TEST_F(Tree, SurpriseRemovalOfABusWaitsForItsChildrensHandles) {
    HkDeviceNode* bus = BusWithChildren(1, 1);
    HANDLE handle = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, HkUserCreateFile(L"\\\\.\\PnpTestFn0", &handle));

    ASSERT_EQ(STATUS_SUCCESS, HkPnpSurpriseRemove(bus));
    EXPECT_EQ(HkPnpState::SurpriseRemoved, HkPnpGetState(bus));
    EXPECT_EQ(HkPnpState::SurpriseRemoved, HkPnpGetState(Child(0)));
    EXPECT_NE(nullptr, g_world.BusFdo);  // no REMOVE yet anywhere

    ASSERT_EQ(STATUS_SUCCESS, HkUserCloseHandle(handle));
    HkPnpRunPending();
    EXPECT_EQ(nullptr, HkPnpFindNode(L"ROOT\\SYSTEM\\0000"));
    EXPECT_EQ(nullptr, g_world.BusFdo);
    EXPECT_EQ(nullptr, HkIoFindDriver(L"pnptbus"));
}

TEST_F(Tree, DeviceRegistryKeysHaveTheAccessAskedFor) {
    HkDeviceNode* bus = BusWithChildren(1, 1);
    PDEVICE_OBJECT pdo = HkPnpPdo(Child(0));

    HANDLE key = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key));
    EXPECT_EQ(HkPnpEnumKeyPath(L"PNPTBUS\\CHILD\\0") + u"\\Device Parameters", HkRegKeyPath(key));
    ULONG value = 7;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"Value");
    EXPECT_EQ(STATUS_ACCESS_DENIED, ZwSetValueKey(key, &name, 0, REG_DWORD, &value, sizeof(value)));
    ZwClose(key);

    ASSERT_EQ(STATUS_SUCCESS, IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, KEY_WRITE, &key));
    EXPECT_EQ(STATUS_SUCCESS, ZwSetValueKey(key, &name, 0, REG_DWORD, &value, sizeof(value)));
    ZwClose(key);
    ULONG read = 0;
    EXPECT_EQ(STATUS_SUCCESS,
              HkRegGetDword(W(HkPnpEnumKeyPath(L"PNPTBUS\\CHILD\\0") + u"\\Device Parameters"), L"Value", &read));
    EXPECT_EQ(7u, read);

    // A failing registry gives a failure and no handle.
    HkFaultFailNth(HkFault::RegistryOpenKey, 1);
    key = nullptr;
    EXPECT_FALSE(NT_SUCCESS(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key)));
    EXPECT_EQ(nullptr, key);
    HkFaultReset();

    // Not a PDO: the function device above it, or the bus's FDO.
    EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST,
              IoOpenDeviceRegistryKey(HkPnpStack(Child(0))[0], PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key));
    EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, IoOpenDeviceRegistryKey(g_world.BusFdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, IoOpenDeviceRegistryKey(pdo, 3, KEY_READ, &key));

    // The software key of the root device, as its installer named it.
    ASSERT_EQ(STATUS_SUCCESS, IoOpenDeviceRegistryKey(HkPnpPdo(bus), PLUGPLAY_REGKEY_DRIVER, KEY_READ, &key));
    EXPECT_EQ(u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class\\"
              u"{4d36e97d-e325-11ce-bfc1-08002be10318}\\0000",
              HkRegKeyPath(key));
    ZwClose(key);

    WCHAR buffer[64];
    ULONG length = 0;
    ASSERT_EQ(STATUS_SUCCESS, IoGetDeviceProperty(HkPnpPdo(bus), DevicePropertyClassName, sizeof(buffer), buffer, &length));
    EXPECT_EQ(u"System", std::u16string(reinterpret_cast<const char16_t*>(buffer)));
    EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, IoGetDeviceProperty(HkPnpPdo(bus), DevicePropertyClassName, 2, buffer, &length));
    EXPECT_EQ(14u, length);
}

TEST_F(Tree, ManagerThreadServesQueuedRequestsByItself) {
    KEVENT started;
    KeInitializeEvent(&started, NotificationEvent, FALSE);
    g_world.ChildStarted = &started;
    HkPnpStartThread();
    HkDeviceNode* bus = InstallBus();
    InstallChildRecords(0, L"pnptfn");

    ASSERT_NE(nullptr, g_world.BusFdo);
    // Nobody pumps the queue but the thread.
    SetPresent(1);
    ASSERT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(&started, Executive, KernelMode, FALSE, nullptr));
    HkPnpStopThread();

    ASSERT_NE(nullptr, Child(0));
    EXPECT_EQ(HkPnpState::Started, HkPnpGetState(Child(0)));
    EXPECT_EQ(1u, HkPnpChildren(bus).size());
    g_world.ChildStarted = nullptr;
}

using PnpChecks = PnpFixture;

TEST_F(PnpChecks, IrpsArriveAsNotSupportedAtPassiveLevel) {
    struct Probe {
        static NTSTATUS Pnp(PDEVICE_OBJECT fdo, PIRP irp) {
            EXPECT_EQ(STATUS_NOT_SUPPORTED, irp->IoStatus.Status);
            EXPECT_EQ(PASSIVE_LEVEL, KeGetCurrentIrql());
            return FnPnp(fdo, irp);
        }
        static NTSTATUS Entry(PDRIVER_OBJECT driver, PUNICODE_STRING path) {
            FnEntry(driver, path);
            driver->MajorFunction[IRP_MJ_PNP] = Pnp;
            return STATUS_SUCCESS;
        }
    };
    ASSERT_EQ(STATUS_SUCCESS, HkPnpRegisterDriverImage(L"pnptprobe", Probe::Entry));
    HkDeviceNode* node = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, HkPnpInstallRootDevice(L"PROBE", L"pnptprobe", &node));
    EXPECT_EQ(HkPnpState::Started, HkPnpGetState(node));
}

TEST_F(PnpChecks, StartCompletedAboveTheBusIsReported) {
    HkVerifierCapture capture;
    HkDeviceNode* node = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, HkPnpInstallRootDevice(L"PNPTBAD", L"pnptbad", &node));
    EXPECT_EQ(1u, capture.Count(HkViolation::IrpNotPassedDown));
    ASSERT_FALSE(capture.Reports().empty());
    EXPECT_NE(std::string::npos, capture.Reports()[0].Text.find("START_DEVICE"));
    // The well-behaved function driver passes START down: nothing reported.
    capture.Clear();
    ASSERT_EQ(STATUS_SUCCESS, HkPnpInstallRootDevice(L"PNPTFN", L"pnptfn", &node));
    EXPECT_EQ(0u, capture.Count());
}

TEST_F(PnpChecks, ReplacedListFromAboveLeaksAreReported) {
    HkDeviceNode* bus = BusWithChildren(1, 0);
    ASSERT_NE(nullptr, Child(0));

    // A correct bus frees the list it extends; one that drops it on the
    // floor is caught.
    for (bool leaky : {false, true}) {
        HkVerifierCapture capture;
        g_world.LeakyRelations = leaky;
        HkPnpSetRelationsFromAbove(bus, {});
        IoInvalidateDeviceRelations(g_world.BusPdo, BusRelations);
        HkPnpRunPending();
        EXPECT_EQ(leaky ? 1u : 0u, capture.Count(HkViolation::RelationListLeak)) << "leaky " << leaky;
    }
    EXPECT_NE(nullptr, Child(0));  // the children are unchanged
}

TEST_F(PnpChecks, PdoDeletedWhileStillReportedIsReported) {
    BusWithChildren(1, 0);
    ASSERT_NE(nullptr, Child(0));

    HkVerifierCapture capture;
    g_world.Children[0].Deleted = true;
    IoDeleteDevice(g_world.Children[0].Pdo);  // the bus deletes a PDO it never reported missing
    g_world.Children[0].Present = false;
    IoInvalidateDeviceRelations(g_world.BusPdo, BusRelations);
    HkPnpRunPending();
    EXPECT_GE(capture.Count(HkViolation::DeviceDeletedReferenced), 1u);
}

// Identifiers Windows bug-checks on (PNP_DETECTED_FATAL_ERROR, "Invalid
// ID"): each is one stop, and the device is dropped without a driver. The
// last row is at the limits and passes.
TEST_F(PnpChecks, MalformedIdentifiersAreReportedAndTheDeviceDropped) {
    InstallBus();
    struct Case {
        const char* Name;
        std::u16string DeviceId;
        std::u16string InstanceId;
        std::u16string HardwareIds;
        bool Valid;
    };
    const Case cases[] = {
        {"space", u"PNPT BUS\\CHILD", u"", u"", false},
        {"comma", u"PNPTBUS\\CHI,LD", u"", u"", false},
        {"control character", u"PNPTBUS\\CHILD\x1f", u"", u"", false},
        {"above 0x7F", u"PNPTBUS\\CHILD\u00e9", u"", u"", false},
        {"no separator", u"PNPTBUS", u"", u"", false},
        {"two separators", u"PNPTBUS\\CHILD\\X", u"", u"", false},
        {"device ID of 200", u"PNPTBUS\\" + std::u16string(192, u'D'), u"", u"", false},
        {"separator in the instance ID", u"", u"0\\1", u"", false},
        {"comma in the second hardware ID", u"", u"", std::u16string(u"PNPTBUS\\CHILD\0PNPT,BUS", 23), false},
        {"hardware ID of 200", u"", u"", std::u16string(200, u'H'), false},
        {"instance path of 200", u"PNPTBUS\\" + std::u16string(150, u'D'), std::u16string(41, u'I'), u"", false},
        {"at the limits", u"PNPTBUS\\" + std::u16string(150, u'D'), std::u16string(40, u'I'),
         std::u16string(199, u'H'), true},
    };
    ULONG index = 0;
    for (const Case& c : cases) {
        HkVerifierCapture capture;
        SetPresent(index + 1);
        ChildRecord& child = g_world.Children[index++];
        child.DeviceId = c.DeviceId;
        child.InstanceId = c.InstanceId;
        child.HardwareIds = c.HardwareIds;
        HkPnpRunPending();
        EXPECT_EQ(c.Valid ? 0u : 1u, capture.Count(HkViolation::InvalidDeviceId)) << c.Name;
        EXPECT_EQ(capture.Count(), capture.Count(HkViolation::InvalidDeviceId)) << c.Name;
        HkDeviceNode* node = HkPnpNodeOfPdo(child.Pdo);
        ASSERT_NE(nullptr, node) << c.Name;
        EXPECT_EQ(c.Valid ? HkPnpState::NeedsInstall : HkPnpState::Removed, HkPnpGetState(node)) << c.Name;
        EXPECT_EQ(c.Valid ? IRP_MN_QUERY_RESOURCE_REQUIREMENTS : IRP_MN_REMOVE_DEVICE, child.Received.back().Minor)
            << c.Name;
    }
}

// A second device with an instance path already in the tree (PNP_DETECTED_
// FATAL_ERROR, "Duplicate PDO"): a stop, and the second one is dropped.
TEST_F(PnpChecks, TwoDevicesWithOneInstancePathAreReported) {
    InstallBus();
    InstallChildRecords(0, L"pnptfn");
    SetPresent(2);
    g_world.Children[1].InstanceId = u"0";
    HkVerifierCapture capture;
    HkPnpRunPending();
    EXPECT_EQ(1u, capture.Count(HkViolation::DuplicateInstancePath));
    ASSERT_NE(nullptr, Child(0));
    EXPECT_EQ(g_world.Children[0].Pdo, HkPnpPdo(Child(0)));
    EXPECT_EQ(HkPnpState::Started, HkPnpGetState(Child(0)));
    HkDeviceNode* second = HkPnpNodeOfPdo(g_world.Children[1].Pdo);
    ASSERT_NE(nullptr, second);
    EXPECT_EQ(HkPnpState::Removed, HkPnpGetState(second));
    EXPECT_EQ(1u, HkPnpStack(second).size());
    EXPECT_EQ(1u, g_world.FnCount);
}

// IoInvalidateDeviceRelations takes a PDO the manager was told about; an FDO
// or a PDO its bus never reported is a stop (PNP_DETECTED_FATAL_ERROR,
// "Invalid PDO"), whatever the relation type.
TEST_F(PnpChecks, InvalidatingRelationsOfAnUnreportedDeviceIsReported) {
    InstallBus();
    SetPresent(2);
    g_world.Children[1].Present = false;
    HkPnpRunPending();
    ASSERT_NE(nullptr, Child(0));
    ASSERT_EQ(nullptr, HkPnpNodeOfPdo(g_world.Children[1].Pdo));

    HkVerifierCapture capture;
    IoInvalidateDeviceRelations(g_world.BusPdo, BusRelations);
    IoInvalidateDeviceRelations(HkPnpPdo(Child(0)), BusRelations);
    EXPECT_EQ(0u, capture.Count());
    IoInvalidateDeviceRelations(g_world.BusFdo, BusRelations);
    EXPECT_EQ(1u, capture.Count(HkViolation::InvalidPdo));
    IoInvalidateDeviceRelations(g_world.Children[1].Pdo, BusRelations);
    IoInvalidateDeviceRelations(g_world.BusFdo, RemovalRelations);
    EXPECT_EQ(3u, capture.Count(HkViolation::InvalidPdo));
    EXPECT_EQ(2u, HkPnpRunPending());  // the two valid requests only
}

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
