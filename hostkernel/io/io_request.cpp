// I/O manager: requests it builds for a thread (threaded IRPs of drivers and
// the IRPs of user calls), sent, waited for and finished as Windows does.
#include <string.h>

#include <algorithm>

#include "hk/verifier.h"
#include "io/io_internal.h"

namespace hkio {
namespace {

PIRP AllocateThreadIrp(const char* routine, PDEVICE_OBJECT device, ULONG majorFunction, PKEVENT event,
                       PIO_STATUS_BLOCK iosb) {
    // The I/O manager finishes a threaded IRP in an APC to the thread that
    // built it, which a thread above PASSIVE_LEVEL cannot take: such IRPs
    // are built, sent and waited for at PASSIVE_LEVEL.
    KIRQL irql = KeGetCurrentIrql();
    if (irql != PASSIVE_LEVEL) {
        HkVerifierStop(HkViolation::ThreadIrpAtRaisedIrql, "%s at IRQL %u: threaded IRPs are built at PASSIVE_LEVEL",
                       routine, irql);
        if (irql > APC_LEVEL) {
            return nullptr;
        }
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
    MarkRequestIrp(irp, IrpFinish::Thread, 0);
    return irp;
}

}  // namespace

bool SetUpBuffered(PIRP irp, const void* input, ULONG inputLength, void* output, ULONG length, bool readsBack) {
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

namespace {

// The caller's status block and event of a request the I/O manager sends.
struct Caller {
    KEVENT Event;
    IO_STATUS_BLOCK Iosb = {};
    explicit Caller(PIRP irp) {
        KeInitializeEvent(&Event, NotificationEvent, FALSE);
        irp->UserEvent = &Event;
        irp->UserIosb = &Iosb;
    }
    void Wait() { KeWaitForSingleObject(&Event, Executive, KernelMode, FALSE, nullptr); }
};

}  // namespace

void FinishRequest(PIRP irp) {
    ULONG outputLength = RequestOutputLength(irp);
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
    FreeIrpMemory(irp);
    if (event) {
        KeSetEvent(event, IO_NO_INCREMENT, FALSE);
    }
}

NTSTATUS SendUserRequest(PDEVICE_OBJECT device, PIRP irp, ULONG_PTR* information) {
    Caller caller(irp);
    NTSTATUS status = IofCallDriver(device, irp);
    switch (ClaimRequest(irp)) {
    case RequestEnd::Caller:
        // Completed without pending: finished here, in the caller's thread.
        FinishRequest(irp);
        break;
    case RequestEnd::Apc:
        caller.Wait();
        break;
    case RequestEnd::Open:
        // Returned pending and not completed yet: the APC ends the wait. A
        // dispatch routine that returned anything else without completing
        // the IRP has been reported; the request cannot end.
        if (status != STATUS_PENDING) {
            if (information) {
                *information = 0;
            }
            return status;
        }
        caller.Wait();
        break;
    }
    if (status == STATUS_PENDING) {
        status = caller.Iosb.Status;
    }
    if (information) {
        *information = NT_ERROR(status) ? 0 : caller.Iosb.Information;
    }
    return status;
}

void SendCloseRequest(PDEVICE_OBJECT device, PIRP irp) {
    Caller caller(irp);
    NTSTATUS status = IofCallDriver(device, irp);
    if (status != STATUS_PENDING && ClaimRequest(irp) == RequestEnd::Open) {
        return;  // returned without completing it (reported): it cannot be freed
    }
    caller.Wait();
    FreeIrpMemory(irp);
}

}  // namespace hkio

using namespace hkio;

PIRP IoBuildSynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject, PVOID Buffer, ULONG Length,
                                  PLARGE_INTEGER StartingOffset, PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock) {
    PIRP irp = AllocateThreadIrp("IoBuildSynchronousFsdRequest", DeviceObject, MajorFunction, Event, IoStatusBlock);
    if (!irp) {
        return nullptr;
    }
    if (MajorFunction == IRP_MJ_READ || MajorFunction == IRP_MJ_WRITE) {
        bool read = MajorFunction == IRP_MJ_READ;
        if (DeviceObject->Flags & DO_BUFFERED_IO) {
            if (!SetUpBuffered(irp, read ? nullptr : Buffer, read ? 0 : Length, Buffer, Length, read)) {
                FreeIrpMemory(irp);
                return nullptr;
            }
            MarkRequestIrp(irp, IrpFinish::Thread, Length);
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
    PIRP irp = AllocateThreadIrp("IoBuildDeviceIoControlRequest", DeviceObject,
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
        FreeIrpMemory(irp);
        return nullptr;
    }
    MarkRequestIrp(irp, IrpFinish::Thread, buffered ? OutputBufferLength : 0);
    return irp;
}
