// Pool accounting, checks and failure injection.
#include <gtest/gtest.h>

#include "hk/fault.h"
#include "hk/pool.h"
#include "hk/reset.h"
#include "hk/verifier.h"
#include "ntddk.h"

namespace {

constexpr ULONG kTagA = 'AkhT';
constexpr ULONG kTagB = 'BkhT';

class ExPoolTest : public ::testing::Test {
protected:
    void SetUp() override { HkReset(); }
    void TearDown() override {
        EXPECT_EQ(HkPoolReportLeaks(), 0u);
        HkReset();
    }
};

TEST_F(ExPoolTest, NewBlocksCarryAFillPatternAndAreCounted) {
    UCHAR* a = (UCHAR*)ExAllocatePoolWithTag(NonPagedPoolNx, 24, kTagA);
    UCHAR* b = (UCHAR*)ExAllocatePoolWithTag(PagedPool, 8, kTagB);
    ASSERT_TRUE(a && b);
    for (int i = 0; i < 24; i++) {
        ASSERT_EQ(a[i], HK_POOL_FILL);
    }
    EXPECT_EQ(HkPoolOutstanding().Blocks, 2u);
    EXPECT_EQ(HkPoolOutstanding().Bytes, 32u);
    EXPECT_EQ(HkPoolOutstandingForTag(kTagA).Bytes, 24u);
    EXPECT_TRUE(HkPoolIsLive(a));
    ExFreePoolWithTag(a, kTagA);
    ExFreePool(b);
    EXPECT_FALSE(HkPoolIsLive(a));
    EXPECT_EQ(HkPoolOutstanding().Blocks, 0u);
}

TEST_F(ExPoolTest, AllocatePool2ZeroesUnlessAskedNotTo) {
    UCHAR* z = (UCHAR*)ExAllocatePool2(POOL_FLAG_NON_PAGED, 16, kTagA);
    UCHAR* u = (UCHAR*)ExAllocatePool2(POOL_FLAG_PAGED | POOL_FLAG_UNINITIALIZED, 16, kTagA);
    ASSERT_TRUE(z && u);
    EXPECT_EQ(z[0], 0);
    EXPECT_EQ(z[15], 0);
    EXPECT_EQ(u[0], HK_POOL_FILL);
    ExFreePoolWithTag(z, kTagA);
    ExFreePoolWithTag(u, kTagA);
}

TEST_F(ExPoolTest, LeaksAreReportedAndCheckedAsAStop) {
    void* leaked = ExAllocatePoolWithTag(NonPagedPoolNx, 40, kTagB);
    EXPECT_EQ(HkPoolReportLeaks(), 1u);
    {
        HkVerifierCapture capture;
        EXPECT_EQ(HkPoolCheckLeaks(), 1u);
        ASSERT_EQ(capture.Count(HkViolation::PoolLeak), 1u);
        EXPECT_NE(capture.Reports()[0].Text.find("ThkB"), std::string::npos) << capture.Reports()[0].Text;
    }
    ExFreePool(leaked);
}

TEST_F(ExPoolTest, DoubleFreeWrongTagAndUnknownPointerAreStops) {
    HkVerifierCapture capture;
    void* p = ExAllocatePoolWithTag(NonPagedPoolNx, 16, kTagA);
    ExFreePoolWithTag(p, kTagB);
    EXPECT_EQ(capture.Count(HkViolation::WrongPoolTag), 1u);
    EXPECT_FALSE(HkPoolIsLive(p));
    ExFreePoolWithTag(p, kTagA);
    EXPECT_EQ(capture.Count(HkViolation::DoubleFree), 1u);
    int local = 0;
    ExFreePool(&local);
    EXPECT_EQ(capture.Count(HkViolation::BadPoolFree), 1u);
    EXPECT_EQ(local, 0);
    EXPECT_EQ(capture.Count(), 3u);
}

TEST_F(ExPoolTest, FreedBlocksArePoisoned) {
    UCHAR* p = (UCHAR*)ExAllocatePoolWithTag(NonPagedPoolNx, 16, kTagA);
    p[0] = 7;
    ExFreePoolWithTag(p, kTagA);
    // The block stays in quarantine, so reading it here is safe in the model.
    EXPECT_EQ(p[0], HK_POOL_POISON);
}

TEST_F(ExPoolTest, PagedPoolAboveApcLevelIsAStop) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    HkVerifierCapture capture;
    EXPECT_EQ(ExAllocatePoolWithTag(PagedPool, 8, kTagA), nullptr);
    EXPECT_EQ(capture.Count(HkViolation::PagedPoolAtHighIrql), 1u);
    void* p = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagA);
    EXPECT_NE(p, nullptr);
    ExFreePoolWithTag(p, kTagA);
    KeLowerIrql(old);
    EXPECT_EQ(capture.Count(), 1u);
}

TEST_F(ExPoolTest, NthAllocationFailsOnce) {
    HkFaultFailNth(HkFault::Pool, 2);
    void* first = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagA);
    void* second = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagA);
    void* third = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagA);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(second, nullptr);
    EXPECT_NE(third, nullptr);
    EXPECT_EQ(HkFaultCount(HkFault::Pool), 3u);
    EXPECT_EQ(HkFaultInjected(HkFault::Pool), 1u);
    ExFreePool(first);
    ExFreePool(third);
}

TEST_F(ExPoolTest, EveryAllocationWithATagCanFail) {
    HkFaultFailTag(kTagB);
    void* a = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagA);
    EXPECT_NE(a, nullptr);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagB), nullptr);
    EXPECT_EQ(ExAllocatePoolWithTag(PagedPool, 8, kTagB), nullptr);
    EXPECT_EQ(HkFaultInjected(HkFault::Pool), 2u);
    HkFaultReset();
    void* b = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagB);
    EXPECT_NE(b, nullptr);
    ExFreePool(a);
    ExFreePool(b);
}

TEST_F(ExPoolTest, ResetForgetsOutstandingBlocks) {
    ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagA);
    HkReset();
    EXPECT_EQ(HkPoolOutstanding().Blocks, 0u);
    EXPECT_EQ(HkPoolAllocationCount(), 0u);
}

}  // namespace
