// IRQL, critical regions, pageable code, spin locks and fast mutexes (IRQL,
// ownership, lock order, mutual exclusion); events and waits, timers, DPCs and
// the manual clock; within one thread and across threads.
#include <atomic>
#include <thread>
#include <vector>

#include "io_test_support.h"

namespace {

constexpr LONGLONG kMs = 10000;

LARGE_INTEGER RelativeMs(LONGLONG ms) {
    LARGE_INTEGER t;
    t.QuadPart = -ms * kMs;
    return t;
}

// An event set by a timer's DPC.
struct Signal {
    KEVENT Event;
    KTIMER Timer;
    KDPC Dpc;
};

void SignalDpc(PKDPC, PVOID context, PVOID, PVOID) {
    KeSetEvent(&((Signal*)context)->Event, IO_NO_INCREMENT, FALSE);
}

class KeEventTest : public iotest::HostKernelTest {
protected:
    NTSTATUS WaitMs(PVOID object, LONGLONG ms) {
        LARGE_INTEGER timeout = RelativeMs(ms);
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
    Signal s;
    KeInitializeEvent(&s.Event, NotificationEvent, FALSE);
    KeInitializeTimer(&s.Timer);
    KeInitializeDpc(&s.Dpc, SignalDpc, &s);
    KeSetTimer(&s.Timer, RelativeMs(50), &s.Dpc);
    std::atomic<NTSTATUS> status{STATUS_PENDING};
    std::thread waiter([&] { status = WaitMs(&s.Event, 1000); });
    HkClockAdvance(50);
    waiter.join();
    EXPECT_EQ(status.load(), STATUS_SUCCESS);
}

struct Probe {
    KTIMER Timer;
    KDPC Dpc;
    std::vector<LONGLONG> FiredAt;
    std::vector<KIRQL> Irqls;
};

void ProbeDpc(PKDPC, PVOID context, PVOID, PVOID) {
    Probe* p = (Probe*)context;
    p->FiredAt.push_back(HkClockNow() / kMs);
    p->Irqls.push_back(KeGetCurrentIrql());
}

class KeTimerTest : public iotest::HostKernelTest {
protected:
    void SetUp() override {
        HostKernelTest::SetUp();
        KeInitializeTimer(&probe.Timer);
        KeInitializeDpc(&probe.Dpc, ProbeDpc, &probe);
    }
    Probe probe;  // HkReset forgets its timer and queued DPC
};

TEST_F(KeTimerTest, RearmingPostponesAndFiresOnce) {
    EXPECT_FALSE(KeSetTimer(&probe.Timer, RelativeMs(200), &probe.Dpc));
    HkClockAdvance(100);
    EXPECT_TRUE(KeSetTimer(&probe.Timer, RelativeMs(200), &probe.Dpc));
    HkClockAdvance(199);
    EXPECT_TRUE(probe.FiredAt.empty());
    EXPECT_FALSE(KeReadStateTimer(&probe.Timer));
    HkClockAdvance(1000);
    ASSERT_EQ(probe.FiredAt.size(), 1u);
    EXPECT_EQ(probe.FiredAt[0], 300);
    EXPECT_TRUE(KeReadStateTimer(&probe.Timer));
    EXPECT_EQ(HkClockNow(), 1299 * kMs);
}

TEST_F(KeTimerTest, CancelReportsWhetherTheTimerWasSet) {
    EXPECT_FALSE(KeCancelTimer(&probe.Timer));
    KeSetTimer(&probe.Timer, RelativeMs(50), &probe.Dpc);
    EXPECT_EQ(HkTimerSetCount(), 1u);
    EXPECT_TRUE(KeCancelTimer(&probe.Timer));
    EXPECT_FALSE(KeCancelTimer(&probe.Timer));
    HkClockAdvance(100);
    EXPECT_TRUE(probe.FiredAt.empty());

    KeSetTimer(&probe.Timer, RelativeMs(50), &probe.Dpc);
    HkClockAdvance(50);
    EXPECT_EQ(probe.FiredAt.size(), 1u);
    EXPECT_FALSE(KeCancelTimer(&probe.Timer)) << "an expired timer is no longer set";
}

TEST_F(KeTimerTest, TimersExpireInDueOrderAtTheirOwnTimes) {
    Probe second;
    KeInitializeTimer(&second.Timer);
    KeInitializeDpc(&second.Dpc, ProbeDpc, &second);
    LARGE_INTEGER absolute;
    KeQuerySystemTime(&absolute);
    absolute.QuadPart += 30 * kMs;
    KeSetTimer(&probe.Timer, RelativeMs(70), &probe.Dpc);
    KeSetTimer(&second.Timer, absolute, &second.Dpc);
    EXPECT_EQ(HkTimerNextDue(), 30 * kMs);
    HkClockAdvance(100);
    ASSERT_EQ(second.FiredAt.size(), 1u);
    ASSERT_EQ(probe.FiredAt.size(), 1u);
    EXPECT_EQ(second.FiredAt[0], 30);
    EXPECT_EQ(probe.FiredAt[0], 70);
}

TEST_F(KeTimerTest, PeriodicTimerFiresEveryPeriodAtDispatchLevel) {
    KeSetTimerEx(&probe.Timer, RelativeMs(10), 25, &probe.Dpc);
    HkClockAdvance(61);
    EXPECT_EQ(probe.FiredAt, (std::vector<LONGLONG>{10, 35, 60}));
    EXPECT_EQ(probe.Irqls, (std::vector<KIRQL>(3, DISPATCH_LEVEL)));
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_TRUE(KeCancelTimer(&probe.Timer));
}

TEST_F(KeTimerTest, DeferredAdvanceLeavesTheDpcQueuedUntilFlushed) {
    KeSetTimer(&probe.Timer, RelativeMs(10), &probe.Dpc);
    HkClockAdvance(20, HkDpcMode::Deferred);
    EXPECT_TRUE(probe.FiredAt.empty());
    EXPECT_EQ(HkDpcQueuedCount(), 1u);
    EXPECT_EQ(HkKeFindLiveObjectsInRange(&probe, sizeof(probe)).Dpcs, 1u);

    // Other code lowering the IRQL does not release a held queue.
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    KeLowerIrql(old);
    EXPECT_TRUE(probe.FiredAt.empty());

    KeFlushQueuedDpcs();
    ASSERT_EQ(probe.FiredAt.size(), 1u);
    EXPECT_EQ(probe.FiredAt[0], 20) << "ran when flushed, after the clock moved on";
    EXPECT_EQ(HkDpcQueuedCount(), 0u);
}

TEST_F(KeTimerTest, RunQueuedReleasesTheHold) {
    KeSetTimer(&probe.Timer, RelativeMs(10), &probe.Dpc);
    HkClockAdvance(10, HkDpcMode::Deferred);
    EXPECT_EQ(HkDpcRunQueued(), 1u);
    EXPECT_EQ(probe.FiredAt.size(), 1u);
    EXPECT_EQ(HkDpcRunQueued(), 0u);
}

TEST_F(KeTimerTest, QueueingTwiceAndRemoving) {
    HkDpcSetAutoRun(false);
    EXPECT_TRUE(KeInsertQueueDpc(&probe.Dpc, (PVOID)1, (PVOID)2));
    EXPECT_FALSE(KeInsertQueueDpc(&probe.Dpc, nullptr, nullptr));
    EXPECT_TRUE(KeRemoveQueueDpc(&probe.Dpc));
    EXPECT_FALSE(KeRemoveQueueDpc(&probe.Dpc));
    EXPECT_EQ(HkDpcRunQueued(), 0u);
    EXPECT_TRUE(probe.FiredAt.empty());
}

TEST_F(KeTimerTest, DpcQueuedAtDispatchRunsWhenTheIrqlDrops) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_TRUE(KeInsertQueueDpc(&probe.Dpc, nullptr, nullptr));
    EXPECT_TRUE(probe.FiredAt.empty());
    KeLowerIrql(old);
    EXPECT_EQ(probe.FiredAt.size(), 1u);

    EXPECT_TRUE(KeInsertQueueDpc(&probe.Dpc, nullptr, nullptr));
    EXPECT_EQ(probe.FiredAt.size(), 2u) << "queued at passive level: runs at once";
}

TEST_F(KeTimerTest, LiveObjectsAreFoundByRange) {
    KeSetTimer(&probe.Timer, RelativeMs(10), nullptr);
    HkKeLiveObjects live = HkKeFindLiveObjectsInRange(&probe, sizeof(probe));
    EXPECT_EQ(live.Timers, 1u);
    EXPECT_EQ(live.FirstTimer, &probe.Timer);
    EXPECT_EQ(HkKeFindLiveObjectsInRange(&probe.Dpc, sizeof(probe.Dpc)).Timers, 0u);
    HkKeForgetObjectsInRange(&probe, sizeof(probe));
    EXPECT_EQ(HkTimerSetCount(), 0u);
}

TEST_F(KeTimerTest, WaitOnATimerMovesTheClockToItsDueTime) {
    KeSetTimer(&probe.Timer, RelativeMs(40), nullptr);
    EXPECT_EQ(KeWaitForSingleObject(&probe.Timer, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(HkClockNow(), 40 * kMs);
}

TEST_F(KeTimerTest, DelayMovesTheManualClock) {
    LARGE_INTEGER interval = RelativeMs(25);
    KeSetTimer(&probe.Timer, RelativeMs(10), &probe.Dpc);
    EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &interval), STATUS_SUCCESS);
    EXPECT_EQ(HkClockNow(), 25 * kMs);
    EXPECT_EQ(probe.FiredAt, (std::vector<LONGLONG>{10}));
}

TEST_F(KeTimerTest, SystemAndInterruptTimeFollowTheClock) {
    LARGE_INTEGER before, after;
    KeQuerySystemTime(&before);
    ULONGLONG interrupt = KeQueryInterruptTime();
    HkClockAdvance(1500);
    KeQuerySystemTime(&after);
    EXPECT_EQ(after.QuadPart - before.QuadPart, 1500 * kMs);
    EXPECT_EQ(KeQueryInterruptTime() - interrupt, (ULONGLONG)(1500 * kMs));
    EXPECT_EQ(before.QuadPart, HkClockSystemTimeBase());
}

TEST_F(KeTimerTest, ResetClearsClockTimersAndQueue) {
    KeSetTimer(&probe.Timer, RelativeMs(10), &probe.Dpc);
    HkClockAdvance(5);
    HkReset();
    EXPECT_EQ(HkClockNow(), 0);
    EXPECT_EQ(HkTimerSetCount(), 0u);
    HkClockAdvance(20);
    EXPECT_TRUE(probe.FiredAt.empty());
}

using KeClockConcurrencyTest = iotest::HostKernelTest;  // HkReset stops real time

TEST_F(KeClockConcurrencyTest, RealTimeModeExpiresTimersFromItsOwnThread) {
    Signal s;
    KeInitializeEvent(&s.Event, NotificationEvent, FALSE);
    KeInitializeTimer(&s.Timer);
    KeInitializeDpc(&s.Dpc, SignalDpc, &s);
    HkClockStartRealTime();
    EXPECT_TRUE(HkClockIsRealTime());
    LARGE_INTEGER due = RelativeMs(2);
    KeSetTimer(&s.Timer, due, &s.Dpc);
    EXPECT_EQ(KeWaitForSingleObject(&s.Event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_GE(HkClockNow(), 2 * kMs);
    HkClockStopRealTime();
    EXPECT_FALSE(HkClockIsRealTime());
    EXPECT_EQ(HkTimerSetCount(), 0u);
}

using KeIrqlTest = iotest::HostKernelTest;

void PageableRoutine() {
    PAGED_CODE();
}

TEST_F(KeIrqlTest, RaiseAndLowerTrackTheThreadIrql) {
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    KIRQL old;
    KeRaiseIrql(APC_LEVEL, &old);
    EXPECT_EQ(old, PASSIVE_LEVEL);
    EXPECT_EQ(KeRaiseIrqlToDpcLevel(), APC_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KeLowerIrql(old);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(KeIrqlTest, PageableCodeAtDispatchIsAStopNamingTheRoutine) {
    PageableRoutine();
    KIRQL old;
    KeRaiseIrql(APC_LEVEL, &old);
    PageableRoutine();
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    HkVerifierCapture capture;
    PageableRoutine();
    KeLowerIrql(PASSIVE_LEVEL);
    ASSERT_EQ(capture.Count(HkViolation::PagedCodeAtHighIrql), 1u);
    EXPECT_NE(capture.Reports()[0].Text.find("PageableRoutine"), std::string::npos);
}

TEST_F(KeIrqlTest, CriticalRegionsNestAndMustBalance) {
    KeEnterCriticalRegion();
    KeEnterCriticalRegion();
    EXPECT_EQ(HkThreadCriticalRegionDepth(), 2);
    EXPECT_TRUE(KeAreApcsDisabled());
    KeLeaveCriticalRegion();
    KeLeaveCriticalRegion();
    EXPECT_FALSE(KeAreApcsDisabled());
    HkVerifierCapture capture;
    KeLeaveCriticalRegion();
    EXPECT_EQ(capture.Count(HkViolation::CriticalRegionUnbalanced), 1u);
    EXPECT_EQ(HkThreadCriticalRegionDepth(), 0);
}

TEST_F(KeIrqlTest, SpinLockRaisesToDispatchAndChecksItsOwner) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    EXPECT_EQ(HkThreadSpinLocksHeld(), 1u);
    {
        HkVerifierCapture capture;
        KeAcquireSpinLockAtDpcLevel(&lock);
        EXPECT_EQ(capture.Count(HkViolation::SpinLockRecursion), 1u);
    }
    KeReleaseSpinLock(&lock, old);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_EQ(HkThreadSpinLocksHeld(), 0u);
    HkVerifierCapture capture;
    KeReleaseSpinLockFromDpcLevel(&lock);
    EXPECT_EQ(capture.Count(HkViolation::SpinLockNotOwner), 1u);
}

TEST_F(KeIrqlTest, ThreadRecordsAreSeparate) {
    KIRQL old;
    KeRaiseIrql(APC_LEVEL, &old);
    HkThreadSetProcess((void*)0x1234);
    KIRQL other = HIGH_LEVEL;
    void* otherProcess = (void*)1;
    ULONG otherId = 0;
    std::thread([&] {
        other = KeGetCurrentIrql();
        otherProcess = HkThreadGetProcess();
        otherId = HkThreadId();
    }).join();
    EXPECT_EQ(other, PASSIVE_LEVEL);
    EXPECT_EQ(otherProcess, nullptr);
    EXPECT_NE(otherId, HkThreadId());
    EXPECT_EQ(HkThreadGetProcess(), (void*)0x1234);
    KeLowerIrql(old);
    HkThreadSetProcess(nullptr);
}

TEST_F(KeIrqlTest, AssertFailureIsAStop) {
    HkVerifierCapture capture;
    ASSERT(1 + 1 == 2);
    ASSERT(1 + 1 == 3);
    ASSERT_EQ(capture.Count(HkViolation::AssertFailed), 1u);
    EXPECT_NE(capture.Reports()[0].Text.find("1 + 1 == 3"), std::string::npos);
}

class ExFastMutexTest : public iotest::HostKernelTest {
protected:
    void SetUp() override {
        HostKernelTest::SetUp();
        ExInitializeFastMutex(&mutex);
        ExInitializeFastMutex(&other);
    }
    void TearDown() override {
        EXPECT_EQ(HkThreadFastMutexesHeld(), 0u);
        HostKernelTest::TearDown();
    }
    FAST_MUTEX mutex;
    FAST_MUTEX other;
};

// Cross-thread cases (run under the thread sanitizer too).
class ExFastMutexConcurrencyTest : public ExFastMutexTest {};

TEST_F(ExFastMutexTest, AcquireRaisesToApcAndReleaseRestores) {
    ExAcquireFastMutex(&mutex);
    EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
    EXPECT_EQ(HkThreadFastMutexesHeld(), 1u);
    EXPECT_EQ(mutex.Owner, KeGetCurrentThread());
    ExReleaseFastMutex(&mutex);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_EQ(mutex.Owner, nullptr);

    KIRQL old;
    KeRaiseIrql(APC_LEVEL, &old);
    ExAcquireFastMutex(&mutex);
    ExReleaseFastMutex(&mutex);
    EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL) << "restores the IRQL of the acquire";
    KeLowerIrql(old);
}

TEST_F(ExFastMutexTest, RecursionIsAStop) {
    ExAcquireFastMutex(&mutex);
    {
        HkVerifierCapture capture;
        ExAcquireFastMutex(&mutex);
        EXPECT_EQ(capture.Count(HkViolation::FastMutexRecursion), 1u);
        EXPECT_FALSE(ExTryToAcquireFastMutex(&mutex));
        EXPECT_EQ(capture.Count(HkViolation::FastMutexRecursion), 2u);
    }
    EXPECT_EQ(HkThreadFastMutexesHeld(), 1u);
    ExReleaseFastMutex(&mutex);
}

TEST_F(ExFastMutexConcurrencyTest, ReleaseByANonOwnerIsAStop) {
    HkVerifierCapture capture;
    ExReleaseFastMutex(&mutex);
    EXPECT_EQ(capture.Count(HkViolation::FastMutexNotOwner), 1u);
    ExAcquireFastMutex(&mutex);
    std::thread([&] { ExReleaseFastMutex(&mutex); }).join();
    EXPECT_EQ(capture.Count(HkViolation::FastMutexNotOwner), 2u);
    EXPECT_EQ(mutex.Owner, KeGetCurrentThread());
    ExReleaseFastMutex(&mutex);
}

TEST_F(ExFastMutexTest, InvertedLockOrderIsAStop) {
    ExAcquireFastMutex(&mutex);
    ExAcquireFastMutex(&other);
    ExReleaseFastMutex(&other);
    ExReleaseFastMutex(&mutex);
    HkVerifierCapture capture;
    ExAcquireFastMutex(&other);
    ExAcquireFastMutex(&mutex);
    EXPECT_EQ(capture.Count(HkViolation::LockOrder), 1u);
    ExReleaseFastMutex(&mutex);
    ExReleaseFastMutex(&other);
}

TEST_F(ExFastMutexTest, UnsafeFormsNeedApcsDisabled) {
    KeEnterCriticalRegion();
    ExAcquireFastMutexUnsafe(&mutex);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    ExReleaseFastMutexUnsafe(&mutex);
    KeLeaveCriticalRegion();
    HkVerifierCapture capture;
    ExAcquireFastMutexUnsafe(&mutex);
    EXPECT_EQ(capture.Count(HkViolation::IrqlTooLow), 1u);
    ExReleaseFastMutexUnsafe(&mutex);
}

TEST_F(ExFastMutexConcurrencyTest, TryFailsWhileAnotherThreadOwnsIt) {
    ExAcquireFastMutex(&mutex);
    BOOLEAN got = TRUE;
    KIRQL irqlAfter = HIGH_LEVEL;
    std::thread([&] {
        got = ExTryToAcquireFastMutex(&mutex);
        irqlAfter = KeGetCurrentIrql();
    }).join();
    EXPECT_FALSE(got);
    EXPECT_EQ(irqlAfter, PASSIVE_LEVEL);
    ExReleaseFastMutex(&mutex);
}

TEST_F(ExFastMutexConcurrencyTest, ExcludesOtherThreads) {
    long counter = 0;
    std::atomic<int> inside{0};
    std::atomic<int> overlaps{0};
    auto body = [&] {
        for (int i = 0; i < 2000; i++) {
            ExAcquireFastMutex(&mutex);
            if (inside.fetch_add(1) != 0) {
                overlaps++;
            }
            counter++;
            inside.fetch_sub(1);
            ExReleaseFastMutex(&mutex);
        }
    };
    std::thread a(body), b(body);
    a.join();
    b.join();
    EXPECT_EQ(counter, 4000);
    EXPECT_EQ(overlaps.load(), 0);
}

}  // namespace
