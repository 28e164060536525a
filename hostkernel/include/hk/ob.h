// Host control of the object manager: object types and objects for other
// components, handle tables for processes, the namespace switch and lookups
// for tests and the simulator.
#pragma once
#include <ntddk.h>

#include <string>
#include <utility>
#include <vector>

// ---------------------------------------------------------------- types and objects

// Runs when the last reference goes; the body memory is freed after it.
typedef void (*HkObDeleteProcedure)(PVOID body);
// Runs after a handle to the object is closed, with the number of handles
// still open (0: the last one went).
typedef void (*HkObCloseProcedure)(PVOID body, ULONG_PTR handlesLeft);

// Types live as long as the process.
POBJECT_TYPE HkObCreateType(const char* name, HkObDeleteProcedure deleteProcedure,
                            HkObCloseProcedure closeProcedure = nullptr);
const char* HkObTypeName(POBJECT_TYPE type);
POBJECT_TYPE HkObGetObjectType(PVOID body);
POBJECT_TYPE HkObDirectoryType();
POBJECT_TYPE HkObSymbolicLinkType();

// A new object with a zeroed body of bodySize bytes (16-byte aligned) and one
// reference, which the caller owns.
NTSTATUS HkObCreateObject(POBJECT_TYPE type, ULONG bodySize, PVOID* body);

// Puts the object into the namespace under an absolute path (links in the
// directory part are followed). The namespace holds a reference while the
// name exists. A permanent name stays until HkObRemoveName or until it is
// made temporary and no handle is open. Collision: STATUS_OBJECT_NAME_COLLISION.
NTSTATUS HkObInsertName(PVOID body, PCUNICODE_STRING path, bool permanent);
// Takes the name away at once (no-op for unnamed objects).
void HkObRemoveName(PVOID body);
// Full path of a named object; empty when it has no name.
std::u16string HkObGetName(PVOID body);

// Looks a path up and returns a referenced body. Links are followed, the last
// one too unless attributes has OBJ_OPENLINK. type null accepts any type.
// remaining (optional) receives the part of the path below a non-directory
// object (e.g. "\file" of "\Device\X\file"); without it that is an error.
NTSTATUS HkObReferenceObjectByName(PCUNICODE_STRING path, ULONG attributes, POBJECT_TYPE type, PVOID* body,
                                   std::u16string* remaining = nullptr);

LONG_PTR HkObPointerCount(PVOID body);
LONG_PTR HkObHandleCount(PVOID body);
// Objects alive right now (all types, or one type).
size_t HkObLiveObjects(POBJECT_TYPE type = nullptr);

// ---------------------------------------------------------------- handles

struct HkHandleTable;

HkHandleTable* HkObCreateHandleTable();
// Closes every handle still in the table, then frees it.
void HkObDestroyHandleTable(HkHandleTable* table);

// Opens a handle: OBJ_KERNEL_HANDLE puts it into the kernel table, otherwise
// it goes into the current process's table (the kernel table for the system
// process). The handle holds a reference of its own.
NTSTATUS HkObInsertHandle(PVOID body, ACCESS_MASK granted, ULONG attributes, HANDLE* handle);
// The access the last handle opened to an object of the type was granted;
// 0 when none was opened since the reset. Kernel callers are not checked
// against it (Zw callers are not access-checked), but a test can assert what
// a driver asked for.
ACCESS_MASK HkObLastHandleAccess(POBJECT_TYPE type);
// Referenced body of a handle (kernel handles from any process). type null
// accepts any type. STATUS_INVALID_HANDLE, STATUS_OBJECT_TYPE_MISMATCH.
NTSTATUS HkObReferenceObjectByHandle(HANDLE handle, POBJECT_TYPE type, PVOID* body, ACCESS_MASK* granted);

// Handles open in a table (null: the kernel table).
size_t HkObHandleTableCount(HkHandleTable* table);
// Prints every open handle of every table to stderr; returns the count.
size_t HkObReportLeakedHandles();

// ---------------------------------------------------------------- namespace

// The object manager's case-insensitive default (ObCaseInsensitive): on, as
// on every Windows installation since XP, lookups ignore case whatever the
// caller asked; off, only OBJ_CASE_INSENSITIVE lookups do.
void HkObSetCaseInsensitiveDefault(bool on);
bool HkObCaseInsensitiveDefault();

// Target of a symbolic link (the link itself is not followed); false when
// there is no link of that name.
bool HkObQueryLinkTarget(PCWSTR linkName, std::u16string* target);
// Symbolic links of a directory ("\GLOBAL??", "\DosDevices" ...): name and
// target, sorted by name.
std::vector<std::pair<std::u16string, std::u16string>> HkObListLinks(PCWSTR directory);
// Names of every object in a directory, sorted.
std::vector<std::u16string> HkObListDirectory(PCWSTR directory);

// DOS device names (Microsoft Learn, "Local and Global MS-DOS Device
// Names"): \GLOBAL?? is the global DosDevices directory; every logon session
// has a local one, \Sessions\0\DosDevices\00000000-<logon id>, which holds
// a link "Global" to \GLOBAL??. \?? means the current process's local
// directory (searched first, then the global one) or, for the system
// process, \GLOBAL??.
//
// The local directory of a logon session (made on first use), referenced
// for the caller.
PVOID HkObCreateLocalDosDevices(ULONG logonId);
// Every link in a local DosDevices directory but the "Global" ones: full
// name and target, sorted.
std::vector<std::pair<std::u16string, std::u16string>> HkObListLocalDosLinks();
// Device object a name leads to, links followed; null if none. Not referenced.
PDEVICE_OBJECT HkObLookupDevice(PCWSTR name);
bool HkObNameExists(PCWSTR name);
