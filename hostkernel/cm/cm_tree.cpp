// The key tree, key objects and the host-side registry API.
#include <cstring>
#include "hk/text.h"
#include <new>
#include <unordered_map>

#include "cm/cm_internal.h"
#include "hk/clock.h"
#include "hk/ob.h"
#include "hk/registry.h"
#include "hk/reset.h"

namespace hkcm {
namespace {

KeyRef g_root;


void Touch(Key& key) { key.LastWrite = HkClockNow(); }

KeyRef EnsurePath(const std::u16string& path) {
    std::vector<std::u16string> parts;
    if (!SplitPath(path, &parts) || parts.empty() || !SameName(parts[0], u"Registry")) return nullptr;
    KeyRef key = Root();
    for (size_t i = 1; i < parts.size(); ++i) {
        KeyRef next = FindChild(*key, parts[i]);
        key = next ? next : AddChild(key, parts[i], false);
    }
    return key;
}

void BuildMachine() {
    g_root = std::make_shared<Key>();
    g_root->Name = u"Registry";
    for (const char16_t* path : {u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class",
                                 u"\\Registry\\Machine\\System\\CurrentControlSet\\Services",
                                 u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum",
                                 u"\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion",
                                 u"\\Registry\\Machine\\Hardware\\DeviceMap",
                                 u"\\Registry\\User\\.DEFAULT"}) {
        EnsurePath(path);
    }
}

// Key object bodies name their key; the registry keeps the key alive for
// them, so a reset frees every key even if a handle was leaked.
struct KeyBody {
    Key* Target;
};

std::unordered_map<const KeyBody*, KeyRef>& Pins() {
    static std::unordered_map<const KeyBody*, KeyRef> pins;
    return pins;
}

void DeleteKeyBody(PVOID body) {
    std::lock_guard<std::recursive_mutex> hold(Lock());
    Pins().erase(static_cast<KeyBody*>(body));
}

}  // namespace

std::recursive_mutex& Lock() {
    static std::recursive_mutex lock;
    return lock;
}

void EnsureInitialized() {
    static std::once_flag once;
    std::call_once(once, [] { HkRegisterResetHook(HkRegReset); });
}

KeyRef Root() {
    EnsureInitialized();
    std::lock_guard<std::recursive_mutex> hold(Lock());
    if (!g_root) BuildMachine();
    return g_root;
}

std::u16string Text(PCWSTR text) { return HkText(text); }

std::u16string Text(PCUNICODE_STRING text) { return HkText(text); }

bool SameName(const std::u16string& a, const std::u16string& b) { return HkEqualText(a, b, true); }

bool SplitPath(const std::u16string& path, std::vector<std::u16string>* parts) {
    parts->clear();
    size_t start = (!path.empty() && path[0] == u'\\') ? 1 : 0;
    if (start == path.size()) return true;
    while (true) {
        size_t end = path.find(u'\\', start);
        std::u16string part = path.substr(start, end == std::u16string::npos ? std::u16string::npos : end - start);
        if (part.empty() || part.size() > 255) return false;
        parts->push_back(part);
        if (end == std::u16string::npos) return true;
        start = end + 1;
    }
}

KeyRef FindChild(const Key& key, const std::u16string& name) {
    auto found = key.ChildIndex.find(HkUpcaseText(name));
    return found == key.ChildIndex.end() ? nullptr : found->second;
}

Value* FindValue(Key& key, const std::u16string& name) {
    for (Value& value : key.Values) {
        if (SameName(value.Name, name)) return &value;
    }
    return nullptr;
}

KeyRef Walk(const KeyRef& start, const std::vector<std::u16string>* parts, size_t count) {
    KeyRef key = start;
    for (size_t i = 0; i < count && key; ++i) key = FindChild(*key, (*parts)[i]);
    return key;
}

KeyRef FindAbsolute(const std::u16string& path) {
    std::vector<std::u16string> parts;
    if (path.empty() || path[0] != u'\\' || !SplitPath(path, &parts) || parts.empty() ||
        !SameName(parts[0], u"Registry")) {
        return nullptr;
    }
    KeyRef root = Root();
    std::lock_guard<std::recursive_mutex> hold(Lock());
    std::vector<std::u16string> rest(parts.begin() + 1, parts.end());
    return Walk(root, &rest, rest.size());
}

KeyRef AddChild(const KeyRef& parent, const std::u16string& name, bool isVolatile) {
    auto child = std::make_shared<Key>();
    child->Name = name;
    child->Parent = parent.get();
    child->Volatile = isVolatile;
    Touch(*child);
    parent->Children.push_back(child);
    parent->ChildIndex[HkUpcaseText(name)] = child;
    Touch(*parent);
    return child;
}

void SetValue(Key& key, const std::u16string& name, ULONG type, const void* data, ULONG length) {
    Value* value = FindValue(key, name);
    if (value == nullptr) {
        key.Values.emplace_back();
        value = &key.Values.back();
        value->Name = name;
    }
    value->Type = type;
    const UCHAR* bytes = static_cast<const UCHAR*>(data);
    value->Data.assign(bytes, bytes + (bytes ? length : 0));
    Touch(key);
}

bool DeleteValue(Key& key, const std::u16string& name) {
    for (auto it = key.Values.begin(); it != key.Values.end(); ++it) {
        if (SameName(it->Name, name)) {
            key.Values.erase(it);
            Touch(key);
            return true;
        }
    }
    return false;
}

namespace {
void MarkDeleted(Key& key) {
    for (const KeyRef& child : key.Children) {
        MarkDeleted(*child);
        child->Parent = nullptr;
    }
    key.Children.clear();
    key.ChildIndex.clear();
    key.Deleted = true;
}
}  // namespace

void DeleteTree(const KeyRef& key) {
    if (Key* parent = key->Parent) {
        auto& siblings = parent->Children;
        for (auto it = siblings.begin(); it != siblings.end(); ++it) {
            if (it->get() == key.get()) {
                siblings.erase(it);
                break;
            }
        }
        parent->ChildIndex.erase(HkUpcaseText(key->Name));
        Touch(*parent);
        key->Parent = nullptr;
    }
    MarkDeleted(*key);
}

std::u16string PathOf(const Key& key) {
    if (key.Parent == nullptr) return u"\\" + key.Name;
    return PathOf(*key.Parent) + u"\\" + key.Name;
}

POBJECT_TYPE KeyType() {
    static POBJECT_TYPE type = HkObCreateType("Key", DeleteKeyBody);
    return type;
}

NTSTATUS InsertKeyHandle(const KeyRef& key, ACCESS_MASK access, ULONG attributes, PHANDLE handle) {
    PVOID body = nullptr;
    NTSTATUS status = HkObCreateObject(KeyType(), sizeof(KeyBody), &body);
    if (!NT_SUCCESS(status)) return status;
    {
        std::lock_guard<std::recursive_mutex> hold(Lock());
        Pins()[new (body) KeyBody{key.get()}] = key;
    }
    status = HkObInsertHandle(body, access, attributes, handle);
    ObDereferenceObject(body);  // the handle holds the object now
    return status;
}

NTSTATUS KeyFromHandle(HANDLE handle, KeyRef* key, ACCESS_MASK* granted) {
    PVOID body = nullptr;
    NTSTATUS status = HkObReferenceObjectByHandle(handle, KeyType(), &body, granted);
    if (!NT_SUCCESS(status)) return status;
    {
        std::lock_guard<std::recursive_mutex> hold(Lock());
        auto pin = Pins().find(static_cast<KeyBody*>(body));
        *key = pin != Pins().end() ? pin->second : nullptr;
    }
    ObDereferenceObject(body);
    if (!*key) return STATUS_INVALID_HANDLE;
    return (*key)->Deleted ? STATUS_KEY_DELETED : STATUS_SUCCESS;
}

ACCESS_MASK MapAccess(ACCESS_MASK desired) {
    ACCESS_MASK access = desired & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED);
    if (desired & GENERIC_READ) access |= KEY_READ;
    if (desired & GENERIC_WRITE) access |= KEY_WRITE;
    if (desired & GENERIC_EXECUTE) access |= KEY_EXECUTE;
    if (desired & (GENERIC_ALL | MAXIMUM_ALLOWED)) access |= KEY_ALL_ACCESS;
    return access;
}

}  // namespace hkcm

using namespace hkcm;

// ---------------------------------------------------------------- host API

std::u16string HkU16(PCWSTR text) { return Text(text); }

NTSTATUS HkRegCreateKey(PCWSTR path) {
    Root();
    std::lock_guard<std::recursive_mutex> hold(Lock());
    return EnsurePath(Text(path)) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_INVALID;
}

bool HkRegKeyExists(PCWSTR path) { return FindAbsolute(Text(path)) != nullptr; }

NTSTATUS HkRegDeleteKey(PCWSTR path) {
    std::lock_guard<std::recursive_mutex> hold(Lock());
    KeyRef key = FindAbsolute(Text(path));
    if (!key) return STATUS_OBJECT_NAME_NOT_FOUND;
    if (key->Parent == nullptr) return STATUS_CANNOT_DELETE;
    DeleteTree(key);
    return STATUS_SUCCESS;
}

NTSTATUS HkRegSetValue(PCWSTR path, PCWSTR name, ULONG type, const void* data, ULONG length) {
    if (data == nullptr && length != 0) return STATUS_INVALID_PARAMETER;
    Root();
    std::lock_guard<std::recursive_mutex> hold(Lock());
    KeyRef key = EnsurePath(Text(path));
    if (!key) return STATUS_OBJECT_NAME_INVALID;
    SetValue(*key, Text(name), type, data, length);
    return STATUS_SUCCESS;
}

NTSTATUS HkRegSetString(PCWSTR path, PCWSTR name, PCWSTR text) {
    std::u16string value = Text(text);
    return HkRegSetValue(path, name, REG_SZ, value.c_str(), static_cast<ULONG>((value.size() + 1) * sizeof(WCHAR)));
}

NTSTATUS HkRegSetDword(PCWSTR path, PCWSTR name, ULONG value) {
    return HkRegSetValue(path, name, REG_DWORD, &value, sizeof(value));
}

NTSTATUS HkRegGetValue(PCWSTR path, PCWSTR name, ULONG* type, std::vector<UCHAR>* data) {
    std::lock_guard<std::recursive_mutex> hold(Lock());
    KeyRef key = FindAbsolute(Text(path));
    Value* value = key ? FindValue(*key, Text(name)) : nullptr;
    if (value == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
    if (type) *type = value->Type;
    if (data) *data = value->Data;
    return STATUS_SUCCESS;
}

NTSTATUS HkRegGetDword(PCWSTR path, PCWSTR name, ULONG* result) {
    ULONG type = 0;
    std::vector<UCHAR> data;
    NTSTATUS status = HkRegGetValue(path, name, &type, &data);
    if (!NT_SUCCESS(status)) return status;
    if (type != REG_DWORD || data.size() != sizeof(ULONG)) return STATUS_OBJECT_TYPE_MISMATCH;
    std::memcpy(result, data.data(), sizeof(ULONG));
    return STATUS_SUCCESS;
}

NTSTATUS HkRegGetString(PCWSTR path, PCWSTR name, std::u16string* text) {
    ULONG type = 0;
    std::vector<UCHAR> data;
    NTSTATUS status = HkRegGetValue(path, name, &type, &data);
    if (!NT_SUCCESS(status)) return status;
    if (type != REG_SZ && type != REG_EXPAND_SZ) return STATUS_OBJECT_TYPE_MISMATCH;
    std::u16string result(data.size() / 2, u'\0');
    if (!result.empty()) std::memcpy(&result[0], data.data(), result.size() * 2);
    while (!result.empty() && result.back() == u'\0') result.pop_back();
    *text = result;
    return STATUS_SUCCESS;
}

bool HkRegValueExists(PCWSTR path, PCWSTR name) { return NT_SUCCESS(HkRegGetValue(path, name, nullptr, nullptr)); }

NTSTATUS HkRegDeleteValue(PCWSTR path, PCWSTR name) {
    std::lock_guard<std::recursive_mutex> hold(Lock());
    KeyRef key = FindAbsolute(Text(path));
    if (!key || !DeleteValue(*key, Text(name))) return STATUS_OBJECT_NAME_NOT_FOUND;
    return STATUS_SUCCESS;
}

std::vector<std::u16string> HkRegEnumSubkeys(PCWSTR path) {
    std::lock_guard<std::recursive_mutex> hold(Lock());
    std::vector<std::u16string> names;
    if (KeyRef key = FindAbsolute(Text(path))) {
        for (const KeyRef& child : key->Children) names.push_back(child->Name);
    }
    return names;
}

std::vector<std::u16string> HkRegEnumValues(PCWSTR path) {
    std::lock_guard<std::recursive_mutex> hold(Lock());
    std::vector<std::u16string> names;
    if (KeyRef key = FindAbsolute(Text(path))) {
        for (const Value& value : key->Values) names.push_back(value.Name);
    }
    return names;
}

NTSTATUS HkRegOpenKey(PCWSTR path, ACCESS_MASK access, bool create, PHANDLE handle, ULONG attributes) {
    KeyRef key;
    {
        Root();
        std::lock_guard<std::recursive_mutex> hold(Lock());
        key = create ? EnsurePath(Text(path)) : FindAbsolute(Text(path));
    }
    if (!key) return create ? STATUS_OBJECT_NAME_INVALID : STATUS_OBJECT_NAME_NOT_FOUND;
    return InsertKeyHandle(key, MapAccess(access), attributes, handle);
}

std::u16string HkRegKeyPath(HANDLE handle) {
    KeyRef key;
    ACCESS_MASK granted = 0;
    if (!NT_SUCCESS(KeyFromHandle(handle, &key, &granted))) return std::u16string();
    std::lock_guard<std::recursive_mutex> hold(Lock());
    return PathOf(*key);
}

void HkRegReset() {
    std::lock_guard<std::recursive_mutex> hold(Lock());
    if (g_root) DeleteTree(g_root);
    Pins().clear();
    BuildMachine();
}
