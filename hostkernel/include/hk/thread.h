// Per-thread state of the host kernel. Every OS thread gets a record the
// first time it touches the host kernel: IRQL PASSIVE_LEVEL, no critical
// region, no locks held, no process.
#pragma once

#include "nt/ntdef.h"

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

// Puts the calling thread back to the initial state (IRQL, region, locks);
// for test fixtures after a captured stop left it raised.
void HkThreadResetState();
