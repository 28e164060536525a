// The manager thread serves re-enumeration requests by itself.
#include "pnp_test_drivers.h"

namespace pnptest {
namespace {

using ManagerThread = PnpFixture;

TEST_F(ManagerThread, ServesQueuedRequestsByItself) {
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

}  // namespace
}  // namespace pnptest
