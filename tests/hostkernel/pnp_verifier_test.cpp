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
    HkDeviceNode* bus = InstallBus();
    SetPresent(1);
    HkPnpRunPending();
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
    InstallBus();
    SetPresent(1);
    HkPnpRunPending();
    ASSERT_NE(nullptr, Child(0));

    HkVerifierCapture capture;
    g_world.Children[0].Deleted = true;
    IoDeleteDevice(g_world.Children[0].Pdo);  // the bus deletes a PDO it never reported missing
    g_world.Children[0].Present = false;
    IoInvalidateDeviceRelations(g_world.BusPdo, BusRelations);
    HkPnpRunPending();
    EXPECT_GE(capture.Count(HkViolation::DeviceDeletedReferenced), 1u);
}

}  // namespace
}  // namespace pnptest
