// Object manager: the namespace. Directories \, \Device, \Driver,
// \GLOBAL?? and \Sessions\0\DosDevices; \DosDevices is a link to \??.
//
// DOS device names follow Microsoft Learn, "Local and Global MS-DOS Device
// Names": \?? is the DosDevices directory of the current process, a local
// directory for a process of a user's logon session and \GLOBAL?? for the
// system process. A lookup under \?? searches the local directory first and
// the global one second, so a local name hides a global one; a name created
// under \?? lands in the local directory of a thread that runs in one.
// "Global" in every local directory, and in \GLOBAL?? itself, is a link to
// \GLOBAL??, so \DosDevices\Global\X names the global X from anywhere.
#include <stdio.h>

#include <algorithm>
#include <new>

#include "hk/process.h"
#include "hk/reset.h"
#include "hk/text.h"
#include "hk/thread.h"
#include "hk/verifier.h"
#include "ob/ob_internal.h"

namespace hkob {
namespace {

constexpr int kMaxReparse = 32;

constexpr char16_t kGlobalDirectory[] = u"\\GLOBAL??";
constexpr char16_t kLocalDirectories[] = u"\\Sessions\\0\\DosDevices";

std::atomic<bool> g_caseInsensitiveDefault{true};
ObjectHeader* g_root = nullptr;
ObjectHeader* g_global = nullptr;  // \GLOBAL??
ObjectHeader* g_locals = nullptr;  // \Sessions\0\DosDevices
bool g_hookRegistered = false;

void DeleteDirectory(PVOID body) {
    static_cast<Directory*>(body)->~Directory();
}

void DeleteLink(PVOID body) {
    static_cast<SymbolicLink*>(body)->~SymbolicLink();
}

Directory* DirectoryOf(ObjectHeader* header) {
    return static_cast<Directory*>(header->Body());
}

// Names in a directory differ in more than case (HkObInsertName refuses
// the rest), so one upper-case name has at most one entry.
ObjectHeader* FindEntry(ObjectHeader* directory, const std::u16string& name, bool caseInsensitive) {
    Directory* body = DirectoryOf(directory);
    auto found = body->Index.find(HkUpcaseText(name));
    if (found == body->Index.end() || !EqualText(found->second->Name, name, caseInsensitive)) {
        return nullptr;
    }
    return found->second;
}

ObjectHeader* NewDirectory() {
    PVOID body = nullptr;
    if (!NT_SUCCESS(CreateObject(HkObDirectoryType(), sizeof(Directory), &body))) {
        return nullptr;
    }
    new (body) Directory;
    return HeaderNoCheck(body);
}

// Under the lock: links a new entry (reference taken over) into a directory.
void Link(ObjectHeader* directory, ObjectHeader* entry, const std::u16string& name, bool permanent) {
    entry->Directory = directory;
    entry->Name = name;
    entry->Permanent = permanent;
    DirectoryOf(directory)->Entries.push_back(entry);
    DirectoryOf(directory)->Index.emplace(HkUpcaseText(name), entry);
}

// Under the lock: takes a named entry out of its directory (the caller
// drops the directory's reference).
void Unlink(ObjectHeader* entry) {
    Directory* body = DirectoryOf(entry->Directory);
    body->Entries.erase(std::remove(body->Entries.begin(), body->Entries.end(), entry), body->Entries.end());
    body->Index.erase(HkUpcaseText(entry->Name));
    entry->Directory = nullptr;
}

ObjectHeader* AddStandardDirectory(ObjectHeader* parent, const char16_t* name) {
    ObjectHeader* directory = NewDirectory();
    if (directory) {
        Link(parent, directory, name, true);
    }
    return directory;
}

void AddStandardLink(ObjectHeader* parent, const char16_t* name, const char16_t* target) {
    PVOID body = nullptr;
    if (NT_SUCCESS(CreateObject(HkObSymbolicLinkType(), sizeof(SymbolicLink), &body))) {
        new (body) SymbolicLink{target};
        Link(parent, HeaderNoCheck(body), name, true);
    }
}

// The DosDevices directory that \?? means for the calling thread: the
// local one of its process, null for the global one.
ObjectHeader* CurrentLocalDirectory() {
    auto* process = static_cast<PEPROCESS>(HkThreadGetProcess());
    PVOID local = process ? HkPsDosDevicesDirectory(process) : nullptr;
    return local ? HeaderNoCheck(local) : nullptr;
}

bool IsDosDevicesAlias(const std::u16string& component) {
    return component == u"??";
}

void ResetHook() {
    ResetHandles();
    ResetNamespace();
    ResetObjects();
    g_caseInsensitiveDefault = true;
}

// Splits "\a\b\c" into "\a\b" and "c"; "\c" into "\" and "c".
bool SplitParent(const std::u16string& path, std::u16string* parent, std::u16string* name) {
    size_t slash = path.rfind(u'\\');
    if (path.empty() || path[0] != u'\\' || slash == std::u16string::npos || slash + 1 == path.size()) {
        return false;
    }
    *parent = slash == 0 ? std::u16string(u"\\") : path.substr(0, slash);
    *name = path.substr(slash + 1);
    return true;
}

}  // namespace

std::recursive_mutex& Lock() {
    static std::recursive_mutex lock;
    return lock;
}

bool CaseInsensitive(ULONG attributes) {
    return (attributes & OBJ_CASE_INSENSITIVE) || g_caseInsensitiveDefault.load();
}

void EnsureNamespace() {
    std::lock_guard<std::recursive_mutex> guard(Lock());
    if (!g_hookRegistered) {
        g_hookRegistered = true;
        HkRegisterResetHook(&ResetHook);
    }
    if (g_root) {
        return;
    }
    g_root = NewDirectory();
    g_root->Permanent = true;
    AddStandardDirectory(g_root, u"Device");
    AddStandardDirectory(g_root, u"Driver");
    g_global = AddStandardDirectory(g_root, u"GLOBAL??");
    AddStandardLink(g_global, u"Global", kGlobalDirectory);
    AddStandardDirectory(g_root, u"ObjectTypes");
    ObjectHeader* sessions = AddStandardDirectory(g_root, u"Sessions");
    g_locals = AddStandardDirectory(AddStandardDirectory(sessions, u"0"), u"DosDevices");
    AddStandardLink(g_root, u"DosDevices", u"\\??");
}

void ResetNamespace() {
    std::lock_guard<std::recursive_mutex> guard(Lock());
    g_root = nullptr;  // the objects themselves go with ResetObjects
    g_global = nullptr;
    g_locals = nullptr;
}

NTSTATUS Lookup(const std::u16string& path, bool caseInsensitive, bool openLink, ObjectHeader** found,
                std::u16string* remaining) {
    EnsureNamespace();
    ObjectHeader* local = CurrentLocalDirectory();
    std::lock_guard<std::recursive_mutex> guard(Lock());
    std::u16string current = path;
    for (int reparse = 0; reparse <= kMaxReparse; ++reparse) {
        if (current.empty() || current[0] != u'\\') {
            return STATUS_OBJECT_PATH_SYNTAX_BAD;
        }
        ObjectHeader* directory = g_root;
        if (current.size() == 1) {
            ++directory->PointerCount;
            *found = directory;
            return STATUS_SUCCESS;
        }
        size_t pos = 1;
        bool reparsed = false;
        while (!reparsed) {
            size_t end = current.find(u'\\', pos);
            bool last = end == std::u16string::npos;
            std::u16string component = current.substr(pos, last ? std::u16string::npos : end - pos);
            if (component.empty()) {
                return STATUS_OBJECT_NAME_INVALID;
            }
            ObjectHeader* entry = nullptr;
            if (directory == g_root && IsDosDevicesAlias(component)) {
                entry = local ? local : g_global;
            } else {
                entry = FindEntry(directory, component, caseInsensitive);
                if (!entry && directory == local && local) {
                    entry = FindEntry(g_global, component, caseInsensitive);  // local first, global second
                }
            }
            if (!entry) {
                return last ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_OBJECT_PATH_NOT_FOUND;
            }
            if (entry->Type == HkObSymbolicLinkType() && (!last || !openLink)) {
                auto* link = static_cast<SymbolicLink*>(entry->Body());
                current = link->Target + (last ? std::u16string() : current.substr(end));
                reparsed = true;
                continue;
            }
            if (last) {
                ++entry->PointerCount;
                *found = entry;
                return STATUS_SUCCESS;
            }
            if (entry->Type == HkObDirectoryType()) {
                directory = entry;
                pos = end + 1;
                continue;
            }
            if (!remaining) {
                return STATUS_OBJECT_PATH_NOT_FOUND;
            }
            *remaining = current.substr(end);
            ++entry->PointerCount;
            *found = entry;
            return STATUS_SUCCESS;
        }
    }
    return STATUS_OBJECT_NAME_NOT_FOUND;
}

void DeleteNameCheck(ObjectHeader* header) {
    bool unnamed = false;
    {
        std::lock_guard<std::recursive_mutex> guard(Lock());
        if (header->Directory && !header->Permanent && header->HandleCount.load() == 0) {
            Unlink(header);
            unnamed = true;
        }
    }
    if (unnamed) {
        ObfDereferenceObject(header->Body());
    }
}

}  // namespace hkob

using namespace hkob;

POBJECT_TYPE HkObDirectoryType() {
    static POBJECT_TYPE type = HkObCreateType("Directory", &DeleteDirectory);
    return type;
}

POBJECT_TYPE HkObSymbolicLinkType() {
    static POBJECT_TYPE type = HkObCreateType("SymbolicLink", &DeleteLink);
    return type;
}

void HkObSetCaseInsensitiveDefault(bool on) {
    g_caseInsensitiveDefault = on;
}

bool HkObCaseInsensitiveDefault() {
    return g_caseInsensitiveDefault.load();
}

NTSTATUS HkObInsertName(PVOID body, PCUNICODE_STRING path, bool permanent) {
    ObjectHeader* header = HeaderOf(body, "HkObInsertName");
    if (!header || !path || !path->Buffer) {
        return STATUS_INVALID_PARAMETER;
    }
    std::u16string parentPath;
    std::u16string name;
    if (!SplitParent(Text(path), &parentPath, &name)) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    ObjectHeader* parent = nullptr;
    NTSTATUS status = Lookup(parentPath, true, false, &parent, nullptr);
    if (!NT_SUCCESS(status)) {
        return STATUS_OBJECT_PATH_NOT_FOUND;
    }
    {
        std::lock_guard<std::recursive_mutex> guard(Lock());
        if (parent->Type != HkObDirectoryType()) {
            status = STATUS_OBJECT_PATH_NOT_FOUND;
        } else if (header->Directory) {
            status = STATUS_OBJECT_NAME_EXISTS;
        } else if (FindEntry(parent, name, true)) {
            status = STATUS_OBJECT_NAME_COLLISION;
        } else {
            ++header->PointerCount;
            Link(parent, header, name, permanent);
        }
    }
    ObfDereferenceObject(parent->Body());
    return status == STATUS_OBJECT_NAME_EXISTS ? STATUS_INVALID_PARAMETER : status;
}

void HkObRemoveName(PVOID body) {
    ObjectHeader* header = HeaderOf(body, "HkObRemoveName");
    if (!header) {
        return;
    }
    {
        std::lock_guard<std::recursive_mutex> guard(Lock());
        header->Permanent = false;
        if (!header->Directory) {
            return;
        }
        Unlink(header);
    }
    ObfDereferenceObject(body);
}

std::u16string HkObGetName(PVOID body) {
    ObjectHeader* header = HeaderOf(body, "HkObGetName");
    std::lock_guard<std::recursive_mutex> guard(Lock());
    if (!header || (!header->Directory && header != g_root)) {
        return std::u16string();
    }
    if (header == g_root) {
        return u"\\";
    }
    std::u16string path;
    for (ObjectHeader* h = header; h && h != g_root; h = h->Directory) {
        path = u"\\" + h->Name + path;
    }
    return path;
}

NTSTATUS HkObReferenceObjectByName(PCUNICODE_STRING path, ULONG attributes, POBJECT_TYPE type, PVOID* body,
                                   std::u16string* remaining) {
    if (!path || !path->Buffer || !body) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    ObjectHeader* header = nullptr;
    NTSTATUS status = Lookup(Text(path), CaseInsensitive(attributes), (attributes & OBJ_OPENLINK) != 0, &header,
                             remaining);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (type && header->Type != type) {
        ObfDereferenceObject(header->Body());
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    *body = header->Body();
    return STATUS_SUCCESS;
}

void ObMakeTemporaryObject(PVOID Object) {
    ObjectHeader* header = HeaderOf(Object, "ObMakeTemporaryObject");
    if (!header) {
        return;
    }
    {
        std::lock_guard<std::recursive_mutex> guard(Lock());
        header->Permanent = false;
    }
    DeleteNameCheck(header);
}

bool HkObQueryLinkTarget(PCWSTR linkName, std::u16string* target) {
    ObjectHeader* header = nullptr;
    if (!NT_SUCCESS(Lookup(Text(linkName), true, true, &header, nullptr))) {
        return false;
    }
    bool isLink = header->Type == HkObSymbolicLinkType();
    if (isLink && target) {
        std::lock_guard<std::recursive_mutex> guard(Lock());
        *target = static_cast<SymbolicLink*>(header->Body())->Target;
    }
    ObfDereferenceObject(header->Body());
    return isLink;
}

namespace {

template <typename Visit>
bool ForEachEntry(PCWSTR directory, Visit visit) {
    ObjectHeader* header = nullptr;
    if (!NT_SUCCESS(Lookup(Text(directory), true, false, &header, nullptr))) {
        return false;
    }
    {
        std::lock_guard<std::recursive_mutex> guard(Lock());
        if (header->Type == HkObDirectoryType()) {
            for (ObjectHeader* entry : DirectoryOf(header)->Entries) {
                visit(entry);
            }
        }
    }
    ObfDereferenceObject(header->Body());
    return true;
}

}  // namespace

std::vector<std::pair<std::u16string, std::u16string>> HkObListLinks(PCWSTR directory) {
    std::vector<std::pair<std::u16string, std::u16string>> links;
    ForEachEntry(directory, [&](ObjectHeader* entry) {
        if (entry->Type == HkObSymbolicLinkType()) {
            links.emplace_back(entry->Name, static_cast<SymbolicLink*>(entry->Body())->Target);
        }
    });
    std::sort(links.begin(), links.end());
    return links;
}

std::vector<std::pair<std::u16string, std::u16string>> HkObListLocalDosLinks() {
    std::vector<std::pair<std::u16string, std::u16string>> links;
    EnsureNamespace();
    std::lock_guard<std::recursive_mutex> guard(Lock());
    for (ObjectHeader* local : DirectoryOf(g_locals)->Entries) {
        if (local->Type != HkObDirectoryType()) {
            continue;
        }
        for (ObjectHeader* entry : DirectoryOf(local)->Entries) {
            auto* link = entry->Type == HkObSymbolicLinkType() ? static_cast<SymbolicLink*>(entry->Body()) : nullptr;
            if (link && !(entry->Name == u"Global" && link->Target == kGlobalDirectory)) {
                links.emplace_back(std::u16string(kLocalDirectories) + u"\\" + local->Name + u"\\" + entry->Name,
                                   link->Target);
            }
        }
    }
    std::sort(links.begin(), links.end());
    return links;
}

PVOID HkObCreateLocalDosDevices(ULONG logonId) {
    EnsureNamespace();
    char16_t name[18];
    char text[18];
    snprintf(text, sizeof(text), "00000000-%08x", logonId);
    for (size_t i = 0; i < sizeof(text); ++i) {
        name[i] = static_cast<char16_t>(text[i]);
    }
    std::lock_guard<std::recursive_mutex> guard(Lock());
    ObjectHeader* directory = FindEntry(g_locals, name, true);
    if (!directory) {
        directory = AddStandardDirectory(g_locals, name);
        if (!directory) {
            return nullptr;
        }
        AddStandardLink(directory, u"Global", kGlobalDirectory);
    }
    ++directory->PointerCount;
    return directory->Body();
}

std::vector<std::u16string> HkObListDirectory(PCWSTR directory) {
    std::vector<std::u16string> names;
    ForEachEntry(directory, [&](ObjectHeader* entry) { names.push_back(entry->Name); });
    std::sort(names.begin(), names.end());
    return names;
}

PDEVICE_OBJECT HkObLookupDevice(PCWSTR name) {
    ObjectHeader* header = nullptr;
    if (!name || !NT_SUCCESS(Lookup(Text(name), true, false, &header, nullptr))) {
        return nullptr;
    }
    PDEVICE_OBJECT device = nullptr;
    if (header->Type == *IoDeviceObjectType) {
        device = static_cast<PDEVICE_OBJECT>(header->Body());
    }
    ObfDereferenceObject(header->Body());
    return device;
}

bool HkObNameExists(PCWSTR name) {
    ObjectHeader* header = nullptr;
    if (!name || !NT_SUCCESS(Lookup(Text(name), true, true, &header, nullptr))) {
        return false;
    }
    ObfDereferenceObject(header->Body());
    return true;
}
