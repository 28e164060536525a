// Fast mutexes: IRQL, ownership, lock order, mutual exclusion.
#include <atomic>
#include <thread>

#include "io_test_support.h"

namespace {

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
