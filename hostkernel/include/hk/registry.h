// Host-side access to the registry, for tests, the PnP manager and the
// simulator. Paths are absolute NT paths ("\Registry\Machine\System\...");
// names compare case-insensitively. An empty or null value name is the
// key's default value.
#pragma once
#include <ntddk.h>

#include <functional>
#include <string>
#include <vector>

// Creates the key and every missing parent (like "reg add").
NTSTATUS HkRegCreateKey(PCWSTR path);
bool HkRegKeyExists(PCWSTR path);
// Deletes the key with its whole subtree. Open handles to deleted keys stay
// valid but report STATUS_KEY_DELETED.
NTSTATUS HkRegDeleteKey(PCWSTR path);

// Sets a value, creating the key path as needed.
NTSTATUS HkRegSetValue(PCWSTR path, PCWSTR name, ULONG type, const void* data, ULONG length);
NTSTATUS HkRegSetString(PCWSTR path, PCWSTR name, PCWSTR text);  // REG_SZ with its terminator
NTSTATUS HkRegSetDword(PCWSTR path, PCWSTR name, ULONG value);
// STATUS_OBJECT_NAME_NOT_FOUND when the key or the value is missing.
NTSTATUS HkRegGetValue(PCWSTR path, PCWSTR name, ULONG* type, std::vector<UCHAR>* data);
NTSTATUS HkRegGetDword(PCWSTR path, PCWSTR name, ULONG* value);          // must be 4 bytes of REG_DWORD
NTSTATUS HkRegGetString(PCWSTR path, PCWSTR name, std::u16string* text);  // REG_SZ/REG_EXPAND_SZ, no terminator
bool HkRegValueExists(PCWSTR path, PCWSTR name);
NTSTATUS HkRegDeleteValue(PCWSTR path, PCWSTR name);

// Names with their stored case, in creation order. Empty for a missing key.
std::vector<std::u16string> HkRegEnumSubkeys(PCWSTR path);
std::vector<std::u16string> HkRegEnumValues(PCWSTR path);

// Opens a key (with create, creating it and any missing parents) and returns
// a handle with the given access, as ZwOpenKey/ZwCreateKey would; no fault
// injection. attributes go to the handle (OBJ_KERNEL_HANDLE by default).
NTSTATUS HkRegOpenKey(PCWSTR path, ACCESS_MASK access, bool create, PHANDLE handle,
                      ULONG attributes = OBJ_KERNEL_HANDLE);
// The absolute path of the key a handle refers to (empty if not a key).
std::u16string HkRegKeyPath(HANDLE handle);

// The subtree under path as regedit's .reg text (UTF-8), and back.
// Import creates keys as needed; "[-HKEY_...]" deletes a key and "name"=-
// deletes a value. Malformed text gives STATUS_INVALID_PARAMETER and writes
// nothing.
std::string HkRegExport(PCWSTR path);
NTSTATUS HkRegImport(const std::string& text);

// Test hook: runs on the writing thread before every value write
// (ZwSetValueKey, and so RtlWriteRegistryValue), outside the registry's
// lock, with the key's path and the value name, so a test can hold a writer
// at an exact point. One hook at a time; null removes it, and so does HkReset.
typedef std::function<void(const std::u16string& keyPath, const std::u16string& valueName)> HkRegWriteHook;
void HkRegSetWriteHook(HkRegWriteHook hook);

// Test hook: runs on the reading thread after every ZwQueryValueKey that
// found its value, outside the registry's lock, with the value name, the
// class, the caller's buffer and length and the status; what it returns is
// the caller's status. A test reshapes an answer or runs a path in between.
typedef std::function<NTSTATUS(const std::u16string& valueName, KEY_VALUE_INFORMATION_CLASS infoClass,
                               PVOID information, ULONG length, NTSTATUS status)>
    HkRegQueryHook;
void HkRegSetQueryHook(HkRegQueryHook hook);

// Back to the empty machine tree (\Registry\Machine\System\CurrentControlSet
// with Control, Services, Enum; Software; Hardware\DeviceMap).
void HkRegReset();

// Conversions used by the registry and handy for tests.
std::u16string HkU16(PCWSTR text);
std::string HkUtf8(const std::u16string& text);
