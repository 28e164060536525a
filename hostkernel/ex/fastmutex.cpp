// Fast mutexes: APC_LEVEL while held, owner checks, lock order checks.
#include <algorithm>
#include <set>
#include <utility>
#include <vector>

#include "hk/delay.h"
#include "hk/verifier.h"
#include "ke/ke_internal.h"
#include "nt/ex.h"

namespace {

// Pairs (held, acquired) seen so far; the reverse pair is a LockOrder stop.
struct LockOrder {
    std::mutex Lock;
    std::set<std::pair<const void*, const void*>> Edges;
};

LockOrder& Order() {
    static LockOrder order;
    return order;
}

std::vector<const void*>& HeldByThread() {
    static thread_local std::vector<const void*> held;
    return held;
}

void NoteAcquired(const FAST_MUTEX* mutex) {
    std::vector<const void*>& held = HeldByThread();
    const void* inverted = nullptr;
    {
        LockOrder& order = Order();
        std::lock_guard<std::mutex> guard(order.Lock);
        for (const void* outer : held) {
            if (order.Edges.count({mutex, outer})) {
                inverted = outer;
            }
            order.Edges.insert({outer, mutex});
        }
    }
    held.push_back(mutex);
    if (inverted) {
        HkVerifierStop(HkViolation::LockOrder,
                       "fast mutex %p acquired while holding %p; the opposite order was used before",
                       (const void*)mutex, inverted);
    }
}

void NoteReleased(const FAST_MUTEX* mutex) {
    std::vector<const void*>& held = HeldByThread();
    auto it = std::find(held.rbegin(), held.rend(), (const void*)mutex);
    if (it != held.rend()) {
        held.erase(std::next(it).base());
    }
}

// Owner is written under the dispatcher lock and read without it: a thread
// only compares it with itself, which no other thread can make true or false.
_KTHREAD* OwnerOf(PFAST_MUTEX mutex) {
    return (_KTHREAD*)__atomic_load_n(&mutex->Owner, __ATOMIC_RELAXED);
}

void SetOwner(PFAST_MUTEX mutex, _KTHREAD* t) {
    __atomic_store_n(&mutex->Owner, (PKTHREAD)t, __ATOMIC_RELAXED);
}

// Takes the mutex for the current thread, blocking while another owns it.
void Take(PFAST_MUTEX mutex, _KTHREAD* t) {
    std::unique_lock<std::mutex> lock(KiDispatcherLock());
    while ((mutex->Count & FM_LOCK_BIT) == 0) {
        mutex->Contention++;
        KiBlock(lock);
    }
    mutex->Count &= ~FM_LOCK_BIT;
    SetOwner(mutex, t);
}

bool TryTake(PFAST_MUTEX mutex, _KTHREAD* t) {
    std::lock_guard<std::mutex> guard(KiDispatcherLock());
    if ((mutex->Count & FM_LOCK_BIT) == 0) {
        return false;
    }
    mutex->Count &= ~FM_LOCK_BIT;
    SetOwner(mutex, t);
    return true;
}

void Give(PFAST_MUTEX mutex) {
    std::lock_guard<std::mutex> guard(KiDispatcherLock());
    SetOwner(mutex, nullptr);
    mutex->Count |= FM_LOCK_BIT;
    KiDispatcherCondition().notify_all();
}

// Common checks before an acquire; false when the acquire must not go on.
bool CheckAcquire(PFAST_MUTEX mutex, _KTHREAD* t, const char* what) {
    if (t->Irql > APC_LEVEL) {
        HkVerifierStop(HkViolation::IrqlTooHigh, "%s(%p) at IRQL %u", what, (void*)mutex, t->Irql);
        return false;
    }
    if (OwnerOf(mutex) == t) {
        HkVerifierStop(HkViolation::FastMutexRecursion, "%s(%p) by the thread that already owns it", what,
                       (void*)mutex);
        return false;
    }
    return true;
}

bool CheckRelease(PFAST_MUTEX mutex, _KTHREAD* t, const char* what) {
    if (OwnerOf(mutex) != t) {
        HkVerifierStop(HkViolation::FastMutexNotOwner, "%s(%p) by a thread that does not own it", what,
                       (void*)mutex);
        return false;
    }
    return true;
}

}  // namespace

void ExAcquireFastMutex(PFAST_MUTEX FastMutex) {
    HkDelayAt(HkDelayPoint::FastMutexAcquire);
    _KTHREAD* t = KiCurrentThread();
    if (!CheckAcquire(FastMutex, t, "ExAcquireFastMutex")) {
        return;
    }
    KIRQL old = t->Irql;
    t->Irql = APC_LEVEL;
    Take(FastMutex, t);
    FastMutex->OldIrql = old;
    t->FastMutexesHeld++;
    NoteAcquired(FastMutex);
}

BOOLEAN ExTryToAcquireFastMutex(PFAST_MUTEX FastMutex) {
    _KTHREAD* t = KiCurrentThread();
    if (!CheckAcquire(FastMutex, t, "ExTryToAcquireFastMutex")) {
        return FALSE;
    }
    KIRQL old = t->Irql;
    t->Irql = APC_LEVEL;
    if (!TryTake(FastMutex, t)) {
        t->Irql = old;
        return FALSE;
    }
    FastMutex->OldIrql = old;
    t->FastMutexesHeld++;
    NoteAcquired(FastMutex);
    return TRUE;
}

void ExReleaseFastMutex(PFAST_MUTEX FastMutex) {
    _KTHREAD* t = KiCurrentThread();
    if (!CheckRelease(FastMutex, t, "ExReleaseFastMutex")) {
        return;
    }
    if (t->Irql != APC_LEVEL) {
        HkVerifierStop(HkViolation::IrqlBadLower, "ExReleaseFastMutex(%p) at IRQL %u, not APC_LEVEL",
                       (void*)FastMutex, t->Irql);
    }
    KIRQL old = (KIRQL)FastMutex->OldIrql;
    NoteReleased(FastMutex);
    t->FastMutexesHeld--;
    Give(FastMutex);
    KiSetIrql(t, old);
    HkDelayAt(HkDelayPoint::FastMutexRelease);
}

void ExAcquireFastMutexUnsafe(PFAST_MUTEX FastMutex) {
    HkDelayAt(HkDelayPoint::FastMutexAcquire);
    _KTHREAD* t = KiCurrentThread();
    if (!CheckAcquire(FastMutex, t, "ExAcquireFastMutexUnsafe")) {
        return;
    }
    if (t->Irql < APC_LEVEL && t->CriticalRegionDepth == 0) {
        HkVerifierStop(HkViolation::IrqlTooLow, "ExAcquireFastMutexUnsafe(%p) with APCs enabled", (void*)FastMutex);
    }
    Take(FastMutex, t);
    t->FastMutexesHeld++;
    NoteAcquired(FastMutex);
}

void ExReleaseFastMutexUnsafe(PFAST_MUTEX FastMutex) {
    _KTHREAD* t = KiCurrentThread();
    if (!CheckRelease(FastMutex, t, "ExReleaseFastMutexUnsafe")) {
        return;
    }
    NoteReleased(FastMutex);
    t->FastMutexesHeld--;
    Give(FastMutex);
}

void KiForgetLockOrderInRange(const void* begin, size_t size) {
    const char* b = (const char*)begin;
    auto inside = [b, size](const void* p) { return (const char*)p >= b && (const char*)p < b + size; };
    LockOrder& order = Order();
    std::lock_guard<std::mutex> guard(order.Lock);
    for (auto it = order.Edges.begin(); it != order.Edges.end();) {
        if (inside(it->first) || inside(it->second)) {
            it = order.Edges.erase(it);
        } else {
            ++it;
        }
    }
}

void KiResetLockOrder() {
    LockOrder& order = Order();
    std::lock_guard<std::mutex> guard(order.Lock);
    order.Edges.clear();
    HeldByThread().clear();
}
