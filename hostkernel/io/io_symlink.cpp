// I/O manager: symbolic links to device names.
#include "hk/verifier.h"
#include "io/io_internal.h"
#include "ob/ob_internal.h"

NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName) {
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, SymbolicLinkName, OBJ_PERMANENT | OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                               nullptr, nullptr);
    HANDLE handle = nullptr;
    NTSTATUS status = ZwCreateSymbolicLinkObject(&handle, SYMBOLIC_LINK_ALL_ACCESS, &attributes, DeviceName);
    if (NT_SUCCESS(status)) {
        ZwClose(handle);
    }
    return status;
}

NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName) {
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        HkVerifierStop(HkViolation::IrqlTooHigh, "IoDeleteSymbolicLink called above PASSIVE_LEVEL");
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (!SymbolicLinkName || !SymbolicLinkName->Buffer || SymbolicLinkName->Length == 0) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    hkob::ObjectHeader* header = nullptr;
    NTSTATUS status = hkob::Lookup(hkob::Text(SymbolicLinkName), hkob::CaseInsensitive(OBJ_CASE_INSENSITIVE), true,
                                   &header, nullptr);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (header->Type != HkObSymbolicLinkType()) {
        status = STATUS_OBJECT_TYPE_MISMATCH;
    } else {
        // The name goes now, or with the last handle still open on the link.
        ObMakeTemporaryObject(header->Body());
    }
    ObfDereferenceObject(header->Body());
    return status;
}
