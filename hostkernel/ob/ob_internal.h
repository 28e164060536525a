// Object manager internals shared by the ob, io and user components.
#pragma once
#include <ntddk.h>

#include <atomic>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "hk/ob.h"

struct _OBJECT_TYPE {
    std::string Name;
    HkObDeleteProcedure Delete;
    HkObCloseProcedure Close;
};

namespace hkob {

constexpr uint64_t kHeaderMagic = 0x5244484A424F4B48ull;  // "HKOBJHDR"
constexpr uint64_t kDeadMagic = 0x444145444A424F48ull;

// Precedes every object body.
struct alignas(16) ObjectHeader {
    uint64_t Magic = kHeaderMagic;
    POBJECT_TYPE Type = nullptr;
    std::atomic<LONG_PTR> PointerCount{1};
    std::atomic<LONG_PTR> HandleCount{0};
    ULONG BodySize = 0;
    // Under the object lock.
    ObjectHeader* Directory = nullptr;  // directory that holds the name
    std::u16string Name;                // last path component
    bool Permanent = false;
    bool Deleting = false;

    PVOID Body() { return reinterpret_cast<char*>(this) + sizeof(ObjectHeader); }
};

// Header of a body; null (and a verifier stop) if it is not a live object.
ObjectHeader* HeaderOf(PVOID body, const char* caller);
inline ObjectHeader* HeaderNoCheck(PVOID body) {
    return reinterpret_cast<ObjectHeader*>(static_cast<char*>(body) - sizeof(ObjectHeader));
}

// HkObCreateObject without making sure the namespace exists.
NTSTATUS CreateObject(POBJECT_TYPE type, ULONG bodySize, PVOID* body);

// Namespace and handle tables.
std::recursive_mutex& Lock();

// Directory and link bodies.
struct Directory {
    std::vector<ObjectHeader*> Entries;
    // The same entries by upper-case name, so that a lookup in a directory
    // of thousands of devices does not compare every name.
    std::unordered_map<std::u16string, ObjectHeader*> Index;
};
struct SymbolicLink {
    std::u16string Target;
};

// Looks a path up under the lock; see HkObReferenceObjectByName.
NTSTATUS Lookup(const std::u16string& path, bool caseInsensitive, bool openLink, ObjectHeader** found,
                std::u16string* remaining);
bool CaseInsensitive(ULONG attributes);
// Checks object attributes and forms the absolute path they name (a root
// directory handle is resolved).
NTSTATUS CaptureObjectName(POBJECT_ATTRIBUTES attributes, std::u16string* path);
void EnsureNamespace();
void ResetNamespace();
void ResetHandles();
void ResetObjects();
// Closes a handle; kernelCaller closes kernel handles too.
NTSTATUS CloseHandle(HANDLE handle, bool kernelCaller);
// Removes the name of an object whose handle count dropped to zero unless it
// is permanent.
void DeleteNameCheck(ObjectHeader* header);

// Text helpers (16-bit characters; no library wide-character functions).
std::u16string Text(PCWSTR text);
std::u16string Text(PCUNICODE_STRING text);
std::string Utf8(const std::u16string& text);
bool EqualText(const std::u16string& a, const std::u16string& b, bool caseInsensitive);
// Counted string over a u16string's characters (no copy).
UNICODE_STRING Counted(const std::u16string& text);

}  // namespace hkob
