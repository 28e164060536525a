// I/O manager: IRPs. Allocation and free, sending down a stack with the
// pending protocol checked, completion with completion routines, the end of
// an IRP the I/O manager built, and cancellation.
#include <sanitizer/asan_interface.h>
#include <stdlib.h>
#include <string.h>

#include <deque>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "hk/delay.h"
#include "hk/fault.h"
#include "hk/reset.h"
#include "hk/verifier.h"
#include "io/io_internal.h"

namespace hkio {
namespace {

// An IofCallDriver call whose pending protocol is not checked yet. The check
// needs both its return and the completion passing its stack location: a
// completion routine may mark the location after the call returned.
struct Frame {
    ULONG Id;
    CHAR Location;
    bool EntryMarked;  // marked on entry: a driver above marked it and skipped
    bool Returned;
    NTSTATUS Status;
    std::string What;
};

// Per stack location, what the completion saw when it passed.
constexpr UCHAR kUnwound = 1;
constexpr UCHAR kMarked = 2;
constexpr UCHAR kReported = 4;  // one report per location and pass

// Who finishes an IRP the I/O manager built, once its completion ended.
enum class Ending { Open, Caller, Apc, Done };

// What the I/O manager tracks per IRP beside the IRP itself.
struct IrpState {
    bool Allocated = false;  // from IoAllocateIrp (ours to free)
    bool Freed = false;      // memory poisoned; the entry stays for running calls
    IrpFinish Finish = IrpFinish::Owner;
    ULONG OutputLength = 0;  // bound of the buffered copy-back
    PKTHREAD Issuer = nullptr;
    bool Sent = false;       // its builder has sent it
    bool PastStack = false;  // completed past its last location: back with its owner
    int ActiveCalls = 0;     // IofCallDriver frames on the stack
    ULONG CompletionSeq = 0;
    NTSTATUS CompletionStatus = 0;
    ULONG NextFrame = 0;
    std::vector<Frame> Frames;
    std::vector<UCHAR> Locations;  // by location number
    Ending End = Ending::Open;
    bool ForcePending = false;     // the top call returned pending unmarked
    std::vector<CHAR> PowerNotStarted;  // locations that got a power IRP and owe PoStartNextPowerIrp
    CHAR LowestPower = 0;
};

struct Report {
    HkViolation Kind;
    std::string Text;
};

constexpr size_t kQuarantine = 4096;

std::mutex& IrpLock() {
    static std::mutex lock;
    return lock;
}

std::unordered_map<PIRP, IrpState>& Irps() {
    static auto* irps = new std::unordered_map<PIRP, IrpState>;
    return *irps;
}

// Freed IRPs are kept poisoned for a while (and under the address sanitizer,
// unreadable) so a late touch is caught.
std::deque<std::pair<PIRP, USHORT>>& Quarantine() {
    static auto* q = new std::deque<std::pair<PIRP, USHORT>>;
    return *q;
}
std::unordered_set<PIRP>& QuarantineSet() {
    static auto* s = new std::unordered_set<PIRP>;
    return *s;
}

KSPIN_LOCK g_cancelLock = 0;
bool g_hookRegistered = false;

void FreeQuarantined(PIRP irp, USHORT size) {
    ASAN_UNPOISON_MEMORY_REGION(irp, size);
    free(irp);
}

void ResetHook() {
    std::lock_guard<std::mutex> guard(IrpLock());
    for (auto& entry : Irps()) {
        if (entry.second.Allocated && !entry.second.Freed) {
            free(entry.first);
        }
    }
    Irps().clear();
    for (auto& entry : Quarantine()) {
        FreeQuarantined(entry.first, entry.second);
    }
    Quarantine().clear();
    QuarantineSet().clear();
    g_cancelLock = 0;
}

void EnsureIrps() {
    std::lock_guard<std::mutex> guard(IrpLock());
    if (!g_hookRegistered) {
        g_hookRegistered = true;
        HkRegisterResetHook(&ResetHook);
    }
}

// Under IrpLock: the state of an IRP, made on first sight for IRPs a driver
// initialized itself.
IrpState& StateOf(PIRP irp) {
    return Irps()[irp];
}

// Under IrpLock: the state of an IRP that may be gone, or null.
IrpState* FindState(PIRP irp) {
    auto it = Irps().find(irp);
    return it == Irps().end() ? nullptr : &it->second;
}

UCHAR& LocationFlags(IrpState& state, CHAR location) {
    size_t index = static_cast<UCHAR>(location);
    if (state.Locations.size() <= index) {
        state.Locations.resize(index + 1, 0);
    }
    return state.Locations[index];
}

// Under IrpLock. Poisons the IRP's memory and quarantines it; the entry
// goes now, or when the last call frame on the IRP returns.
void ReleaseIrp(PIRP irp) {
    IrpState* state = FindState(irp);
    if (!state || !state->Allocated || state->Freed) {
        return;
    }
    USHORT size = irp->Size;
    memset(irp, 0xDD, size);
    ASAN_POISON_MEMORY_REGION(irp, size);
    Quarantine().emplace_back(irp, size);
    QuarantineSet().insert(irp);
    if (Quarantine().size() > kQuarantine) {
        auto oldest = Quarantine().front();
        Quarantine().pop_front();
        QuarantineSet().erase(oldest.first);
        FreeQuarantined(oldest.first, oldest.second);
    }
    state->Freed = true;
    if (state->ActiveCalls == 0) {
        Irps().erase(irp);
    }
}

bool IsFreed(PIRP irp) {
    std::lock_guard<std::mutex> guard(IrpLock());
    return QuarantineSet().count(irp) != 0;
}

void Issue(const std::vector<Report>& reports) {
    for (const Report& report : reports) {
        HkVerifierStop(report.Kind, "%s", report.Text.c_str());
    }
}

std::string Hex(NTSTATUS status) {
    char text[16];
    snprintf(text, sizeof(text), "0x%08lx", static_cast<unsigned long>(status));
    return text;
}

// The pending protocol of one call, once it returned and the completion
// passed its location (flags: that location's). True when it returned
// STATUS_PENDING unmarked. "After calling IoMarkIrpPending, the dispatch
// routine must return STATUS_PENDING"; a routine returning STATUS_PENDING
// must have marked the IRP, itself or through its completion routine
// (IoMarkIrpPending, Microsoft Learn). Calls that pass the IRP on with
// IoSkipCurrentIrpStackLocation share the location, so one report covers it.
bool CheckFrame(const Frame& frame, UCHAR* flags, std::vector<Report>* reports) {
    bool marked = (*flags & kMarked) != 0;
    bool unmarkedPending = frame.Status == STATUS_PENDING && !marked;
    bool markedOther = frame.Status != STATUS_PENDING && marked && !frame.EntryMarked;
    if ((unmarkedPending || markedOther) && !(*flags & kReported)) {
        *flags |= kReported;
        if (unmarkedPending) {
            reports->push_back({HkViolation::PendingNotMarked,
                                frame.What +
                                    " returned STATUS_PENDING without marking the IRP pending (IoMarkIrpPending)"});
        } else {
            reports->push_back({HkViolation::PendingMarkedNotReturned,
                                frame.What + " marked the IRP pending (IoMarkIrpPending) but returned " +
                                    Hex(frame.Status) + ", not STATUS_PENDING"});
        }
    }
    return unmarkedPending;
}

// The first send of an IRP, by the driver (or manager) that built it.
void CheckFirstSend(PIRP irp, KIRQL irql) {
    IrpFinish finish;
    {
        std::lock_guard<std::mutex> guard(IrpLock());
        IrpState& state = StateOf(irp);
        if (state.Sent) {
            return;  // a driver passing it on with IoSkipCurrentIrpStackLocation
        }
        state.Sent = true;
        state.PastStack = false;
        finish = state.Finish;
    }
    // The completion of a threaded IRP is an APC to its thread; a thread
    // above PASSIVE_LEVEL (under a fast mutex, say) cannot take it.
    if (finish == IrpFinish::Thread && irql != PASSIVE_LEVEL) {
        HkVerifierStop(HkViolation::ThreadIrpAtRaisedIrql,
                       "threaded IRP %p (IoBuildSynchronousFsdRequest or IoBuildDeviceIoControlRequest) sent at "
                       "IRQL %u: it is sent and waited for at PASSIVE_LEVEL only",
                       irp, irql);
    }
    // "The PnP manager initializes Irp->IoStatus.Status to
    // STATUS_NOT_SUPPORTED when it sends an IRP" (Passing PnP IRPs Down the
    // Device Stack); a driver sending one must do the same.
    if (IoGetNextIrpStackLocation(irp)->MajorFunction == IRP_MJ_PNP &&
        irp->IoStatus.Status != STATUS_NOT_SUPPORTED) {
        HkVerifierStop(HkViolation::PnpIrpBadStatus,
                       "PnP IRP %p (minor 0x%x) sent with IoStatus.Status 0x%08lx, not STATUS_NOT_SUPPORTED", irp,
                       IoGetNextIrpStackLocation(irp)->MinorFunction,
                       static_cast<unsigned long>(irp->IoStatus.Status));
    }
}

// The completion passes a stack location: records whether it was marked
// pending and checks the calls on it that returned already. Returns the
// location's Control, marked as if the driver had when a call returned
// STATUS_PENDING unmarked (the stop is reported; the I/O goes on).
UCHAR PassLocation(PIRP irp, PIO_STACK_LOCATION stack, CHAR location) {
    std::vector<Report> reports;
    UCHAR control;
    {
        std::lock_guard<std::mutex> guard(IrpLock());
        IrpState& state = StateOf(irp);
        control = stack->Control;
        bool marked = (control & SL_PENDING_RETURNED) != 0;
        UCHAR& flags = LocationFlags(state, location);
        flags = static_cast<UCHAR>(kUnwound | (marked ? kMarked : 0));
        state.PastStack = location == irp->StackCount;
        for (auto it = state.Frames.begin(); it != state.Frames.end();) {
            if (it->Location == location && it->Returned) {
                if (CheckFrame(*it, &flags, &reports)) {
                    control |= SL_PENDING_RETURNED;
                }
                it = state.Frames.erase(it);
            } else {
                ++it;
            }
        }
    }
    Issue(reports);
    return control;
}

void FinishApc(void* context) {
    FinishRequest(static_cast<PIRP>(context));
}

// The I/O manager's part once the last completion routine of an IRP it
// built has run (IopCompleteRequest on Windows).
void FinishCompleted(PIRP irp) {
    PKEVENT closeEvent = nullptr;
    PKTHREAD apcThread = nullptr;
    {
        std::lock_guard<std::mutex> guard(IrpLock());
        IrpState& state = StateOf(irp);
        switch (state.Finish) {
        case IrpFinish::Owner:
            break;  // reported by the caller
        case IrpFinish::Close:
            if (irp->UserIosb) {
                *irp->UserIosb = irp->IoStatus;
            }
            closeEvent = irp->UserEvent;
            state.End = Ending::Done;
            break;
        case IrpFinish::Thread:
            state.End = Ending::Apc;
            apcThread = state.Issuer;
            break;
        case IrpFinish::Deferred:
            // Not pending: the caller finishes after the dispatch routine
            // returned. Pending: an APC in the issuing thread does.
            if (irp->PendingReturned || state.ForcePending) {
                state.End = Ending::Apc;
                apcThread = state.Issuer;
            } else {
                state.End = Ending::Caller;
            }
            break;
        }
    }
    if (apcThread) {
        HkThreadQueueApc(apcThread, &FinishApc, irp);
    } else if (closeEvent) {
        KeSetEvent(closeEvent, IO_NO_INCREMENT, FALSE);
    }
}

// "Each driver must call PoStartNextPowerIrp once for each power IRP it
// receives, before passing it on or completing it" (Windows Server 2003,
// Windows XP, and Windows 2000; PoStartNextPowerIrp, Microsoft Learn). Since
// Vista the call does nothing; the host keeps the older rule (stricter).
// A driver that sets a completion routine may start the next power IRP in
// it: the pass is not checked then, the end of the completion is.
// Locations from lo to hi (0: the lowest driver the IRP reached) must have
// started it.
// Caller holds IrpLock. Takes the first location from lo to hi that still
// owes PoStartNextPowerIrp off the list; 0 when none does.
CHAR TakeOwedLocked(IrpState& state, CHAR lo, CHAR hi) {
    auto& owed = state.PowerNotStarted;
    for (auto it = owed.begin(); it != owed.end(); ++it) {
        if (*it >= lo && *it <= hi) {
            CHAR location = *it;
            owed.erase(it);
            return location;
        }
    }
    return 0;
}

void CheckPowerStarted(PIRP irp, const char* how, CHAR lo, CHAR hi) {
    CHAR owed = 0;
    {
        std::lock_guard<std::mutex> guard(IrpLock());
        IrpState* state = FindState(irp);
        if (!state) {
            return;
        }
        if (lo == 0) {
            lo = hi = state->LowestPower;
        }
        owed = TakeOwedLocked(*state, lo, hi);
    }
    if (owed != 0) {
        HkVerifierStop(HkViolation::PowerIrpNotStarted,
                       "power IRP %p %s before the driver at stack location %d called PoStartNextPowerIrp",
                       static_cast<void*>(irp), how, owed);
    }
}

bool IsOwnerIrp(PIRP irp) {
    std::lock_guard<std::mutex> guard(IrpLock());
    return StateOf(irp).Finish == IrpFinish::Owner;
}

}  // namespace

void MarkRequestIrp(PIRP irp, IrpFinish finish, ULONG outputLength) {
    std::lock_guard<std::mutex> guard(IrpLock());
    IrpState& state = StateOf(irp);
    state.Finish = finish;
    state.OutputLength = outputLength;
    state.Issuer = KeGetCurrentThread();
}

ULONG RequestOutputLength(PIRP irp) {
    std::lock_guard<std::mutex> guard(IrpLock());
    IrpState* state = FindState(irp);
    return state ? state->OutputLength : 0;
}

void FreeIrpMemory(PIRP irp) {
    std::lock_guard<std::mutex> guard(IrpLock());
    ReleaseIrp(irp);
}

RequestEnd ClaimRequest(PIRP irp) {
    std::unique_lock<std::mutex> lock(IrpLock());
    for (;;) {
        IrpState* state = FindState(irp);
        if (!state || state->Freed) {
            return RequestEnd::Apc;
        }
        if (state->End == Ending::Caller) {
            state->End = Ending::Done;
            return RequestEnd::Caller;
        }
        if (state->End != Ending::Open) {
            return RequestEnd::Apc;
        }
        // Not decided yet: open, unless the completion has passed the top
        // location and is about to decide.
        CHAR top = static_cast<CHAR>(irp->StackCount);
        if (!(LocationFlags(*state, top) & kUnwound)) {
            return RequestEnd::Open;
        }
        lock.unlock();
        std::this_thread::yield();
        lock.lock();
    }
}

}  // namespace hkio

using namespace hkio;

PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
    if (StackSize < 1 || HkFaultShouldFail(HkFault::IrpAllocate)) {
        return nullptr;
    }
    return hkio::AllocateIrpMustSucceed(StackSize);
}

PIRP hkio::AllocateIrpMustSucceed(CCHAR StackSize) {
    EnsureIrps();
    USHORT size = IoSizeOfIrp(StackSize);
    auto irp = static_cast<PIRP>(aligned_alloc(16, (size + 15) & ~15u));
    if (!irp) {
        return nullptr;
    }
    IoInitializeIrp(irp, size, StackSize);
    std::lock_guard<std::mutex> guard(IrpLock());
    IrpState& state = StateOf(irp);
    state = IrpState();
    state.Allocated = true;
    return irp;
}

VOID IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize) {
    {
        std::lock_guard<std::mutex> guard(IrpLock());
        if (IrpState* state = FindState(Irp)) {
            state->Sent = false;
        }
    }
    memset(Irp, 0, PacketSize);
    Irp->Type = IO_TYPE_IRP;
    Irp->Size = PacketSize;
    Irp->StackCount = StackSize;
    Irp->CurrentLocation = static_cast<CHAR>(StackSize + 1);
    InitializeListHead(&Irp->ThreadListEntry);
    Irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(Irp + 1) + StackSize;
}

VOID IoReuseIrp(PIRP Irp, NTSTATUS Status) {
    if (IsFreed(Irp)) {
        HkVerifierStop(HkViolation::IrpUsedAfterCompletion, "IoReuseIrp: IRP %p was freed", Irp);
        return;
    }
    UCHAR allocationFlags = Irp->AllocationFlags;
    IoInitializeIrp(Irp, Irp->Size, Irp->StackCount);
    Irp->AllocationFlags = allocationFlags;
    Irp->IoStatus.Status = Status;
    std::lock_guard<std::mutex> guard(IrpLock());
    IrpState& state = StateOf(Irp);
    bool allocated = state.Allocated;
    int activeCalls = state.ActiveCalls;
    state = IrpState();
    state.Allocated = allocated;
    state.ActiveCalls = activeCalls;
}

VOID IoFreeIrp(PIRP Irp) {
    if (!Irp) {
        return;
    }
    std::lock_guard<std::mutex> guard(IrpLock());
    if (QuarantineSet().count(Irp)) {
        HkVerifierStop(HkViolation::DoubleFree, "IoFreeIrp: IRP %p freed twice", Irp);
        return;
    }
    IrpState* state = FindState(Irp);
    if (!state || !state->Allocated) {
        HkVerifierStop(HkViolation::BadPoolFree, "IoFreeIrp: %p did not come from IoAllocateIrp", Irp);
        return;
    }
    ReleaseIrp(Irp);
}

NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    KIRQL irql = KeGetCurrentIrql();
    if (irql > DISPATCH_LEVEL) {
        HkVerifierStop(HkViolation::IrqlTooHigh, "IofCallDriver called at IRQL %u", irql);
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (Irp && IsFreed(Irp)) {
        HkVerifierStop(HkViolation::IrpUsedAfterCompletion, "IofCallDriver: IRP %p sent after it was completed and freed",
                       Irp);
        return STATUS_INVALID_PARAMETER;
    }
    if (!DeviceObject || !Irp || Irp->Type != IO_TYPE_IRP) {
        HkVerifierStop(HkViolation::Other, "IofCallDriver: bad device %p or IRP %p", DeviceObject, Irp);
        return STATUS_INVALID_PARAMETER;
    }
    if (Irp->CurrentLocation <= 1) {
        HkVerifierStop(HkViolation::BugCheck, "NO_MORE_IRP_STACK_LOCATIONS: IRP %p (%d locations) sent to %p of %s",
                       Irp, Irp->StackCount, DeviceObject, DriverNameOf(DeviceObject).c_str());
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (Irp->CurrentLocation == Irp->StackCount + 1) {
        CheckFirstSend(Irp, irql);
    }
    if (IoGetNextIrpStackLocation(Irp)->MajorFunction == IRP_MJ_POWER &&
        !IoGetNextIrpStackLocation(Irp)->CompletionRoutine) {
        CheckPowerStarted(Irp, "passed on", 0, 0);
    }
    IoSetNextIrpStackLocation(Irp);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    stack->DeviceObject = DeviceObject;
    UCHAR major = stack->MajorFunction;
    if (major > IRP_MJ_MAXIMUM_FUNCTION || !DeviceObject->DriverObject->MajorFunction[major]) {
        HkVerifierStop(HkViolation::Other, "IofCallDriver: no dispatch routine for major function 0x%x in %s", major,
                       DriverNameOf(DeviceObject).c_str());
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    PDRIVER_DISPATCH dispatch = DeviceObject->DriverObject->MajorFunction[major];
    std::string who = DriverNameOf(DeviceObject);
    char what[64];
    snprintf(what, sizeof(what), "dispatch routine for major function 0x%x", major);
    const CHAR location = Irp->CurrentLocation;
    const bool top = location == Irp->StackCount;

    ULONG sequence;
    ULONG id;
    {
        std::lock_guard<std::mutex> guard(IrpLock());
        IrpState& state = StateOf(Irp);
        ++state.ActiveCalls;
        sequence = state.CompletionSeq;
        id = state.NextFrame++;
        LocationFlags(state, location) = 0;
        char irpText[32];
        snprintf(irpText, sizeof(irpText), " (IRP %p)", static_cast<void*>(Irp));
        state.Frames.push_back({id, location, (stack->Control & SL_PENDING_RETURNED) != 0, false, 0,
                                std::string(what) + " of " + who + irpText});
        if (major == IRP_MJ_POWER) {
            state.PowerNotStarted.push_back(location);
            state.LowestPower = location;
        }
    }
    CallFrame frame;
    NTSTATUS status = dispatch(DeviceObject, Irp);
    frame.Check(what, who.c_str());

    // From here on the IRP itself is not read: it may be completed and
    // freed already.
    std::vector<Report> reports;
    {
        std::lock_guard<std::mutex> guard(IrpLock());
        IrpState& state = StateOf(Irp);
        --state.ActiveCalls;
        if (status != STATUS_PENDING && state.CompletionSeq != sequence && state.CompletionStatus != status) {
            reports.push_back({HkViolation::DispatchStatusMismatch,
                               std::string(what) + " of " + who + " returned " + Hex(status) +
                                   " but completed the IRP with " + Hex(state.CompletionStatus)});
        }
        UCHAR& flags = LocationFlags(state, location);
        for (auto it = state.Frames.begin(); it != state.Frames.end(); ++it) {
            if (it->Id != id) {
                continue;
            }
            it->Returned = true;
            it->Status = status;
            if (flags & kUnwound) {
                if (CheckFrame(*it, &flags, &reports) && top) {
                    state.ForcePending = true;
                }
                state.Frames.erase(it);
            } else if (status != STATUS_PENDING) {
                if (!(flags & kReported)) {
                    flags |= kReported;
                    reports.push_back({HkViolation::IrpReturnedNotCompleted,
                                       it->What + " returned " + Hex(status) +
                                           " without completing the IRP or passing it to a driver that did"});
                }
                state.Frames.erase(it);
            }
            break;
        }
        if (state.ActiveCalls == 0 && state.Freed) {
            Irps().erase(Irp);
        }
    }
    Issue(reports);
    return status;
}

VOID IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
    KIRQL irql = KeGetCurrentIrql();
    if (irql > DISPATCH_LEVEL) {
        HkVerifierStop(HkViolation::IrqlTooHigh, "IofCompleteRequest called at IRQL %u", irql);
        return;
    }
    if (!Irp || IsFreed(Irp)) {
        HkVerifierStop(HkViolation::IrpCompletedTwice, "IRP %p completed after it was freed", Irp);
        return;
    }
    if (Irp->Type != IO_TYPE_IRP || Irp->CurrentLocation > Irp->StackCount + 1) {
        HkVerifierStop(HkViolation::IrpCompletedTwice, "MULTIPLE_IRP_COMPLETE_REQUESTS: IRP %p completed twice",
                       Irp);
        return;
    }
    if (Irp->IoStatus.Status == STATUS_PENDING || Irp->IoStatus.Status == -1) {
        HkVerifierStop(HkViolation::IrpCompletedPending, "IRP %p completed with status 0x%08lx", Irp,
                       static_cast<unsigned long>(Irp->IoStatus.Status));
        return;
    }
    // Driver Verifier's I/O check 0x07: "The driver called IoCompleteRequest
    // while its cancel routine was still set."
    if (Irp->CancelRoutine) {
        HkVerifierStop(HkViolation::CompletedWithCancelRoutine,
                       "IRP %p completed with its cancel routine %p still set", Irp,
                       reinterpret_cast<void*>(Irp->CancelRoutine));
        IoSetCancelRoutine(Irp, nullptr);
    }
    if (Irp->CurrentLocation <= Irp->StackCount && IoGetCurrentIrpStackLocation(Irp)->MajorFunction == IRP_MJ_POWER) {
        CheckPowerStarted(Irp, "completed", Irp->CurrentLocation, Irp->CurrentLocation);
    }
    {
        std::lock_guard<std::mutex> guard(IrpLock());
        IrpState& state = StateOf(Irp);
        ++state.CompletionSeq;
        state.CompletionStatus = Irp->IoStatus.Status;
    }

    HkDelayAt(HkDelayPoint::IrpComplete);  // delay injection (hk/delay.h)
    // Completion routines run bottom-up, each in the location below the
    // driver that set it; STATUS_MORE_PROCESSING_REQUIRED hands the IRP back.
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    for (IoSkipCurrentIrpStackLocation(Irp); Irp->CurrentLocation <= Irp->StackCount + 1;
         ++stack, IoSkipCurrentIrpStackLocation(Irp)) {
        UCHAR control = PassLocation(Irp, stack, static_cast<CHAR>(Irp->CurrentLocation - 1));
        Irp->PendingReturned = (control & SL_PENDING_RETURNED) != 0;
        NTSTATUS status = Irp->IoStatus.Status;
        PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
        PVOID context = stack->Context;
        bool invoke = routine && ((NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS)) ||
                                  (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR)) ||
                                  (Irp->Cancel && (control & SL_INVOKE_ON_CANCEL)));
        stack->MinorFunction = 0;
        stack->Flags = 0;
        stack->Control = 0;
        memset(&stack->Parameters, 0, sizeof(stack->Parameters));
        stack->FileObject = nullptr;
        stack->CompletionRoutine = nullptr;
        stack->Context = nullptr;
        if (invoke) {
            CheckPowerStarted(Irp, "handed to a completion routine", 1, static_cast<CHAR>(Irp->CurrentLocation - 1));
            PDEVICE_OBJECT device = Irp->CurrentLocation == Irp->StackCount + 1
                                        ? nullptr
                                        : IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
            std::string who = device ? DriverNameOf(device) : std::string("the IRP's owner");
            CallFrame frame;
            NTSTATUS result = routine(device, Irp, context);
            frame.Check("completion routine", who.c_str());
            if (result == STATUS_MORE_PROCESSING_REQUIRED) {
                return;
            }
            if (IsFreed(Irp)) {
                HkVerifierStop(HkViolation::IrpUsedAfterCompletion,
                               "completion routine of %s freed IRP %p but returned 0x%08lx, not "
                               "STATUS_MORE_PROCESSING_REQUIRED",
                               who.c_str(), Irp, static_cast<unsigned long>(result));
                return;
            }
        } else if (Irp->CurrentLocation <= Irp->StackCount && Irp->PendingReturned) {
            IoMarkIrpPending(Irp);
        }
    }

    CheckPowerStarted(Irp, "completed", 1, 127);
    if (IsOwnerIrp(Irp)) {
        HkVerifierStop(HkViolation::Other,
                       "IRP %p from IoAllocateIrp completed to its end: its sender needs a completion routine that "
                       "returns STATUS_MORE_PROCESSING_REQUIRED and frees it",
                       Irp);
        return;
    }
    FinishCompleted(Irp);
}

// ---------------------------------------------------------------- cancellation

VOID IoAcquireCancelSpinLock(PKIRQL Irql) {
    KeAcquireSpinLock(&g_cancelLock, Irql);
}

VOID IoReleaseCancelSpinLock(KIRQL Irql) {
    KeReleaseSpinLock(&g_cancelLock, Irql);
}

BOOLEAN IoCancelIrp(PIRP Irp) {
    if (IsFreed(Irp)) {
        HkVerifierStop(HkViolation::IrpUsedAfterCompletion, "IoCancelIrp: IRP %p was completed and freed", Irp);
        return FALSE;
    }
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    Irp->Cancel = TRUE;
    PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
    if (!routine) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    Irp->CancelIrql = irql;
    // The cancel routine releases the cancel spin lock.
    routine(IoGetCurrentIrpStackLocation(Irp)->DeviceObject, Irp);
    return TRUE;
}

void hkio::PowerIrpStarted(PIRP irp) {
    std::lock_guard<std::mutex> guard(IrpLock());
    if (IrpState* state = FindState(irp)) {
        TakeOwedLocked(*state, irp->CurrentLocation, irp->CurrentLocation);
    }
}

size_t HkIoLiveIrpCount() {
    std::lock_guard<std::mutex> guard(IrpLock());
    size_t count = 0;
    for (auto& entry : Irps()) {
        count += entry.second.Allocated && !entry.second.Freed;
    }
    return count;
}

bool HkIoIrpCompleted(PIRP irp) {
    std::lock_guard<std::mutex> guard(IrpLock());
    if (QuarantineSet().count(irp)) {
        return true;
    }
    IrpState* state = FindState(irp);
    return state && state->PastStack;
}
