// Object manager: handle tables. The kernel table holds OBJ_KERNEL_HANDLE
// handles (values with the top bits set, as on x64) and the system process's
// handles; every other process has its own table.
#include <stdio.h>

#include <unordered_set>

#include "hk/process.h"
#include "hk/thread.h"
#include "hk/verifier.h"
#include "ob/ob_internal.h"

struct HkHandleTable {
    struct Entry {
        hkob::ObjectHeader* Object;
        ACCESS_MASK Granted;
        ULONG Attributes;
    };
    std::vector<Entry> Entries;
    std::vector<size_t> Free;
    size_t Count = 0;
    bool Kernel = false;
};

namespace hkob {
namespace {

constexpr ULONG_PTR kKernelHandleBits = 0xFFFFFFFF80000000ull;

std::unordered_set<HkHandleTable*>& Tables() {
    static auto* tables = new std::unordered_set<HkHandleTable*>;
    return *tables;
}

// Access of the last handle opened, per object type.
std::unordered_map<POBJECT_TYPE, ACCESS_MASK>& LastAccess() {
    static auto* last = new std::unordered_map<POBJECT_TYPE, ACCESS_MASK>;
    return *last;
}

HkHandleTable* KernelTable() {
    static HkHandleTable* table = [] {
        auto* t = new HkHandleTable;
        t->Kernel = true;
        std::lock_guard<std::recursive_mutex> guard(Lock());
        Tables().insert(t);
        return t;
    }();
    return table;
}

HkHandleTable* CurrentTable() {
    auto* process = static_cast<PEPROCESS>(HkThreadGetProcess());
    if (!process || process == HkPsSystemProcess()) {
        return KernelTable();
    }
    auto* table = static_cast<HkHandleTable*>(HkPsHandleTable(process));
    return table ? table : KernelTable();
}

bool IsKernelHandle(HANDLE handle) {
    return (reinterpret_cast<ULONG_PTR>(handle) & kKernelHandleBits) == kKernelHandleBits;
}

// Kernel handles carry the top bits; the system process's own handles live
// in the same table without them.
HANDLE Encode(size_t index, ULONG attributes) {
    ULONG_PTR value = (index + 1) * 4;
    return reinterpret_cast<HANDLE>((attributes & OBJ_KERNEL_HANDLE) ? (value | kKernelHandleBits) : value);
}

// Under the lock: the entry a handle names in its table, or null.
HkHandleTable::Entry* FindEntry(HkHandleTable* table, HANDLE handle, size_t* index) {
    bool kernelHandle = IsKernelHandle(handle);
    ULONG_PTR value = reinterpret_cast<ULONG_PTR>(handle) & ~kKernelHandleBits;
    if (value == 0 || (value & 3) != 0) {
        return nullptr;
    }
    size_t i = value / 4 - 1;
    if (i >= table->Entries.size() || !table->Entries[i].Object ||
        kernelHandle != ((table->Entries[i].Attributes & OBJ_KERNEL_HANDLE) != 0)) {
        return nullptr;
    }
    *index = i;
    return &table->Entries[i];
}

HkHandleTable* TableOf(HANDLE handle) {
    return IsKernelHandle(handle) ? KernelTable() : CurrentTable();
}

// What follows the removal of a handle from its table.
void AfterHandleClosed(ObjectHeader* header) {
    LONG_PTR left = --header->HandleCount;
    if (header->Type->Close) {
        header->Type->Close(header->Body(), static_cast<ULONG_PTR>(left));
    }
    if (left == 0) {
        DeleteNameCheck(header);
    }
    ObfDereferenceObject(header->Body());
}

}  // namespace

NTSTATUS CloseHandle(HANDLE handle, bool kernelCaller) {
    if (IsKernelHandle(handle) && !kernelCaller) {
        return STATUS_INVALID_HANDLE;
    }
    HkHandleTable* table = TableOf(handle);
    ObjectHeader* header = nullptr;
    {
        std::lock_guard<std::recursive_mutex> guard(Lock());
        size_t index = 0;
        HkHandleTable::Entry* entry = FindEntry(table, handle, &index);
        if (entry) {
            header = entry->Object;
            *entry = HkHandleTable::Entry{};
            table->Free.push_back(index);
            --table->Count;
        }
    }
    if (!header) {
        if (kernelCaller && IsKernelHandle(handle)) {
            HkVerifierStop(HkViolation::Other, "ZwClose: invalid kernel handle %p (INVALID_KERNEL_HANDLE)", handle);
        }
        return STATUS_INVALID_HANDLE;
    }
    AfterHandleClosed(header);
    return STATUS_SUCCESS;
}

void ResetHandles() {
    std::lock_guard<std::recursive_mutex> guard(Lock());
    for (HkHandleTable* table : Tables()) {
        table->Entries.clear();
        table->Free.clear();
        table->Count = 0;
    }
    LastAccess().clear();
}

}  // namespace hkob

using namespace hkob;

ACCESS_MASK HkObLastHandleAccess(POBJECT_TYPE type) {
    std::lock_guard<std::recursive_mutex> guard(Lock());
    auto found = LastAccess().find(type);
    return found == LastAccess().end() ? 0 : found->second;
}

HkHandleTable* HkObCreateHandleTable() {
    auto* table = new HkHandleTable;
    std::lock_guard<std::recursive_mutex> guard(Lock());
    Tables().insert(table);
    return table;
}

void HkObDestroyHandleTable(HkHandleTable* table) {
    if (!table || table->Kernel) {
        return;
    }
    std::vector<ObjectHeader*> open;
    {
        std::lock_guard<std::recursive_mutex> guard(Lock());
        for (auto& entry : table->Entries) {
            if (entry.Object) {
                open.push_back(entry.Object);
            }
        }
        table->Entries.clear();
        table->Free.clear();
        table->Count = 0;
        Tables().erase(table);
    }
    for (ObjectHeader* header : open) {
        AfterHandleClosed(header);
    }
    delete table;
}

NTSTATUS HkObInsertHandle(PVOID body, ACCESS_MASK granted, ULONG attributes, HANDLE* handle) {
    ObjectHeader* header = HeaderOf(body, "HkObInsertHandle");
    if (!header || !handle) {
        return STATUS_INVALID_PARAMETER;
    }
    HkHandleTable* table = (attributes & OBJ_KERNEL_HANDLE) ? KernelTable() : CurrentTable();
    std::lock_guard<std::recursive_mutex> guard(Lock());
    size_t index;
    if (!table->Free.empty()) {
        index = table->Free.back();
        table->Free.pop_back();
    } else {
        index = table->Entries.size();
        table->Entries.push_back({});
    }
    table->Entries[index] = {header, granted, attributes};
    LastAccess()[header->Type] = granted;
    ++table->Count;
    ++header->PointerCount;
    ++header->HandleCount;
    *handle = Encode(index, attributes);
    return STATUS_SUCCESS;
}

namespace {

NTSTATUS ReferenceByHandle(HANDLE handle, POBJECT_TYPE type, bool kernelCaller, PVOID* body, ACCESS_MASK* granted,
                           ULONG* attributes) {
    if (IsKernelHandle(handle) && !kernelCaller) {
        return STATUS_INVALID_HANDLE;
    }
    HkHandleTable* table = TableOf(handle);
    std::lock_guard<std::recursive_mutex> guard(Lock());
    size_t index = 0;
    HkHandleTable::Entry* entry = FindEntry(table, handle, &index);
    if (!entry) {
        return STATUS_INVALID_HANDLE;
    }
    if (type && entry->Object->Type != type) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    ++entry->Object->PointerCount;
    *body = entry->Object->Body();
    if (granted) {
        *granted = entry->Granted;
    }
    if (attributes) {
        *attributes = entry->Attributes;
    }
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS HkObReferenceObjectByHandle(HANDLE handle, POBJECT_TYPE type, PVOID* body, ACCESS_MASK* granted) {
    if (!body) {
        return STATUS_INVALID_PARAMETER;
    }
    return ReferenceByHandle(handle, type, true, body, granted, nullptr);
}

NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                   KPROCESSOR_MODE AccessMode, PVOID* Object,
                                   POBJECT_HANDLE_INFORMATION HandleInformation) {
    if (!Object) {
        return STATUS_INVALID_PARAMETER;
    }
    PVOID body = nullptr;
    ACCESS_MASK granted = 0;
    ULONG attributes = 0;
    NTSTATUS status = ReferenceByHandle(Handle, ObjectType, AccessMode == KernelMode, &body, &granted, &attributes);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    // Kernel-mode callers are not access-checked.
    if (AccessMode != KernelMode && (granted & DesiredAccess) != DesiredAccess) {
        ObfDereferenceObject(body);
        return STATUS_ACCESS_DENIED;
    }
    if (HandleInformation) {
        HandleInformation->HandleAttributes = attributes;
        HandleInformation->GrantedAccess = granted;
    }
    *Object = body;
    return STATUS_SUCCESS;
}

NTSTATUS ZwClose(HANDLE Handle) {
    return CloseHandle(Handle, true);
}

NTSTATUS ZwMakeTemporaryObject(HANDLE Handle) {
    PVOID body = nullptr;
    NTSTATUS status = ReferenceByHandle(Handle, nullptr, true, &body, nullptr, nullptr);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    ObMakeTemporaryObject(body);
    ObfDereferenceObject(body);
    return STATUS_SUCCESS;
}

size_t HkObHandleTableCount(HkHandleTable* table) {
    std::lock_guard<std::recursive_mutex> guard(Lock());
    return (table ? table : KernelTable())->Count;
}

size_t HkObReportLeakedHandles() {
    std::lock_guard<std::recursive_mutex> guard(Lock());
    size_t count = 0;
    for (HkHandleTable* table : Tables()) {
        for (size_t i = 0; i < table->Entries.size(); ++i) {
            const auto& entry = table->Entries[i];
            if (!entry.Object) {
                continue;
            }
            ++count;
            fprintf(stderr, "open handle %p (%s table): %s %s\n", Encode(i, entry.Attributes),
                    table->Kernel ? "kernel" : "process", entry.Object->Type->Name.c_str(),
                    Utf8(HkObGetName(entry.Object->Body())).c_str());
        }
    }
    return count;
}
