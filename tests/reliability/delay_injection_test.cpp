// Delay injection at the host kernel's synchronisation points.
#include <gtest/gtest.h>

#include <ntddk.h>

#include "hk/delay.h"
#include "hk/reset.h"

namespace {

TEST(DelayInjection, PausesAtEachPointWhenEnabledAndNotAfterReset)
{
    HkReset();
    FAST_MUTEX mutex;
    ExInitializeFastMutex(&mutex);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);

    HkDelayEnable(1, 100, 0);  // every point pauses (a yield)
    EXPECT_TRUE(HkDelayEnabled());
    ExAcquireFastMutex(&mutex);
    ExReleaseFastMutex(&mutex);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
    EXPECT_EQ(HkDelayCount(HkDelayPoint::FastMutexAcquire), 1u);
    EXPECT_EQ(HkDelayCount(HkDelayPoint::FastMutexRelease), 1u);
    EXPECT_EQ(HkDelayCount(HkDelayPoint::EventSet), 1u);
    EXPECT_EQ(HkDelayCount(HkDelayPoint::EventWait), 1u);

    HkReset();
    EXPECT_FALSE(HkDelayEnabled());
    ExAcquireFastMutex(&mutex);
    ExReleaseFastMutex(&mutex);
    EXPECT_EQ(HkDelayCount(HkDelayPoint::FastMutexAcquire), 1u);
}

TEST(DelayInjection, NoPausesAtZeroPercent)
{
    HkReset();
    FAST_MUTEX mutex;
    ExInitializeFastMutex(&mutex);
    HkDelayEnable(5, 0, 100);
    for (int i = 0; i < 100; i++) {
        ExAcquireFastMutex(&mutex);
        ExReleaseFastMutex(&mutex);
    }
    EXPECT_EQ(HkDelayCount(HkDelayPoint::FastMutexAcquire), 0u);
    HkReset();
}

}  // namespace
