// Registry internals: the key tree, its lock and path handling.
#pragma once
#include <ntddk.h>

#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace hkcm {

struct Value {
    std::u16string Name;  // empty: the default value
    ULONG Type = REG_NONE;
    std::vector<UCHAR> Data;
};

struct Key {
    std::u16string Name;
    Key* Parent = nullptr;  // valid while not Deleted
    std::vector<std::shared_ptr<Key>> Children;  // creation order
    // The same children by upper-case name: a lookup does not walk a long
    // list of siblings (the platform keeps subkey lists indexed too).
    std::unordered_map<std::u16string, std::shared_ptr<Key>> ChildIndex;
    std::vector<Value> Values;                   // creation order
    bool Deleted = false;
    bool Volatile = false;
    LONGLONG LastWrite = 0;
};
using KeyRef = std::shared_ptr<Key>;

// Guards the whole tree.
std::recursive_mutex& Lock();
// The \Registry root (built on first use and by reset).
KeyRef Root();

// 16-bit text helpers (no library wide-character functions).
std::u16string Text(PCWSTR text);
std::u16string Text(PCUNICODE_STRING text);
bool SameName(const std::u16string& a, const std::u16string& b);

// Splits "\A\B\C" or "A\B" into components; false on an empty component.
bool SplitPath(const std::u16string& path, std::vector<std::u16string>* parts);

// Under the lock.
KeyRef FindChild(const Key& key, const std::u16string& name);
Value* FindValue(Key& key, const std::u16string& name);
// Follows parts from start; null when a component is missing.
KeyRef Walk(const KeyRef& start, const std::vector<std::u16string>* parts, size_t count);
// Absolute key by "\Registry\..." path; null if missing or malformed.
KeyRef FindAbsolute(const std::u16string& path);
KeyRef AddChild(const KeyRef& parent, const std::u16string& name, bool isVolatile);
void SetValue(Key& key, const std::u16string& name, ULONG type, const void* data, ULONG length);
bool DeleteValue(Key& key, const std::u16string& name);
// Marks the subtree deleted and unlinks it from its parent.
void DeleteTree(const KeyRef& key);
std::u16string PathOf(const Key& key);

// Key objects: a handle to a key holds one of these as its object body.
POBJECT_TYPE KeyType();
// Opens a handle on a key (takes its own reference).
NTSTATUS InsertKeyHandle(const KeyRef& key, ACCESS_MASK access, ULONG attributes, PHANDLE handle);
// The key of a handle and the access it grants.
NTSTATUS KeyFromHandle(HANDLE handle, KeyRef* key, ACCESS_MASK* granted);
// Generic rights mapped to key rights.
ACCESS_MASK MapAccess(ACCESS_MASK desired);

void EnsureInitialized();

}  // namespace hkcm
