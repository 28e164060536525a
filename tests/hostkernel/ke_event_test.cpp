// Events and waits, within one thread and across threads.
#include <atomic>
#include <thread>

#include "io_test_support.h"

namespace {

constexpr LONGLONG kMs = 10000;

class KeEventTest : public iotest::HostKernelTest {
protected:
    NTSTATUS WaitMs(PVOID object, LONGLONG ms) {
        LARGE_INTEGER timeout;
        timeout.QuadPart = -ms * kMs;
        return KeWaitForSingleObject(object, Executive, KernelMode, FALSE, &timeout);
    }
};

TEST_F(KeEventTest, NotificationEventStaysSignalled) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
    EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
    EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 1) << "returns the previous state";
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(KeResetEvent(&event), 1);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
}

TEST_F(KeEventTest, SynchronizationEventResetsOnASatisfiedWait) {
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, TRUE);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
    EXPECT_EQ(WaitMs(&event, 0), STATUS_TIMEOUT);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    KeClearEvent(&event);
    EXPECT_EQ(WaitMs(&event, 0), STATUS_TIMEOUT);
}

TEST_F(KeEventTest, TimedWaitTimesOutOnTheVirtualClock) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    EXPECT_EQ(WaitMs(&event, 250), STATUS_TIMEOUT);
    EXPECT_EQ(HkClockNow(), 250 * kMs) << "the waiting thread let the time pass";
}

TEST_F(KeEventTest, WaitAtDispatchLevelIsAStopUnlessItPolls) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    {
        HkVerifierCapture capture;
        EXPECT_EQ(WaitMs(&event, 0), STATUS_TIMEOUT);
        EXPECT_EQ(capture.Count(), 0u);
        EXPECT_EQ(WaitMs(&event, 10), STATUS_TIMEOUT);
        EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_TIMEOUT);
        EXPECT_EQ(capture.Count(HkViolation::WaitAtDispatch), 2u);
    }
    KeLowerIrql(old);
}

// Cross-thread cases (run under the thread sanitizer too).
class KeEventConcurrencyTest : public KeEventTest {};

TEST_F(KeEventConcurrencyTest, WaiterInAnotherThreadWakesWhenSet) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    std::atomic<int> woke{0};
    std::thread waiter([&] {
        EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
        woke++;
    });
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    waiter.join();
    EXPECT_EQ(woke.load(), 1);
}

TEST_F(KeEventConcurrencyTest, SynchronizationEventReleasesOneWaiterPerSet) {
    KEVENT event, done;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    KeInitializeEvent(&done, SynchronizationEvent, FALSE);
    std::atomic<int> woke{0};
    auto body = [&] {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        woke++;
        KeSetEvent(&done, IO_NO_INCREMENT, FALSE);
    };
    std::thread a(body), b(body);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(woke.load(), 1);
    EXPECT_EQ(KeReadStateEvent(&event), 0) << "the wake consumed the signal";
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    a.join();
    b.join();
    EXPECT_EQ(woke.load(), 2);
}

TEST_F(KeEventConcurrencyTest, TimedWaitInAnotherThreadEndsWhenTheClockIsAdvanced) {
    HkClockSetAutoAdvance(false);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    std::atomic<NTSTATUS> status{STATUS_PENDING};
    std::thread waiter([&] { status = WaitMs(&event, 100); });
    while (HkThreadsWaiting() == 0) {
        std::this_thread::yield();
    }
    HkClockAdvance(99);
    EXPECT_EQ(status.load(), STATUS_PENDING);
    HkClockAdvance(1);
    waiter.join();
    EXPECT_EQ(status.load(), STATUS_TIMEOUT);
}

TEST_F(KeEventConcurrencyTest, DpcSignalsAThreadWaitingOnTheEvent) {
    HkClockSetAutoAdvance(false);
    struct Context {
        KEVENT Event;
        KTIMER Timer;
        KDPC Dpc;
    } c;
    KeInitializeEvent(&c.Event, NotificationEvent, FALSE);
    KeInitializeTimer(&c.Timer);
    KeInitializeDpc(
        &c.Dpc, [](PKDPC, PVOID context, PVOID, PVOID) { KeSetEvent(&((Context*)context)->Event, 0, FALSE); }, &c);
    LARGE_INTEGER due;
    due.QuadPart = -50 * kMs;
    KeSetTimer(&c.Timer, due, &c.Dpc);
    std::atomic<NTSTATUS> status{STATUS_PENDING};
    std::thread waiter([&] { status = WaitMs(&c.Event, 1000); });
    HkClockAdvance(50);
    waiter.join();
    EXPECT_EQ(status.load(), STATUS_SUCCESS);
}

}  // namespace
