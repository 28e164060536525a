// Verifier stops for platform rules, one case each: the act breaks the rule
// (or keeps it, for the cases that expect no stop).
#include <functional>

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

struct RuleCase {
    const char* Name;
    std::function<void()> Act;
    HkViolation Expected;  // Count: no stop
};

class VfRulesTest : public HostKernelTest {};

TEST_F(VfRulesTest, EachBrokenRuleIsAStop) {
    const RuleCase cases[] = {
        {"set an event never initialised",
         [] {
             KEVENT e = {};
             KeSetEvent(&e, IO_NO_INCREMENT, FALSE);
         },
         HkViolation::UninitializedObject},
        {"wait on an event never initialised",
         [] {
             KEVENT e = {};
             KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, nullptr);
         },
         HkViolation::UninitializedObject},
        {"clear an event never initialised",
         [] {
             KEVENT e = {};
             KeClearEvent(&e);
         },
         HkViolation::UninitializedObject},
        {"arm a timer never initialised",
         [] {
             KTIMER t = {};
             KeSetTimer(&t, Due(1), nullptr);
         },
         HkViolation::UninitializedObject},
        {"queue a DPC never initialised",
         [] {
             KDPC d = {};
             KeInsertQueueDpc(&d, nullptr, nullptr);
         },
         HkViolation::UninitializedObject},
        {"KeSetEvent with Wait TRUE, then another call",
         [] {
             KEVENT e;
             KeInitializeEvent(&e, NotificationEvent, FALSE);
             KeSetEvent(&e, IO_NO_INCREMENT, TRUE);
             KeClearEvent(&e);
         },
         HkViolation::SetEventWithoutWait},
        {"KeSetEvent with Wait TRUE, then the DPC returns",
         [] {
             static KEVENT e;
             KeInitializeEvent(&e, NotificationEvent, FALSE);
             KDPC d;
             KeInitializeDpc(&d, [](PKDPC, PVOID, PVOID, PVOID) { KeSetEvent(&e, IO_NO_INCREMENT, TRUE); },
                             nullptr);
             KeInsertQueueDpc(&d, nullptr, nullptr);
         },
         HkViolation::SetEventWithoutWait},
        {"KeSetEvent with Wait TRUE, then the wait",
         [] {
             KEVENT e;
             KeInitializeEvent(&e, NotificationEvent, FALSE);
             KeSetEvent(&e, IO_NO_INCREMENT, TRUE);
             EXPECT_EQ(KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
         },
         HkViolation::Count},
        {"free pool holding a queued DPC",
         [] {
             PKDPC d = static_cast<PKDPC>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(KDPC), kTag));
             KeInitializeDpc(d, IgnoreDpc, nullptr);
             HkDpcSetAutoRun(false);
             KeInsertQueueDpc(d, nullptr, nullptr);
             ExFreePoolWithTag(d, kTag);
             EXPECT_EQ(HkDpcQueuedCount(), 0u);
         },
         HkViolation::PoolFreedWithDpc},
        {"initialise a timer while it is set",
         [] {
             KTIMER t;
             KeInitializeTimer(&t);
             KeSetTimer(&t, Due(10000), nullptr);
             KeInitializeTimer(&t);
             EXPECT_EQ(HkTimerSetCount(), 0u);
         },
         HkViolation::TimerReinitialized},
        {"a DPC returns at another IRQL",
         [] {
             KDPC d;
             KeInitializeDpc(&d, [](PKDPC, PVOID, PVOID, PVOID) { KfRaiseIrql(HIGH_LEVEL); }, nullptr);
             KeInsertQueueDpc(&d, nullptr, nullptr);
             EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
         },
         HkViolation::DpcIrqlChanged},
        {"write past a pool block",
         [] {
             PUCHAR p = static_cast<PUCHAR>(ExAllocatePoolWithTag(PagedPool, 6, kTag));
             if (kAsan) {
                 HkVerifierStop(HkViolation::PoolOverrun, "(seen by the address sanitizer)");
             } else {
                 p[6] = 0;
             }
             ExFreePoolWithTag(p, kTag);
         },
         HkViolation::PoolOverrun},
        {"copy past a pool block",
         [] {
             char source[8] = {};
             PVOID p = ExAllocatePoolWithTag(NonPagedPoolNx, 6, kTag);
             RtlCopyMemory(p, source, sizeof(source));
             ExFreePoolWithTag(p, kTag);
         },
         HkViolation::PoolOverrun},
        {"copy from past a pool block",
         [] {
             char target[8];
             PVOID p = ExAllocatePoolWithTag(NonPagedPoolNx, 6, kTag);
             RtlZeroMemory(p, 6);
             RtlCopyMemory(target, p, sizeof(target));
             ExFreePoolWithTag(p, kTag);
         },
         HkViolation::PoolOverrun},
        {"fill a whole pool block", [] {
             PVOID p = ExAllocatePoolWithTag(NonPagedPoolNx, 6, kTag);
             RtlFillMemory(p, 6, 1);
             ExFreePoolWithTag(p, kTag);
         },
         HkViolation::Count},
        {"pass on a power IRP not started", SendPower<CompletePower<false>>, HkViolation::PowerIrpNotStarted},
        {"complete a power IRP started", SendPower<CompletePower<true>>, HkViolation::Count},
    };
    for (const RuleCase& c : cases) {
        HkReset();
        {
            HkVerifierCapture capture;
            c.Act();
            size_t expected = c.Expected == HkViolation::Count ? 0u : 1u;
            EXPECT_EQ(capture.Count(), expected) << c.Name;
            if (expected) {
                EXPECT_EQ(capture.Count(c.Expected), 1u) << c.Name;
            }
        }
        HkThreadResetState();
    }
}

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

}  // namespace
