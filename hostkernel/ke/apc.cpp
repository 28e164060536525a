// Kernel APCs. The host has no interrupts, so an APC queued to a thread runs
// at the next point where Windows would let it in: at once when a thread at
// PASSIVE_LEVEL queues one to itself, when the thread's IRQL drops below
// APC_LEVEL, or when the thread waits at PASSIVE_LEVEL.
#include "hk/thread.h"
#include "hk/verifier.h"
#include "ke/ke_internal.h"

bool KiApcQueuedLocked(const _KTHREAD* thread) {
    return !thread->Apcs.empty();
}

void KiDeliverApcs(bool force) {
    _KTHREAD* t = KiCurrentThread();
    if (t->DeliveringApcs || (!force && t->Irql >= APC_LEVEL)) {
        return;
    }
    t->DeliveringApcs = true;
    for (;;) {
        std::pair<void (*)(void*), void*> apc;
        {
            std::lock_guard<std::mutex> guard(KiDispatcherLock());
            if (t->Apcs.empty()) {
                break;
            }
            apc = t->Apcs.front();
            t->Apcs.pop_front();
        }
        KIRQL old = t->Irql;
        if (old < APC_LEVEL) {
            t->Irql = APC_LEVEL;
        }
        apc.first(apc.second);
        t->Irql = old;
    }
    t->DeliveringApcs = false;
}

void HkThreadQueueApc(PKTHREAD thread, HkApcRoutine routine, void* context) {
    {
        std::lock_guard<std::mutex> guard(KiDispatcherLock());
        thread->Apcs.emplace_back(routine, context);
        KiDispatcherCondition().notify_all();
    }
    if (thread == KiCurrentThread()) {
        KiDeliverApcs();
    }
}

size_t HkThreadApcsQueued() {
    std::lock_guard<std::mutex> guard(KiDispatcherLock());
    return KiCurrentThread()->Apcs.size();
}
