// Events and waits on dispatcher objects.
#include "hk/delay.h"
#include "hk/fault.h"
#include "hk/clock.h"
#include "hk/verifier.h"
#include "ke/ke_internal.h"

namespace {

bool IsSynchronization(const DISPATCHER_HEADER* header) {
    return header->Type == EventSynchronizationObject || header->Type == TimerSynchronizationObject;
}

bool IsTimer(const DISPATCHER_HEADER* header) {
    return header->Type == TimerNotificationObject || header->Type == TimerSynchronizationObject;
}

// Checks the IRQL of a wait; false when it must not block.
bool CheckWaitIrql(const char* what, const LARGE_INTEGER* timeout) {
    KIRQL irql = KeGetCurrentIrql();
    bool blocking = !timeout || timeout->QuadPart != 0;
    if (irql > DISPATCH_LEVEL) {
        HkVerifierStop(HkViolation::IrqlTooHigh, "%s at IRQL %u", what, irql);
        return false;
    }
    if (irql == DISPATCH_LEVEL && blocking) {
        HkVerifierStop(HkViolation::WaitAtDispatch, "%s at DISPATCH_LEVEL with a non-zero timeout", what);
        return false;
    }
    return true;
}

// Waits until ready() or the clock reaches deadline (-1: none). On the
// manual clock with auto-advance the waiting thread moves the clock itself,
// to the deadline or to the due time of the timer it waits on.
// Runs the APCs queued to a waiting thread. Windows delivers them to a
// thread waiting below APC_LEVEL; above that they wait for the IRQL to drop,
// which a blocked thread never does.
void DeliverApcsInWait(std::unique_lock<std::mutex>& lock, bool* reported) {
    _KTHREAD* t = KiCurrentThread();
    if (t->Irql >= APC_LEVEL && !*reported) {
        *reported = true;
        lock.unlock();
        HkVerifierStop(HkViolation::WaitBlocksApc,
                       "thread waits at IRQL %u with a kernel APC queued to it (the completion of a threaded IRP "
                       "it sent): the APC cannot run and the wait never ends",
                       t->Irql);
        lock.lock();
    }
    lock.unlock();
    KiDeliverApcs(true);
    lock.lock();
}

template <typename Ready>
bool WaitUntil(std::unique_lock<std::mutex>& lock, LONGLONG deadline, const void* timer, Ready ready) {
    bool reported = false;
    for (;;) {
        _KTHREAD* self = KiCurrentThread();
        bool blocks = !ready() && (deadline < 0 || KiNow() < deadline);
        if (KiApcQueuedLocked(self) && (self->Irql < APC_LEVEL || blocks)) {
            DeliverApcsInWait(lock, &reported);
            continue;
        }
        if (ready()) {
            return true;
        }
        LONGLONG now = KiNow();
        if (deadline >= 0 && now >= deadline) {
            return false;
        }
        LONGLONG target = deadline;
        LONGLONG due = timer ? KiTimerDueLocked(timer) : -1;
        if (due >= 0 && (target < 0 || due < target)) {
            target = due;
        }
        if (target >= 0 && KiManualClockAutoAdvance()) {
            lock.unlock();
            HkClockAdvanceTo(target);
            lock.lock();
            continue;
        }
        KiBlock(lock);
    }
}

// A kernel-mode alertable wait ends with STATUS_ALERTED when the thread is
// alerted, or STATUS_USER_APC (KeWaitForSingleObject, Microsoft Learn). The
// WaitAlert fault category (on by default, stricter than Windows) alerts
// every alertable wait that would block. False when the wait is alerted.
template <typename Ready>
bool AlertedWait(const LARGE_INTEGER* timeout, Ready ready) {
    if (timeout && timeout->QuadPart == 0) {
        return true;
    }
    {
        std::lock_guard<std::mutex> guard(KiDispatcherLock());
        if (ready()) {
            return true;
        }
    }
    return !HkFaultShouldFail(HkFault::WaitAlert);
}

}  // namespace

// A dispatcher object never initialised has a zeroed wait list header (a
// pool or extension block) or garbage; Windows walks or links that list when
// the object is set or waited on and crashes. Clearing or reading one does no
// harm on Windows; the host stops there too (stricter).
bool KiCheckInitialized(const DISPATCHER_HEADER* header, const char* what, const void* object) {
    if (header->Size != 0 && header->WaitListHead.Flink != nullptr) {
        return true;
    }
    HkVerifierStop(HkViolation::UninitializedObject, "%s on %p, a dispatcher object never initialised", what, object);
    return false;
}

bool KiCheckDpcInitialized(const KDPC* dpc, const char* what) {
    if (dpc->Type == DpcObject && dpc->DeferredRoutine != nullptr) {
        return true;
    }
    HkVerifierStop(HkViolation::UninitializedObject, "%s with DPC %p, never initialised", what, (const void*)dpc);
    return false;
}

void KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
    ExpCheckResident(Event, "event");
    std::lock_guard<std::mutex> guard(KiDispatcherLock());
    Event->Header.Lock = 0;
    Event->Header.Type = (UCHAR)(Type == SynchronizationEvent ? EventSynchronizationObject : EventNotificationObject);
    Event->Header.Size = sizeof(KEVENT) / 4;
    Event->Header.SignalState = State ? 1 : 0;
    InitializeListHead(&Event->Header.WaitListHead);
}

LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
    (void)Increment;
    KIRQL irql = KeGetCurrentIrql();
    if (irql > DISPATCH_LEVEL) {
        HkVerifierStop(HkViolation::IrqlTooHigh, "KeSetEvent at IRQL %u", irql);
        return 0;
    }
    if (!KiCheckInitialized(&Event->Header, "KeSetEvent", Event)) {
        return 0;
    }
    // The IRQL stays; the next call of this thread must be the wait.
    KiCurrentThread()->WaitNext = Wait != FALSE;
    HkDelayAt(HkDelayPoint::EventSet);
    std::lock_guard<std::mutex> guard(KiDispatcherLock());
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 1;
    KiDispatcherCondition().notify_all();
    return previous;
}

void KeClearEvent(PRKEVENT Event) {
    KiCheckWaitNext();
    if (!KiCheckInitialized(&Event->Header, "KeClearEvent", Event)) {
        return;
    }
    std::lock_guard<std::mutex> guard(KiDispatcherLock());
    Event->Header.SignalState = 0;
}

LONG KeResetEvent(PRKEVENT Event) {
    KIRQL irql = KeGetCurrentIrql();
    if (irql > DISPATCH_LEVEL) {
        HkVerifierStop(HkViolation::IrqlTooHigh, "KeResetEvent at IRQL %u", irql);
        return 0;
    }
    if (!KiCheckInitialized(&Event->Header, "KeResetEvent", Event)) {
        return 0;
    }
    std::lock_guard<std::mutex> guard(KiDispatcherLock());
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 0;
    return previous;
}

LONG KeReadStateEvent(PRKEVENT Event) {
    KiCheckWaitNext();
    if (!KiCheckInitialized(&Event->Header, "KeReadStateEvent", Event)) {
        return 0;
    }
    std::lock_guard<std::mutex> guard(KiDispatcherLock());
    return Event->Header.SignalState;
}

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                               BOOLEAN Alertable, PLARGE_INTEGER Timeout) {
    (void)WaitReason;
    (void)WaitMode;
    KiCurrentThread()->WaitNext = false;  // the wait a KeSetEvent with Wait TRUE asked for
    DISPATCHER_HEADER* header = (DISPATCHER_HEADER*)Object;
    LARGE_INTEGER poll;
    poll.QuadPart = 0;
    if (!CheckWaitIrql("KeWaitForSingleObject", Timeout)) {
        Timeout = &poll;
    }
    if (!KiCheckInitialized(header, "KeWaitForSingleObject", Object)) {
        return STATUS_SUCCESS;
    }
    if (Alertable && !AlertedWait(Timeout, [header] { return header->SignalState > 0; })) {
        return STATUS_ALERTED;
    }
    if (KeGetCurrentIrql() < DISPATCH_LEVEL) {
        HkDelayAt(HkDelayPoint::EventWait);
    }
    std::unique_lock<std::mutex> lock(KiDispatcherLock());
    LONGLONG deadline = -1;
    if (Timeout) {
        deadline = Timeout->QuadPart == 0 ? KiNow() : KiDueTimeToClock(Timeout->QuadPart);
    }
    bool signalled = WaitUntil(lock, deadline, IsTimer(header) ? Object : nullptr,
                               [header] { return header->SignalState > 0; });
    if (!signalled) {
        return STATUS_TIMEOUT;
    }
    if (IsSynchronization(header)) {
        header->SignalState = 0;
    }
    return STATUS_SUCCESS;
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval) {
    (void)WaitMode;
    KIRQL irql = KeGetCurrentIrql();
    if (irql > APC_LEVEL) {
        HkVerifierStop(HkViolation::WaitAtDispatch, "KeDelayExecutionThread at IRQL %u", irql);
        return STATUS_SUCCESS;
    }
    if (Alertable && Interval && !AlertedWait(Interval, [] { return false; })) {
        return STATUS_ALERTED;
    }
    std::unique_lock<std::mutex> lock(KiDispatcherLock());
    LONGLONG deadline = Interval ? KiDueTimeToClock(Interval->QuadPart) : KiNow();
    WaitUntil(lock, deadline, nullptr, [] { return false; });
    return STATUS_SUCCESS;
}
