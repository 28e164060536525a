// The virtual clock, timers and the DPC queue.
#include <atomic>
#include <chrono>
#include <deque>
#include <map>
#include <set>
#include <thread>
#include <tuple>
#include <unordered_set>

#include "hk/clock.h"
#include "hk/thread.h"
#include "hk/verifier.h"
#include "ke/ke_internal.h"

namespace {

// 2026-01-01 00:00:00 UTC in 100 ns units since 1601.
constexpr LONGLONG kSystemTimeBase = 134116992000000000LL;
constexpr LONGLONG kTicksPerMs = 10000;
constexpr ULONG kTimeIncrement = 156250;  // 15.625 ms

typedef std::tuple<LONGLONG, ULONG64, KTIMER*> TimerKey;  // due, order, timer

struct Dispatcher {
    std::mutex Lock;
    std::condition_variable Condition;
    std::atomic<LONGLONG> Now{0};
    std::set<TimerKey> Timers;
    std::map<KTIMER*, TimerKey> TimerIndex;
    ULONG64 NextOrder = 0;
    std::deque<KDPC*> Dpcs;
    std::unordered_set<KDPC*> Queued;
    bool Held = false;
    bool AutoRun = true;
    std::atomic<bool> AutoAdvance{true};

    std::recursive_mutex AdvanceLock;  // one advance at a time
    std::mutex RunLock;      // one DPC runner at a time

    std::mutex RealTimeLock;
    std::thread RealTime;
    std::atomic<bool> RealTimeStop{false};
    std::atomic<bool> RealTimeOn{false};
};

Dispatcher& D() {
    static Dispatcher d;
    return d;
}

bool InRange(const void* p, size_t objectSize, const void* begin, size_t size) {
    const char* b = (const char*)begin;
    const char* o = (const char*)p;
    return o + objectSize > b && o < b + size;
}

// Caller holds the lock.
void RemoveTimerLocked(Dispatcher& d, KTIMER* timer) {
    auto it = d.TimerIndex.find(timer);
    if (it == d.TimerIndex.end()) {
        return;
    }
    d.Timers.erase(it->second);
    d.TimerIndex.erase(it);
    timer->Header.Inserted = 0;
}

void InsertTimerLocked(Dispatcher& d, KTIMER* timer, LONGLONG due) {
    TimerKey key(due, d.NextOrder++, timer);
    d.Timers.insert(key);
    d.TimerIndex[timer] = key;
    timer->DueTime.QuadPart = (ULONGLONG)due;
    timer->Header.Inserted = 1;
}

bool QueueDpcLocked(Dispatcher& d, KDPC* dpc, PVOID argument1, PVOID argument2) {
    if (d.Queued.count(dpc)) {
        return false;
    }
    dpc->SystemArgument1 = argument1;
    dpc->SystemArgument2 = argument2;
    dpc->DpcData = &d.Dpcs;
    d.Queued.insert(dpc);
    if (dpc->Importance == HighImportance) {
        d.Dpcs.push_front(dpc);
    } else {
        d.Dpcs.push_back(dpc);
    }
    return true;
}

void RemoveDpcLocked(Dispatcher& d, KDPC* dpc) {
    for (auto it = d.Dpcs.begin(); it != d.Dpcs.end(); ++it) {
        if (*it == dpc) {
            d.Dpcs.erase(it);
            break;
        }
    }
    d.Queued.erase(dpc);
    dpc->DpcData = nullptr;
}

// Expires the earliest timer due at or before target; false if none.
bool ExpireOneLocked(Dispatcher& d, LONGLONG target) {
    if (d.Timers.empty() || std::get<0>(*d.Timers.begin()) > target) {
        return false;
    }
    TimerKey key = *d.Timers.begin();
    LONGLONG due = std::get<0>(key);
    KTIMER* timer = std::get<2>(key);
    RemoveTimerLocked(d, timer);
    if (due > d.Now.load()) {
        d.Now.store(due);
    }
    timer->Header.SignalState = 1;
    if (timer->Period > 0) {
        InsertTimerLocked(d, timer, due + (LONGLONG)timer->Period * kTicksPerMs);
    }
    if (timer->Dpc) {
        LARGE_INTEGER system;
        system.QuadPart = d.Now.load() + kSystemTimeBase;
        QueueDpcLocked(d, timer->Dpc, (PVOID)(ULONG_PTR)system.LowPart, (PVOID)(ULONG_PTR)(ULONG)system.HighPart);
    }
    return true;
}

void RealTimeLoop() {
    Dispatcher& d = D();
    auto start = std::chrono::steady_clock::now();
    LONGLONG base = d.Now.load();
    while (!d.RealTimeStop.load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        auto elapsed = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start);
        HkClockAdvanceTo(base + (LONGLONG)elapsed.count() * 10);
    }
}

}  // namespace

std::mutex& KiDispatcherLock() {
    return D().Lock;
}

std::condition_variable& KiDispatcherCondition() {
    return D().Condition;
}

namespace {
std::atomic<ULONG> g_waiting{0};
}

void KiBlock(std::unique_lock<std::mutex>& lock) {
    g_waiting++;
    D().Condition.wait(lock);
    g_waiting--;
}

ULONG HkThreadsWaiting() {
    return g_waiting.load();
}

LONGLONG KiNow() {
    return D().Now.load();
}

bool KiManualClockAutoAdvance() {
    Dispatcher& d = D();
    return d.AutoAdvance.load() && !d.RealTimeOn.load();
}

LONGLONG KiTimerDueLocked(const void* object) {
    Dispatcher& d = D();
    auto it = d.TimerIndex.find((KTIMER*)object);
    return it == d.TimerIndex.end() ? -1 : std::get<0>(it->second);
}

LONGLONG KiDueTimeToClock(LONGLONG dueTime) {
    if (dueTime < 0) {
        return KiNow() - dueTime;
    }
    return dueTime - kSystemTimeBase;
}

// ---------------------------------------------------------------- DPC runner

size_t KiRunDpcs(bool force) {
    _KTHREAD* t = KiCurrentThread();
    if (t->RunningDpcs) {
        return 0;
    }
    Dispatcher& d = D();
    std::unique_lock<std::mutex> runner(d.RunLock);
    t->RunningDpcs = true;
    size_t ran = 0;
    for (;;) {
        KDPC* dpc;
        {
            std::lock_guard<std::mutex> guard(d.Lock);
            if (d.Dpcs.empty() || (d.Held && !force)) {
                break;
            }
            dpc = d.Dpcs.front();
            RemoveDpcLocked(d, dpc);
        }
        PKDEFERRED_ROUTINE routine = dpc->DeferredRoutine;
        PVOID context = dpc->DeferredContext;
        PVOID argument1 = dpc->SystemArgument1;
        PVOID argument2 = dpc->SystemArgument2;
        KIRQL old = t->Irql;
        ULONG spinLocks = t->SpinLocksHeld;
        KiStoreIrql(t, DISPATCH_LEVEL);
        routine(dpc, context, argument1, argument2);
        KiCheckWaitNext();
        if (t->Irql != DISPATCH_LEVEL) {
            HkVerifierStop(HkViolation::DpcIrqlChanged, "DPC routine %p returned at IRQL %u", (void*)routine,
                           t->Irql);
        }
        if (t->SpinLocksHeld != spinLocks) {
            HkVerifierStop(HkViolation::LockHeldOnReturn, "DPC routine %p returned holding a spin lock",
                           (void*)routine);
        }
        KiStoreIrql(t, old);
        ran++;
    }
    t->RunningDpcs = false;
    runner.unlock();
    // APCs a DPC queued to this thread run as its IRQL comes back down.
    KiDeliverApcs();
    return ran;
}

void KiMaybeRunDpcs() {
    Dispatcher& d = D();
    {
        std::lock_guard<std::mutex> guard(d.Lock);
        if (!d.AutoRun || d.Held || d.Dpcs.empty()) {
            return;
        }
    }
    if (KiCurrentThread()->Irql < DISPATCH_LEVEL) {
        KiRunDpcs(false);
    }
}

// ---------------------------------------------------------------- time

void KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
    CurrentTime->QuadPart = KiNow() + kSystemTimeBase;
}

ULONGLONG KeQueryInterruptTime() {
    return (ULONGLONG)KiNow();
}

void KeQueryTickCount(PLARGE_INTEGER TickCount) {
    TickCount->QuadPart = KiNow() / kTimeIncrement;
}

ULONG KeQueryTimeIncrement() {
    return kTimeIncrement;
}

// ---------------------------------------------------------------- timers

void KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type) {
    ExpCheckResident(Timer, "timer");
    Dispatcher& d = D();
    bool wasSet;
    {
        std::lock_guard<std::mutex> guard(d.Lock);
        wasSet = d.TimerIndex.count(Timer) != 0;
        RemoveTimerLocked(d, Timer);
        Timer->Header.Type = (UCHAR)(Type == SynchronizationTimer ? TimerSynchronizationObject
                                                                  : TimerNotificationObject);
        Timer->Header.Absolute = 0;
        Timer->Header.Size = sizeof(KTIMER) / 4;
        Timer->Header.Inserted = 0;
        Timer->Header.SignalState = 0;
        InitializeListHead(&Timer->Header.WaitListHead);
        Timer->DueTime.QuadPart = 0;
        InitializeListHead(&Timer->TimerListEntry);
        Timer->Dpc = nullptr;
        Timer->Processor = 0;
        Timer->Period = 0;
    }
    if (wasSet) {
        HkVerifierStop(HkViolation::TimerReinitialized, "timer %p initialized while set", (void*)Timer);
    }
}

void KeInitializeTimer(PKTIMER Timer) {
    KeInitializeTimerEx(Timer, NotificationTimer);
}

BOOLEAN KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc) {
    KIRQL irql = KeGetCurrentIrql();
    if (irql > DISPATCH_LEVEL) {
        HkVerifierStop(HkViolation::IrqlTooHigh, "KeSetTimer at IRQL %u", irql);
        return FALSE;
    }
    if (!KiCheckInitialized(&Timer->Header, "KeSetTimer", Timer) || (Dpc && !KiCheckDpcInitialized(Dpc, "KeSetTimer"))) {
        return FALSE;
    }
    Dispatcher& d = D();
    std::lock_guard<std::mutex> guard(d.Lock);
    bool wasSet = d.TimerIndex.count(Timer) != 0;
    RemoveTimerLocked(d, Timer);
    LONGLONG due = KiDueTimeToClock(DueTime.QuadPart);
    if (due < d.Now.load()) {
        due = d.Now.load();  // already due: expires at the next tick
    }
    Timer->Header.SignalState = 0;
    Timer->Header.Absolute = DueTime.QuadPart > 0;
    Timer->Dpc = Dpc;
    Timer->Period = Period > 0 ? Period : 0;
    InsertTimerLocked(d, Timer, due);
    return wasSet;
}

BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc) {
    return KeSetTimerEx(Timer, DueTime, 0, Dpc);
}

BOOLEAN KeCancelTimer(PKTIMER Timer) {
    KIRQL irql = KeGetCurrentIrql();
    if (irql > DISPATCH_LEVEL) {
        HkVerifierStop(HkViolation::IrqlTooHigh, "KeCancelTimer at IRQL %u", irql);
        return FALSE;
    }
    Dispatcher& d = D();
    std::lock_guard<std::mutex> guard(d.Lock);
    bool wasSet = d.TimerIndex.count(Timer) != 0;
    RemoveTimerLocked(d, Timer);
    return wasSet;
}

BOOLEAN KeReadStateTimer(PKTIMER Timer) {
    if (!KiCheckInitialized(&Timer->Header, "KeReadStateTimer", Timer)) {
        return FALSE;
    }
    Dispatcher& d = D();
    std::lock_guard<std::mutex> guard(d.Lock);
    return Timer->Header.SignalState != 0;
}

// ---------------------------------------------------------------- DPCs

void KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext) {
    Dispatcher& d = D();
    bool wasQueued;
    {
        std::lock_guard<std::mutex> guard(d.Lock);
        wasQueued = d.Queued.count(Dpc) != 0;
        if (wasQueued) {
            RemoveDpcLocked(d, Dpc);
        }
        Dpc->TargetInfoAsUlong = 0;
        Dpc->Type = DpcObject;
        Dpc->Importance = MediumImportance;
        Dpc->DpcListEntry.Next = nullptr;
        Dpc->ProcessorHistory = 0;
        Dpc->DeferredRoutine = DeferredRoutine;
        Dpc->DeferredContext = DeferredContext;
        Dpc->SystemArgument1 = nullptr;
        Dpc->SystemArgument2 = nullptr;
        Dpc->DpcData = nullptr;
    }
    if (wasQueued) {
        HkVerifierStop(HkViolation::Other, "DPC %p initialized while queued", (void*)Dpc);
    }
}

void KeSetImportanceDpc(PRKDPC Dpc, KDPC_IMPORTANCE Importance) {
    Dpc->Importance = (UCHAR)Importance;
}

BOOLEAN KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2) {
    if (!KiCheckDpcInitialized(Dpc, "KeInsertQueueDpc")) {
        return FALSE;
    }
    Dispatcher& d = D();
    {
        std::lock_guard<std::mutex> guard(d.Lock);
        if (!QueueDpcLocked(d, Dpc, SystemArgument1, SystemArgument2)) {
            return FALSE;
        }
    }
    KiMaybeRunDpcs();
    return TRUE;
}

BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc) {
    Dispatcher& d = D();
    std::lock_guard<std::mutex> guard(d.Lock);
    if (!d.Queued.count(Dpc)) {
        return FALSE;
    }
    RemoveDpcLocked(d, Dpc);
    return TRUE;
}

void KeFlushQueuedDpcs() {
    KIRQL irql = KeGetCurrentIrql();
    if (irql > PASSIVE_LEVEL) {
        HkVerifierStop(HkViolation::IrqlTooHigh, "KeFlushQueuedDpcs at IRQL %u", irql);
        return;
    }
    KiRunDpcs(true);
}

// ---------------------------------------------------------------- host clock

LONGLONG HkClockNow() {
    return KiNow();
}

LONGLONG HkClockSystemTimeBase() {
    return kSystemTimeBase;
}

void HkClockAdvanceTo(LONGLONG time100ns, HkDpcMode mode) {
    Dispatcher& d = D();
    std::lock_guard<std::recursive_mutex> advance(d.AdvanceLock);
    {
        std::lock_guard<std::mutex> guard(d.Lock);
        d.Held = mode == HkDpcMode::Deferred;
    }
    for (;;) {
        {
            std::lock_guard<std::mutex> guard(d.Lock);
            bool expired = ExpireOneLocked(d, time100ns);
            if (!expired && d.Now.load() < time100ns) {
                d.Now.store(time100ns);
            }
            d.Condition.notify_all();
            if (!expired) {
                break;
            }
        }
        if (mode == HkDpcMode::Immediate) {
            KiRunDpcs(false);
        }
    }
    if (mode == HkDpcMode::Immediate) {
        KiRunDpcs(false);
    }
}

void HkClockAdvanceTicks(LONGLONG ticks100ns, HkDpcMode mode) {
    HkClockAdvanceTo(KiNow() + (ticks100ns > 0 ? ticks100ns : 0), mode);
}

void HkClockAdvance(ULONG64 milliseconds, HkDpcMode mode) {
    HkClockAdvanceTicks((LONGLONG)milliseconds * kTicksPerMs, mode);
}

void HkClockSetAutoAdvance(bool on) {
    D().AutoAdvance.store(on);
}

void HkClockStartRealTime() {
    Dispatcher& d = D();
    std::lock_guard<std::mutex> guard(d.RealTimeLock);
    if (d.RealTimeOn.load()) {
        return;
    }
    d.RealTimeStop.store(false);
    d.RealTimeOn.store(true);
    d.RealTime = std::thread(RealTimeLoop);
}

void HkClockStopRealTime() {
    Dispatcher& d = D();
    std::lock_guard<std::mutex> guard(d.RealTimeLock);
    if (!d.RealTimeOn.load()) {
        return;
    }
    d.RealTimeStop.store(true);
    d.RealTime.join();
    d.RealTimeOn.store(false);
}

bool HkClockIsRealTime() {
    return D().RealTimeOn.load();
}

size_t HkDpcRunQueued() {
    Dispatcher& d = D();
    {
        std::lock_guard<std::mutex> guard(d.Lock);
        d.Held = false;
    }
    return KiRunDpcs(true);
}

size_t HkDpcQueuedCount() {
    Dispatcher& d = D();
    std::lock_guard<std::mutex> guard(d.Lock);
    return d.Dpcs.size();
}

void HkDpcSetAutoRun(bool on) {
    Dispatcher& d = D();
    std::lock_guard<std::mutex> guard(d.Lock);
    d.AutoRun = on;
}

size_t HkTimerSetCount() {
    Dispatcher& d = D();
    std::lock_guard<std::mutex> guard(d.Lock);
    return d.Timers.size();
}

LONGLONG HkTimerNextDue() {
    Dispatcher& d = D();
    std::lock_guard<std::mutex> guard(d.Lock);
    return d.Timers.empty() ? -1 : std::get<0>(*d.Timers.begin());
}

HkKeLiveObjects HkKeFindLiveObjectsInRange(const void* begin, size_t size) {
    HkKeLiveObjects live = {0, 0, nullptr, nullptr};
    Dispatcher& d = D();
    std::lock_guard<std::mutex> guard(d.Lock);
    for (auto& entry : d.TimerIndex) {
        if (InRange(entry.first, sizeof(KTIMER), begin, size)) {
            if (!live.Timers++) {
                live.FirstTimer = entry.first;
            }
        }
    }
    for (KDPC* dpc : d.Dpcs) {
        if (InRange(dpc, sizeof(KDPC), begin, size)) {
            if (!live.Dpcs++) {
                live.FirstDpc = dpc;
            }
        }
    }
    return live;
}

void HkKeForgetObjectsInRange(const void* begin, size_t size) {
    Dispatcher& d = D();
    std::lock_guard<std::mutex> guard(d.Lock);
    for (auto it = d.TimerIndex.begin(); it != d.TimerIndex.end();) {
        if (InRange(it->first, sizeof(KTIMER), begin, size)) {
            d.Timers.erase(it->second);
            it = d.TimerIndex.erase(it);
        } else {
            ++it;
        }
    }
    for (auto it = d.Dpcs.begin(); it != d.Dpcs.end();) {
        if (InRange(*it, sizeof(KDPC), begin, size)) {
            d.Queued.erase(*it);
            it = d.Dpcs.erase(it);
        } else {
            ++it;
        }
    }
}

void KiResetDispatcher() {
    HkClockStopRealTime();
    Dispatcher& d = D();
    std::lock_guard<std::mutex> guard(d.Lock);
    d.Timers.clear();
    d.TimerIndex.clear();
    d.NextOrder = 0;
    d.Dpcs.clear();
    d.Queued.clear();
    d.Held = false;
    d.AutoRun = true;
    d.AutoAdvance.store(true);
    d.Now.store(0);
    d.Condition.notify_all();
}
