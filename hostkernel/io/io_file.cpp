// I/O manager: file objects. Opening a device sends IRP_MJ_CREATE to the
// top of its stack; the last handle sends IRP_MJ_CLEANUP, the last reference
// IRP_MJ_CLOSE.
#include <stdlib.h>
#include <string.h>

#include "hk/verifier.h"
#include "io/io_internal.h"
#include "ob/ob_internal.h"

namespace hkio {
namespace {

// The file object and what the I/O manager keeps next to it.
struct FileBody {
    FILE_OBJECT Object;
    PDEVICE_OBJECT CountedDevice;  // whose ReferenceCount this file holds
};

// Sends IRP_MJ_CLEANUP or IRP_MJ_CLOSE for a file object and waits.
void SendFileRequest(PFILE_OBJECT file, UCHAR major) {
    PDEVICE_OBJECT top = IoGetAttachedDevice(file->DeviceObject);
    PIRP irp = AllocateIrpMustSucceed(top->StackSize);
    irp->Flags = IRP_SYNCHRONOUS_API | IRP_CLOSE_OPERATION;
    irp->RequestorMode = KernelMode;
    irp->Tail.Overlay.Thread = reinterpret_cast<struct _ETHREAD*>(KeGetCurrentThread());
    irp->Tail.Overlay.OriginalFileObject = file;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = major;
    stack->FileObject = file;
    MarkRequestIrp(irp, IrpFinish::Close, 0);
    SendCloseRequest(top, irp);
}

void CloseFileProcedure(PVOID body, ULONG_PTR handlesLeft) {
    auto file = static_cast<PFILE_OBJECT>(body);
    if (handlesLeft == 0 && file->DeviceObject) {
        SendFileRequest(file, IRP_MJ_CLEANUP);
    }
}

void DeleteFileProcedure(PVOID body) {
    auto* fileBody = static_cast<FileBody*>(body);
    PFILE_OBJECT file = &fileBody->Object;
    if (file->DeviceObject) {
        SendFileRequest(file, IRP_MJ_CLOSE);
    }
    free(file->FileName.Buffer);
    PDEVICE_OBJECT device = fileBody->CountedDevice;
    if (device) {
        {
            std::lock_guard<std::recursive_mutex> guard(DatabaseLock());
            --device->ReferenceCount;
        }
        MaybeCompleteDelete(device);
    }
}

POBJECT_TYPE CreateFileObjectType() {
    static POBJECT_TYPE type = HkObCreateType("File", &DeleteFileProcedure, &CloseFileProcedure);
    return type;
}

// Counts an open on the device the name led to, as the platform checks it.
NTSTATUS CountOpen(PDEVICE_OBJECT device) {
    std::lock_guard<std::recursive_mutex> guard(DatabaseLock());
    DeviceObjectExtension* extension = ExtensionOf(device);
    if ((extension->ExtensionFlags & (DOE_UNLOAD_PENDING | DOE_DELETE_PENDING | DOE_REMOVE_PENDING |
                                      DOE_REMOVE_PROCESSED)) ||
        extension->OpenBlocked || (device->Flags & DO_DEVICE_INITIALIZING)) {
        return STATUS_NO_SUCH_DEVICE;
    }
    if ((device->Flags & DO_EXCLUSIVE) && device->ReferenceCount != 0) {
        return STATUS_ACCESS_DENIED;
    }
    ++device->ReferenceCount;
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS OpenDeviceFile(const std::u16string& path, HANDLE* handle) {
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        HkVerifierStop(HkViolation::IrqlTooHigh, "opening a file above PASSIVE_LEVEL");
        return STATUS_INVALID_DEVICE_STATE;
    }
    EnsureIo();
    UNICODE_STRING name = hkob::Counted(path);
    PVOID object = nullptr;
    std::u16string remaining;
    NTSTATUS status = HkObReferenceObjectByName(&name, OBJ_CASE_INSENSITIVE, nullptr, &object, &remaining);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (HkObGetObjectType(object) != *IoDeviceObjectType) {
        ObfDereferenceObject(object);
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    auto device = static_cast<PDEVICE_OBJECT>(object);
    status = CountOpen(device);
    if (!NT_SUCCESS(status)) {
        ObfDereferenceObject(object);
        return status;
    }

    PVOID body = nullptr;
    status = HkObCreateObject(*IoFileObjectType, sizeof(FileBody), &body);
    if (!NT_SUCCESS(status)) {
        {
            std::lock_guard<std::recursive_mutex> guard(DatabaseLock());
            --device->ReferenceCount;
        }
        MaybeCompleteDelete(device);
        ObfDereferenceObject(object);
        return status;
    }
    auto* fileBody = static_cast<FileBody*>(body);
    PFILE_OBJECT file = &fileBody->Object;
    file->Type = IO_TYPE_FILE;
    file->Size = sizeof(FILE_OBJECT);
    file->DeviceObject = device;
    file->ReadAccess = TRUE;
    file->WriteAccess = TRUE;
    InitializeListHead(&file->IrpList);
    fileBody->CountedDevice = device;
    if (!remaining.empty()) {
        size_t bytes = remaining.size() * sizeof(WCHAR);
        file->FileName.Buffer = static_cast<PWSTR>(calloc(1, bytes + sizeof(WCHAR)));
        memcpy(file->FileName.Buffer, remaining.data(), bytes);
        file->FileName.Length = static_cast<USHORT>(bytes);
        file->FileName.MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
    }
    // The file object keeps the device through its open count from here.
    ObfDereferenceObject(object);

    PDEVICE_OBJECT top = IoGetAttachedDevice(device);
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    if (!irp) {
        file->DeviceObject = nullptr;
        ObfDereferenceObject(body);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    IO_SECURITY_CONTEXT security = {};
    security.DesiredAccess = GENERIC_READ | GENERIC_WRITE;
    irp->Flags = IRP_CREATE_OPERATION | IRP_SYNCHRONOUS_API | IRP_DEFER_IO_COMPLETION;
    irp->RequestorMode = UserMode;
    irp->Tail.Overlay.Thread = reinterpret_cast<struct _ETHREAD*>(KeGetCurrentThread());
    irp->Tail.Overlay.OriginalFileObject = file;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_CREATE;
    stack->Parameters.Create.SecurityContext = &security;
    stack->Parameters.Create.Options = 1u << 24;  // FILE_OPEN
    stack->FileObject = file;
    MarkRequestIrp(irp, IrpFinish::Deferred, 0);
    status = SendUserRequest(top, irp, nullptr);
    if (!NT_SUCCESS(status)) {
        // A failed create gets no IRP_MJ_CLOSE.
        file->DeviceObject = nullptr;
        ObfDereferenceObject(body);
        return status;
    }
    status = HkObInsertHandle(body, GENERIC_READ | GENERIC_WRITE, 0, handle);
    ObfDereferenceObject(body);
    return status;
}

}  // namespace hkio

static POBJECT_TYPE g_fileType = hkio::CreateFileObjectType();
POBJECT_TYPE* IoFileObjectType = &g_fileType;
