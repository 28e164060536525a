// Dispatcher internals shared by ke, ex and the reset code.
#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>
#include <utility>

#include "nt/ntdef.h"
#include "nt/ke.h"

// The thread record behind PKTHREAD.
struct _KTHREAD {
    ULONG Id = 0;
    KIRQL Irql = PASSIVE_LEVEL;
    LONG CriticalRegionDepth = 0;
    ULONG FastMutexesHeld = 0;
    ULONG SpinLocksHeld = 0;
    void* Process = nullptr;
    bool RunningDpcs = false;
    // Kernel APCs queued to this thread, under the dispatcher lock.
    std::deque<std::pair<void (*)(void*), void*>> Apcs;
    bool DeliveringApcs = false;
    // KeSetEvent with Wait TRUE ran; the next call must be a KeWaitXxx.
    bool WaitNext = false;
};

_KTHREAD* KiCurrentThread();
// Stops when the thread's last call was KeSetEvent with Wait TRUE.
void KiCheckWaitNext();
// False (after a stop) when a dispatcher object or DPC was never initialised.
bool KiCheckInitialized(const DISPATCHER_HEADER* header, const char* what, const void* object);
bool KiCheckDpcInitialized(const KDPC* dpc, const char* what);
// Sets the IRQL without checks; lowering below DISPATCH_LEVEL runs pending DPCs.
void KiSetIrql(_KTHREAD* thread, KIRQL irql);
// Sets the IRQL without checks and without running DPCs.
void KiStoreIrql(_KTHREAD* thread, KIRQL irql);
// Threads that have a record right now (each OS thread that touched the
// host kernel and has not ended).
unsigned KiLiveThreads();

// One lock and one condition for every dispatcher object: events, timers,
// fast mutexes, the DPC queue and the clock.
std::mutex& KiDispatcherLock();
std::condition_variable& KiDispatcherCondition();
// Blocks on the dispatcher condition, counted in HkThreadsWaiting.
void KiBlock(std::unique_lock<std::mutex>& lock);

// Runs queued DPCs in this thread at DISPATCH_LEVEL. With force the hold of
// a deferred advance is ignored. Returns how many ran.
size_t KiRunDpcs(bool force);
// Auto-run after a DPC was queued or the IRQL dropped below DISPATCH_LEVEL.
void KiMaybeRunDpcs();

// Runs the kernel APCs queued to this thread, each at APC_LEVEL, if its
// IRQL is below APC_LEVEL (or with force, whatever it is).
void KiDeliverApcs(bool force = false);
// Caller holds the dispatcher lock.
bool KiApcQueuedLocked(const _KTHREAD* thread);

// Clock value (100 ns); read without the lock.
LONGLONG KiNow();
bool KiManualClockAutoAdvance();
// Due time of a set timer, -1 if the object is not a set timer.
LONGLONG KiTimerDueLocked(const void* object);
// Converts a DDK due time (negative relative, positive absolute system time)
// to a clock value.
LONGLONG KiDueTimeToClock(LONGLONG dueTime);

void KiResetDispatcher();
void KiForgetLockOrderInRange(const void* begin, size_t size);
void KiResetLockOrder();

// Pool side of HkReset.
void ExpResetPool();
// Paged pool guard: the calling thread's IRQL went from old to irql (report
// false: drop a pending touch without a stop), and a new thread appeared.
void ExpPagedPoolIrqlChanged(KIRQL old, KIRQL irql, bool report);
void ExpPagedPoolThreadStarted();
// A dispatcher object or lock that the kernel touches at raised IRQL must
// not lie in paged pool: stop when it does.
void ExpCheckResident(const void* object, const char* what);
