// Per-thread state of the host kernel. Every OS thread gets a record the
// first time it touches the host kernel: IRQL PASSIVE_LEVEL, no critical
// region, no locks held, no process.
#pragma once

#include <stddef.h>

#include "nt/ntdef.h"
#include "nt/ke.h"

struct HkThreadState {
    KIRQL Irql;
    LONG CriticalRegionDepth;
    ULONG FastMutexesHeld;
    ULONG SpinLocksHeld;
};

HkThreadState HkThreadGetState();
ULONG HkThreadFastMutexesHeld();
ULONG HkThreadSpinLocksHeld();
LONG HkThreadCriticalRegionDepth();

// The current process of this thread, an opaque slot the process component
// owns (the thread record only stores it).
void HkThreadSetProcess(void* process);
void* HkThreadGetProcess();

// Small host id of the calling thread (1, 2, ...), for reports.
ULONG HkThreadId();

// Threads blocked right now in a dispatcher wait (events, timers, delays,
// fast mutexes). Multi-threaded tests wait for a waiter to block before
// they act.
ULONG HkThreadsWaiting();

// Kernel APCs, as the I/O manager queues them to finish a request in the
// thread that issued it. The routine runs in `thread` at APC_LEVEL once that
// thread's IRQL is below APC_LEVEL: at once when a thread at PASSIVE_LEVEL
// queues to itself, else when its IRQL drops below APC_LEVEL or at its next
// wait. A thread that would block in a wait at APC_LEVEL or above with an
// APC queued never gets it on Windows: a WaitBlocksApc stop (the APC then
// runs anyway, so the test goes on).
typedef void (*HkApcRoutine)(void* context);
void HkThreadQueueApc(PKTHREAD thread, HkApcRoutine routine, void* context);
// APCs queued to the calling thread that have not run yet.
size_t HkThreadApcsQueued();

// Puts the calling thread back to the initial state (IRQL, region, locks);
// for test fixtures after a captured stop left it raised.
void HkThreadResetState();
