// Thread records, IRQL, critical regions and spin locks.
#include <atomic>
#include <sched.h>
#include <stdlib.h>

#include "hk/thread.h"
#include "hk/verifier.h"
#include "ke/ke_internal.h"

namespace {

std::atomic<ULONG> g_nextThreadId{1};
std::atomic<unsigned> g_liveThreads{0};

struct ThreadSlot {
    _KTHREAD Record;
    ThreadSlot() {
        Record.Id = g_nextThreadId.fetch_add(1);
        g_liveThreads.fetch_add(1);
        ExpPagedPoolThreadStarted();
    }
    ~ThreadSlot() { g_liveThreads.fetch_sub(1); }
};

}  // namespace

_KTHREAD* KiCurrentThread() {
    static thread_local ThreadSlot slot;
    return &slot.Record;
}

unsigned KiLiveThreads() {
    return g_liveThreads.load();
}

void KiStoreIrql(_KTHREAD* thread, KIRQL irql) {
    KIRQL old = thread->Irql;
    thread->Irql = irql;
    ExpPagedPoolIrqlChanged(old, irql, true);
}

void KiSetIrql(_KTHREAD* thread, KIRQL irql) {
    KIRQL old = thread->Irql;
    KiStoreIrql(thread, irql);
    if (old >= DISPATCH_LEVEL && irql < DISPATCH_LEVEL) {
        KiMaybeRunDpcs();
    }
    if (old >= APC_LEVEL && irql < APC_LEVEL) {
        KiDeliverApcs();
    }
}

// "If Wait is TRUE, the return to the caller is executed without lowering
// IRQL or releasing the dispatcher database spin lock. Therefore, the call
// to KeSetEvent must be followed by a call to KeWaitForMultipleObjects ...
// or KeWaitForSingleObject." (KeSetEvent, Microsoft Learn)
void KiCheckWaitNext() {
    _KTHREAD* t = KiCurrentThread();
    if (t->WaitNext) {
        t->WaitNext = false;
        HkVerifierStop(HkViolation::SetEventWithoutWait,
                       "KeSetEvent with Wait TRUE not followed at once by a KeWaitXxx call of the same thread");
    }
}

KIRQL KeGetCurrentIrql() {
    KiCheckWaitNext();
    return KiCurrentThread()->Irql;
}

KIRQL KfRaiseIrql(KIRQL NewIrql) {
    _KTHREAD* t = KiCurrentThread();
    KIRQL old = t->Irql;
    if (NewIrql < old) {
        HkVerifierStop(HkViolation::IrqlBadRaise, "KeRaiseIrql to %u from the higher IRQL %u", NewIrql, old);
        return old;
    }
    KiStoreIrql(t, NewIrql);
    return old;
}

KIRQL KeRaiseIrqlToDpcLevel() {
    return KfRaiseIrql(DISPATCH_LEVEL);
}

void KeLowerIrql(KIRQL NewIrql) {
    _KTHREAD* t = KiCurrentThread();
    if (NewIrql > t->Irql) {
        HkVerifierStop(HkViolation::IrqlBadLower, "KeLowerIrql to %u from the lower IRQL %u", NewIrql, t->Irql);
        return;
    }
    KiSetIrql(t, NewIrql);
}

void HkPagedCodeCheck(const char* Function) {
    KIRQL irql = KiCurrentThread()->Irql;
    if (irql > APC_LEVEL) {
        HkVerifierStop(HkViolation::PagedCodeAtHighIrql, "pageable routine %s runs at IRQL %u", Function, irql);
    }
}

void KeEnterCriticalRegion() {
    KiCurrentThread()->CriticalRegionDepth++;
}

void KeLeaveCriticalRegion() {
    _KTHREAD* t = KiCurrentThread();
    if (t->CriticalRegionDepth <= 0) {
        HkVerifierStop(HkViolation::CriticalRegionUnbalanced, "KeLeaveCriticalRegion without KeEnterCriticalRegion");
        return;
    }
    t->CriticalRegionDepth--;
}

BOOLEAN KeAreApcsDisabled() {
    _KTHREAD* t = KiCurrentThread();
    return t->CriticalRegionDepth > 0 || t->Irql >= APC_LEVEL;
}

PKTHREAD KeGetCurrentThread() {
    return KiCurrentThread();
}

ULONG KeGetCurrentProcessorNumber() {
    return 0;
}

void KeStallExecutionProcessor(ULONG MicroSeconds) {
    (void)MicroSeconds;
}

void KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3, ULONG_PTR P4) {
    HkVerifierStop(HkViolation::BugCheck, "KeBugCheckEx(0x%x, 0x%llx, 0x%llx, 0x%llx, 0x%llx)", BugCheckCode,
                   (unsigned long long)P1, (unsigned long long)P2, (unsigned long long)P3,
                   (unsigned long long)P4);
    abort();
}

// Spin locks hold the owning thread record's address while taken.
void KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
    ExpCheckResident(SpinLock, "spin lock");
    _KTHREAD* t = KiCurrentThread();
    if (t->Irql < DISPATCH_LEVEL) {
        HkVerifierStop(HkViolation::IrqlTooLow, "KeAcquireSpinLockAtDpcLevel at IRQL %u", t->Irql);
    }
    ULONG_PTR self = (ULONG_PTR)t;
    if (__atomic_load_n(SpinLock, __ATOMIC_ACQUIRE) == self) {
        HkVerifierStop(HkViolation::SpinLockRecursion, "spin lock %p acquired again by its owner", (void*)SpinLock);
        return;
    }
    for (;;) {
        ULONG_PTR expected = 0;
        if (__atomic_compare_exchange_n(SpinLock, &expected, self, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) {
            break;
        }
        sched_yield();
    }
    t->SpinLocksHeld++;
}

void KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
    _KTHREAD* t = KiCurrentThread();
    if (__atomic_load_n(SpinLock, __ATOMIC_ACQUIRE) != (ULONG_PTR)t) {
        HkVerifierStop(HkViolation::SpinLockNotOwner, "spin lock %p released by a thread that does not hold it",
                       (void*)SpinLock);
        return;
    }
    t->SpinLocksHeld--;
    __atomic_store_n(SpinLock, (ULONG_PTR)0, __ATOMIC_RELEASE);
}

KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock) {
    _KTHREAD* t = KiCurrentThread();
    KIRQL old = t->Irql;
    if (old > DISPATCH_LEVEL) {
        HkVerifierStop(HkViolation::IrqlTooHigh, "KeAcquireSpinLock at IRQL %u", old);
        return old;
    }
    KiStoreIrql(t, DISPATCH_LEVEL);
    KeAcquireSpinLockAtDpcLevel(SpinLock);
    return old;
}

void KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
    KeReleaseSpinLockFromDpcLevel(SpinLock);
    KeLowerIrql(NewIrql);
}

// Host view of the thread record.

HkThreadState HkThreadGetState() {
    _KTHREAD* t = KiCurrentThread();
    return {t->Irql, t->CriticalRegionDepth, t->FastMutexesHeld, t->SpinLocksHeld};
}

ULONG HkThreadFastMutexesHeld() {
    return KiCurrentThread()->FastMutexesHeld;
}

ULONG HkThreadSpinLocksHeld() {
    return KiCurrentThread()->SpinLocksHeld;
}

LONG HkThreadCriticalRegionDepth() {
    return KiCurrentThread()->CriticalRegionDepth;
}

void HkThreadSetProcess(void* process) {
    KiCurrentThread()->Process = process;
}

void* HkThreadGetProcess() {
    return KiCurrentThread()->Process;
}

ULONG HkThreadId() {
    return KiCurrentThread()->Id;
}

void HkThreadResetState() {
    _KTHREAD* t = KiCurrentThread();
    KIRQL old = t->Irql;
    t->Irql = PASSIVE_LEVEL;
    ExpPagedPoolIrqlChanged(old, PASSIVE_LEVEL, false);
    t->CriticalRegionDepth = 0;
    t->FastMutexesHeld = 0;
    t->SpinLocksHeld = 0;
    t->WaitNext = false;
    std::lock_guard<std::mutex> guard(KiDispatcherLock());
    t->Apcs.clear();
}
