// IRQL, critical regions, pageable code and spin locks.
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

TEST_F(KeIrqlTest, RaisingDownOrLoweringUpIsAStop) {
    HkVerifierCapture capture;
    KeLowerIrql(DISPATCH_LEVEL);
    EXPECT_EQ(capture.Count(HkViolation::IrqlBadLower), 1u);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    KIRQL ignored;
    KeRaiseIrql(APC_LEVEL, &ignored);
    EXPECT_EQ(capture.Count(HkViolation::IrqlBadRaise), 1u);
    KeLowerIrql(old);
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

}  // namespace
