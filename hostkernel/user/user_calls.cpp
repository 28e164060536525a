// User-mode calls: CreateFile, DeviceIoControl, ReadFile, WriteFile and
// CloseHandle on device names, as a Win32 program makes them.

#include <algorithm>

#include "hk/user.h"
#include "hk/verifier.h"
#include "io/io_internal.h"
#include "ob/ob_internal.h"

namespace {

// Win32 device paths: \\.\NAME and \\?\NAME mean \??\NAME, a bare NAME too.
NTSTATUS ToNtPath(PCWSTR win32Path, std::u16string* path) {
    std::u16string text = hkob::Text(win32Path);
    if (text.empty()) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    if (text.compare(0, 4, u"\\\\.\\") == 0 || text.compare(0, 4, u"\\\\?\\") == 0) {
        *path = u"\\??\\" + text.substr(4);
    } else if (text.compare(0, 2, u"\\\\") == 0) {
        return STATUS_OBJECT_PATH_SYNTAX_BAD;
    } else if (text[0] == u'\\') {
        *path = text;
    } else {
        *path = u"\\??\\" + text;
    }
    return STATUS_SUCCESS;
}

NTSTATUS ReferenceFile(HANDLE handle, PFILE_OBJECT* file) {
    return ObReferenceObjectByHandle(handle, 0, *IoFileObjectType, UserMode, reinterpret_cast<PVOID*>(file), nullptr);
}

// A request on an open file: built for the top of the file's stack, sent,
// waited for and finished by the I/O manager. Reads and writes use deferred
// completion; device control does not, so its end is always an APC to the
// calling thread (in ReactOS, NtDeviceIoControlFile defers file system
// controls only).
class FileRequest {
public:
    FileRequest(PFILE_OBJECT file, UCHAR major)
        : file_(file),
          top_(IoGetAttachedDevice(file->DeviceObject)),
          finish_(major == IRP_MJ_DEVICE_CONTROL ? hkio::IrpFinish::Thread : hkio::IrpFinish::Deferred) {
        irp_ = IoAllocateIrp(top_->StackSize, FALSE);
        if (irp_) {
            irp_->RequestorMode = UserMode;
            irp_->Flags = IRP_SYNCHRONOUS_API | (finish_ == hkio::IrpFinish::Deferred ? IRP_DEFER_IO_COMPLETION : 0);
            irp_->Tail.Overlay.Thread = reinterpret_cast<struct _ETHREAD*>(KeGetCurrentThread());
            irp_->Tail.Overlay.OriginalFileObject = file;
            stack()->MajorFunction = major;
            stack()->FileObject = file;
        }
    }
    ~FileRequest() {
        if (irp_) {
            IoFreeIrp(irp_);
        }
    }
    FileRequest(const FileRequest&) = delete;
    FileRequest& operator=(const FileRequest&) = delete;

    PIRP irp() const { return irp_; }
    PIO_STACK_LOCATION stack() const { return IoGetNextIrpStackLocation(irp_); }
    PDEVICE_OBJECT top() const { return top_; }

    // Buffered transfer through a non-paged system buffer of `length` bytes.
    bool Buffer(const void* input, ULONG inputLength, void* output, ULONG outputLength, ULONG length) {
        outputLength_ = outputLength;
        return hkio::SetUpBuffered(irp_, input, inputLength, output, length, outputLength != 0);
    }

    NTSTATUS Send(ULONG_PTR* information) {
        hkio::MarkRequestIrp(irp_, finish_, outputLength_);
        PIRP irp = irp_;
        irp_ = nullptr;  // the I/O manager frees it when it finishes it
        return hkio::SendUserRequest(top_, irp, information);
    }

private:
    PFILE_OBJECT file_;
    PDEVICE_OBJECT top_;
    hkio::IrpFinish finish_;
    PIRP irp_ = nullptr;
    ULONG outputLength_ = 0;
};

NTSTATUS Transfer(HANDLE handle, UCHAR major, const void* input, void* output, ULONG length, ULONG* done) {
    if (done) {
        *done = 0;
    }
    PFILE_OBJECT file = nullptr;
    NTSTATUS status = ReferenceFile(handle, &file);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    {
        FileRequest request(file, major);
        if (!request.irp()) {
            status = STATUS_INSUFFICIENT_RESOURCES;
        } else {
            request.stack()->Parameters.Read.Length = length;
            bool read = major == IRP_MJ_READ;
            bool ok = true;
            if (request.top()->Flags & DO_BUFFERED_IO) {
                ok = request.Buffer(read ? nullptr : input, read ? 0 : length, read ? output : nullptr,
                                    read ? length : 0, length);
            } else {
                request.irp()->UserBuffer = read ? output : const_cast<void*>(input);
            }
            if (!ok) {
                status = STATUS_INSUFFICIENT_RESOURCES;
            } else {
                ULONG_PTR information = 0;
                status = request.Send(&information);
                if (done) {
                    *done = static_cast<ULONG>(information);
                }
            }
        }
    }
    ObfDereferenceObject(file);
    return status;
}

}  // namespace

NTSTATUS HkUserCreateFile(PCWSTR win32Path, HANDLE* out) {
    if (!out) {
        return STATUS_INVALID_PARAMETER;
    }
    *out = nullptr;
    std::u16string path;
    NTSTATUS status = ToNtPath(win32Path, &path);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return hkio::OpenDeviceFile(path, out);
}

NTSTATUS HkUserDeviceIoControl(HANDLE handle, ULONG code, const void* in, ULONG inLen, void* out, ULONG outLen,
                               ULONG* returned) {
    if (returned) {
        *returned = 0;
    }
    if ((inLen && !in) || (outLen && !out)) {
        return STATUS_INVALID_PARAMETER;
    }
    PFILE_OBJECT file = nullptr;
    NTSTATUS status = ReferenceFile(handle, &file);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    {
        FileRequest request(file, IRP_MJ_DEVICE_CONTROL);
        if (!request.irp()) {
            status = STATUS_INSUFFICIENT_RESOURCES;
        } else {
            PIO_STACK_LOCATION stack = request.stack();
            stack->Parameters.DeviceIoControl.IoControlCode = code;
            stack->Parameters.DeviceIoControl.InputBufferLength = inLen;
            stack->Parameters.DeviceIoControl.OutputBufferLength = outLen;
            ULONG method = METHOD_FROM_CTL_CODE(code);
            bool ok = true;
            if (method == METHOD_NEITHER) {
                stack->Parameters.DeviceIoControl.Type3InputBuffer = const_cast<void*>(in);
                request.irp()->UserBuffer = out;
            } else if (method == METHOD_BUFFERED) {
                ok = request.Buffer(in, inLen, out, outLen, std::max(inLen, outLen));
            } else {
                // Direct methods: buffered input; the output is not mapped on
                // the host and is reached through UserBuffer.
                ok = request.Buffer(in, inLen, nullptr, 0, inLen);
                request.irp()->UserBuffer = out;
            }
            if (!ok) {
                status = STATUS_INSUFFICIENT_RESOURCES;
            } else {
                ULONG_PTR information = 0;
                status = request.Send(&information);
                if (returned) {
                    *returned = static_cast<ULONG>(information);
                }
            }
        }
    }
    ObfDereferenceObject(file);
    return status;
}

NTSTATUS HkUserReadFile(HANDLE handle, void* buffer, ULONG length, ULONG* read) {
    if (length && !buffer) {
        return STATUS_INVALID_PARAMETER;
    }
    return Transfer(handle, IRP_MJ_READ, nullptr, buffer, length, read);
}

NTSTATUS HkUserWriteFile(HANDLE handle, const void* buffer, ULONG length, ULONG* written) {
    if (length && !buffer) {
        return STATUS_INVALID_PARAMETER;
    }
    return Transfer(handle, IRP_MJ_WRITE, buffer, nullptr, length, written);
}

NTSTATUS HkUserCloseHandle(HANDLE handle) {
    return hkob::CloseHandle(handle, false);
}

PFILE_OBJECT HkUserFileObject(HANDLE handle) {
    PFILE_OBJECT file = nullptr;
    if (!NT_SUCCESS(ReferenceFile(handle, &file))) {
        return nullptr;
    }
    ObfDereferenceObject(file);
    return file;
}
