// The Zw and Rtl registry routines drivers call.
//
// Buffer rules of the query and enumerate routines, as documented for
// ZwQueryValueKey: ResultLength always receives the size the whole answer
// needs. A buffer that cannot hold the fixed part of the structure gives
// STATUS_BUFFER_TOO_SMALL and nothing is written. A buffer that holds the
// fixed part but not the rest gives STATUS_BUFFER_OVERFLOW: the fixed part is
// filled in and the name or data is copied only as far as it fits. A missing
// value is STATUS_OBJECT_NAME_NOT_FOUND.
//
// Access is checked on every handle, kernel handles too: setting a value
// needs KEY_SET_VALUE, reading one KEY_QUERY_VALUE. The platform skips the
// check for kernel-mode callers; being stricter catches a driver that opens
// a key with too little access and then writes through it.
#include <cstring>

#include "cm/cm_internal.h"
#include "hk/fault.h"
#include "hk/registry.h"
#include "hk/reset.h"
#include "hk/verifier.h"

using namespace hkcm;

namespace {

constexpr ULONG kMaxValueNameChars = 16383;

std::mutex& WriteHookLock() {
    static std::mutex lock;
    return lock;
}

HkRegWriteHook& WriteHook() {
    static auto* hook = new HkRegWriteHook;
    return *hook;
}

void ClearWriteHook() { HkRegSetWriteHook(nullptr); }

HkRegQueryHook& QueryHook() {
    static auto* hook = new HkRegQueryHook;
    return *hook;
}

void ClearQueryHook() { HkRegSetQueryHook(nullptr); }

// Runs the test hook, if any, outside the registry's lock.
void RunWriteHook(const Key& key, const std::u16string& name) {
    HkRegWriteHook hook;
    {
        std::lock_guard<std::mutex> hold(WriteHookLock());
        hook = WriteHook();
    }
    if (!hook) return;
    std::u16string path;
    {
        std::lock_guard<std::recursive_mutex> hold(Lock());
        path = PathOf(key);
    }
    hook(path, name);
}

bool AtPassive(const char* routine) {
    KIRQL irql = KeGetCurrentIrql();
    if (irql == PASSIVE_LEVEL) return true;
    HkVerifierStop(HkViolation::RegistryAtHighIrql, "%s called at IRQL %u (registry routines need PASSIVE_LEVEL)",
                   routine, static_cast<unsigned>(irql));
    return false;
}

bool ValidCounted(PCUNICODE_STRING text) {
    return text != nullptr && (text->Length % sizeof(WCHAR)) == 0 && text->Length <= text->MaximumLength &&
           (text->Buffer != nullptr || text->Length == 0);
}

// Resolves the object attributes of an open or create into a start key and
// the components below it.
NTSTATUS Resolve(POBJECT_ATTRIBUTES attributes, KeyRef* start, std::vector<std::u16string>* parts) {
    if (attributes == nullptr || attributes->Length != sizeof(OBJECT_ATTRIBUTES) || attributes->ObjectName == nullptr)
        return STATUS_INVALID_PARAMETER;
    if (!ValidCounted(attributes->ObjectName)) return STATUS_OBJECT_NAME_INVALID;
    std::u16string name = Text(attributes->ObjectName);
    if (attributes->RootDirectory != nullptr) {
        ACCESS_MASK granted = 0;
        NTSTATUS status = KeyFromHandle(attributes->RootDirectory, start, &granted);
        if (!NT_SUCCESS(status)) return status;
        if (!name.empty() && name[0] == u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
        return SplitPath(name, parts) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_INVALID;
    }
    if (name.empty() || name[0] != u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
    if (!SplitPath(name, parts)) return STATUS_OBJECT_NAME_INVALID;
    if (parts->empty() || !SameName((*parts)[0], u"Registry")) return STATUS_OBJECT_PATH_NOT_FOUND;
    parts->erase(parts->begin());
    *start = Root();
    return STATUS_SUCCESS;
}

// The key of a handle, if the handle grants all of needed.
NTSTATUS KeyForAccess(HANDLE handle, ACCESS_MASK needed, KeyRef* key) {
    ACCESS_MASK granted = 0;
    NTSTATUS status = KeyFromHandle(handle, key, &granted);
    if (!NT_SUCCESS(status)) return status;
    return (granted & needed) == needed ? STATUS_SUCCESS : STATUS_ACCESS_DENIED;
}

NTSTATUS ValueNameOf(PUNICODE_STRING name, std::u16string* text) {
    if (!ValidCounted(name) || name->Length / sizeof(WCHAR) > kMaxValueNameChars) return STATUS_INVALID_PARAMETER;
    *text = Text(name);
    return STATUS_SUCCESS;
}

ULONG AlignUp(ULONG value, ULONG alignment) { return (value + alignment - 1) & ~(alignment - 1); }

// Writes a fixed header and up to two variable parts under the buffer
// rules above.
struct Answer {
    PVOID Buffer;
    ULONG Length;
    PULONG ResultLength;

    NTSTATUS Put(const void* header, ULONG fixed, ULONG offset1, const void* part1, ULONG size1, ULONG offset2,
                 const void* part2, ULONG size2) {
        ULONG needed = offset2 + size2 > offset1 + size1 ? offset2 + size2 : offset1 + size1;
        if (needed < fixed) needed = fixed;
        *ResultLength = needed;
        if (Length < fixed || Buffer == nullptr) return STATUS_BUFFER_TOO_SMALL;
        UCHAR* out = static_cast<UCHAR*>(Buffer);
        std::memcpy(out, header, fixed);
        CopyPart(out, offset1, part1, size1);
        CopyPart(out, offset2, part2, size2);
        return Length < needed ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
    }

    void CopyPart(UCHAR* out, ULONG offset, const void* part, ULONG size) {
        if (size == 0 || offset >= Length) return;
        ULONG room = Length - offset;
        std::memcpy(out + offset, part, size < room ? size : room);
    }
};

NTSTATUS ValueAnswer(const Value& value, KEY_VALUE_INFORMATION_CLASS infoClass, Answer answer) {
    ULONG nameBytes = static_cast<ULONG>(value.Name.size() * sizeof(WCHAR));
    ULONG dataBytes = static_cast<ULONG>(value.Data.size());
    switch (infoClass) {
    case KeyValueBasicInformation: {
        KEY_VALUE_BASIC_INFORMATION header = {0, value.Type, nameBytes, {0}};
        ULONG fixed = FIELD_OFFSET(KEY_VALUE_BASIC_INFORMATION, Name);
        return answer.Put(&header, fixed, fixed, value.Name.data(), nameBytes, fixed, nullptr, 0);
    }
    case KeyValueFullInformation:
    case KeyValueFullInformationAlign64: {
        ULONG fixed = FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name);
        ULONG dataOffset = AlignUp(fixed + nameBytes, infoClass == KeyValueFullInformation ? 4 : 8);
        KEY_VALUE_FULL_INFORMATION header = {0, value.Type, dataOffset, dataBytes, nameBytes, {0}};
        return answer.Put(&header, fixed, fixed, value.Name.data(), nameBytes, dataOffset, value.Data.data(),
                          dataBytes);
    }
    case KeyValuePartialInformation: {
        KEY_VALUE_PARTIAL_INFORMATION header = {0, value.Type, dataBytes, {0}};
        ULONG fixed = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
        return answer.Put(&header, fixed, fixed, value.Data.data(), dataBytes, fixed, nullptr, 0);
    }
    default:
        return STATUS_INVALID_PARAMETER;
    }
}

NTSTATUS KeyAnswer(const Key& key, KEY_INFORMATION_CLASS infoClass, Answer answer) {
    ULONG nameBytes = static_cast<ULONG>(key.Name.size() * sizeof(WCHAR));
    LARGE_INTEGER lastWrite;
    lastWrite.QuadPart = key.LastWrite;
    switch (infoClass) {
    case KeyBasicInformation: {
        KEY_BASIC_INFORMATION header = {lastWrite, 0, nameBytes, {0}};
        ULONG fixed = FIELD_OFFSET(KEY_BASIC_INFORMATION, Name);
        return answer.Put(&header, fixed, fixed, key.Name.data(), nameBytes, fixed, nullptr, 0);
    }
    case KeyNodeInformation: {
        KEY_NODE_INFORMATION header = {lastWrite, 0, 0xFFFFFFFF, 0, nameBytes, {0}};
        ULONG fixed = FIELD_OFFSET(KEY_NODE_INFORMATION, Name);
        return answer.Put(&header, fixed, fixed, key.Name.data(), nameBytes, fixed, nullptr, 0);
    }
    case KeyFullInformation: {
        KEY_FULL_INFORMATION header = {};
        header.LastWriteTime = lastWrite;
        header.ClassOffset = 0xFFFFFFFF;
        header.SubKeys = static_cast<ULONG>(key.Children.size());
        header.Values = static_cast<ULONG>(key.Values.size());
        for (const KeyRef& child : key.Children) {
            ULONG bytes = static_cast<ULONG>(child->Name.size() * sizeof(WCHAR));
            if (bytes > header.MaxNameLen) header.MaxNameLen = bytes;
        }
        for (const Value& value : key.Values) {
            ULONG bytes = static_cast<ULONG>(value.Name.size() * sizeof(WCHAR));
            if (bytes > header.MaxValueNameLen) header.MaxValueNameLen = bytes;
            if (value.Data.size() > header.MaxValueDataLen) header.MaxValueDataLen = static_cast<ULONG>(value.Data.size());
        }
        ULONG fixed = FIELD_OFFSET(KEY_FULL_INFORMATION, Class);
        return answer.Put(&header, fixed, fixed, nullptr, 0, fixed, nullptr, 0);
    }
    case KeyNameInformation: {
        std::u16string path = PathOf(key);
        ULONG pathBytes = static_cast<ULONG>(path.size() * sizeof(WCHAR));
        KEY_NAME_INFORMATION header = {pathBytes, {0}};
        ULONG fixed = FIELD_OFFSET(KEY_NAME_INFORMATION, Name);
        return answer.Put(&header, fixed, fixed, path.data(), pathBytes, fixed, nullptr, 0);
    }
    default:
        return STATUS_INVALID_PARAMETER;
    }
}

bool Injected(HkFault category) { return HkFaultShouldFail(category); }

// Rtl paths: the absolute path for RelativeTo and Path.
NTSTATUS RtlPath(ULONG relativeTo, PCWSTR path, std::u16string* full) {
    static const char16_t* const kBases[] = {
        u"",
        u"\\Registry\\Machine\\System\\CurrentControlSet\\Services",
        u"\\Registry\\Machine\\System\\CurrentControlSet\\Control",
        u"\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion",
        u"\\Registry\\Machine\\Hardware\\DeviceMap",
        u"\\Registry\\User\\.DEFAULT",
    };
    ULONG base = relativeTo & ~RTL_REGISTRY_OPTIONAL;
    if (base >= RTL_REGISTRY_MAXIMUM || path == nullptr) return STATUS_INVALID_PARAMETER;
    std::u16string tail = Text(path);
    if (base == RTL_REGISTRY_ABSOLUTE) {
        *full = tail;
    } else {
        *full = kBases[base];
        if (!tail.empty() && tail[0] != u'\\') *full += u'\\';
        *full += tail;
    }
    return STATUS_SUCCESS;
}

// Opens (or creates) the key an Rtl routine names. With RTL_REGISTRY_HANDLE
// the path is the handle itself and *owned stays false.
NTSTATUS RtlOpen(ULONG relativeTo, PCWSTR path, ACCESS_MASK access, bool create, PHANDLE handle, bool* owned) {
    *owned = false;
    if (relativeTo & RTL_REGISTRY_HANDLE) {
        if (create) return STATUS_INVALID_PARAMETER;
        *handle = reinterpret_cast<HANDLE>(const_cast<PWSTR>(path));
        return STATUS_SUCCESS;
    }
    std::u16string full;
    NTSTATUS status = RtlPath(relativeTo, path, &full);
    if (!NT_SUCCESS(status)) return status;
    UNICODE_STRING name;
    name.Buffer = reinterpret_cast<PWSTR>(&full[0]);
    name.Length = name.MaximumLength = static_cast<USHORT>(full.size() * sizeof(WCHAR));
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    status = create ? ZwCreateKey(handle, access, &attributes, 0, nullptr, REG_OPTION_NON_VOLATILE, nullptr)
                    : ZwOpenKey(handle, access, &attributes);
    *owned = NT_SUCCESS(status);
    return status;
}

// Closes what RtlOpen opened.
struct RtlKey {
    HANDLE Handle = nullptr;
    bool Owned = false;
    ~RtlKey() {
        if (Owned) ZwClose(Handle);
    }
};

UNICODE_STRING Counted(PCWSTR text, std::u16string* storage) {
    *storage = Text(text);
    UNICODE_STRING result;
    result.Buffer = reinterpret_cast<PWSTR>(&(*storage)[0]);
    result.Length = result.MaximumLength = static_cast<USHORT>(storage->size() * sizeof(WCHAR));
    return result;
}

}  // namespace

NTSTATUS ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes) {
    if (!AtPassive("ZwOpenKey")) return STATUS_INVALID_DEVICE_STATE;
    if (KeyHandle == nullptr) return STATUS_INVALID_PARAMETER;
    if (Injected(HkFault::RegistryOpenKey)) return STATUS_INSUFFICIENT_RESOURCES;
    KeyRef start;
    std::vector<std::u16string> parts;
    NTSTATUS status = Resolve(ObjectAttributes, &start, &parts);
    if (!NT_SUCCESS(status)) return status;
    KeyRef key;
    {
        std::lock_guard<std::recursive_mutex> hold(Lock());
        key = Walk(start, &parts, parts.size());
    }
    if (!key) return STATUS_OBJECT_NAME_NOT_FOUND;
    return InsertKeyHandle(key, MapAccess(DesiredAccess), ObjectAttributes->Attributes, KeyHandle);
}

NTSTATUS ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                     ULONG TitleIndex, PUNICODE_STRING Class, ULONG CreateOptions, PULONG Disposition) {
    if (!AtPassive("ZwCreateKey")) return STATUS_INVALID_DEVICE_STATE;
    if (KeyHandle == nullptr || (CreateOptions & ~REG_LEGAL_OPTION) != 0) return STATUS_INVALID_PARAMETER;
    if (Injected(HkFault::RegistryCreateKey)) return STATUS_INSUFFICIENT_RESOURCES;
    KeyRef start;
    std::vector<std::u16string> parts;
    NTSTATUS status = Resolve(ObjectAttributes, &start, &parts);
    if (!NT_SUCCESS(status)) return status;

    KeyRef key;
    ULONG disposition = REG_OPENED_EXISTING_KEY;
    {
        std::lock_guard<std::recursive_mutex> hold(Lock());
        if (parts.empty()) {
            key = start;
        } else {
            // One level only: the parent must exist.
            KeyRef parent = Walk(start, &parts, parts.size() - 1);
            if (!parent) return STATUS_OBJECT_NAME_NOT_FOUND;
            if (parent->Deleted) return STATUS_KEY_DELETED;
            key = FindChild(*parent, parts.back());
            if (!key) {
                bool isVolatile = (CreateOptions & REG_OPTION_VOLATILE) != 0;
                if (parent->Volatile && !isVolatile) return STATUS_CHILD_MUST_BE_VOLATILE;
                key = AddChild(parent, parts.back(), isVolatile);
                disposition = REG_CREATED_NEW_KEY;
            }
        }
    }
    status = InsertKeyHandle(key, MapAccess(DesiredAccess), ObjectAttributes->Attributes, KeyHandle);
    if (!NT_SUCCESS(status)) {
        if (disposition == REG_CREATED_NEW_KEY) {
            std::lock_guard<std::recursive_mutex> hold(Lock());
            DeleteTree(key);
        }
        return status;
    }
    if (Disposition != nullptr) *Disposition = disposition;
    return STATUS_SUCCESS;
}

NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                         KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass, PVOID KeyValueInformation,
                         ULONG Length, PULONG ResultLength) {
    if (!AtPassive("ZwQueryValueKey")) return STATUS_INVALID_DEVICE_STATE;
    if (ResultLength == nullptr) return STATUS_INVALID_PARAMETER;
    if (Injected(HkFault::RegistryRead)) return STATUS_INSUFFICIENT_RESOURCES;
    KeyRef key;
    NTSTATUS status = KeyForAccess(KeyHandle, KEY_QUERY_VALUE, &key);
    if (!NT_SUCCESS(status)) return status;
    std::u16string name;
    status = ValueNameOf(ValueName, &name);
    if (!NT_SUCCESS(status)) return status;
    {
        std::lock_guard<std::recursive_mutex> hold(Lock());
        const Value* value = FindValue(*key, name);
        if (value == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
        status = ValueAnswer(*value, KeyValueInformationClass, Answer{KeyValueInformation, Length, ResultLength});
    }
    HkRegQueryHook hook;
    {
        std::lock_guard<std::mutex> hold(WriteHookLock());
        hook = QueryHook();
    }
    return hook ? hook(name, KeyValueInformationClass, KeyValueInformation, Length, status) : status;
}

NTSTATUS ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type, PVOID Data,
                       ULONG DataSize) {
    if (!AtPassive("ZwSetValueKey")) return STATUS_INVALID_DEVICE_STATE;
    if (Injected(HkFault::RegistryWrite)) return STATUS_INSUFFICIENT_RESOURCES;
    KeyRef key;
    NTSTATUS status = KeyForAccess(KeyHandle, KEY_SET_VALUE, &key);
    if (!NT_SUCCESS(status)) return status;
    std::u16string name;
    status = ValueNameOf(ValueName, &name);
    if (!NT_SUCCESS(status)) return status;
    if (Data == nullptr && DataSize != 0) return STATUS_INVALID_PARAMETER;
    RunWriteHook(*key, name);
    std::lock_guard<std::recursive_mutex> hold(Lock());
    if (key->Deleted) return STATUS_KEY_DELETED;
    SetValue(*key, name, Type, Data, DataSize);
    return STATUS_SUCCESS;
}

NTSTATUS ZwDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName) {
    if (!AtPassive("ZwDeleteValueKey")) return STATUS_INVALID_DEVICE_STATE;
    if (Injected(HkFault::RegistryDelete)) return STATUS_INSUFFICIENT_RESOURCES;
    KeyRef key;
    NTSTATUS status = KeyForAccess(KeyHandle, KEY_SET_VALUE, &key);
    if (!NT_SUCCESS(status)) return status;
    std::u16string name;
    status = ValueNameOf(ValueName, &name);
    if (!NT_SUCCESS(status)) return status;
    std::lock_guard<std::recursive_mutex> hold(Lock());
    return DeleteValue(*key, name) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

NTSTATUS ZwDeleteKey(HANDLE KeyHandle) {
    if (!AtPassive("ZwDeleteKey")) return STATUS_INVALID_DEVICE_STATE;
    if (Injected(HkFault::RegistryDelete)) return STATUS_INSUFFICIENT_RESOURCES;
    KeyRef key;
    NTSTATUS status = KeyForAccess(KeyHandle, DELETE, &key);
    if (!NT_SUCCESS(status)) return status;
    std::lock_guard<std::recursive_mutex> hold(Lock());
    // Keys with subkeys and the roots of the tree stay.
    if (!key->Children.empty() || key->Parent == nullptr || key->Parent->Parent == nullptr)
        return STATUS_CANNOT_DELETE;
    DeleteTree(key);
    return STATUS_SUCCESS;
}

NTSTATUS ZwFlushKey(HANDLE KeyHandle) {
    if (!AtPassive("ZwFlushKey")) return STATUS_INVALID_DEVICE_STATE;
    KeyRef key;
    ACCESS_MASK granted = 0;
    return KeyFromHandle(KeyHandle, &key, &granted);
}

NTSTATUS ZwQueryKey(HANDLE KeyHandle, KEY_INFORMATION_CLASS KeyInformationClass, PVOID KeyInformation,
                    ULONG Length, PULONG ResultLength) {
    if (!AtPassive("ZwQueryKey")) return STATUS_INVALID_DEVICE_STATE;
    if (ResultLength == nullptr) return STATUS_INVALID_PARAMETER;
    if (Injected(HkFault::RegistryRead)) return STATUS_INSUFFICIENT_RESOURCES;
    KeyRef key;
    NTSTATUS status =
        KeyForAccess(KeyHandle, KeyInformationClass == KeyNameInformation ? 0 : KEY_QUERY_VALUE, &key);
    if (!NT_SUCCESS(status)) return status;
    std::lock_guard<std::recursive_mutex> hold(Lock());
    return KeyAnswer(*key, KeyInformationClass, Answer{KeyInformation, Length, ResultLength});
}

NTSTATUS ZwEnumerateKey(HANDLE KeyHandle, ULONG Index, KEY_INFORMATION_CLASS KeyInformationClass,
                        PVOID KeyInformation, ULONG Length, PULONG ResultLength) {
    if (!AtPassive("ZwEnumerateKey")) return STATUS_INVALID_DEVICE_STATE;
    if (ResultLength == nullptr) return STATUS_INVALID_PARAMETER;
    if (Injected(HkFault::RegistryEnumerate)) return STATUS_INSUFFICIENT_RESOURCES;
    KeyRef key;
    NTSTATUS status = KeyForAccess(KeyHandle, KEY_ENUMERATE_SUB_KEYS, &key);
    if (!NT_SUCCESS(status)) return status;
    std::lock_guard<std::recursive_mutex> hold(Lock());
    if (Index >= key->Children.size()) return STATUS_NO_MORE_ENTRIES;
    return KeyAnswer(*key->Children[Index], KeyInformationClass, Answer{KeyInformation, Length, ResultLength});
}

NTSTATUS ZwEnumerateValueKey(HANDLE KeyHandle, ULONG Index, KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                             PVOID KeyValueInformation, ULONG Length, PULONG ResultLength) {
    if (!AtPassive("ZwEnumerateValueKey")) return STATUS_INVALID_DEVICE_STATE;
    if (ResultLength == nullptr) return STATUS_INVALID_PARAMETER;
    if (Injected(HkFault::RegistryEnumerate)) return STATUS_INSUFFICIENT_RESOURCES;
    KeyRef key;
    NTSTATUS status = KeyForAccess(KeyHandle, KEY_QUERY_VALUE, &key);
    if (!NT_SUCCESS(status)) return status;
    std::lock_guard<std::recursive_mutex> hold(Lock());
    if (Index >= key->Values.size()) return STATUS_NO_MORE_ENTRIES;
    return ValueAnswer(key->Values[Index], KeyValueInformationClass,
                       Answer{KeyValueInformation, Length, ResultLength});
}

// Creates the one key Path names; its parent must exist. An existing key is
// success.
NTSTATUS RtlCreateRegistryKey(ULONG RelativeTo, PWSTR Path) {
    if (!AtPassive("RtlCreateRegistryKey")) return STATUS_INVALID_DEVICE_STATE;
    RtlKey key;
    return RtlOpen(RelativeTo, Path, KEY_ALL_ACCESS, true, &key.Handle, &key.Owned);
}

NTSTATUS RtlCheckRegistryKey(ULONG RelativeTo, PWSTR Path) {
    if (!AtPassive("RtlCheckRegistryKey")) return STATUS_INVALID_DEVICE_STATE;
    RtlKey key;
    return RtlOpen(RelativeTo, Path, KEY_READ, false, &key.Handle, &key.Owned);
}

// Writes into an existing key; a missing key is an error, not created.
NTSTATUS RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName, ULONG ValueType, PVOID ValueData,
                               ULONG ValueLength) {
    if (!AtPassive("RtlWriteRegistryValue")) return STATUS_INVALID_DEVICE_STATE;
    RtlKey key;
    NTSTATUS status = RtlOpen(RelativeTo, Path, KEY_SET_VALUE, false, &key.Handle, &key.Owned);
    if (!NT_SUCCESS(status)) return status;
    std::u16string storage;
    UNICODE_STRING name = Counted(ValueName, &storage);
    return ZwSetValueKey(key.Handle, &name, 0, ValueType, ValueData, ValueLength);
}

NTSTATUS RtlDeleteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName) {
    if (!AtPassive("RtlDeleteRegistryValue")) return STATUS_INVALID_DEVICE_STATE;
    RtlKey key;
    NTSTATUS status = RtlOpen(RelativeTo, Path, KEY_SET_VALUE, false, &key.Handle, &key.Owned);
    if (!NT_SUCCESS(status)) return status;
    std::u16string storage;
    UNICODE_STRING name = Counted(ValueName, &storage);
    return ZwDeleteValueKey(key.Handle, &name);
}

void HkRegSetWriteHook(HkRegWriteHook hook) {
    HkRegisterResetHook(ClearWriteHook);
    std::lock_guard<std::mutex> hold(WriteHookLock());
    WriteHook() = std::move(hook);
}

void HkRegSetQueryHook(HkRegQueryHook hook) {
    HkRegisterResetHook(ClearQueryHook);
    std::lock_guard<std::mutex> hold(WriteHookLock());
    QueryHook() = std::move(hook);
}
