// User-mode calls into the host kernel, as a Win32 program makes them. Each
// runs in the calling thread's current process (see hk/process.h) and may be
// called from several threads at once.
#pragma once
#include <ntddk.h>

// Opens a device by its Win32 name: "\\.\COM3" and "COM3" mean \??\COM3; a
// path starting with a single backslash is taken as an object name. Links are
// followed and the top of the device's stack gets IRP_MJ_CREATE. The handle
// goes into the current process's handle table.
// STATUS_OBJECT_NAME_NOT_FOUND, STATUS_ACCESS_DENIED (exclusive device already
// open), STATUS_NO_SUCH_DEVICE (device deleted or still initializing), or the
// driver's status.
NTSTATUS HkUserCreateFile(PCWSTR win32Path, HANDLE* out);

// DeviceIoControl. METHOD_BUFFERED: one non-paged system buffer of the larger
// length gets the input; after completion the first IoStatus.Information
// bytes go back to `out` unless the status is an error. Waits for a pending
// request. *returned (optional) receives IoStatus.Information (0 on error).
NTSTATUS HkUserDeviceIoControl(HANDLE handle, ULONG code, const void* in, ULONG inLen, void* out, ULONG outLen,
                               ULONG* returned);

// ReadFile and WriteFile (buffered when the device asks for DO_BUFFERED_IO).
NTSTATUS HkUserReadFile(HANDLE handle, void* buffer, ULONG length, ULONG* read);
NTSTATUS HkUserWriteFile(HANDLE handle, const void* buffer, ULONG length, ULONG* written);

// CloseHandle: IRP_MJ_CLEANUP when the last handle of the file goes, then
// IRP_MJ_CLOSE when its last reference goes.
NTSTATUS HkUserCloseHandle(HANDLE handle);

// The file object behind a user handle (not referenced); null if none.
PFILE_OBJECT HkUserFileObject(HANDLE handle);
