// Object manager: symbolic link objects.
#include <new>

#include "hk/fault.h"
#include "hk/thread.h"
#include "hk/verifier.h"
#include "ob/ob_internal.h"

namespace hkob {

NTSTATUS CaptureObjectName(POBJECT_ATTRIBUTES attributes, std::u16string* path) {
    if (!attributes || attributes->Length != sizeof(OBJECT_ATTRIBUTES) ||
        (attributes->Attributes & ~OBJ_VALID_ATTRIBUTES) != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    PUNICODE_STRING name = attributes->ObjectName;
    if (!name || !name->Buffer || name->Length == 0 || (name->Length & 1) != 0 ||
        name->Length > name->MaximumLength) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    std::u16string text = Text(name);
    if (!attributes->RootDirectory) {
        if (text[0] != u'\\') {
            return STATUS_OBJECT_PATH_SYNTAX_BAD;
        }
        *path = text;
        return STATUS_SUCCESS;
    }
    if (text[0] == u'\\') {
        return STATUS_OBJECT_PATH_SYNTAX_BAD;
    }
    PVOID directory = nullptr;
    NTSTATUS status = HkObReferenceObjectByHandle(attributes->RootDirectory, HkObDirectoryType(), &directory, nullptr);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    std::u16string base = HkObGetName(directory);
    ObfDereferenceObject(directory);
    *path = (base == u"\\" ? base : base + u"\\") + text;
    return STATUS_SUCCESS;
}

namespace {

bool CheckPassive(const char* caller) {
    KIRQL irql = KeGetCurrentIrql();
    if (irql != PASSIVE_LEVEL) {
        HkVerifierStop(HkViolation::IrqlTooHigh, "%s called at IRQL %u (PASSIVE_LEVEL required)", caller, irql);
        return false;
    }
    return true;
}

}  // namespace
}  // namespace hkob

using namespace hkob;

NTSTATUS ZwCreateSymbolicLinkObject(PHANDLE LinkHandle, ACCESS_MASK DesiredAccess,
                                    POBJECT_ATTRIBUTES ObjectAttributes, PUNICODE_STRING LinkTarget) {
    if (!CheckPassive("ZwCreateSymbolicLinkObject")) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (!LinkHandle || !LinkTarget || (LinkTarget->Length && !LinkTarget->Buffer) || (LinkTarget->Length & 1)) {
        return STATUS_INVALID_PARAMETER;
    }
    *LinkHandle = nullptr;
    std::u16string path;
    NTSTATUS status = CaptureObjectName(ObjectAttributes, &path);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (HkFaultShouldFail(HkFault::SymbolicLinkCreate)) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PVOID body = nullptr;
    status = HkObCreateObject(HkObSymbolicLinkType(), sizeof(SymbolicLink), &body);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    new (body) SymbolicLink{Text(LinkTarget)};
    UNICODE_STRING name = Counted(path);
    status = HkObInsertName(body, &name, (ObjectAttributes->Attributes & OBJ_PERMANENT) != 0);
    if (NT_SUCCESS(status)) {
        status = HkObInsertHandle(body, DesiredAccess, ObjectAttributes->Attributes, LinkHandle);
        if (!NT_SUCCESS(status)) {
            HkObRemoveName(body);
        }
    }
    ObfDereferenceObject(body);
    return status;
}

NTSTATUS ZwOpenSymbolicLinkObject(PHANDLE LinkHandle, ACCESS_MASK DesiredAccess,
                                  POBJECT_ATTRIBUTES ObjectAttributes) {
    if (!CheckPassive("ZwOpenSymbolicLinkObject")) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (!LinkHandle) {
        return STATUS_INVALID_PARAMETER;
    }
    *LinkHandle = nullptr;
    std::u16string path;
    NTSTATUS status = CaptureObjectName(ObjectAttributes, &path);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (HkFaultShouldFail(HkFault::SymbolicLinkOpen)) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    // Opening a link object never follows the last link of the path.
    ObjectHeader* header = nullptr;
    status = Lookup(path, CaseInsensitive(ObjectAttributes->Attributes), true, &header, nullptr);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (header->Type != HkObSymbolicLinkType()) {
        status = STATUS_OBJECT_TYPE_MISMATCH;
    } else {
        status = HkObInsertHandle(header->Body(), DesiredAccess, ObjectAttributes->Attributes, LinkHandle);
    }
    ObfDereferenceObject(header->Body());
    return status;
}

NTSTATUS ZwQuerySymbolicLinkObject(HANDLE LinkHandle, PUNICODE_STRING LinkTarget, PULONG ReturnedLength) {
    if (!CheckPassive("ZwQuerySymbolicLinkObject")) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (!LinkTarget) {
        return STATUS_INVALID_PARAMETER;
    }
    PVOID body = nullptr;
    NTSTATUS status = HkObReferenceObjectByHandle(LinkHandle, HkObSymbolicLinkType(), &body, nullptr);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (HkFaultShouldFail(HkFault::SymbolicLinkQuery)) {
        ObfDereferenceObject(body);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::u16string target;
    {
        std::lock_guard<std::recursive_mutex> guard(Lock());
        target = static_cast<SymbolicLink*>(body)->Target;
    }
    ObfDereferenceObject(body);

    // The link keeps its target with a terminating NUL. A caller that asks
    // for the returned length gets the NUL too and needs room for it.
    ULONG length = static_cast<ULONG>(target.size() * sizeof(WCHAR));
    ULONG withNul = length + sizeof(WCHAR);
    ULONG needed = ReturnedLength ? withNul : length;
    if (needed <= LinkTarget->MaximumLength && (needed == 0 || LinkTarget->Buffer)) {
        if (length) {
            memcpy(LinkTarget->Buffer, target.data(), length);
        }
        if (ReturnedLength) {
            LinkTarget->Buffer[target.size()] = 0;
        }
        LinkTarget->Length = static_cast<USHORT>(length);
        status = STATUS_SUCCESS;
    } else {
        status = STATUS_BUFFER_TOO_SMALL;
    }
    if (ReturnedLength) {
        *ReturnedLength = withNul;
    }
    return status;
}
