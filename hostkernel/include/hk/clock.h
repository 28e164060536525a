// The host kernel's clock. Time is virtual and starts at 0; tests advance it
// by hand. Advancing expires due timers in due order, each at its own due
// time, and (by default) runs the DPCs that queues at DISPATCH_LEVEL in the
// calling thread.
#pragma once

#include <stddef.h>

#include "nt/ntdef.h"

enum class HkDpcMode {
    Immediate,  // run queued DPCs as timers expire
    Deferred,   // leave them queued, and hold the queue, until HkDpcRunQueued,
                // KeFlushQueuedDpcs or the next immediate advance
};

// Interrupt time in 100 ns units (KeQueryInterruptTime).
LONGLONG HkClockNow();
// System time of clock 0, 100 ns since 1601 (KeQuerySystemTime adds it).
LONGLONG HkClockSystemTimeBase();

void HkClockAdvance(ULONG64 milliseconds, HkDpcMode mode = HkDpcMode::Immediate);
void HkClockAdvanceTicks(LONGLONG ticks100ns, HkDpcMode mode = HkDpcMode::Immediate);
// Advances to an absolute clock value (no-op if already past it).
void HkClockAdvanceTo(LONGLONG time100ns, HkDpcMode mode = HkDpcMode::Immediate);

// On the manual clock a thread that delays or waits with a timeout moves the
// clock to its deadline itself (time passes while it sleeps), unless this is
// turned off; multi-threaded tests turn it off and advance the clock from
// the driving thread. Default on.
void HkClockSetAutoAdvance(bool on);

// Real-time mode: a background thread advances the clock with wall time and
// runs DPCs. For interactive and stress use only.
void HkClockStartRealTime();
void HkClockStopRealTime();
bool HkClockIsRealTime();

// Runs (and releases the hold on) every queued DPC; returns how many ran.
size_t HkDpcRunQueued();
size_t HkDpcQueuedCount();
// When on (default), a DPC queued below DISPATCH_LEVEL runs at once and one
// queued at DISPATCH_LEVEL runs when the thread drops below it.
void HkDpcSetAutoRun(bool on);

size_t HkTimerSetCount();
// Due time of the earliest set timer, -1 if none.
LONGLONG HkTimerNextDue();

// Set timers and queued DPCs whose objects lie in [begin, begin+size): the
// I/O manager refuses to delete a device whose extension still holds one.
struct HkKeLiveObjects {
    ULONG Timers;
    ULONG Dpcs;
    const void* FirstTimer;
    const void* FirstDpc;
};
HkKeLiveObjects HkKeFindLiveObjectsInRange(const void* begin, size_t size);
// After a captured stop for such an object: drop the timers and DPCs in the
// range so the dispatcher never touches the released memory.
void HkKeForgetObjectsInRange(const void* begin, size_t size);
