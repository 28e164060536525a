// Processes: records with an id, an image path, a PEB in host memory and a
// handle table; the current process of a thread; the process queries.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <new>
#include <string>
#include <vector>

#include "hk/fault.h"
#include "hk/ob.h"
#include "hk/process.h"
#include "hk/reset.h"
#include "hk/thread.h"
#include "hk/verifier.h"

// Text of a process; the process table owns it so that a reset frees it
// even when a leaked handle kept the process object.
struct HkProcessText {
    std::u16string Win32Path;
    std::u16string PebPath;  // what the PEB's ImagePathName points to
};

// The process object body.
struct _EPROCESS {
    HANDLE Id = nullptr;
    HANDLE ParentId = nullptr;
    HkProcessText* Text = nullptr;
    PEB Peb = {};
    RTL_USER_PROCESS_PARAMETERS Parameters = {};
    std::atomic<HkHandleTable*> Handles{nullptr};  // read by the object manager under its lock
    bool Terminated = false;
    NTSTATUS ExitStatus = STATUS_PENDING;
    HK_PS_MALFORMED Malformed = HkPsWellFormed;
    bool Shaped = false;
    HK_PS_IMAGE_ANSWER Shape = {};
    PVOID DosDevices = nullptr;  // local DosDevices directory (referenced); null: the global one
};

namespace {

constexpr ULONG_PTR kSystemId = 4;
constexpr ULONG_PTR kFirstId = 1000;

POBJECT_TYPE g_processType = nullptr;

struct Table {
    std::recursive_mutex Lock;
    std::atomic<PEPROCESS> System{nullptr};
    std::vector<PEPROCESS> Live;     // findable by id
    std::unordered_map<ULONG_PTR, PEPROCESS> ById;  // the live ones again, as the platform's id table finds them
    std::vector<PEPROCESS> Retired;  // destroyed; kept until reset so stale pointers stay readable
    ULONG_PTR NextId = kFirstId;
    std::unordered_map<PEPROCESS, std::unique_ptr<HkProcessText>> Texts;
};

Table& T() {
    static Table table;
    return table;
}

void DeleteProcessBody(PVOID body) {
    auto* process = static_cast<PEPROCESS>(body);
    if (process->DosDevices) ObDereferenceObject(process->DosDevices);
    std::lock_guard<std::recursive_mutex> hold(T().Lock);
    T().Texts.erase(process);
}

void EnsureInitialized() {
    static std::once_flag once;
    std::call_once(once, [] {
        g_processType = HkObCreateType("Process", DeleteProcessBody);
        // The object manager registers its reset first, so ours runs before
        // it frees the objects.
        HkObNameExists(L"\\");
        HkRegisterResetHook(HkPsReset);
    });
}

ULONG_PTR IdOf(PEPROCESS process) { return reinterpret_cast<ULONG_PTR>(process->Id); }

// Lays the PEB out from the path, then breaks it as asked.
void BuildPeb(PEPROCESS process) {
    process->Text->PebPath = process->Text->Win32Path;
    process->Parameters = {};
    process->Parameters.MaximumLength = process->Parameters.Length = sizeof(RTL_USER_PROCESS_PARAMETERS);
    UNICODE_STRING& image = process->Parameters.ImagePathName;
    image.Buffer = reinterpret_cast<PWSTR>(&process->Text->PebPath[0]);
    image.Length = static_cast<USHORT>(process->Text->PebPath.size() * sizeof(WCHAR));
    image.MaximumLength = static_cast<USHORT>(image.Length + sizeof(WCHAR));
    process->Parameters.CommandLine = image;
    process->Peb = {};
    process->Peb.ProcessParameters = &process->Parameters;

    switch (process->Malformed) {
    case HkPsNullParameters:
        process->Peb.ProcessParameters = nullptr;
        break;
    case HkPsNullImagePath:
        image.Buffer = nullptr;
        if (image.Length == 0) image.Length = sizeof(WCHAR);
        break;
    case HkPsGarbageImageLength:
        image.Length = static_cast<USHORT>(image.MaximumLength + 3);
        break;
    case HkPsNoImage:
        image = UNICODE_STRING{0, 0, nullptr};
        break;
    default:
        break;
    }
}

PEPROCESS NewProcess(ULONG_PTR id, const std::u16string& path, PEPROCESS parent, bool withTable) {
    PVOID body = nullptr;
    if (!NT_SUCCESS(HkObCreateObject(g_processType, sizeof(_EPROCESS), &body))) return nullptr;
    PEPROCESS process = new (body) _EPROCESS;
    process->Id = reinterpret_cast<HANDLE>(id);
    process->ParentId = parent ? parent->Id : nullptr;
    auto text = std::make_unique<HkProcessText>();
    text->Win32Path = path;
    process->Text = text.get();
    {
        std::lock_guard<std::recursive_mutex> hold(T().Lock);
        T().Texts[process] = std::move(text);
    }
    if (withTable) process->Handles = HkObCreateHandleTable();
    BuildPeb(process);
    return process;
}

PEPROCESS System() {
    Table& t = T();
    if (PEPROCESS system = t.System.load()) return system;
    EnsureInitialized();
    std::lock_guard<std::recursive_mutex> hold(t.Lock);
    if (t.System.load() == nullptr) t.System = NewProcess(kSystemId, std::u16string(), nullptr, false);
    return t.System.load();
}

PEPROCESS Current() {
    auto* process = static_cast<PEPROCESS>(HkThreadGetProcess());
    return process ? process : System();
}

// "C:\dir\a.exe" as the NT path of the file: \Device\HarddiskVolumeN\dir\a.exe
// with C: the first volume; UNC paths go through \Device\Mup.
std::u16string NtPathOf(const std::u16string& win32) {
    if (win32.size() >= 2 && win32[1] == u':') {
        char16_t letter = win32[0] >= u'a' && win32[0] <= u'z' ? static_cast<char16_t>(win32[0] - 0x20) : win32[0];
        if (letter >= u'C' && letter <= u'Z') {
            std::string volume = "\\Device\\HarddiskVolume" + std::to_string(letter - u'C' + 1);
            return std::u16string(volume.begin(), volume.end()) + win32.substr(2);
        }
        if (letter == u'A' || letter == u'B') {
            std::string floppy = "\\Device\\Floppy" + std::to_string(letter - u'A');
            return std::u16string(floppy.begin(), floppy.end()) + win32.substr(2);
        }
    }
    if (win32.size() >= 2 && win32[0] == u'\\' && win32[1] == u'\\') return u"\\Device\\Mup" + win32.substr(1);
    return win32;
}

bool AtPassive(const char* routine) {
    KIRQL irql = KeGetCurrentIrql();
    if (irql == PASSIVE_LEVEL) return true;
    HkVerifierStop(HkViolation::IrqlTooHigh, "%s called at IRQL %u (needs PASSIVE_LEVEL)", routine,
                   static_cast<unsigned>(irql));
    return false;
}

// The process a handle names, referenced, with the access it grants.
struct ProcessRef {
    PEPROCESS Process = nullptr;
    bool Referenced = false;
    ACCESS_MASK Granted = 0;
    ~ProcessRef() {
        if (Referenced) ObDereferenceObject(Process);
    }
};

NTSTATUS ProcessOf(HANDLE handle, ProcessRef* ref) {
    if (handle == NtCurrentProcess()) {
        ref->Process = Current();
        ref->Granted = PROCESS_ALL_ACCESS;
        return STATUS_SUCCESS;
    }
    PVOID body = nullptr;
    NTSTATUS status = HkObReferenceObjectByHandle(handle, g_processType, &body, &ref->Granted);
    if (!NT_SUCCESS(status)) return status;
    ref->Process = static_cast<PEPROCESS>(body);
    ref->Referenced = true;
    return STATUS_SUCCESS;
}

// A UNICODE_STRING followed by its characters and a NUL.
NTSTATUS ImageName(const std::u16string& text, PVOID buffer, ULONG length, PULONG returnLength) {
    ULONG bytes = static_cast<ULONG>(text.size() * sizeof(WCHAR));
    ULONG needed = sizeof(UNICODE_STRING) + (bytes ? bytes + sizeof(WCHAR) : 0);
    if (returnLength) *returnLength = needed;
    if (buffer == nullptr || length < needed) return STATUS_INFO_LENGTH_MISMATCH;
    auto* name = static_cast<PUNICODE_STRING>(buffer);
    if (bytes == 0) {
        *name = UNICODE_STRING{0, 0, nullptr};
        return STATUS_SUCCESS;
    }
    name->Buffer = reinterpret_cast<PWSTR>(name + 1);
    name->Length = static_cast<USHORT>(bytes);
    name->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
    std::memcpy(name->Buffer, text.c_str(), bytes + sizeof(WCHAR));
    return STATUS_SUCCESS;
}

// The shaped answer: the header, then the text bytes that fall inside the block.
NTSTATUS ShapedImageName(const HK_PS_IMAGE_ANSWER& shape, const std::u16string& text, PVOID buffer, ULONG length,
                         PULONG returnLength) {
    if (returnLength) *returnLength = shape.Needed;
    if (buffer == nullptr || length < shape.Needed || length <= sizeof(UNICODE_STRING)) return shape.SizeStatus;
    auto* block = static_cast<PUCHAR>(buffer);
    auto* name = static_cast<PUNICODE_STRING>(buffer);
    name->Length = name->MaximumLength = shape.Length;
    name->Buffer = reinterpret_cast<PWSTR>(block + shape.TextOffset);
    const auto* bytes = reinterpret_cast<const UCHAR*>(text.data());
    size_t size = text.size() * sizeof(WCHAR);
    for (ULONG i = 0; size != 0 && i < shape.Length; i++) {
        LONG at = shape.TextOffset + static_cast<LONG>(i);
        if (at >= static_cast<LONG>(sizeof(UNICODE_STRING)) && at < static_cast<LONG>(length)) block[at] = bytes[i % size];
    }
    return shape.FillStatus;
}

}  // namespace

POBJECT_TYPE* PsProcessType = &g_processType;

// ---------------------------------------------------------------- host API

PEPROCESS HkPsCreateProcess(PCWSTR win32ImagePath, PEPROCESS parent) {
    System();
    Table& t = T();
    std::lock_guard<std::recursive_mutex> hold(t.Lock);
    std::u16string path = win32ImagePath ? reinterpret_cast<const char16_t*>(win32ImagePath) : u"";
    PEPROCESS process = NewProcess(t.NextId, path, parent ? parent : System(), true);
    if (process == nullptr) return nullptr;
    // A process of a user's logon session: a child shares its parent's
    // session, a process started by the system begins a session of its own.
    if (parent && parent->DosDevices) {
        process->DosDevices = parent->DosDevices;
        ObReferenceObject(process->DosDevices);
    } else {
        process->DosDevices = HkObCreateLocalDosDevices(static_cast<ULONG>(t.NextId));
    }
    t.NextId += 4;
    t.Live.push_back(process);
    t.ById[IdOf(process)] = process;
    return process;
}

void HkPsDestroyProcess(PEPROCESS process) {
    Table& t = T();
    HkHandleTable* handles = nullptr;
    {
        std::lock_guard<std::recursive_mutex> hold(t.Lock);
        auto it = std::find(t.Live.begin(), t.Live.end(), process);
        if (process == nullptr || it == t.Live.end()) return;
        t.Live.erase(it);
        t.ById.erase(IdOf(process));
        t.Retired.push_back(process);
        process->Terminated = true;
        process->ExitStatus = STATUS_SUCCESS;
        handles = process->Handles.exchange(nullptr);
    }
    if (handles) HkObDestroyHandleTable(handles);
}

PEPROCESS HkPsSystemProcess() { return System(); }

HANDLE HkPsProcessId(PEPROCESS process) { return process ? process->Id : nullptr; }

PPEB HkPsPeb(PEPROCESS process) { return process ? &process->Peb : nullptr; }

PVOID HkPsDosDevicesDirectory(PEPROCESS process) { return process ? process->DosDevices : nullptr; }

HkHandleTable* HkPsHandleTable(PEPROCESS process) { return process ? process->Handles.load() : nullptr; }

PEPROCESS HkPsCurrentProcess() { return Current(); }

PEPROCESS HkPsAttachThread(PEPROCESS process) {
    PEPROCESS previous = Current();
    HkThreadSetProcess(process == System() ? nullptr : process);
    return previous;
}

void HkPsSetMalformed(PEPROCESS process, HK_PS_MALFORMED kind) {
    std::lock_guard<std::recursive_mutex> hold(T().Lock);
    process->Malformed = kind;
    BuildPeb(process);
}

void HkPsShapeImageAnswer(PEPROCESS process, const HK_PS_IMAGE_ANSWER* answer) {
    std::lock_guard<std::recursive_mutex> hold(T().Lock);
    process->Shaped = answer != nullptr;
    process->Shape = answer ? *answer : HK_PS_IMAGE_ANSWER{};
}

void HkPsReset() {
    EnsureInitialized();
    Table& t = T();
    std::vector<PEPROCESS> all;
    std::vector<HkHandleTable*> tables;
    {
        std::lock_guard<std::recursive_mutex> hold(t.Lock);
        all = t.Live;
        all.insert(all.end(), t.Retired.begin(), t.Retired.end());
        if (PEPROCESS system = t.System.exchange(nullptr)) all.push_back(system);
        for (PEPROCESS process : t.Live) tables.push_back(process->Handles.exchange(nullptr));
        t.Live.clear();
        t.ById.clear();
        t.Retired.clear();
        t.Texts.clear();
        t.NextId = kFirstId;
    }
    HkThreadSetProcess(nullptr);
    for (HkHandleTable* table : tables) {
        if (table) HkObDestroyHandleTable(table);
    }
    // The object manager frees every object at its own reset; if that ran
    // first the records are gone already.
    if (HkObLiveObjects(g_processType) == 0) return;
    for (PEPROCESS process : all) ObDereferenceObject(process);
}

// ---------------------------------------------------------------- DDIs

HANDLE PsGetCurrentProcessId(void) { return Current()->Id; }

PEPROCESS IoGetCurrentProcess(void) { return Current(); }

HANDLE PsGetProcessId(PEPROCESS Process) { return Process->Id; }

NTSTATUS ZwOpenProcess(PHANDLE ProcessHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                       PCLIENT_ID ClientId) {
    if (!AtPassive("ZwOpenProcess")) return STATUS_INVALID_DEVICE_STATE;
    if (ProcessHandle == nullptr || ObjectAttributes == nullptr || ClientId == nullptr ||
        ObjectAttributes->ObjectName != nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    PEPROCESS process = nullptr;
    {
        System();
        Table& t = T();
        std::lock_guard<std::recursive_mutex> hold(t.Lock);
        ULONG_PTR id = reinterpret_cast<ULONG_PTR>(ClientId->UniqueProcess);
        if (IdOf(t.System.load()) == id) process = t.System.load();
        auto found = t.ById.find(id);
        if (found != t.ById.end()) process = found->second;
    }
    if (process == nullptr) return STATUS_INVALID_PARAMETER;
    ACCESS_MASK access = DesiredAccess;
    if (access & (MAXIMUM_ALLOWED | GENERIC_ALL)) access = PROCESS_ALL_ACCESS;
    return HkObInsertHandle(process, access, ObjectAttributes->Attributes, ProcessHandle);
}

NTSTATUS ZwQueryInformationProcess(HANDLE ProcessHandle, PROCESSINFOCLASS ProcessInformationClass,
                                   PVOID ProcessInformation, ULONG ProcessInformationLength,
                                   PULONG ReturnLength) {
    if (!AtPassive("ZwQueryInformationProcess")) return STATUS_INVALID_DEVICE_STATE;
    System();
    ProcessRef ref;
    NTSTATUS status = ProcessOf(ProcessHandle, &ref);
    if (!NT_SUCCESS(status)) return status;
    if (HkFaultShouldFail(HkFault::ProcessQuery)) return STATUS_INSUFFICIENT_RESOURCES;
    if ((ref.Granted & (PROCESS_QUERY_INFORMATION | PROCESS_QUERY_LIMITED_INFORMATION)) == 0)
        return STATUS_ACCESS_DENIED;

    std::lock_guard<std::recursive_mutex> hold(T().Lock);
    PEPROCESS process = ref.Process;
    if (process->Malformed == HkPsQueryFails) return STATUS_ACCESS_DENIED;
    std::u16string image = process->Malformed == HkPsNoImage ? std::u16string() : process->Text->Win32Path;
    switch (ProcessInformationClass) {
    case ProcessBasicInformation: {
        if (ReturnLength) *ReturnLength = sizeof(PROCESS_BASIC_INFORMATION);
        if (ProcessInformation == nullptr || ProcessInformationLength != sizeof(PROCESS_BASIC_INFORMATION))
            return STATUS_INFO_LENGTH_MISMATCH;
        auto* info = static_cast<PPROCESS_BASIC_INFORMATION>(ProcessInformation);
        info->ExitStatus = process->ExitStatus;
        info->PebBaseAddress = process->Malformed == HkPsNullPeb ? nullptr : &process->Peb;
        info->AffinityMask = 1;
        info->BasePriority = 8;
        info->UniqueProcessId = IdOf(process);
        info->InheritedFromUniqueProcessId = reinterpret_cast<ULONG_PTR>(process->ParentId);
        return STATUS_SUCCESS;
    }
    case ProcessImageFileName:
    case ProcessImageFileNameWin32:
        if (process->Shaped)
            return ShapedImageName(process->Shape, image, ProcessInformation, ProcessInformationLength, ReturnLength);
        if (ProcessInformationClass == ProcessImageFileNameWin32)
            return ImageName(image, ProcessInformation, ProcessInformationLength, ReturnLength);
        return ImageName(NtPathOf(image), ProcessInformation, ProcessInformationLength, ReturnLength);
    default:
        return STATUS_INVALID_INFO_CLASS;
    }
}
