// Paged pool: blocks on pages of their own, and the guard that protects
// those pages while the only thread in the host kernel runs at
// DISPATCH_LEVEL or above.
//
// Windows pages paged pool out at will; a touch at DISPATCH_LEVEL or above
// of a page that is not resident bug-checks (IRQL_NOT_LESS_OR_EQUAL). The
// driver verifier's "Force IRQL checking" makes this deterministic by
// trimming pageable memory whenever a driver raises to DISPATCH_LEVEL
// (Microsoft Learn, "Force IRQL Checking"). The guard does the same with
// PROT_NONE over the arena. The fault handler lifts the guard, notes the
// touch for the faulting thread and lets the instruction run again; the
// stop is raised when that thread drops below DISPATCH_LEVEL. The handler
// itself only calls mprotect and writes thread-local words, so it is safe
// under the sanitizers (the thread sanitizer reports allocation inside a
// signal handler, hence the deferred stop).
//
// With more than one thread in the host kernel the guard stays off: another
// thread at PASSIVE_LEVEL may touch paged pool at the same moment, and the
// page protection is process-wide.
#include <signal.h>
#include <sched.h>
#include <string.h>
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

#include <sanitizer/asan_interface.h>

#include <atomic>
#include <map>

#include "ex/ex_internal.h"
#include "hk/pool.h"
#include "hk/verifier.h"
#include "ke/ke_internal.h"

namespace {

// Address space only; pages are backed when a block uses them.
constexpr size_t kArenaBytes = size_t(1) << 30;

struct Arena {
    std::atomic<char*> Base{nullptr};
    size_t Page = 4096;
    std::atomic<size_t> Extent{0};         // bytes from Base handed out so far
    std::multimap<size_t, char*> FreeRuns;  // length -> start, under the pool lock
};

Arena& A() {
    static Arena* arena = new Arena;
    return *arena;
}

size_t RunBytes(const Arena& a, size_t size) {
    size_t bytes = size ? size : 1;
    return (bytes + a.Page - 1) / a.Page * a.Page;
}

// ---------------------------------------------------------------- guard

struct Guard {
    std::atomic_flag Busy = ATOMIC_FLAG_INIT;
    std::atomic<bool> Engaged{false};
    std::atomic<size_t> Length{0};  // bytes protected from the arena base
    struct sigaction Previous;
};

Guard& G() {
    static Guard* guard = new Guard;
    return *guard;
}

// What the fault handler saw in this thread.
struct Touch {
    bool Pending;
    const void* Address;
    const void* Code;
    KIRQL Irql;
};
thread_local Touch t_touch;
thread_local KIRQL t_irql;

struct GuardHold {
    GuardHold() {
        while (G().Busy.test_and_set(std::memory_order_acquire)) {
            sched_yield();
        }
    }
    ~GuardHold() { G().Busy.clear(std::memory_order_release); }
};

// Under the hold.
void LiftLocked() {
    Guard& g = G();
    if (g.Engaged.load()) {
        mprotect(A().Base.load(), g.Length.load(), PROT_READ | PROT_WRITE);
        g.Engaged.store(false);
    }
}

void Engage() {
    Arena& a = A();
    Guard& g = G();
    GuardHold hold;
    size_t length = a.Extent.load();
    if (g.Engaged.load() || length == 0 || KiLiveThreads() != 1) {
        return;
    }
    g.Engaged.store(true);
    g.Length.store(length);
    mprotect(a.Base.load(), length, PROT_NONE);
}

void Lift() {
    GuardHold hold;
    LiftLocked();
}

const void* FaultingCode(void* context) {
#if defined(__x86_64__) && defined(REG_RIP)
    return reinterpret_cast<const void*>(static_cast<ucontext_t*>(context)->uc_mcontext.gregs[REG_RIP]);
#else
    (void)context;
    return nullptr;
#endif
}

// Hands a fault that is not the guard's to whoever handled it before.
void Chain(int signal, siginfo_t* info, void* context) {
    const struct sigaction& previous = G().Previous;
    if (previous.sa_flags & SA_SIGINFO) {
        if (previous.sa_sigaction) {
            previous.sa_sigaction(signal, info, context);
            return;
        }
    } else if (previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN) {
        previous.sa_handler(signal);
        return;
    }
    // The default action: the instruction faults again and the process dies.
    struct sigaction fallback;
    memset(&fallback, 0, sizeof(fallback));
    fallback.sa_handler = SIG_DFL;
    sigaction(signal, &fallback, nullptr);
}

void OnFault(int signal, siginfo_t* info, void* context) {
    Arena& a = A();
    char* address = static_cast<char*>(info->si_addr);
    char* base = a.Base.load();
    bool guarded = false;
    if (base != nullptr && address >= base && address < base + kArenaBytes) {
        GuardHold hold;
        if (G().Engaged.load() && address < base + G().Length.load()) {
            if (t_irql >= DISPATCH_LEVEL && !t_touch.Pending) {
                t_touch = Touch{true, address, FaultingCode(context), t_irql};
            }
            LiftLocked();
            guarded = true;
        }
    }
    if (!guarded) {
        Chain(signal, info, context);
    }
}

void InstallHandler() {
    struct sigaction action;
    memset(&action, 0, sizeof(action));
    action.sa_sigaction = OnFault;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    sigaction(SIGSEGV, &action, &G().Previous);
}

// Under the pool lock.
bool Reserve(Arena& a) {
    if (a.Base.load() != nullptr) {
        return true;
    }
    void* base = mmap(nullptr, kArenaBytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (base == MAP_FAILED) {
        return false;
    }
    a.Page = (size_t)sysconf(_SC_PAGESIZE);
    InstallHandler();
    a.Base.store(static_cast<char*>(base));
    return true;
}

void ReportTouch(const Touch& touch) {
    std::string block = ExpDescribePoolAddress(touch.Address);
    std::string code = ExpDescribeCode(touch.Code);
    HkVerifierStop(HkViolation::PagedPoolAtHighIrql, "%s touched at IRQL %u by code at %s", block.c_str(),
                   touch.Irql, code.c_str());
}

}  // namespace

// ---------------------------------------------------------------- arena

void* ExpArenaAllocate(size_t size) {
    Arena& a = A();
    if (!Reserve(a)) {
        return nullptr;
    }
    size_t bytes = RunBytes(a, size);
    char* run = nullptr;
    auto fit = a.FreeRuns.lower_bound(bytes);
    if (fit != a.FreeRuns.end()) {
        run = fit->second;
        size_t have = fit->first;
        a.FreeRuns.erase(fit);
        if (have > bytes) {
            a.FreeRuns.emplace(have - bytes, run + bytes);
        }
    } else {
        size_t extent = a.Extent.load();
        if (bytes > kArenaBytes - extent ||
            mprotect(a.Base.load() + extent, bytes, PROT_READ | PROT_WRITE) != 0) {
            return nullptr;
        }
        run = a.Base.load() + extent;
        a.Extent.store(extent + bytes);
    }
    // The slack after the block is a red zone for the address sanitizer.
    ASAN_UNPOISON_MEMORY_REGION(run, size);
    ASAN_POISON_MEMORY_REGION(run + size, bytes - size);
    return run;
}

void ExpArenaRelease(void* block, size_t size) {
    Arena& a = A();
    size_t bytes = RunBytes(a, size);
    madvise(block, bytes, MADV_DONTNEED);
    ASAN_POISON_MEMORY_REGION(block, bytes);
    a.FreeRuns.emplace(bytes, static_cast<char*>(block));
}

bool ExpArenaContains(const void* address) {
    const char* base = A().Base.load();
    const char* p = static_cast<const char*>(address);
    return base != nullptr && p >= base && p < base + kArenaBytes;
}

void ExpArenaReset() {
    Arena& a = A();
    Lift();
    size_t extent = a.Extent.load();
    if (extent) {
        madvise(a.Base.load(), extent, MADV_DONTNEED);
        ASAN_POISON_MEMORY_REGION(a.Base.load(), extent);
    }
    a.FreeRuns.clear();
    a.Extent.store(0);
}

// ---------------------------------------------------------------- IRQL hooks

void ExpPagedGuardLift() {
    Lift();
}

void ExpPagedPoolIrqlChanged(KIRQL old, KIRQL irql, bool report) {
    t_irql = irql;
    if (old < DISPATCH_LEVEL && irql >= DISPATCH_LEVEL) {
        Engage();
    } else if (old >= DISPATCH_LEVEL && irql < DISPATCH_LEVEL) {
        Lift();
        Touch touch = t_touch;
        t_touch.Pending = false;
        if (touch.Pending && report) {
            ReportTouch(touch);
        }
    }
}

void ExpPagedPoolThreadStarted() {
    Lift();
}

// The verifier's Force IRQL Checking also reports timers, events, mutexes,
// spin locks and fast mutexes in pageable memory: the kernel touches them at
// raised IRQL (Microsoft Learn, "Force IRQL Checking").
void ExpCheckResident(const void* object, const char* what) {
    if (ExpArenaContains(object)) {
        std::string block = ExpDescribePoolAddress(object);
        HkVerifierStop(HkViolation::PagedPoolAtHighIrql, "%s %p lies in %s", what, object, block.c_str());
        Lift();  // reported once; the use that follows must not fault again
    }
}

// ---------------------------------------------------------------- host API

bool HkPoolPagedGuardEngaged() {
    return G().Engaged.load();
}
