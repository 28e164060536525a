// I/O manager: IRPs. Allocation, sending down a stack, completion with
// completion routines, cancellation, and the requests the I/O manager
// builds for a thread.
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <deque>
#include <unordered_map>
#include <unordered_set>

#include "hk/delay.h"
#include "hk/fault.h"
#include "hk/reset.h"
#include "hk/verifier.h"
#include "io/io_internal.h"

namespace hkio {
namespace {

// What the I/O manager tracks per IRP beside the IRP itself.
struct IrpState {
    bool Allocated = false;     // from IoAllocateIrp (ours to free)
    bool ThreadIrp = false;     // finished and freed by the I/O manager
    ULONG OutputLength = 0;     // bound of the buffered copy-back
    int ActiveCalls = 0;        // IofCallDriver frames on the stack
    bool FreePending = false;   // freed while a call frame was active
    ULONG CompletionSeq = 0;
    NTSTATUS CompletionStatus = 0;
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

// Freed IRPs are kept poisoned for a while so a late completion is caught.
std::deque<PIRP>& Quarantine() {
    static auto* q = new std::deque<PIRP>;
    return *q;
}
std::unordered_set<PIRP>& QuarantineSet() {
    static auto* s = new std::unordered_set<PIRP>;
    return *s;
}

KSPIN_LOCK g_cancelLock = 0;
bool g_hookRegistered = false;

void ResetHook() {
    std::lock_guard<std::mutex> guard(IrpLock());
    for (auto& entry : Irps()) {
        if (entry.second.Allocated) {
            free(entry.first);
        }
    }
    Irps().clear();
    for (PIRP irp : Quarantine()) {
        free(irp);
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

// Under IrpLock.
void ReleaseIrp(PIRP irp) {
    auto it = Irps().find(irp);
    bool allocated = it != Irps().end() && it->second.Allocated;
    if (it != Irps().end()) {
        Irps().erase(it);
    }
    if (!allocated) {
        return;
    }
    memset(irp, 0xDD, irp->Size);
    Quarantine().push_back(irp);
    QuarantineSet().insert(irp);
    if (Quarantine().size() > kQuarantine) {
        PIRP oldest = Quarantine().front();
        Quarantine().pop_front();
        QuarantineSet().erase(oldest);
        free(oldest);
    }
}

// Frees now, or when the last call frame on the IRP returns.
void FreeOrDefer(PIRP irp) {
    std::lock_guard<std::mutex> guard(IrpLock());
    auto it = Irps().find(irp);
    if (it != Irps().end() && it->second.ActiveCalls > 0) {
        it->second.FreePending = true;
        return;
    }
    ReleaseIrp(irp);
}

bool IsFreed(PIRP irp) {
    std::lock_guard<std::mutex> guard(IrpLock());
    return QuarantineSet().count(irp) != 0;
}

// The I/O manager's part after the last completion routine of a thread IRP:
// buffered copy-back, the caller's status block and event, the free.
void FinishThreadIrp(PIRP irp, ULONG outputLength) {
    if (irp->Flags & IRP_BUFFERED_IO) {
        if ((irp->Flags & IRP_INPUT_OPERATION) && !NT_ERROR(irp->IoStatus.Status) && irp->IoStatus.Information) {
            ULONG_PTR count = irp->IoStatus.Information;
            if (count > outputLength) {
                HkVerifierStop(HkViolation::Other,
                               "IRP %p completed with Information %llu, more than its output buffer of %lu bytes",
                               irp, static_cast<unsigned long long>(count), static_cast<unsigned long>(outputLength));
                count = outputLength;
            }
            if (irp->UserBuffer && irp->AssociatedIrp.SystemBuffer) {
                memcpy(irp->UserBuffer, irp->AssociatedIrp.SystemBuffer, count);
            }
        }
        if ((irp->Flags & IRP_DEALLOCATE_BUFFER) && irp->AssociatedIrp.SystemBuffer) {
            ExFreePoolWithTag(irp->AssociatedIrp.SystemBuffer, kSystemBufferTag);
            irp->AssociatedIrp.SystemBuffer = nullptr;
        }
    }
    if (irp->UserIosb) {
        *irp->UserIosb = irp->IoStatus;
    }
    PKEVENT event = irp->UserEvent;
    FreeOrDefer(irp);
    if (event) {
        KeSetEvent(event, IO_NO_INCREMENT, FALSE);
    }
}

PIRP AllocateThreadIrp(PDEVICE_OBJECT device, ULONG majorFunction, PKEVENT event, PIO_STATUS_BLOCK iosb) {
    if (KeGetCurrentIrql() > APC_LEVEL) {
        HkVerifierStop(HkViolation::IrqlTooHigh, "building a synchronous IRP above APC_LEVEL");
        return nullptr;
    }
    if (!device) {
        return nullptr;
    }
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    if (!irp) {
        return nullptr;
    }
    irp->UserEvent = event;
    irp->UserIosb = iosb;
    irp->RequestorMode = KernelMode;
    irp->Tail.Overlay.Thread = reinterpret_cast<struct _ETHREAD*>(KeGetCurrentThread());
    IoGetNextIrpStackLocation(irp)->MajorFunction = static_cast<UCHAR>(majorFunction);
    MarkThreadIrp(irp, 0);
    return irp;
}

// A buffered transfer: the system buffer holds `length` bytes, `input`
// copied in (inputLength of them); output goes back to `output`.
bool SetUpBuffered(PIRP irp, PVOID input, ULONG inputLength, PVOID output, ULONG length, bool readsBack) {
    if (length) {
        PVOID buffer = ExAllocatePoolWithTag(NonPagedPool, length, kSystemBufferTag);
        if (!buffer) {
            return false;
        }
        if (input && inputLength) {
            memcpy(buffer, input, inputLength);
        }
        irp->AssociatedIrp.SystemBuffer = buffer;
        irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
    }
    if (readsBack) {
        irp->Flags |= IRP_INPUT_OPERATION;
    }
    irp->UserBuffer = output;
    return true;
}

}  // namespace

void MarkThreadIrp(PIRP irp, ULONG outputLength) {
    std::lock_guard<std::mutex> guard(IrpLock());
    IrpState& state = StateOf(irp);
    state.ThreadIrp = true;
    state.OutputLength = outputLength;
}

NTSTATUS SendSynchronous(PDEVICE_OBJECT device, PIRP irp, ULONG_PTR* information) {
    KEVENT event;
    IO_STATUS_BLOCK iosb = {};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    irp->UserEvent = &event;
    irp->UserIosb = &iosb;
    NTSTATUS status = IofCallDriver(device, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = iosb.Status;
    }
    if (information) {
        *information = NT_ERROR(status) ? 0 : iosb.Information;
    }
    return status;
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
    StateOf(irp).Allocated = true;
    return irp;
}

VOID IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize) {
    memset(Irp, 0, PacketSize);
    Irp->Type = IO_TYPE_IRP;
    Irp->Size = PacketSize;
    Irp->StackCount = StackSize;
    Irp->CurrentLocation = static_cast<CHAR>(StackSize + 1);
    InitializeListHead(&Irp->ThreadListEntry);
    Irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(Irp + 1) + StackSize;
}

VOID IoReuseIrp(PIRP Irp, NTSTATUS Status) {
    UCHAR allocationFlags = Irp->AllocationFlags;
    IoInitializeIrp(Irp, Irp->Size, Irp->StackCount);
    Irp->AllocationFlags = allocationFlags;
    Irp->IoStatus.Status = Status;
    std::lock_guard<std::mutex> guard(IrpLock());
    IrpState& state = StateOf(Irp);
    state.ThreadIrp = false;
    state.OutputLength = 0;
}

VOID IoFreeIrp(PIRP Irp) {
    if (!Irp) {
        return;
    }
    {
        std::lock_guard<std::mutex> guard(IrpLock());
        if (QuarantineSet().count(Irp)) {
            HkVerifierStop(HkViolation::DoubleFree, "IoFreeIrp: IRP %p freed twice", Irp);
            return;
        }
        auto it = Irps().find(Irp);
        if (it == Irps().end() || !it->second.Allocated) {
            HkVerifierStop(HkViolation::BadPoolFree, "IoFreeIrp: %p did not come from IoAllocateIrp", Irp);
            return;
        }
    }
    FreeOrDefer(Irp);
}

NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    KIRQL irql = KeGetCurrentIrql();
    if (irql > DISPATCH_LEVEL) {
        HkVerifierStop(HkViolation::IrqlTooHigh, "IofCallDriver called at IRQL %u", irql);
        return STATUS_INVALID_DEVICE_STATE;
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

    ULONG sequence;
    {
        std::lock_guard<std::mutex> guard(IrpLock());
        IrpState& state = StateOf(Irp);
        ++state.ActiveCalls;
        sequence = state.CompletionSeq;
    }
    CallFrame frame;
    NTSTATUS status = dispatch(DeviceObject, Irp);
    char what[64];
    snprintf(what, sizeof(what), "dispatch routine for major function 0x%x", major);
    frame.Check(what, who.c_str());

    bool mismatch = false;
    NTSTATUS completed = 0;
    bool freeNow = false;
    {
        std::lock_guard<std::mutex> guard(IrpLock());
        IrpState& state = StateOf(Irp);
        --state.ActiveCalls;
        if (status != STATUS_PENDING && state.CompletionSeq != sequence && state.CompletionStatus != status) {
            mismatch = true;
            completed = state.CompletionStatus;
        }
        freeNow = state.ActiveCalls == 0 && state.FreePending;
        if (freeNow) {
            ReleaseIrp(Irp);
        }
    }
    if (mismatch) {
        HkVerifierStop(HkViolation::DispatchStatusMismatch,
                       "%s of %s returned 0x%08lx but completed the IRP with 0x%08lx", what, who.c_str(),
                       static_cast<unsigned long>(status), static_cast<unsigned long>(completed));
    }
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
        Irp->PendingReturned = (stack->Control & SL_PENDING_RETURNED) != 0;
        NTSTATUS status = Irp->IoStatus.Status;
        UCHAR control = stack->Control;
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
        } else if (Irp->CurrentLocation <= Irp->StackCount && Irp->PendingReturned) {
            IoMarkIrpPending(Irp);
        }
    }

    bool threadIrp;
    ULONG outputLength;
    {
        std::lock_guard<std::mutex> guard(IrpLock());
        IrpState& state = StateOf(Irp);
        threadIrp = state.ThreadIrp;
        outputLength = state.OutputLength;
    }
    if (!threadIrp) {
        HkVerifierStop(HkViolation::Other,
                       "IRP %p from IoAllocateIrp completed to its end: its sender needs a completion routine that "
                       "returns STATUS_MORE_PROCESSING_REQUIRED and frees it",
                       Irp);
        return;
    }
    FinishThreadIrp(Irp, outputLength);
}

// ---------------------------------------------------------------- cancellation

VOID IoAcquireCancelSpinLock(PKIRQL Irql) {
    KeAcquireSpinLock(&g_cancelLock, Irql);
}

VOID IoReleaseCancelSpinLock(KIRQL Irql) {
    KeReleaseSpinLock(&g_cancelLock, Irql);
}

BOOLEAN IoCancelIrp(PIRP Irp) {
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

// ---------------------------------------------------------------- requests built for a thread

PIRP IoBuildSynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject, PVOID Buffer, ULONG Length,
                                  PLARGE_INTEGER StartingOffset, PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock) {
    PIRP irp = AllocateThreadIrp(DeviceObject, MajorFunction, Event, IoStatusBlock);
    if (!irp) {
        return nullptr;
    }
    if (MajorFunction == IRP_MJ_READ || MajorFunction == IRP_MJ_WRITE) {
        bool read = MajorFunction == IRP_MJ_READ;
        if (DeviceObject->Flags & DO_BUFFERED_IO) {
            if (!SetUpBuffered(irp, read ? nullptr : Buffer, read ? 0 : Length, Buffer, Length, read)) {
                FreeOrDefer(irp);
                return nullptr;
            }
            MarkThreadIrp(irp, Length);
        } else {
            irp->UserBuffer = Buffer;
        }
        PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
        stack->Parameters.Read.Length = Length;
        if (StartingOffset) {
            stack->Parameters.Read.ByteOffset = *StartingOffset;
        }
    }
    return irp;
}

PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                   ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                   BOOLEAN InternalDeviceIoControl, PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock) {
    PIRP irp = AllocateThreadIrp(DeviceObject,
                                 InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL,
                                 Event, IoStatusBlock);
    if (!irp) {
        return nullptr;
    }
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
    stack->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
    stack->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
    ULONG method = METHOD_FROM_CTL_CODE(IoControlCode);
    if (method == METHOD_NEITHER) {
        stack->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
        irp->UserBuffer = OutputBuffer;
        return irp;
    }
    // Direct methods buffer their input here too; their output is not mapped
    // on the host and goes through UserBuffer.
    bool buffered = method == METHOD_BUFFERED;
    ULONG length = buffered ? std::max(InputBufferLength, OutputBufferLength) : InputBufferLength;
    if (!SetUpBuffered(irp, InputBuffer, InputBufferLength, OutputBuffer, length,
                       buffered && OutputBufferLength != 0)) {
        FreeOrDefer(irp);
        return nullptr;
    }
    MarkThreadIrp(irp, buffered ? OutputBufferLength : 0);
    return irp;
}

size_t HkIoLiveIrpCount() {
    std::lock_guard<std::mutex> guard(IrpLock());
    size_t count = 0;
    for (auto& entry : Irps()) {
        count += entry.second.Allocated;
    }
    return count;
}
