// IRQL, critical regions, pageable code, spin locks and fast mutexes (IRQL,
// ownership, lock order, mutual exclusion).
#include <atomic>
#include <thread>

#include "io_test_support.h"

namespace {

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
