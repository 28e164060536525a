// I/O manager internals shared by the io and user components.
#pragma once
#include <ntddk.h>

#include <mutex>
#include <string>

#include "hk/io.h"
#include "hk/thread.h"

// DEVOBJ_EXTENSION.ExtensionFlags
#define DOE_UNLOAD_PENDING 0x00000001
#define DOE_DELETE_PENDING 0x00000002
#define DOE_REMOVE_PENDING 0x00000004
#define DOE_REMOVE_PROCESSED 0x00000008

#define IO_TYPE_DEVICE_OBJECT_EXTENSION 13

namespace hkio {

// What DEVICE_OBJECT.DeviceObjectExtension points to.
struct DeviceObjectExtension {
    DEVOBJ_EXTENSION Public;
    ULONG ExtensionFlags;        // under DatabaseLock
    PDEVICE_OBJECT AttachedTo;   // under DatabaseLock
    void* DeviceNode;
    ULONG ExtensionSize;
    bool DeleteCompleted;        // unlinked from its driver, creation reference dropped
    bool OpenBlocked;
};

inline DeviceObjectExtension* ExtensionOf(PDEVICE_OBJECT device) {
    return reinterpret_cast<DeviceObjectExtension*>(device->DeviceObjectExtension);
}

// Device stacks, driver device lists, open counts.
std::recursive_mutex& DatabaseLock();
void EnsureIo();

// Finishes a deleted device once no file object is open on it and nothing
// is attached to it any more.
void MaybeCompleteDelete(PDEVICE_OBJECT device);

// IoAllocateIrp without failure injection: the I/O manager's cleanup and
// close requests draw on a reserve on the platform and never fail.
PIRP AllocateIrpMustSucceed(CCHAR stackSize);

// How the I/O manager finishes an IRP once its last completion routine ran.
enum class IrpFinish {
    // IoAllocateIrp: the sender takes it back in a completion routine.
    Owner,
    // Threaded requests (IoBuildSynchronousFsdRequest,
    // IoBuildDeviceIoControlRequest, device control of user calls): an APC
    // in the issuing thread copies the output back, sets the status block and
    // event and frees the IRP; completed in that thread at PASSIVE_LEVEL, it
    // runs before IoCompleteRequest returns.
    Thread,
    // User calls with deferred completion (create, read, write): when the
    // dispatch routine did not return STATUS_PENDING the caller finishes the
    // IRP after it returned; when it did, an APC in the issuing thread does.
    Deferred,
    // Cleanup and close: status block and event are set at completion; the
    // caller frees the IRP.
    Close,
};

// Marks an IRP the I/O manager built for the calling thread; outputLength
// bounds the buffered copy-back.
void MarkRequestIrp(PIRP irp, IrpFinish finish, ULONG outputLength);

// A buffered transfer: a non-paged system buffer of `length` bytes gets
// `input` (inputLength bytes); with readsBack the output goes back to
// `output` when the request is finished.
bool SetUpBuffered(PIRP irp, const void* input, ULONG inputLength, void* output, ULONG length, bool readsBack);

// Sends a user call's IRP (IrpFinish::Deferred or Thread) and waits for the
// I/O manager to finish it; the IRP is gone on return. *information is 0 on
// an error status.
NTSTATUS SendUserRequest(PDEVICE_OBJECT device, PIRP irp, ULONG_PTR* information);
// Sends a cleanup or close IRP (IrpFinish::Close), waits for it, frees it.
void SendCloseRequest(PDEVICE_OBJECT device, PIRP irp);

// Between the IRP bookkeeping and the requests built for a thread.
// The final steps of a Thread or Deferred IRP: buffered copy-back, the
// caller's status block, the free, then the caller's event.
void FinishRequest(PIRP irp);
ULONG RequestOutputLength(PIRP irp);
// Frees an IRP the I/O manager allocated: its memory is poisoned at once
// and kept for a while, so a late touch is caught.
void FreeIrpMemory(PIRP irp);
// Who finishes a user call's IRP, asked once its dispatch routine returned:
// the caller (completed without pending), an APC (queued or done already),
// or nobody yet (not completed).
enum class RequestEnd { Open, Caller, Apc };
RequestEnd ClaimRequest(PIRP irp);

// Opens a device object by NT path for a user-mode caller; the handle goes
// into the current process's table.
NTSTATUS OpenDeviceFile(const std::u16string& path, HANDLE* handle);

// Thread state around calls into drivers: a stop for what the call left
// behind (IRQL, fast mutexes, spin locks, critical region).
struct CallFrame {
    HkThreadState Before;
    explicit CallFrame() : Before(HkThreadGetState()) {}
    void Check(const char* what, const char* who) const;
};

std::string DriverNameOf(PDEVICE_OBJECT device);

// PoStartNextPowerIrp by the driver at the IRP's current location.
void PowerIrpStarted(PIRP irp);

constexpr ULONG kSystemBufferTag = 'bSoI';  // "IoSb" in memory

}  // namespace hkio
