// Pool accounting, checks and failure injection.
#include <vector>

#include "io_test_support.h"

namespace {

constexpr ULONG kTagA = 'AkhT';
constexpr ULONG kTagB = 'BkhT';

using ExPoolTest = iotest::HostKernelTest;

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

// The kind of pool is kept per block: any address inside a live block finds
// it, and counters go by tag and kind.
TEST_F(ExPoolTest, EveryBlockKnowsItsPoolKind) {
    struct Case {
        POOL_TYPE Type;
        HkPoolKind Kind;
    };
    const Case cases[] = {
        {NonPagedPool, HkPoolKind::NonPaged},          {NonPagedPoolNx, HkPoolKind::NonPaged},
        {NonPagedPoolCacheAligned, HkPoolKind::NonPaged}, {PagedPool, HkPoolKind::Paged},
        {PagedPoolCacheAligned, HkPoolKind::Paged},    {PagedPoolSession, HkPoolKind::Paged},
    };
    std::vector<UCHAR*> blocks;
    for (const Case& c : cases) {
        UCHAR* p = (UCHAR*)ExAllocatePoolWithTag(c.Type, 40, kTagA);
        ASSERT_NE(p, nullptr);
        blocks.push_back(p);
        HkPoolBlock inner = HkPoolBlockAt(p + 39);
        EXPECT_EQ(inner.Kind, c.Kind) << c.Type;
        EXPECT_EQ(inner.Type, c.Type);
        EXPECT_EQ(inner.Start, p);
        EXPECT_EQ(inner.Tag, kTagA);
        EXPECT_EQ(inner.Size, 40u);
        EXPECT_EQ(HkPoolKindOf(p + 40), HkPoolKind::NotPool) << "one past the end";
    }
    UCHAR* two = (UCHAR*)ExAllocatePool2(POOL_FLAG_PAGED, 8, kTagB);
    UCHAR* nx = (UCHAR*)ExAllocatePool2(POOL_FLAG_NON_PAGED, 8, kTagB);
    EXPECT_EQ(HkPoolKindOf(two), HkPoolKind::Paged);
    EXPECT_EQ(HkPoolKindOf(nx), HkPoolKind::NonPaged);
    EXPECT_EQ(HkPoolOutstandingFor(kTagA, HkPoolKind::Paged).Blocks, 3u);
    EXPECT_EQ(HkPoolOutstandingFor(kTagA, HkPoolKind::NonPaged).Bytes, 120u);
    for (UCHAR* p : blocks) {
        ExFreePoolWithTag(p, kTagA);
    }
    ExFreePool(two);
    ExFreePool(nx);
    EXPECT_EQ(HkPoolKindOf(blocks[0]), HkPoolKind::NotPool);
    EXPECT_EQ(HkPoolOutstandingFor(kTagA, HkPoolKind::Paged).Blocks, 0u);
    EXPECT_EQ(HkPoolAllocationsFor(kTagA, HkPoolKind::Paged), 3u);
    EXPECT_EQ(HkPoolAllocationsFor(kTagB, HkPoolKind::NonPaged), 1u);
    int local = 0;
    EXPECT_EQ(HkPoolKindOf(&local), HkPoolKind::NotPool);
}

// Paged pool touched at DISPATCH_LEVEL: the page is protected while the
// thread is raised, and the touch is a stop once it lowers again.
TEST_F(ExPoolTest, PagedPoolTouchedAtDispatchIsAStop) {
    volatile UCHAR* paged = (UCHAR*)ExAllocatePoolWithTag(PagedPool, 16, kTagA);
    volatile UCHAR* resident = (UCHAR*)ExAllocatePoolWithTag(NonPagedPoolNx, 16, kTagB);
    HkVerifierCapture capture;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_TRUE(HkPoolPagedGuardEngaged());
    EXPECT_EQ(resident[3], HK_POOL_FILL);
    EXPECT_EQ(capture.Count(), 0u);
    EXPECT_EQ(paged[3], HK_POOL_FILL);  // faults; the guard lets it through
    KeLowerIrql(old);
    EXPECT_FALSE(HkPoolPagedGuardEngaged());
    ASSERT_EQ(capture.Count(HkViolation::PagedPoolAtHighIrql), 1u);
    EXPECT_NE(capture.Reports()[0].Text.find("'ThkA'"), std::string::npos) << capture.Reports()[0].Text;
    EXPECT_NE(capture.Reports()[0].Text.find("IRQL 2"), std::string::npos) << capture.Reports()[0].Text;
    paged[3] = 1;  // at PASSIVE_LEVEL again
    EXPECT_EQ(capture.Count(), 1u);
    ExFreePoolWithTag((PVOID)paged, kTagA);
    ExFreePoolWithTag((PVOID)resident, kTagB);
}

struct RescanLike {
    KTIMER Timer;
    KDPC Dpc;
    volatile UCHAR* Block;
    UCHAR Seen;
};

void ReadBlockDpc(PKDPC, PVOID context, PVOID, PVOID) {
    RescanLike* r = (RescanLike*)context;
    r->Seen = r->Block[0];
}

// A timer DPC, the way a driver arms a deferred rescan, that reads paged
// pool is caught; the same DPC reading non-paged pool is not.
TEST_F(ExPoolTest, TimerDpcReadingPagedPoolIsAStop) {
    struct Case {
        POOL_TYPE Type;
        size_t Stops;
    };
    for (const Case& c : {Case{NonPagedPoolNx, 0}, Case{PagedPool, 1}}) {
        RescanLike* r = (RescanLike*)ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(RescanLike), kTagB);
        r->Block = (UCHAR*)ExAllocatePoolWithTag(c.Type, 8, kTagA);
        KeInitializeTimer(&r->Timer);
        KeInitializeDpc(&r->Dpc, ReadBlockDpc, r);
        LARGE_INTEGER due;
        due.QuadPart = -200 * 10000LL;
        HkVerifierCapture capture;
        KeSetTimer(&r->Timer, due, &r->Dpc);
        HkClockAdvance(200);
        EXPECT_EQ(r->Seen, HK_POOL_FILL);
        EXPECT_EQ(capture.Count(HkViolation::PagedPoolAtHighIrql), c.Stops) << c.Type;
        EXPECT_EQ(capture.Count(), c.Stops);
        ExFreePoolWithTag((PVOID)r->Block, kTagA);
        ExFreePoolWithTag(r, kTagB);
    }
}

// Dispatcher objects and locks the kernel touches at raised IRQL must be
// resident: one in paged pool is a stop when it is set up or taken.
TEST_F(ExPoolTest, SynchronizationObjectsInPagedPoolAreStops) {
    struct Case {
        const char* What;
        void (*Use)(void* object);
    };
    const Case cases[] = {
        {"event", [](void* o) { KeInitializeEvent((PKEVENT)o, NotificationEvent, FALSE); }},
        {"timer", [](void* o) { KeInitializeTimer((PKTIMER)o); }},
        {"fast mutex", [](void* o) { ExInitializeFastMutex((PFAST_MUTEX)o); }},
        {"spin lock", [](void* o) {
             KSPIN_LOCK* lock = (KSPIN_LOCK*)o;
             *lock = 0;
             KIRQL old;
             KeAcquireSpinLock(lock, &old);
             KeReleaseSpinLock(lock, old);
         }},
    };
    for (const Case& c : cases) {
        for (POOL_TYPE type : {NonPagedPoolNx, PagedPool}) {
            void* object = ExAllocatePoolWithTag(type, 64, kTagA);
            HkVerifierCapture capture;
            c.Use(object);
            size_t expected = type == PagedPool ? 1 : 0;
            EXPECT_EQ(capture.Count(HkViolation::PagedPoolAtHighIrql), expected) << c.What << " in " << type;
            EXPECT_EQ(capture.Count(), expected) << c.What;
            ExFreePoolWithTag(object, kTagA);
        }
    }
}

#if defined(__SANITIZE_ADDRESS__)
// Paged blocks sit on pages of their own; the slack after each is still a
// red zone for the address sanitizer.
TEST_F(ExPoolTest, ReadingPastAPagedBlockIsCaughtByTheAddressSanitizer) {
    volatile UCHAR* paged = (UCHAR*)ExAllocatePoolWithTag(PagedPool, 24, kTagA);
    EXPECT_DEATH((void)paged[24], "use-after-poison");
    ExFreePoolWithTag((PVOID)paged, kTagA);
}
#endif

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
