// Verifier stops for platform rules, one case each: the act breaks the rule
// (or keeps it, for the cases that expect no stop); failure injection,
// verifier capture and reset; pool accounting and checks.
#include <vector>

#include "hostkernel/io_test_support.h"

using namespace iotest;

namespace {

constexpr ULONG kTag = 'fRkH';

void IgnoreDpc(PKDPC, PVOID, PVOID, PVOID) {}

LARGE_INTEGER Due(LONGLONG relative100ns) {
    LARGE_INTEGER due;
    due.QuadPart = -relative100ns;
    return due;
}

// The guard bytes are poisoned for the address sanitizer, which sees the
// write itself.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAsan = true;
#elif defined(__has_feature)
constexpr bool kAsan = __has_feature(address_sanitizer);
#else
constexpr bool kAsan = false;
#endif

// A power dispatch routine that completes; Started says whether it calls
// PoStartNextPowerIrp first.
template <bool Started>
NTSTATUS CompletePower(PDEVICE_OBJECT, PIRP irp) {
    if (Started) {
        PoStartNextPowerIrp(irp);
    }
    return CompleteWith(irp, STATUS_SUCCESS);
}

template <PDRIVER_DISPATCH Dispatch>
void SendPower() {
    PDRIVER_OBJECT driver = LoadDriver(L"HkRulesPower");
    driver->MajorFunction[IRP_MJ_POWER] = Dispatch;
    PDEVICE_OBJECT device = MakeDevice(driver);
    POWER_STATE state;
    state.DeviceState = PowerDeviceD0;
    EXPECT_EQ(PoRequestPowerIrp(device, IRP_MN_SET_POWER, state, nullptr, nullptr, nullptr), STATUS_PENDING);
    IoDeleteDevice(device);
}

// What each case works on: objects zeroed as in a fresh extension, and a
// 6-byte pool block freed after the case (where its guard bytes are checked).
struct Objects {
    KEVENT Event;
    KTIMER Timer;
    KDPC Dpc;
    FAST_MUTEX Mutex;
    PUCHAR Block;
};

struct RuleCase {
    const char* Name;
    void (*Act)(Objects&);
    HkViolation Expected;  // Count: no stop
    KIRQL Irql = PASSIVE_LEVEL;  // the act runs at this IRQL
};

KEVENT g_event;

void SetEventThenAct(Objects& o, void (*Next)(Objects&)) {
    KeInitializeEvent(&o.Event, NotificationEvent, FALSE);
    KeSetEvent(&o.Event, IO_NO_INCREMENT, TRUE);
    Next(o);
}

class VfRulesTest : public HostKernelTest {};

// clang-format off
TEST_F(VfRulesTest, EachBrokenRuleIsAStop) {
    const RuleCase cases[] = {
        {"set an event never initialised", [](Objects& o) { KeSetEvent(&o.Event, IO_NO_INCREMENT, FALSE); },
         HkViolation::UninitializedObject},
        {"wait on an event never initialised",
         [](Objects& o) { KeWaitForSingleObject(&o.Event, Executive, KernelMode, FALSE, nullptr); },
         HkViolation::UninitializedObject},
        {"clear an event never initialised", [](Objects& o) { KeClearEvent(&o.Event); },
         HkViolation::UninitializedObject},
        {"arm a timer never initialised", [](Objects& o) { KeSetTimer(&o.Timer, Due(1), nullptr); },
         HkViolation::UninitializedObject},
        {"queue a DPC never initialised", [](Objects& o) { KeInsertQueueDpc(&o.Dpc, nullptr, nullptr); },
         HkViolation::UninitializedObject},
        {"KeSetEvent with Wait TRUE, then another call",
         [](Objects& o) { SetEventThenAct(o, [](Objects& o) { KeClearEvent(&o.Event); }); },
         HkViolation::SetEventWithoutWait},
        {"KeSetEvent with Wait TRUE, then the wait",
         [](Objects& o) { SetEventThenAct(o, [](Objects& o) {
             EXPECT_EQ(KeWaitForSingleObject(&o.Event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS); }); },
         HkViolation::Count},
        {"KeSetEvent with Wait TRUE, then the DPC returns", [](Objects& o) {
             KeInitializeEvent(&g_event, NotificationEvent, FALSE);
             KeInitializeDpc(&o.Dpc, [](PKDPC, PVOID, PVOID, PVOID) { KeSetEvent(&g_event, IO_NO_INCREMENT, TRUE); },
                             nullptr);
             KeInsertQueueDpc(&o.Dpc, nullptr, nullptr); },
         HkViolation::SetEventWithoutWait},
        {"free pool holding a queued DPC", [](Objects&) {
             PKDPC d = static_cast<PKDPC>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(KDPC), kTag));
             KeInitializeDpc(d, IgnoreDpc, nullptr);
             HkDpcSetAutoRun(false);
             KeInsertQueueDpc(d, nullptr, nullptr);
             ExFreePoolWithTag(d, kTag);
             EXPECT_EQ(HkDpcQueuedCount(), 0u); },
         HkViolation::PoolFreedWithDpc},
        {"initialise a timer while it is set", [](Objects& o) {
             KeInitializeTimer(&o.Timer);
             KeSetTimer(&o.Timer, Due(10000), nullptr);
             KeInitializeTimer(&o.Timer);
             EXPECT_EQ(HkTimerSetCount(), 0u); },
         HkViolation::TimerReinitialized},
        {"a DPC returns at another IRQL", [](Objects& o) {
             KeInitializeDpc(&o.Dpc, [](PKDPC, PVOID, PVOID, PVOID) { KfRaiseIrql(HIGH_LEVEL); }, nullptr);
             KeInsertQueueDpc(&o.Dpc, nullptr, nullptr);
             EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL); },
         HkViolation::DpcIrqlChanged},
        {"write past a pool block", [](Objects& o) {
             if (kAsan) {
                 HkVerifierStop(HkViolation::PoolOverrun, "(seen by the address sanitizer)");
             } else {
                 o.Block[6] = 0;
             } },
         HkViolation::PoolOverrun},
        {"copy past a pool block", [](Objects& o) { RtlCopyMemory(o.Block, &o.Event, 8); }, HkViolation::PoolOverrun},
        {"copy from past a pool block", [](Objects& o) { RtlCopyMemory(&o.Event, o.Block, 8); },
         HkViolation::PoolOverrun},
        {"append to a string whose room runs past its pool block", [](Objects& o) {
             UNICODE_STRING text = {0, 8, reinterpret_cast<PWSTR>(o.Block)};
             EXPECT_EQ(RtlAppendUnicodeToString(&text, L"AB"), STATUS_BUFFER_TOO_SMALL); },
         HkViolation::PoolOverrun},
        {"fill a whole pool block", [](Objects& o) { RtlFillMemory(o.Block, 6, 1); }, HkViolation::Count},
        {"free pool holding a set timer", [](Objects&) {
             PKTIMER t = static_cast<PKTIMER>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(KTIMER), kTag));
             KeInitializeTimer(t);
             KeSetTimer(t, Due(10), nullptr);
             ExFreePoolWithTag(t, kTag);
             EXPECT_EQ(HkTimerSetCount(), 0u);
             HkClockAdvance(20); },
         HkViolation::PoolFreedWithTimer},
        {"lower the IRQL to a higher one", [](Objects&) {
             KeLowerIrql(DISPATCH_LEVEL);
             EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL); },
         HkViolation::IrqlBadLower},
        {"raise the IRQL to a lower one", [](Objects&) {
             KIRQL old;
             KeRaiseIrql(APC_LEVEL, &old); },
         HkViolation::IrqlBadRaise, DISPATCH_LEVEL},
        {"set an event above DISPATCH_LEVEL", [](Objects& o) {
             KeInitializeEvent(&o.Event, NotificationEvent, FALSE);
             KeSetEvent(&o.Event, IO_NO_INCREMENT, FALSE); },
         HkViolation::IrqlTooHigh, HIGH_LEVEL},
        {"acquire a fast mutex above APC_LEVEL", [](Objects& o) {
             ExInitializeFastMutex(&o.Mutex);
             ExAcquireFastMutex(&o.Mutex);
             EXPECT_EQ(HkThreadFastMutexesHeld(), 0u); },
         HkViolation::IrqlTooHigh, DISPATCH_LEVEL},
        {"open a registry key above PASSIVE_LEVEL", [](Objects&) {
             UNICODE_STRING name = Us(L"\\Registry\\Machine\\System\\CurrentControlSet\\Services");
             OBJECT_ATTRIBUTES attributes;
             InitializeObjectAttributes(&attributes, &name, OBJ_KERNEL_HANDLE, nullptr, nullptr);
             HANDLE key = nullptr;
             EXPECT_FALSE(NT_SUCCESS(ZwOpenKey(&key, KEY_READ, &attributes))); },
         HkViolation::RegistryAtHighIrql, DISPATCH_LEVEL},
        {"close a kernel handle never opened", [](Objects&) {
             EXPECT_EQ(ZwClose(reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-2147483640))), STATUS_INVALID_HANDLE);
             EXPECT_EQ(HkUserCloseHandle(reinterpret_cast<HANDLE>(8)), STATUS_INVALID_HANDLE); },
         HkViolation::Other},
        {"delete a device still attached below", [](Objects&) {
             PDEVICE_OBJECT pdo = MakeDevice(LoadDriver(L"HkRulesDevice"));
             PDEVICE_OBJECT fdo = AttachNew(pdo->DriverObject, pdo);
             IoDeleteDevice(fdo);
             EXPECT_FALSE(HkIoIsDeletePending(fdo)); },
         HkViolation::DeviceDeletedAttached},
        {"delete a device whose extension holds a set timer", [](Objects&) {
             PDEVICE_OBJECT device = MakeDevice(LoadDriver(L"HkRulesDevice"), nullptr, sizeof(Objects));
             auto* x = static_cast<Objects*>(device->DeviceExtension);
             KeInitializeTimer(&x->Timer);
             KeSetTimer(&x->Timer, Due(10000000), nullptr);
             IoDeleteDevice(device);
             KeCancelTimer(&x->Timer); },
         HkViolation::DeleteDeviceWithTimer},
        {"delete a device whose extension holds a queued DPC", [](Objects&) {
             PDEVICE_OBJECT device = MakeDevice(LoadDriver(L"HkRulesDevice"), nullptr, sizeof(Objects));
             auto* x = static_cast<Objects*>(device->DeviceExtension);
             KeInitializeDpc(&x->Dpc, IgnoreDpc, nullptr);
             HkDpcSetAutoRun(false);
             KeInsertQueueDpc(&x->Dpc, nullptr, nullptr);
             IoDeleteDevice(device);
             KeRemoveQueueDpc(&x->Dpc); },
         HkViolation::DeleteDeviceWithDpc},
        {"unload a driver with a device left", [](Objects&) {
             PDEVICE_OBJECT device = MakeDevice(LoadDriver(L"HkRulesDevice"));
             ObReferenceObject(device);
             IoDeleteDevice(device);
             HkIoUnloadDriver(device->DriverObject);
             ObDereferenceObject(device); },
         HkViolation::DeviceDeletedReferenced},
        {"pass on a power IRP not started", [](Objects&) { SendPower<CompletePower<false>>(); },
         HkViolation::PowerIrpNotStarted},
        {"complete a power IRP started", [](Objects&) { SendPower<CompletePower<true>>(); }, HkViolation::Count},
    };
    for (const RuleCase& c : cases) {
        HkReset();
        {
            HkVerifierCapture capture;
            Objects o = {};
            o.Block = static_cast<PUCHAR>(ExAllocatePoolWithTag(PagedPool, 6, kTag));
            KfRaiseIrql(c.Irql);
            c.Act(o);
            KeLowerIrql(PASSIVE_LEVEL);
            ExFreePoolWithTag(o.Block, kTag);
            size_t expected = c.Expected == HkViolation::Count ? 0u : 1u;
            EXPECT_EQ(capture.Count(), expected) << c.Name;
            EXPECT_EQ(capture.Count(c.Expected), expected) << c.Name;
        }
        HkThreadResetState();
    }
}
// clang-format on

// Alertable waits that would block end at once (the WaitAlert category is on
// after every reset); signalled objects and zero timeouts are not alerted.
TEST_F(VfRulesTest, AlertableWaitsAreAlerted) {
    KEVENT e;
    KeInitializeEvent(&e, NotificationEvent, FALSE);
    LARGE_INTEGER poll = {};
    LARGE_INTEGER ms = {};
    ms.QuadPart = -10000;
    EXPECT_EQ(KeWaitForSingleObject(&e, Executive, KernelMode, TRUE, nullptr), STATUS_ALERTED);
    EXPECT_EQ(KeDelayExecutionThread(KernelMode, TRUE, &ms), STATUS_ALERTED);
    EXPECT_EQ(KeWaitForSingleObject(&e, Executive, KernelMode, TRUE, &poll), STATUS_TIMEOUT);
    HkFaultFailAlways(HkFault::WaitAlert, false);
    EXPECT_EQ(KeWaitForSingleObject(&e, Executive, KernelMode, TRUE, &ms), STATUS_TIMEOUT);
    KeSetEvent(&e, IO_NO_INCREMENT, FALSE);
    HkFaultReset();
    EXPECT_EQ(KeWaitForSingleObject(&e, Executive, KernelMode, TRUE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(HkFaultInjected(HkFault::WaitAlert), 0u);
}

TEST_F(VfRulesTest, BugCheckEndsTheProcess) {
    EXPECT_DEATH(KeBugCheckEx(0xC1, 1, 2, 3, 4), "BugCheck");
}

using VfTest = HostKernelTest;

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
        HkVerifierCapture capture;
        KeSetTimer(&r->Timer, Due(200 * 10000LL), &r->Dpc);
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
