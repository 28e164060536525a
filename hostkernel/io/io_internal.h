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

// Marks an IRP as one that the I/O manager finishes and frees at the end of
// its completion (copy-back, UserIosb, UserEvent); outputLength bounds the
// buffered copy-back.
void MarkThreadIrp(PIRP irp, ULONG outputLength);

// Sends an IRP the I/O manager built to the device and waits for it.
NTSTATUS SendSynchronous(PDEVICE_OBJECT device, PIRP irp, ULONG_PTR* information);

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

constexpr ULONG kSystemBufferTag = 'bSoI';  // "IoSb" in memory

}  // namespace hkio
