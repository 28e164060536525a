// Failure injection, verifier capture and reset.
#include <vector>

#include "io_test_support.h"

namespace {

using VfTest = iotest::HostKernelTest;

std::vector<int> g_hookOrder;
void FirstHook() {
    g_hookOrder.push_back(1);
}
void SecondHook() {
    g_hookOrder.push_back(2);
}

TEST_F(VfTest, NthOperationFailsOnceAndIsCounted) {
    HkFaultFailNth(HkFault::RegistryWrite, 3);
    std::vector<bool> results;
    for (int i = 0; i < 5; i++) {
        results.push_back(HkFaultShouldFail(HkFault::RegistryWrite));
    }
    EXPECT_EQ(results, (std::vector<bool>{false, false, true, false, false}));
    EXPECT_EQ(HkFaultCount(HkFault::RegistryWrite), 5u);
    EXPECT_EQ(HkFaultInjected(HkFault::RegistryWrite), 1u);
    EXPECT_EQ(HkFaultCount(HkFault::RegistryRead), 0u) << "categories count separately";
}

TEST_F(VfTest, NthCountsFromTheCurrentOperation) {
    HkFaultShouldFail(HkFault::DeviceCreate);
    HkFaultShouldFail(HkFault::DeviceCreate);
    HkFaultFailNth(HkFault::DeviceCreate, 1);
    EXPECT_TRUE(HkFaultShouldFail(HkFault::DeviceCreate));
    EXPECT_FALSE(HkFaultShouldFail(HkFault::DeviceCreate));
}

TEST_F(VfTest, AlwaysFailsUntilTurnedOff) {
    HkFaultFailAlways(HkFault::SymbolicLinkCreate, true);
    EXPECT_TRUE(HkFaultShouldFail(HkFault::SymbolicLinkCreate));
    EXPECT_TRUE(HkFaultShouldFail(HkFault::SymbolicLinkCreate));
    HkFaultFailAlways(HkFault::SymbolicLinkCreate, false);
    EXPECT_FALSE(HkFaultShouldFail(HkFault::SymbolicLinkCreate));
    EXPECT_EQ(HkFaultInjected(HkFault::SymbolicLinkCreate), 2u);
}

TEST_F(VfTest, CampaignFailsEachOperationInTurnUntilCleanRun) {
    // A scenario with three allocations, undone on any failure.
    auto scenario = [] {
        void* blocks[3] = {};
        for (int i = 0; i < 3; i++) {
            blocks[i] = ExAllocatePoolWithTag(NonPagedPoolNx, 8, 'pmaC');
            if (!blocks[i]) {
                for (int j = 0; j < i; j++) {
                    ExFreePoolWithTag(blocks[j], 'pmaC');
                }
                return STATUS_INSUFFICIENT_RESOURCES;
            }
        }
        for (void* b : blocks) {
            ExFreePoolWithTag(b, 'pmaC');
        }
        return STATUS_SUCCESS;
    };
    ULONG n = 1;
    for (;; n++) {
        HkFaultReset();
        HkFaultFailNth(HkFault::Pool, n);
        NTSTATUS status = scenario();
        EXPECT_EQ(HkPoolOutstanding().Blocks, 0u);
        if (HkFaultCount(HkFault::Pool) < n) {
            EXPECT_EQ(status, STATUS_SUCCESS);
            break;
        }
        EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
    }
    EXPECT_EQ(n, 4u);
}

TEST_F(VfTest, FaultAndViolationNamesAreReadable) {
    EXPECT_STREQ(HkFaultName(HkFault::SymbolicLinkQuery), "SymbolicLinkQuery");
    EXPECT_STREQ(HkViolationName(HkViolation::IrpCompletedTwice), "IrpCompletedTwice");
    EXPECT_STREQ(HkViolationName(HkViolation::Other), "Other");
}

TEST_F(VfTest, CapturesNestAndTheInnermostRecords) {
    HkVerifierCapture outer;
    {
        HkVerifierCapture inner;
        HkVerifierStop(HkViolation::Other, "inner %d", 1);
        EXPECT_EQ(inner.Count(), 1u);
        EXPECT_EQ(inner.Reports()[0].Text, "Other: inner 1");
    }
    EXPECT_EQ(outer.Count(), 0u);
    HkVerifierStop(HkViolation::LockOrder, "outer");
    EXPECT_EQ(outer.Count(HkViolation::LockOrder), 1u);
    outer.Clear();
    EXPECT_EQ(outer.Count(), 0u);
}

TEST(VfDeathTest, UncapturedStopAbortsWithAReport) {
    EXPECT_DEATH(HkVerifierStop(HkViolation::DoubleFree, "block %p", (void*)0x10),
                 "VERIFIER STOP DoubleFree: block 0x10");
}

TEST_F(VfTest, ResetRunsHooksInReverseOrderAndRestoresState) {
    g_hookOrder.clear();
    HkRegisterResetHook(FirstHook);
    HkRegisterResetHook(SecondHook);
    HkRegisterResetHook(FirstHook);
    HkFaultFailAlways(HkFault::Pool, true);
    HkClockAdvance(10);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    HkReset();
    EXPECT_EQ(g_hookOrder, (std::vector<int>{2, 1}));
    EXPECT_EQ(HkClockNow(), 0);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_FALSE(HkFaultShouldFail(HkFault::Pool));
}

}  // namespace
