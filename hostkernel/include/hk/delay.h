// Delay injection: seeded random pauses at the host kernel's synchronisation
// points, so concurrent tests explore more interleavings. Off by default;
// HkReset turns it off.
#pragma once

#include "nt/ntdef.h"

enum class HkDelayPoint {
    FastMutexAcquire,  // before a fast mutex is taken
    FastMutexRelease,  // after a fast mutex is given back
    EventSet,          // before an event is signalled
    EventWait,         // before a wait on a dispatcher object
    IrpComplete,       // before an IRP's completion routines run
    Count
};

// Each point reached pauses with probability percent/100: a yield, or a
// sleep of up to maxMicroseconds. The choices come from a per-thread
// generator seeded with seed and the thread's host id.
void HkDelayEnable(ULONG seed, ULONG percent, ULONG maxMicroseconds);
void HkDelayDisable();
bool HkDelayEnabled();

// Called by the host kernel at each point.
void HkDelayAt(HkDelayPoint point);

// Pauses made at a point since the last enable.
ULONG64 HkDelayCount(HkDelayPoint point);
