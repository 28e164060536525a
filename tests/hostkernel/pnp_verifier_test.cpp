// The PnP manager's checks on drivers that break the platform's rules.
#include "pnp_test_drivers.h"

namespace pnptest {
namespace {

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

    // A correct bus frees the list it extends.
    HkVerifierCapture capture;
    HkPnpSetRelationsFromAbove(bus, {});
    IoInvalidateDeviceRelations(g_world.BusPdo, BusRelations);
    HkPnpRunPending();
    EXPECT_EQ(0u, capture.Count(HkViolation::RelationListLeak));

    // One that drops it on the floor is caught.
    g_world.LeakyRelations = true;
    HkPnpSetRelationsFromAbove(bus, {});
    IoInvalidateDeviceRelations(g_world.BusPdo, BusRelations);
    HkPnpRunPending();
    EXPECT_EQ(1u, capture.Count(HkViolation::RelationListLeak));
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

}  // namespace
}  // namespace pnptest
